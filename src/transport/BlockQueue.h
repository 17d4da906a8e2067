#pragma once
// A first-in first-out byte queue kept in fixed-size blocks. Appending never
// moves queued bytes; the reader takes bytes from the head block.

#include <sys/uio.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string_view>

class TBlockQueue {
public:
  explicit TBlockQueue(std::size_t blockSize) : FBlockSize(blockSize) {}

  std::size_t BlockSize() const { return FBlockSize; }
  std::size_t Size() const { return FSize; }
  bool Empty() const { return FSize == 0; }
  void Clear();
  void Append(const void *data, std::size_t count);
  // The unread bytes of the head block (empty when the queue is empty).
  std::string_view Head() const;
  // Fills up to maxVecs entries with the unread spans of the first blocks;
  // returns how many were filled.
  int HeadVecs(iovec *vecs, int maxVecs) const;
  // Drops count bytes from the head (at most Size()).
  void Remove(std::size_t count);

private:
  struct TBlock {
    std::unique_ptr<char[]> Data;
    std::size_t Begin = 0;
    std::size_t End = 0;
  };
  std::size_t FBlockSize;
  std::size_t FSize = 0;
  std::deque<TBlock> FBlocks;
};
