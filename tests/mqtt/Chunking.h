#pragma once
// Feeds a byte string to a parser whole, one byte per call, or in random
// chunks from a seeded generator.

#include "uMQTT.h"

#include <random>
#include <string>
#include <string_view>

enum class TDelivery { Whole, ByteByByte, Random };

inline void Feed(TMQTTParser &aParser, std::string_view aBytes, TDelivery aHow, unsigned aSeed = 1,
                 std::size_t aMaxChunk = 64) {
  if (aHow == TDelivery::Whole) {
    aParser.Parse(aBytes);
    return;
  }
  std::mt19937 random(aSeed);
  std::uniform_int_distribution<std::size_t> size(1, aMaxChunk);
  while (!aBytes.empty()) {
    std::size_t n = aHow == TDelivery::ByteByByte ? 1 : std::min(size(random), aBytes.size());
    aParser.Parse(aBytes.substr(0, n));
    aBytes.remove_prefix(n);
  }
}
