// Clocks on CLOCK_MONOTONIC.
#include "halvern/platform/clock.h"

#include <time.h>

namespace halvern::platform {

uint32_t systemTimeMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32_t(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

uint64_t systemTimeNs() {
    // One clock here: the millisecond time is this one, cut.
    return monotonicNs();
}

uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

} // namespace halvern::platform
