#pragma once
// An ordered list of text entries, each with a 32-bit integer tag. SUBSCRIBE
// lists carry the requested QoS in the tag; the client packs QoS, position and
// message identifier into the tags of its subscription list.

#include <cstdint>
#include <string>
#include <vector>

struct TTaggedString {
  std::string Text; // UTF-8
  std::int32_t Tag = 0;
  bool operator==(const TTaggedString &) const = default;
};

using TTaggedStrings = std::vector<TTaggedString>;
