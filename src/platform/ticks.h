#pragma once
// The tick counter: sixtieths of a second from a monotonic clock, as a wrapping 32-bit signed
// count, so that differences of two readings stay right across a wrap. Safe on any thread.

#include <cstdint>

namespace platform {

int32_t Ticks();

// Difference of two readings on 32 bits, wrapping instead of overflowing.
int32_t ticksBetween(int32_t start, int32_t end);

}  // namespace platform
