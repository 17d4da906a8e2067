#pragma once
// A growable byte buffer with a current position. The protocol engine builds
// every outgoing packet in one and gathers received bodies in another; stored
// packets keep their own copy.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

class TByteStream {
public:
  TByteStream() = default;
  explicit TByteStream(std::string_view bytes) : FData(bytes) {}

  std::size_t Size() const { return FData.size(); }
  std::size_t Position() const { return FPosition; }
  std::size_t Remaining() const { return FData.size() - FPosition; }
  bool Empty() const { return FData.empty(); }

  // Moves the position; a position past the end is clamped to the end.
  void Seek(std::size_t position) { FPosition = position < FData.size() ? position : FData.size(); }
  void Rewind() { FPosition = 0; }

  // Size 0, position 0; keeps the capacity so a reused buffer does not reallocate.
  void Clear() {
    FData.clear();
    FPosition = 0;
  }
  void Reserve(std::size_t capacity) { FData.reserve(capacity); }

  // Writes at the position, overwriting or extending, and advances past the bytes.
  void Write(const void *bytes, std::size_t count) {
    if (FPosition == FData.size())
      FData.append(static_cast<const char *>(bytes), count);
    else {
      if (FPosition + count > FData.size()) FData.resize(FPosition + count);
      std::memcpy(FData.data() + FPosition, bytes, count);
    }
    FPosition += count;
  }
  void Write(std::string_view bytes) { Write(bytes.data(), bytes.size()); }
  void WriteByte(std::uint8_t b) { Write(&b, 1); }

  // Reads up to count bytes from the position; returns how many were read.
  std::size_t Read(void *bytes, std::size_t count) {
    if (count > Remaining()) count = Remaining();
    std::memcpy(bytes, FData.data() + FPosition, count);
    FPosition += count;
    return count;
  }

  const std::uint8_t *Data() const { return reinterpret_cast<const std::uint8_t *>(FData.data()); }
  std::uint8_t *Data() { return reinterpret_cast<std::uint8_t *>(FData.data()); }
  // The whole content, independent of the position.
  std::string_view View() const { return FData; }
  const std::string &Bytes() const { return FData; }

private:
  std::string FData;
  std::size_t FPosition = 0;
};
