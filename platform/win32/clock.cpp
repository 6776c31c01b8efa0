// Clocks: the multimedia timer and the performance counter.
#include "halvern/platform/clock.h"

#include <windows.h>
// Needs the types of windows.h.
#include <mmsystem.h>

#include <atomic>
#include <climits>

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

uint64_t systemTimeNs() {
    // The multimedia timer's base, taken once, advanced by the performance counter. The first
    // callers may race to take it: one offset wins and all use that one.
    constexpr int64_t kUnset = INT64_MIN;
    static std::atomic<int64_t> offset{kUnset};
    const uint64_t now = monotonicNs();
    int64_t base = offset.load(std::memory_order_acquire);
    if (base == kUnset) {
        const int64_t mine = int64_t(uint64_t(timeGetTime()) * 1000000ull) - int64_t(now);
        if (offset.compare_exchange_strong(base, mine, std::memory_order_acq_rel))
            base = mine;
    }
    return uint64_t(int64_t(now) + base);
}

} // namespace halvern::platform
