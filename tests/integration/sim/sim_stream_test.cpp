// Streaming through the simulator: the period clock, the shared areas, loopback and the
// published signal times.
#include "sim_test_util.h"

#include "halvern/platform/clock.h"
#include "halvern/platform/posix/bus_server.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace halvern::sim::test {
namespace {

using namespace protocol;

using SimStream = SimTest;

TEST_F(SimStream, EventsAlternateAtThePeriod) {
    SimConfig c = config();
    c.sampleRate = 48000;
    c.bufferSize = 48; // 1 ms
    Simulator& sim = startSim(c);
    Client client;
    Host host(client);
    ASSERT_TRUE(host.start()) << client.error;
    EXPECT_TRUE(sim.status().streaming);

    std::vector<int> seen;
    const uint64_t begin = platform::monotonicNs();
    while (platform::monotonicNs() - begin < 200'000'000ull) {
        int e = host.wait(100);
        ASSERT_NE(e, -1) << "no event within 100 ms";
        ASSERT_NE(e, 2) << "unexpected hardware stop";
        seen.push_back(e);
    }
    const double elapsedMs = double(platform::monotonicNs() - begin) / 1e6;
    ASSERT_TRUE(host.stop());

    // About one signal per millisecond; a loaded machine may deliver fewer, never a burst.
    EXPECT_GT(seen.size(), 40u);
    EXPECT_LT(double(seen.size()), elapsedMs * 1.5 + 5);
    // A wait can find both halves due when the test thread was late; the device itself
    // alternates, and mostly the test sees that.
    std::size_t alternations = 0;
    for (std::size_t i = 1; i < seen.size(); ++i)
        alternations += seen[i] != seen[i - 1];
    EXPECT_GT(double(alternations), 0.8 * double(seen.size() - 1));

    Status s = sim.status();
    EXPECT_FALSE(s.streaming);
    EXPECT_GE(s.periods, seen.size());
    EXPECT_FALSE(s.eventsRegistered);
}

// The published period and the signals' times follow the clock, also one told to run slow or
// fast.
TEST_F(SimStream, SignalTimesArePublished) {
    for (const auto& [ppm, periodNs] :
         {std::pair{0, 2'000'000u}, std::pair{-20000, 2'040'816u}, std::pair{50000, 1'904'761u}}) {
        sims.clear(); // the one before, on the same name
        SimConfig c = config();
        c.sampleRate = 48000;
        c.bufferSize = 96; // 2 ms
        c.clockPpm = ppm;
        Simulator& sim = startSim(c);
        Client client;
        Host host(client);
        ASSERT_TRUE(host.start());
        ASSERT_TRUE(sim.waitForPeriods(100, 5000));
        ASSERT_TRUE(host.stop());

        auto file = platform::posix::MappedFile::open(signalTimesPath(dir.path(), 0),
                                                      sizeof(SignalTimes), false);
        ASSERT_TRUE(file);
        const auto* t = static_cast<const SignalTimes*>(file->data());
        EXPECT_EQ(t->periodNs, periodNs) << ppm;
        const uint64_t count = __atomic_load_n(&t->count, __ATOMIC_ACQUIRE);
        EXPECT_GE(count, 100u);
        EXPECT_EQ(count, sim.status().periods);
        for (uint64_t n = 0; n < count; ++n)
            ASSERT_EQ(t->entries[n].sequence, n + 1) << n;
        for (uint64_t n = 1; n < count; ++n)
            EXPECT_GT(t->entries[n].timeNs, t->entries[n - 1].timeNs);
        // Each signal comes less than a period after its own deadline (later, and the clock
        // pauses: see below), so the clock neither loses nor gains over the stream.
        if (sim.status().lateTicks == 0) {
            uint64_t origin = UINT64_MAX, spread = 0;
            for (uint64_t n = 0; n < count; ++n)
                origin = std::min(origin, t->entries[n].timeNs - n * periodNs);
            for (uint64_t n = 0; n < count; ++n)
                spread = std::max(spread, t->entries[n].timeNs - n * periodNs - origin);
            EXPECT_LT(spread, periodNs) << ppm;
        }
    }
}

TEST_F(SimStream, AStalledClockPausesInsteadOfBurstingOrSkipping) {
    SimConfig c = config();
    c.sampleRate = 48000;
    c.bufferSize = 256; // 5.33 ms
    Simulator& sim = startSim(c);
    Client client;
    Host host(client);
    ASSERT_TRUE(host.start());
    ASSERT_TRUE(sim.waitForPeriods(5, 5000));
    ASSERT_TRUE(sim.stallClock(40)); // more than seven periods
    const uint64_t before = sim.status().periods;
    ASSERT_TRUE(sim.waitForPeriods(before + 15, 5000));
    const uint64_t late = sim.status().lateTicks;
    ASSERT_TRUE(host.stop());
    EXPECT_FALSE(sim.stallClock(10)) << "no stream runs any more";
    EXPECT_GE(late, 5u);

    auto file = platform::posix::MappedFile::open(signalTimesPath(dir.path(), 0),
                                                  sizeof(SignalTimes), false);
    ASSERT_TRUE(file);
    const auto* t = static_cast<const SignalTimes*>(file->data());
    const uint64_t count = __atomic_load_n(&t->count, __ATOMIC_ACQUIRE);
    ASSERT_GE(count, 20u);
    // After the stall the device goes on from where it was: one gap, then whole periods, never
    // two signals at once (which would cost the host a half).
    uint64_t longest = 0;
    for (uint64_t n = 1; n < count; ++n) {
        const uint64_t gap = t->entries[n].timeNs - t->entries[n - 1].timeNs;
        longest = std::max(longest, gap);
        EXPECT_GT(gap, t->periodNs / 10) << "signals " << n - 1 << " and " << n << " came together";
    }
    EXPECT_GT(longest, 30'000'000u);
}

TEST_F(SimStream, TestSignalFillsTheInputHalves) {
    SimConfig c = config();
    c.bufferSize = 256;
    Simulator& sim = startSim(c);
    Client client;
    Host host(client);
    ASSERT_TRUE(host.start());
    ASSERT_NE(host.wait(1000), -1);
    ASSERT_TRUE(sim.waitForPeriods(20, 2000)); // past the first 50 ms meter window
    for (uint32_t ch = 0; ch < 2; ++ch) {
        int32_t peak = 0;
        for (uint32_t half = 0; half < 2; ++half) {
            const int32_t* in = host.input(ch, 256, half);
            for (uint32_t i = 0; i < 256; ++i)
                peak = std::max(peak, std::abs(in[i]));
        }
        EXPECT_NEAR(peak, testTonePeak(), testTonePeak() * 0.01) << ch;
    }
    // Channels past the model's inputs are never written.
    EXPECT_EQ(host.input(12, 256, 0)[0], 0);
    MeterBlock m = sim.meters();
    EXPECT_NEAR(m.level(0), testTonePeak(), testTonePeak() * 0.01);
    host.stop();
}

// What the host writes into an output half is played one buffer later and comes back in the
// other input half, the one signalled after it.
TEST_F(SimStream, LoopbackReturnsTheOutputOneBufferLaterInTheNextHalf) {
    SimConfig c = config();
    c.bufferSize = 1024; // 21 ms at 48 kHz: room for a slow test thread
    c.input = InputSource::Loopback;
    const uint32_t n = c.bufferSize;
    startSim(c);
    Client client;
    Host host(client);
    ASSERT_TRUE(host.start());

    bool matched = false;
    for (int attempt = 0; attempt < 5 && !matched; ++attempt) {
        int e;
        while ((e = host.wait(1000)) == 1) {
        }
        ASSERT_EQ(e, 0);
        int32_t* out = host.output(1, n, 0);
        for (uint32_t i = 0; i < n; ++i)
            out[i] = int32_t(0x1000 * (attempt + 1) + i);
        // Halves 1, 0 and 1 again: the device has played what was just written and recorded
        // it into input half 1. A test thread that fell a whole period behind sees another
        // order and tries again.
        const int expected[] = {1, 0, 1};
        std::size_t seen = 0;
        for (int k = 0; k < 8 && seen < 3; ++k) {
            e = host.wait(1000);
            ASSERT_TRUE(e == 0 || e == 1) << e;
            seen = e == expected[seen] ? seen + 1 : 0;
        }
        const int32_t* in = host.input(1, n, 1);
        matched = std::equal(out, out + n, in);
        std::memset(out, 0, n * 4);
    }
    EXPECT_TRUE(matched);
    // A channel the host left silent stays silent.
    EXPECT_EQ(host.input(0, n, 0)[10], 0);
    host.stop();
}

// The loop keeps the device's own layout: a host that places its halves for another size reads
// another channel's samples back, as it would from a real interface.
TEST_F(SimStream, LoopbackCatchesAHostAtAnotherSize) {
    SimConfig c = config();
    c.bufferSize = 256;
    c.input = InputSource::Loopback;
    Simulator& sim = startSim(c);
    Client client;
    Host host(client);
    ASSERT_TRUE(host.start());
    for (uint32_t size : {256u, 128u, 512u}) {
        std::memset(host.outputArea, 0, 4 * 2 * 512 * 4);
        // Every sample names its channel and its place in the half.
        auto sample = [](uint32_t ch, uint32_t i) { return int32_t((ch + 1) << 16 | i); };
        for (uint32_t ch = 0; ch < 4; ++ch)
            for (uint32_t half = 0; half < 2; ++half)
                for (uint32_t i = 0; i < size; ++i)
                    host.output(ch, size, half)[i] = sample(ch, i);
        ASSERT_TRUE(sim.waitForPeriods(sim.status().periods + 6, 3000));
        bool same = true;
        for (uint32_t ch = 0; ch < 4; ++ch)
            for (uint32_t half = 0; half < 2; ++half)
                for (uint32_t i = 0; i < size; ++i)
                    same = same && host.input(ch, size, half)[i] == sample(ch, i);
        EXPECT_EQ(same, size == 256) << size;
    }
    host.stop();
}

TEST_F(SimStream, PlaybackReachesOutputMetersThroughTheGains) {
    SimConfig c = config();
    c.bufferSize = 256;
    c.input = InputSource::Loopback;
    Simulator& sim = startSim(c);
    Client client;
    MixerMatrix matrix;
    matrix.setOutputGain(0, 1.0);
    matrix.setOutputGain(1, 0.25);
    ASSERT_TRUE(client.call(IOCTL_MIXER_SET_MATRIX, matrix.bytes, MixerMatrix::kSize));
    Host host(client);
    ASSERT_TRUE(host.start());
    for (uint32_t half = 0; half < 2; ++half)
        for (uint32_t ch = 0; ch < 2; ++ch)
            std::fill_n(host.output(ch, 256, half), 256, 1 << 28);
    ASSERT_TRUE(sim.waitForPeriods(40, 3000)); // > 2 meter windows
    MeterBlock m = sim.meters();
    EXPECT_EQ(m.level(kMeterPlaybackBase + 0), 1 << 28);
    EXPECT_EQ(m.level(kMeterOutputBase + 0), 1 << 28);
    EXPECT_EQ(m.level(kMeterOutputBase + 1), 1 << 26);
    EXPECT_EQ(m.level(kMeterInputBase + 0), 1 << 28); // loopback
    host.stop();
}

TEST_F(SimStream, HardwareStopSetsEventTwoAndEndsTheStream) {
    SimConfig c = config();
    c.bufferSize = 64;
    Simulator& sim = startSim(c);
    Client client;
    Host host(client);
    ASSERT_TRUE(host.start());
    ASSERT_TRUE(sim.waitForPeriods(5, 2000));
    sim.hardwareStop();
    int e;
    do {
        e = host.wait(1000);
    } while (e == 0 || e == 1);
    EXPECT_EQ(e, 2);
    EXPECT_EQ(host.wait(50), -1) << "a half was signalled after the stop";
    Status s = sim.status();
    EXPECT_FALSE(s.streaming);
    EXPECT_FALSE(s.asioStarted);
    EXPECT_TRUE(host.stop());
}

// The panel stops the audio engine for a settings change: the stream ends with event 2, and
// the driver cannot start again until the engine is back.
TEST_F(SimStream, AudioStopEndsTheStream) {
    SimConfig c = config();
    c.bufferSize = 64;
    Simulator& sim = startSim(c);
    Client asio;
    Client panel;
    Host host(asio);
    ASSERT_TRUE(host.start());
    ASSERT_TRUE(sim.waitForPeriods(3, 2000));
    ASSERT_TRUE(panel.call(IOCTL_AUDIO_STOP));
    int e;
    do {
        e = host.wait(1000);
    } while (e == 0 || e == 1);
    EXPECT_EQ(e, 2);
    host.stop();

    EXPECT_FALSE(asio.call(IOCTL_ASIO_START));
    EXPECT_EQ(asio.error, platform::kErrorGenFailure);
    ASSERT_TRUE(panel.call(IOCTL_AUDIO_RESTART));
    ASSERT_TRUE(host.start());
    EXPECT_NE(host.wait(1000), -1);
    host.stop();
}

// The driver closes and reopens its handle before each query: the stream belongs to the
// device, not to the handle that started it.
TEST_F(SimStream, StreamOutlivesTheHandleThatStartedIt) {
    SimConfig c = config();
    c.bufferSize = 64;
    Simulator& sim = startSim(c);
    auto client = std::make_unique<Client>();
    Host host(*client);
    ASSERT_TRUE(host.start());
    uint8_t* areaBefore = host.inputArea;
    client->close();
    uint64_t p = sim.status().periods;
    ASSERT_TRUE(sim.waitForPeriods(p + 5, 2000));
    EXPECT_TRUE(sim.status().streaming);

    ASSERT_TRUE(client->open());
    ASSERT_TRUE(host.mapAreas());
    EXPECT_EQ(host.inputArea, areaBefore); // the same areas, mapped once
    host.stop();
    EXPECT_FALSE(sim.status().streaming);
}

TEST_F(SimStream, ForeignDescriptorsAreNotTakenForEvents) {
    startSim();
    Client client;
    // Handles that are not events (here the device socket itself) are refused.
    EventRegistration reg;
    for (int i = 0; i < 3; ++i)
        reg.setHandle(std::size_t(i), reinterpret_cast<uint64_t>(client.handle));
    uint8_t reply = 1;
    EXPECT_FALSE(client.call(IOCTL_ASIO_SET_EVENTS, reg.bytes, 24, &reply, 1));
    EXPECT_EQ(client.error, platform::kErrorInvalidHandle);
}

} // namespace
} // namespace halvern::sim::test
