#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

std::atomic<std::uint64_t> Allocations{0};

void *operator new(std::size_t n) {
  Allocations.fetch_add(1, std::memory_order_relaxed);
  if (void *p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
