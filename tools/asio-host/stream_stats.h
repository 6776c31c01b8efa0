// What the buffer switch records about itself, and the figures made of it once the stream has
// stopped: period and jitter, wake-up latency, missed periods, time spent in the callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace halvern::host {

// One buffer switch, written by the callback into a preallocated array.
struct SwitchRecord {
    uint64_t entryNs = 0;  // monotonic time at which the callback began
    uint64_t signalNs = 0; // time of the device's signal it answers; 0 when unknown
    uint64_t signal = 0;   // number of that signal in its stream (valid when signalNs != 0)
    uint32_t durationNs = 0;
    uint32_t segment = 0; // the stream it belongs to: 0, then one more after each reset
};

struct Distribution {
    std::size_t samples = 0;
    double mean = 0, p50 = 0, p99 = 0, max = 0;
};

struct StreamStats {
    uint64_t switches = 0;
    Distribution periodUs; // intervals between switches of the same stream
    double jitterUs = 0;   // their standard deviation
    bool latencyAvailable = false;
    Distribution latencyUs;         // from the device's signal to the callback
    uint64_t unmatched = 0;         // switches that found no newer signal than the previous one
    uint64_t missed = 0;            // signals that got no switch
    bool missedFromSignals = false; // else estimated from intervals longer than a period
    Distribution callbackUs;
};

// Nearest-rank percentile of a sorted, non-empty list; p in [0, 100].
double percentile(const std::vector<double>& sorted, double p);
Distribution distribution(std::vector<double> values);

// `expectedPeriodUs` estimates missed periods when there are no signal times.
StreamStats summarise(const SwitchRecord* records, std::size_t count, double expectedPeriodUs);

} // namespace halvern::host
