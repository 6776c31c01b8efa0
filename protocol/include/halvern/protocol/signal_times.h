// Where a host tool reads the monotonic time of each half-buffer signal of a simulated device:
// <runtime>/bus/HalvernAudioBus<index>.timing (on Windows the mapping
// Local\HalvernAudioBus<index>.timing), a SignalTimes record in shared memory. The simulator
// writes it and other processes map it, so its layout is pinned below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvern::protocol {

struct SignalTimes {
    static constexpr uint32_t kSlots = 4096;
    // Written by the simulator's clock: count is the number of signals since the stream
    // started (reset at each start); slot (n % kSlots) holds the CLOCK_MONOTONIC nanoseconds
    // of signal n (0-based), which was for half n % 2. Each slot is written before count, with
    // release ordering; a reader checks that the slot's sequence is n + 1.
    uint64_t count;
    uint64_t periodNs;
    struct Slot {
        uint64_t sequence; // n + 1 once written
        uint64_t timeNs;
    } entries[kSlots]; // not "slots": a macro in Qt code that includes this
};

static_assert(sizeof(SignalTimes::Slot) == 16);
static_assert(offsetof(SignalTimes, count) == 0);
static_assert(offsetof(SignalTimes, periodNs) == 8);
static_assert(offsetof(SignalTimes, entries) == 16);
static_assert(sizeof(SignalTimes) == 16 + 16 * SignalTimes::kSlots);

} // namespace halvern::protocol
