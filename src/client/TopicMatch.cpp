#include "TopicMatch.h"

std::vector<std::string> SplitTopic(std::string_view s) {
  std::vector<std::string> levels(1);
  for (char c : s) {
    if (c == '/')
      levels.emplace_back();
    else
      levels.back().push_back(c);
  }
  return levels;
}

bool MatchTopic(std::string_view aFilter, std::string_view aTopic) {
  // A shared subscription "$share/GROUP/FILTER" delivers the topics FILTER matches.
  constexpr std::string_view share = "$share/";
  if (aFilter.substr(0, share.size()) == share)
    if (const auto slash = aFilter.find('/', share.size()); slash != std::string_view::npos)
      aFilter.remove_prefix(slash + 1);
  const auto f = SplitTopic(aFilter);
  const auto t = SplitTopic(aTopic);
  const bool hash = f.back() == "#";
  if (hash ? f.size() > t.size() + 1 : f.size() != t.size()) return false;
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (i >= t.size()) return true;
    if (i + 1 == f.size() && f[i] == "#") return true;
    if (f[i] == "+") continue;
    if (f[i] != t[i]) return false;
  }
  return true;
}
