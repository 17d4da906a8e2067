#pragma once
// Reads the fields of a received packet body held in a byte span. A byte read
// past the end reads as 0 without consuming anything; a string whose count
// runs past the end reads as empty after consuming only its two count bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "uMQTT.h"

// The four fields of a fixed header byte.
inline void SplitFixedHeader(std::uint8_t b, TMQTTMessageType &aMsgType, bool &aDup, TMQTTQOSType &aQos,
                             bool &aRetain) {
  aMsgType = TMQTTMessageType((b & 0xF0) >> 4);
  aDup = b & 0x08;
  aQos = TMQTTQOSType((b & 0x06) >> 1);
  aRetain = b & 0x01;
}

struct TRxReader {
  const std::uint8_t *P;
  const std::uint8_t *End;

  std::size_t Remaining() const { return std::size_t(End - P); }
  std::uint8_t Byte() { return P < End ? *P++ : 0; }
  std::uint16_t Word() {
    std::uint16_t hi = Byte();
    return std::uint16_t(hi << 8 | Byte());
  }
  std::string_view StringView() {
    std::size_t count = Word();
    if (Remaining() < count) return {};
    std::string_view s(reinterpret_cast<const char *>(P), count);
    P += count;
    return s;
  }
  std::string_view RestView() {
    std::string_view s(reinterpret_cast<const char *>(P), Remaining());
    P = End;
    return s;
  }
  std::string String() { return std::string(StringView()); }
  // Every byte left, in one step.
  std::string Rest() { return std::string(RestView()); }
};
