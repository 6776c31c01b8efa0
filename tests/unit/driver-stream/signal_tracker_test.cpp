// The device's order and numbering of half-buffer signals, as the audio thread reconstructs it
// from collapsing events and the time since the signals it waited for.
#include "signal_tracker.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using halvern::driver::SignalTracker;

constexpr double kPeriod = 1000.0; // ns
constexpr int64_t S = SignalTracker::kStale;

// A wait that began and ended at `atNs`.
struct Event {
    int32_t half;
    bool waited;
    uint64_t atNs;
};

int64_t take(SignalTracker& t, const Event& e, double period) {
    return t.take(e.half, e.waited, e.atNs, e.atNs, period);
}

struct Case {
    const char* what;
    std::vector<Event> events;
    std::vector<int64_t> signals;
    uint64_t skipped;
    double period = kPeriod;
};

TEST(SignalTracker, KeepsTheDevicesOrderAndNumbering) {
    const Case cases[] = {
        {"steady", {{0, true, 50}, {1, true, 1050}, {0, true, 2040}}, {0, 1, 2}, 0},
        // The host's callback for signal 0 took 2.5 periods: device 0,1,0.
        {"two behind",
         {{0, true, 50}, {1, false, 2550}, {0, false, 2560}, {1, true, 3050}},
         {0, 1, 2, 3},
         0},
        // 4.5 periods: device 0,1,0,1,0; the pending events stand for signals 3 and 4.
        {"four behind",
         {{0, true, 50}, {1, false, 4550}, {0, false, 4560}, {1, true, 5050}},
         {0, 3, 4, 5},
         2},
        // 3.5 periods: device 0,1,0,1; the event of half 0 is from signal 2, older than the
        // half just handed over: half 0 waits for its signal 4.
        {"three behind",
         {{0, true, 50}, {1, false, 3550}, {0, false, 3560}, {0, true, 4050}, {1, true, 5050}},
         {0, 3, S, 4, 5},
         2},
        // A wake-up half a period late, then a callback that ran past the next signal: the
        // host is a little behind, nothing is skipped or held back.
        {"late wake", {{0, true, 550}, {1, false, 1150}, {0, true, 2050}}, {0, 1, 2}, 0},
        // The event of the other half never came.
        {"same half again", {{0, true, 50}, {0, true, 2050}, {1, true, 3050}}, {0, 2, 3}, 1},
        // Signal 5 came between the two takes after a jump (late enough for a clock 5 % slow
        // to have given it too): it is handed over, not taken for the older event of its half.
        {"signal during the catch-up",
         {{0, true, 50}, {1, true, 1050}, {0, false, 4550}, {1, false, 5300}, {0, true, 6050}},
         {0, 1, 4, 5, 6},
         2},
        // Without a period only the parity tells.
        {"no period", {{0, true, 50}, {1, false, 4550}, {0, false, 4560}}, {0, 1, 2}, 0, 0.0},
    };
    for (const Case& c : cases) {
        SignalTracker t;
        EXPECT_EQ(t.nextHalf(), 0) << c.what;
        std::vector<int64_t> got;
        for (const Event& e : c.events)
            got.push_back(take(t, e, c.period));
        EXPECT_EQ(got, c.signals) << c.what;
        EXPECT_EQ(t.skipped(), c.skipped) << c.what;
    }
}

// A device 3 % slow: after a hundred signals waited for, a host back from a stall just before
// signal 104 meets 103, not the 104 the nominal period counts.
TEST(SignalTracker, ASlowClockIsCountedByItsOwnPeriod) {
    constexpr double kSlow = 1030.0;
    SignalTracker t;
    for (int32_t k = 0; k < 100; ++k)
        ASSERT_EQ(take(t, {k & 1, true, uint64_t(k * kSlow) + 10}, kPeriod), k);
    const uint64_t back = uint64_t(104 * kSlow) - 10;
    EXPECT_EQ(take(t, {0, false, back}, kPeriod), 102);
    EXPECT_EQ(take(t, {1, false, back + 5}, kPeriod), 103);
    EXPECT_EQ(take(t, {0, true, uint64_t(104 * kSlow) + 10}, kPeriod), 104);
    EXPECT_EQ(t.skipped(), 2u);
}

// The same slow device and a host always a little late: its events are set when it comes back,
// and it blocks in a wait only every 100 signals, the first of them woken late. It is never
// behind by a whole signal, so each take is the next signal, never a jump past signals the
// device has not given.
TEST(SignalTracker, AHostAlwaysALittleLateOnASlowClockIsNotCountedAhead) {
    constexpr double kSlow = 1030.0;
    SignalTracker t;
    for (int32_t k = 0; k < 300; ++k) {
        const auto at = uint64_t(k * kSlow);
        const int64_t signal =
            k < 2 || k % 100 == 0
                ? t.take(k & 1, true, at - 100 * (k > 0), at + 10 + 290 * (k == 1), kPeriod)
                : t.take(k & 1, false, at + 800, at + 800, kPeriod);
        ASSERT_EQ(signal, k);
    }
    EXPECT_EQ(t.skipped(), 0u);
}

TEST(SignalTracker, TheOtherHalfGoesFirst) {
    SignalTracker t;
    take(t, {0, true, 50}, kPeriod);
    EXPECT_EQ(t.nextHalf(), 1);
    take(t, {1, true, 1050}, kPeriod);
    EXPECT_EQ(t.nextHalf(), 0);
}

} // namespace
