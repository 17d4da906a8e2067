// The checks behind MQTTLimits.h. Messages give byte offsets rather than the
// value itself: the value may be tens of kilobytes or not printable.
#include "MQTTLimits.h"

#include <cstdint>

namespace {
std::string Named(std::string_view aWhat, const std::string &aProblem) { return std::string(aWhat) + " " + aProblem; }

std::string At(std::size_t anOffset) { return " at byte " + std::to_string(anOffset); }

// Length of the UTF-8 sequence starting at aPos and its code point; 0 when malformed.
std::size_t DecodeUtf8(std::string_view aText, std::size_t aPos, std::uint32_t &aCode) {
  const auto byte = [&](std::size_t i) { return std::uint8_t(aText[i]); };
  const std::uint8_t lead = byte(aPos);
  std::size_t length;
  std::uint32_t minimum;
  if (lead < 0x80) {
    aCode = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, aCode = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, aCode = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, aCode = lead & 0x07;
  } else
    return 0;
  if (aPos + length > aText.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(aPos + i) & 0xC0) != 0x80) return 0;
    aCode = (aCode << 6) | (byte(aPos + i) & 0x3F);
  }
  if (aCode < minimum || aCode > 0x10FFFF || (aCode >= 0xD800 && aCode <= 0xDFFF)) return 0;
  return length;
}

std::string CheckUtf8(std::string_view aWhat, std::string_view aText) {
  for (std::size_t pos = 0; pos < aText.size();) {
    std::uint32_t code = 0;
    const std::size_t length = DecodeUtf8(aText, pos, code);
    if (length == 0) return Named(aWhat, "is not valid UTF-8" + At(pos));
    if (code == 0) return Named(aWhat, "contains a null character" + At(pos));
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F))
      return Named(aWhat, "contains a control character" + At(pos));
    if ((code & 0xFFFE) == 0xFFFE) return Named(aWhat, "contains a Unicode non-character" + At(pos));
    pos += length;
  }
  return {};
}

std::string CheckNonEmptyText(std::string_view aWhat, std::string_view aValue) {
  if (aValue.empty()) return Named(aWhat, "is empty");
  return CheckText(aWhat, aValue);
}
} // namespace

bool IsWellFormedUtf8(std::string_view aText) {
  std::uint32_t code = 0;
  for (std::size_t pos = 0, length = 0; pos < aText.size(); pos += length)
    if ((length = DecodeUtf8(aText, pos, code)) == 0) return false;
  return true;
}

std::string CheckStringLength(std::string_view aWhat, std::string_view aValue) {
  if (aValue.size() > MQTTMaxStringLength)
    return Named(aWhat, "is " + std::to_string(aValue.size()) + " bytes long; at most " +
                            std::to_string(MQTTMaxStringLength) + " bytes fit in an MQTT string");
  return {};
}

std::string CheckText(std::string_view aWhat, std::string_view aValue) {
  if (std::string problem = CheckStringLength(aWhat, aValue); !problem.empty()) return problem;
  return CheckUtf8(aWhat, aValue);
}

std::string CheckTopicName(std::string_view aWhat, std::string_view aTopic) {
  if (std::string problem = CheckNonEmptyText(aWhat, aTopic); !problem.empty()) return problem;
  if (const std::size_t pos = aTopic.find_first_of("+#"); pos != std::string_view::npos)
    return Named(aWhat, "contains the wildcard '" + std::string(1, aTopic[pos]) + "'" + At(pos) +
                            "; wildcards belong in subscriptions only");
  return {};
}

std::string CheckTopicFilter(std::string_view aWhat, std::string_view aFilter) {
  if (std::string problem = CheckNonEmptyText(aWhat, aFilter); !problem.empty()) return problem;
  std::size_t levelStart = 0;
  for (std::size_t pos = 0; pos < aFilter.size(); ++pos) {
    const char c = aFilter[pos];
    if (c == '/') {
      levelStart = pos + 1;
      continue;
    }
    if (c != '+' && c != '#') continue;
    const bool levelEnds = pos + 1 == aFilter.size() || aFilter[pos + 1] == '/';
    if (pos != levelStart || !levelEnds)
      return Named(aWhat, "has '" + std::string(1, c) + "'" + At(pos) + " inside a level; a wildcard must fill a whole level");
    if (c == '#' && pos + 1 != aFilter.size())
      return Named(aWhat, "has '#'" + At(pos) + " before its last level; '#' may only stand last");
  }
  return {};
}

std::string CheckPublishSize(std::size_t aTopicSize, std::size_t aPayloadSize, TMQTTQOSType aQos) {
  const std::size_t idSize = aQos == qtAT_LEAST_ONCE || aQos == qtEXACTLY_ONCE ? 2 : 0;
  const std::size_t largestPayload = std::size_t(MQTTMaxRemainingLength) - 2 - aTopicSize - idSize;
  if (aTopicSize > MQTTMaxStringLength || aPayloadSize <= largestPayload) return {};
  return "message of " + std::to_string(aPayloadSize) + " bytes is too large; with this topic at most " +
         std::to_string(largestPayload) + " bytes fit in one MQTT packet";
}
