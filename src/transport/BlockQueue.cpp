#include "BlockQueue.h"

#include <algorithm>
#include <cstring>

void TBlockQueue::Clear() {
  FBlocks.clear();
  FSize = 0;
}

void TBlockQueue::Append(const void *data, std::size_t count) {
  const char *p = static_cast<const char *>(data);
  while (count > 0) {
    if (FBlocks.empty() || FBlocks.back().End == FBlockSize)
      FBlocks.push_back(TBlock{std::make_unique<char[]>(FBlockSize), 0, 0});
    TBlock &b = FBlocks.back();
    std::size_t n = std::min(count, FBlockSize - b.End);
    std::memcpy(b.Data.get() + b.End, p, n);
    b.End += n;
    p += n;
    count -= n;
    FSize += n;
  }
}

std::string_view TBlockQueue::Head() const {
  if (FBlocks.empty()) return {};
  const TBlock &b = FBlocks.front();
  return {b.Data.get() + b.Begin, b.End - b.Begin};
}

int TBlockQueue::HeadVecs(iovec *vecs, int maxVecs) const {
  int n = 0;
  for (auto it = FBlocks.begin(); it != FBlocks.end() && n < maxVecs; ++it, ++n) {
    vecs[n].iov_base = it->Data.get() + it->Begin;
    vecs[n].iov_len = it->End - it->Begin;
  }
  return n;
}

void TBlockQueue::Remove(std::size_t count) {
  count = std::min(count, FSize);
  FSize -= count;
  while (count > 0) {
    TBlock &b = FBlocks.front();
    std::size_t n = std::min(count, b.End - b.Begin);
    b.Begin += n;
    count -= n;
    // A drained block goes, except the last one while it can still take bytes.
    if (b.Begin == b.End && (FBlocks.size() > 1 || b.End == FBlockSize)) FBlocks.pop_front();
  }
  if (FSize == 0) FBlocks.clear();
}
