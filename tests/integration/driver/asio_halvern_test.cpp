// The driver object against the in-process simulator: what a host reads before streaming.
#include "AsioHalvern.h"
#include "test_support.h"

#include "halvern/platform/thread.h"
#include "halvern/protocol/bus_protocol.h"
#include "halvern/sim/simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

using halvern::driver::AsioHalvern;
using halvern::sim::SimConfig;
using halvern::sim::Simulator;
using halvern::test::StdoutCapture;
using halvern::test::TempRuntimeDir;
using halvern::test::TraceCapture;
using namespace halvern::protocol;

// Releases through COM, as a host does.
struct DriverDeleter {
    void operator()(AsioHalvern* d) const { d->NonDelegatingRelease(); }
};
using DriverPtr = std::unique_ptr<AsioHalvern, DriverDeleter>;

DriverPtr makeDriver() {
    auto* d = new AsioHalvern(nullptr);
    d->NonDelegatingAddRef();
    return DriverPtr(d);
}

std::size_t countRequests(const Simulator& sim, uint32_t code) {
    std::size_t n = 0;
    for (const auto& e : sim.journal())
        n += e.code == code ? 1 : 0;
    return n;
}

// The simulator notices closed connections on its own thread: give it a moment.
uint32_t settledConnections(const Simulator& sim, uint32_t expected) {
    for (int i = 0; i < 200 && sim.status().connections != expected; ++i)
        halvern::platform::sleepMs(5);
    return sim.status().connections;
}

class DriverTest : public ::testing::Test {
protected:
    Simulator& startSim(uint32_t model = kModelWren) {
        SimConfig c;
        c.model = model;
        c.runtimeDir = dir.path();
        sim = std::make_unique<Simulator>(c);
        EXPECT_TRUE(sim->start()) << sim->error();
        return *sim;
    }

    std::string channelName(AsioHalvern& d, bool input, int32_t channel) {
        ASIOChannelInfo info{};
        info.channel = channel;
        info.isInput = input ? ASIOTrue : ASIOFalse;
        EXPECT_EQ(d.getChannelInfo(&info), ASE_OK);
        EXPECT_EQ(info.type, ASIOSTInt32LSB);
        EXPECT_EQ(info.isActive, ASIOFalse);
        return std::string(info.name, strnlen(info.name, sizeof info.name));
    }

    TempRuntimeDir dir;
    std::unique_ptr<Simulator> sim;
};

TEST_F(DriverTest, InitWithoutDeviceFailsWithTraceAndMessage) {
    TraceCapture traces;
    auto d = makeDriver();
    StdoutCapture out;
    EXPECT_EQ(d->init(nullptr), ASIOFalse);
    const std::string printed = out.finish();
    EXPECT_TRUE(traces.contains("asio init.\n"));
    EXPECT_TRUE(traces.contains("无法打开HALVERN 声卡设备\n"));
    EXPECT_FALSE(traces.contains("Init Ok!"));
    EXPECT_NE(printed.find("No active device interfaces found"), std::string::npos) << printed;

    char message[kAsioErrorMessageSize + 8];
    std::memset(message, 0x5A, sizeof message);
    d->getErrorMessage(message);
    EXPECT_GT(std::strlen(message), 0u);
    EXPECT_LT(std::strlen(message), kAsioErrorMessageSize);
    for (std::size_t i = kAsioErrorMessageSize; i < sizeof message; ++i)
        EXPECT_EQ(message[i], 0x5A) << "wrote past the host's 124 bytes at " << i;

    // The device comes: the next init succeeds.
    startSim();
    EXPECT_EQ(d->init(nullptr), ASIOTrue);
    EXPECT_TRUE(traces.contains("Init Ok!\n"));
}

TEST_F(DriverTest, InitTwiceDoesNotTouchTheDeviceAgain) {
    startSim();
    auto d = makeDriver();
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    sim->unplug();
    TraceCapture traces;
    EXPECT_EQ(d->init(nullptr), ASIOTrue);
    EXPECT_TRUE(traces.contains("asio init.\n"));
    EXPECT_FALSE(traces.contains("无法打开"));
}

