#include "stream_stats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace halvern::host {

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty())
        return 0.0;
    const double rank = std::ceil(p / 100.0 * double(sorted.size()));
    const std::size_t index = rank < 1.0 ? 0 : std::size_t(rank) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}

Distribution distribution(std::vector<double> values) {
    Distribution d;
    d.samples = values.size();
    if (values.empty())
        return d;
    std::sort(values.begin(), values.end());
    d.mean = std::accumulate(values.begin(), values.end(), 0.0) / double(values.size());
    d.p50 = percentile(values, 50);
    d.p99 = percentile(values, 99);
    d.max = values.back();
    return d;
}

StreamStats summarise(const SwitchRecord* records, std::size_t count, double expectedPeriodUs) {
    StreamStats s;
    s.switches = count;
    std::vector<double> intervals, latencies, callbacks;
    intervals.reserve(count);
    latencies.reserve(count);
    callbacks.reserve(count);

    bool anySignal = false;
    uint64_t estimatedMissed = 0;
    bool havePrevSignal = false;
    uint64_t prevSignal = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const SwitchRecord& r = records[i];
        const bool newSegment = i == 0 || r.segment != records[i - 1].segment;
        if (newSegment)
            havePrevSignal = false;
        callbacks.push_back(r.durationNs / 1000.0);
        if (!newSegment && r.entryNs >= records[i - 1].entryNs) {
            const double us = double(r.entryNs - records[i - 1].entryNs) / 1000.0;
            intervals.push_back(us);
            // Without signal times, a switch that came whole periods late stands for the
            // periods in between.
            if (expectedPeriodUs > 0 && us > 1.5 * expectedPeriodUs)
                estimatedMissed += uint64_t(std::llround(us / expectedPeriodUs)) - 1;
        }
        if (r.signalNs == 0)
            continue;
        anySignal = true;
        if (havePrevSignal && r.signal <= prevSignal) {
            ++s.unmatched; // no newer signal than the one already answered
            continue;
        }
        // Signals before the first one answered in a stream were missed as well.
        s.missed += havePrevSignal ? r.signal - prevSignal - 1 : r.signal;
        prevSignal = r.signal;
        havePrevSignal = true;
        if (r.entryNs >= r.signalNs)
            latencies.push_back(double(r.entryNs - r.signalNs) / 1000.0);
    }

    s.periodUs = distribution(intervals);
    if (intervals.size() > 1) {
        double squares = 0;
        for (double v : intervals)
            squares += (v - s.periodUs.mean) * (v - s.periodUs.mean);
        s.jitterUs = std::sqrt(squares / double(intervals.size()));
    }
    s.callbackUs = distribution(callbacks);
    s.latencyAvailable = anySignal;
    s.missedFromSignals = anySignal;
    if (anySignal)
        s.latencyUs = distribution(latencies);
    else
        s.missed = estimatedMissed;
    return s;
}

} // namespace halvern::host
