// The figures made of the switch records: intervals within a stream only, missed signals from
// gaps in the signal numbers, and late switches that answer no new signal.
#include "stream_stats.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using halvern::host::percentile;
using halvern::host::summarise;
using halvern::host::SwitchRecord;

constexpr uint64_t kPeriodNs = 1'000'000; // 48 samples at 48000 Hz

SwitchRecord at(uint64_t signal, uint64_t latencyNs, uint32_t segment = 0,
                uint64_t segmentStartNs = 0) {
    SwitchRecord r;
    r.signal = signal;
    r.signalNs = segmentStartNs + 1'000'000'000 + signal * kPeriodNs;
    r.entryNs = r.signalNs + latencyNs;
    r.durationNs = 2000;
    r.segment = segment;
    return r;
}

TEST(StreamStats, NearestRankPercentiles) {
    std::vector<double> v;
    for (int i = 1; i <= 100; ++i)
        v.push_back(i);
    EXPECT_EQ(percentile(v, 50), 50);
    EXPECT_EQ(percentile(v, 99), 99);
    EXPECT_EQ(percentile(v, 100), 100);
    EXPECT_EQ(percentile({7.0}, 99), 7.0);
    EXPECT_EQ(percentile({1.0, 2.0, 3.0}, 0), 1.0);
}

TEST(StreamStats, SteadyStreamHasThePeriodAndNoJitter) {
    std::vector<SwitchRecord> r;
    for (uint64_t n = 0; n < 100; ++n)
        r.push_back(at(n, 50'000));
    const auto s = summarise(r.data(), r.size(), 1000.0);
    EXPECT_EQ(s.switches, 100u);
    EXPECT_DOUBLE_EQ(s.periodUs.mean, 1000.0);
    EXPECT_DOUBLE_EQ(s.jitterUs, 0.0);
    ASSERT_TRUE(s.latencyAvailable);
    EXPECT_DOUBLE_EQ(s.latencyUs.p50, 50.0);
    EXPECT_DOUBLE_EQ(s.latencyUs.max, 50.0);
    EXPECT_EQ(s.missed, 0u);
    EXPECT_DOUBLE_EQ(s.callbackUs.mean, 2.0);
}

TEST(StreamStats, GapsInTheSignalNumbersAreMissedPeriods) {
    std::vector<SwitchRecord> r = {at(0, 10'000), at(1, 10'000), at(4, 10'000), at(5, 10'000)};
    // A late switch that finds only the signal already answered is not a new period.
    SwitchRecord late = at(5, 900'000);
    late.entryNs = r.back().entryNs + 100'000;
    r.push_back(late);
    r.push_back(at(6, 10'000));
    const auto s = summarise(r.data(), r.size(), 1000.0);
    EXPECT_EQ(s.missed, 2u);
    EXPECT_EQ(s.unmatched, 1u);
    EXPECT_EQ(s.latencyUs.samples, 5u);
}

TEST(StreamStats, AResetStartsNewIntervalsAndNewSignalNumbers) {
    std::vector<SwitchRecord> r;
    for (uint64_t n = 0; n < 10; ++n)
        r.push_back(at(n, 20'000));
    // The second stream starts a second later with its signal numbers back at 0; the first
    // signal it answers is 1, so one was missed at its start.
    for (uint64_t n = 1; n < 10; ++n)
        r.push_back(at(n, 20'000, 1, 1'000'000'000));
    const auto s = summarise(r.data(), r.size(), 1000.0);
    EXPECT_EQ(s.periodUs.samples, 9u + 8u);
    EXPECT_DOUBLE_EQ(s.periodUs.max, 1000.0) << "the pause between streams is no interval";
    EXPECT_EQ(s.missed, 1u);
    EXPECT_EQ(s.unmatched, 0u);
}

TEST(StreamStats, WithoutSignalTimesMissedPeriodsComeFromLongIntervals) {
    std::vector<SwitchRecord> r;
    uint64_t t = 5'000'000;
    for (int i = 0; i < 10; ++i) {
        SwitchRecord x;
        x.entryNs = t;
        r.push_back(x);
        t += (i == 4) ? 3 * kPeriodNs : kPeriodNs; // two periods without a switch
    }
    const auto s = summarise(r.data(), r.size(), 1000.0);
    EXPECT_FALSE(s.latencyAvailable);
    EXPECT_FALSE(s.missedFromSignals);
    EXPECT_EQ(s.missed, 2u);
    EXPECT_GT(s.jitterUs, 0.0);
}

} // namespace
