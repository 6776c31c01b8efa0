// Clocks: the multimedia timer and the performance counter.
#include "halvern/platform/clock.h"

#include <windows.h>
// Needs the types of windows.h.
#include <mmsystem.h>

namespace halvern::platform {

uint32_t systemTimeMs() {
    return timeGetTime();
}

uint64_t monotonicNs() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    // Split so that ticks * 1e9 cannot overflow after a long uptime.
    return ticks / frequency * 1000000000ull + ticks % frequency * 1000000000ull / frequency;
}

} // namespace halvern::platform
