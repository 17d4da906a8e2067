#pragma once
// Counts every operator new in the program, so benchmarks can report heap
// allocations per packet.
#include <atomic>
#include <cstdint>

extern std::atomic<std::uint64_t> Allocations;