TEST_F(DriverTest, NameAndVersion) {
    auto d = makeDriver();
    char name[kAsioDriverNameSize];
    std::memset(name, 0x5A, sizeof name);
    d->getDriverName(name);
    EXPECT_STREQ(name, "Halvern ASIO");
    EXPECT_EQ(d->getDriverVersion(), 1);
}

TEST_F(DriverTest, ChannelCountsAreReadOnceAndCached) {
    startSim();
    auto d = makeDriver();
    int32_t in = 0, out = 0;
    ASSERT_EQ(d->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 12);
    EXPECT_EQ(out, 14);

    sim->setChannels(4, 6);
    ASSERT_EQ(d->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 12);
    EXPECT_EQ(out, 14);
    EXPECT_EQ(countRequests(*sim, IOCTL_ASIO_GET_CHANNELS), 1u);

    // A new object reads the device again.
    auto fresh = makeDriver();
    ASSERT_EQ(fresh->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 4);
    EXPECT_EQ(out, 6);
}

TEST_F(DriverTest, ChannelCountFailureIsNotCached) {
    startSim();
    auto d = makeDriver();
    sim->failRequests(IOCTL_ASIO_GET_CHANNELS, 31, 1);
    TraceCapture traces;
    int32_t in = -1, out = -1;
    EXPECT_EQ(d->getChannels(&in, &out), ASE_HWMalfunction);
    EXPECT_TRUE(traces.contains("send IOCTL_ASIO_GET_CHANNELS failed!!!!! 0x1f\n"));
    ASSERT_EQ(d->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 12);
    EXPECT_EQ(countRequests(*sim, IOCTL_ASIO_GET_CHANNELS), 2u);
}

TEST_F(DriverTest, ChannelNamesFollowTheModel) {
    startSim(kModelTern);
    auto d = makeDriver();
    EXPECT_EQ(channelName(*d, true, 0), "MIC1");
    EXPECT_EQ(channelName(*d, true, 3), "OTG4");
    EXPECT_EQ(channelName(*d, true, 11), "IN12");
    EXPECT_EQ(channelName(*d, false, 11), "OUT12");
    // Beyond the model's table: the generic name, never a read past the table.
    EXPECT_EQ(channelName(*d, false, 12), "OUT 13");
    EXPECT_EQ(channelName(*d, true, 127), "IN 128");

    sim->setModel(kModelWren);
    EXPECT_EQ(channelName(*d, false, 13), "OUT14");
    EXPECT_EQ(channelName(*d, false, 14), "OUT 15");

    sim->setModel(kModelKite);
    EXPECT_EQ(channelName(*d, true, 0), "IN 1");
    EXPECT_EQ(channelName(*d, false, 3), "OUT 4");
    EXPECT_EQ(countRequests(*sim, IOCTL_DEVICE_GET_PID), 10u);
}

