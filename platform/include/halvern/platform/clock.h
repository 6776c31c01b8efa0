// Clocks.
#pragma once

#include <cstdint>

namespace halvern::platform {

// System time in milliseconds (timeGetTime; POSIX: CLOCK_MONOTONIC), wrapping at 32 bits.
uint32_t systemTimeMs();
// Monotonic time in nanoseconds, for measurement (QueryPerformanceCounter / CLOCK_MONOTONIC).
uint64_t monotonicNs();

} // namespace halvern::platform
