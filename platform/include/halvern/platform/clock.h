// Clocks.
#pragma once

#include <cstdint>

namespace halvern::platform {

// System time in milliseconds (timeGetTime; POSIX: CLOCK_MONOTONIC), wrapping at 32 bits.
uint32_t systemTimeMs();
// System time in nanoseconds: systemTimeMs's base with the performance counter's resolution, so
// that two calls a fraction of a millisecond apart differ. Lock-free.
uint64_t systemTimeNs();
// Monotonic time in nanoseconds, for measurement (QueryPerformanceCounter / CLOCK_MONOTONIC).
uint64_t monotonicNs();

} // namespace halvern::platform
