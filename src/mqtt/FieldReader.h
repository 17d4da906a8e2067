#pragma once
// A strict reader over a received level-5 body: unlike TRxReader, a field that
// runs past the end is not read as a default but remembered as a failure, so
// that the packet can be refused as malformed instead of misread.

#include <cstddef>
#include <cstdint>
#include <string_view>

struct TFieldReader {
  const std::uint8_t *P;
  const std::uint8_t *End;
  bool Failed = false;

  std::size_t Remaining() const { return std::size_t(End - P); }
  bool Need(std::size_t n) {
    if (Remaining() >= n) return true;
    Failed = true;
    P = End;
    return false;
  }
  std::uint8_t Byte() { return Need(1) ? *P++ : 0; }
  std::uint16_t Word() {
    if (!Need(2)) return 0;
    std::uint16_t v = std::uint16_t(P[0] << 8 | P[1]);
    P += 2;
    return v;
  }
  std::uint32_t Long() {
    if (!Need(4)) return 0;
    std::uint32_t v = std::uint32_t(P[0]) << 24 | std::uint32_t(P[1]) << 16 | std::uint32_t(P[2]) << 8 | P[3];
    P += 4;
    return v;
  }
  // A variable byte integer of at most four bytes; a fifth continuation fails.
  std::uint32_t VarInt() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      if (!Need(1)) return 0;
      const std::uint8_t b = *P++;
      value |= std::uint32_t(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) return value;
    }
    Failed = true;
    P = End;
    return 0;
  }
  // A two-byte count and that many bytes (UTF-8 string or binary data).
  std::string_view Counted() {
    const std::size_t count = Word();
    if (!Need(count)) return {};
    std::string_view s(reinterpret_cast<const char *>(P), count);
    P += count;
    return s;
  }
  std::string_view Rest() {
    std::string_view s(reinterpret_cast<const char *>(P), Remaining());
    P = End;
    return s;
  }
};