TEST_F(DriverTest, ChannelInfoChecksTheChannelFirst) {
    startSim();
    auto d = makeDriver();
    for (int32_t channel : {-1, 128, 100000}) {
        ASIOChannelInfo info{};
        info.channel = channel;
        info.isInput = ASIOTrue;
        EXPECT_EQ(d->getChannelInfo(&info), ASE_InvalidParameter) << channel;
    }
    EXPECT_EQ(d->getChannelInfo(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(countRequests(*sim, IOCTL_DEVICE_GET_PID), 0u);

    sim->failRequests(IOCTL_DEVICE_GET_PID, 31, 1);
    TraceCapture traces;
    ASIOChannelInfo info{};
    EXPECT_EQ(d->getChannelInfo(&info), ASE_HWMalfunction);
    EXPECT_TRUE(traces.contains("Failed to get  PID Failed: 31\n"));
}

TEST_F(DriverTest, BufferSizesComeFreshFromTheDevice) {
    startSim();
    auto d = makeDriver();
    int32_t mn = 0, mx = 0, pref = 0, gran = 0;
    // Only the size the device runs at is offered: fixed, granularity 0.
    for (uint32_t size : {256u, 512u, 64u}) {
        sim->setBufferSize(size);
        ASSERT_EQ(d->getBufferSize(&mn, &mx, &pref, &gran), ASE_OK);
        EXPECT_EQ(std::vector<int32_t>({mn, mx, pref, gran}),
                  std::vector<int32_t>({int32_t(size), int32_t(size), int32_t(size), 0}));
    }

    sim->failRequests(IOCTL_ASIO_GET_BUFFER_SIZE, 1167, 1);
    TraceCapture traces;
    EXPECT_EQ(d->getBufferSize(&mn, &mx, &pref, &gran), ASE_HWMalfunction);
    EXPECT_TRUE(traces.contains("Failed to get buffer size Failed: 1167\n"));
}

TEST_F(DriverTest, EveryQueryReopensTheDevice) {
    startSim();
    auto d = makeDriver();
    double rate = 0;
    ASSERT_EQ(d->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(settledConnections(*sim, 1), 1u);

    // A handle kept from the last query would be dead now; the driver opens the device anew.
    sim->unplug();
    TraceCapture traces;
    EXPECT_EQ(d->getSampleRate(&rate), ASE_HWMalfunction);
    EXPECT_TRUE(traces.contains("句柄无效！！！！\n"));
    sim->replug();
    sim->setSampleRate(96000);
    sim->clearJournal();
    ASSERT_EQ(d->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 96000.0);
    int32_t mn, mx, pref, gran;
    ASSERT_EQ(d->getBufferSize(&mn, &mx, &pref, &gran), ASE_OK);
    ASSERT_EQ(countRequests(*sim, IOCTL_AUDIO_GET_SAMPLE_RATE), 1u);
    ASSERT_EQ(countRequests(*sim, IOCTL_ASIO_GET_BUFFER_SIZE), 1u);
    // The old handle is closed each time, not leaked.
    EXPECT_EQ(settledConnections(*sim, 1), 1u);
}

// Two host threads querying at once: neither may close the handle under the other's request.
TEST_F(DriverTest, QueriesFromTwoThreadsAtOnceAllSucceed) {
    startSim();
    auto d = makeDriver();
    constexpr int kCalls = 300;
    auto rates = std::async(std::launch::async, [&] {
        int ok = 0;
        for (int i = 0; i < kCalls; ++i) {
            double rate = 0;
            ok += d->getSampleRate(&rate) == ASE_OK && rate == 48000.0 ? 1 : 0;
        }
        return ok;
    });
    auto infos = std::async(std::launch::async, [&] {
        int ok = 0;
        for (int i = 0; i < kCalls; ++i) {
            ASIOChannelInfo info{};
            info.isInput = ASIOTrue;
            ok += d->getChannelInfo(&info) == ASE_OK && std::string(info.name) == "MIC1" ? 1 : 0;
        }
        return ok;
    });
    // A hung request cannot be joined: end the run rather than hang it.
    for (auto* f : {&rates, &infos}) {
        if (f->wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            ADD_FAILURE() << "the queries hang";
            std::_Exit(1);
        }
    }
    EXPECT_EQ(rates.get(), kCalls);
    EXPECT_EQ(infos.get(), kCalls);
}

TEST_F(DriverTest, LatenciesFollowTheLastRateRead) {
    startSim();
    auto d = makeDriver();
    int32_t in = 0, out = 0;
    // Before any rate is read the driver assumes 44100.
    ASSERT_EQ(d->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 216);
    EXPECT_EQ(out, 260);
    double rate = 0;
    ASSERT_EQ(d->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48000.0);
    ASSERT_EQ(d->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 224);
    EXPECT_EQ(out, 272);
}

// The device's rate is the only one accepted, read from the device at each call; the host is
// told of a change only for that rate, and the device is never asked to change.
TEST_F(DriverTest, OnlyTheRateTheDeviceRunsAtIsAccepted) {
    startSim();
    auto d = makeDriver();
    auto record = [&] {
        int32_t in = 0, out = 0;
        EXPECT_EQ(d->getLatencies(&in, &out), ASE_OK);
        return in;
    };
    const double inf = std::numeric_limits<double>::infinity();
    for (uint32_t device : {48000u, 96000u, 44100u}) {
        sim->setSampleRate(device);
        const double rate = device;
        EXPECT_EQ(d->canSampleRate(rate), ASE_OK) << device;
        TraceCapture traces;
        EXPECT_EQ(d->setSampleRate(rate), ASE_OK) << device;
        EXPECT_TRUE(traces.contains("ASIO  set Samplerate:  " + std::to_string(device)));
        EXPECT_EQ(record(), int32_t(device * 2 / 1000 + 128)) << device;
        for (double bad : {0.0, rate * 2, rate / 2, rate + 0.5, 44100.0 * 48000 / device, -rate,
                           inf, -inf, std::nan(""), 1e300}) {
            EXPECT_EQ(d->canSampleRate(bad), ASE_NoClock) << device << " " << bad;
            EXPECT_EQ(d->setSampleRate(bad), ASE_NoClock) << device << " " << bad;
        }
        // Refused rates leave the record at the device's.
        EXPECT_EQ(record(), int32_t(device * 2 / 1000 + 128)) << device;
    }
    EXPECT_EQ(countRequests(*sim, IOCTL_AUDIO_SET_SAMPLE_RATE), 0u);

    // A rate that cannot be read from the device is a malfunction, not a refusal.
    sim->failRequests(IOCTL_AUDIO_GET_SAMPLE_RATE, 31, 2);
    EXPECT_EQ(d->canSampleRate(44100.0), ASE_HWMalfunction);
    EXPECT_EQ(d->setSampleRate(44100.0), ASE_HWMalfunction);
}

TEST_F(DriverTest, ClockSources) {
    auto d = makeDriver();
    ASIOClockSource clocks[4];
    std::memset(clocks, 0x5A, sizeof clocks);
    int32_t n = 4;
    ASSERT_EQ(d->getClockSources(clocks, &n), ASE_OK);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(clocks[0].index, 0);
    EXPECT_EQ(clocks[0].associatedChannel, -1);
    EXPECT_EQ(clocks[0].associatedGroup, -1);
    EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
    EXPECT_STREQ(clocks[0].name, "Internal");
    // No room in the host's array: nothing written, the count left as the host gave it.
    for (int32_t room : {0, -1}) {
        std::memset(clocks, 0x5A, sizeof clocks);
        n = room;
        EXPECT_EQ(d->getClockSources(clocks, &n), ASE_InvalidParameter);
        EXPECT_EQ(n, room);
        EXPECT_EQ(clocks[0].index, 0x5A5A5A5A);
    }
    EXPECT_EQ(d->setClockSource(0), ASE_OK);
    EXPECT_EQ(d->setClockSource(1), ASE_NotPresent);
}

TEST_F(DriverTest, FutureSelectors) {
    auto d = makeDriver();
    for (int32_t s : {1, 2, 3, 9, 10, 11})
        EXPECT_EQ(d->future(s, nullptr), ASE_NotPresent) << s;
    for (int32_t s : {0, 4, 5, 8, 12, -1})
        EXPECT_EQ(d->future(s, nullptr), ASE_InvalidParameter) << s;
    EXPECT_EQ(d->outputReady(), ASE_OK);
}

TEST_F(DriverTest, DestructorTraces) {
    TraceCapture traces;
    { auto d = makeDriver(); }
    EXPECT_TRUE(traces.contains("asio destructor called.\n"));
}

} // namespace
