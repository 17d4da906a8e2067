#pragma once
// For benches that run the window in their own process.

#include <functional>

// Runs a real event loop, so that idle handlers and timers run as in the
// program, until aDone() or aSeconds have passed; returns aDone().
bool WaitFor(const std::function<bool()> &aDone, int aSeconds);
