#pragma once
// Counting what a subscriber printed against the sequence numbers 0..total-1
// its publisher sent, one per line.

#include <map>
#include <sstream>
#include <string>

struct Tally {
  int Lost = 0, Duplicated = 0;
};

inline Tally CountNumbers(const std::string &printed, int total) {
  std::map<std::string, int> seen;
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);) ++seen[line];
  Tally t;
  for (int n = 0; n < total; ++n) {
    const auto it = seen.find(std::to_string(n));
    if (it == seen.end())
      ++t.Lost;
    else
      t.Duplicated += it->second - 1;
  }
  return t;
}
