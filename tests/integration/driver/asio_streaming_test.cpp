// Streaming against the in-process simulator: buffers in the shared areas, the buffer switch
// with and without time info, the hardware stop, and start and stop as the device sees them.
#include "fake_host.h"
#include "tiny_bus_server.h"

#include "halvern/platform/bus_device.h"
#include "halvern/platform/event.h"
#include "halvern/platform/posix/bus_server.h"
#include "halvern/platform/runtime_dir.h"
#include "halvern/platform/test_seams.h"

#include <climits>
#include <cstring>
#include <functional>
#include <sys/stat.h>

namespace {

using namespace halvern::test;
using namespace halvern::protocol;
namespace platform = halvern::platform;

// Only the device's own size lays the halves out as the device plays them: any other is refused
// before the areas are touched or the callbacks taken.
TEST_F(StreamingTest, CreateBuffersTakesOnlyTheDevicesSize) {
    startSim(128);
    AsioHalvern& d = newDriver();
    ASIOBufferInfo info{ASIOTrue, 0, {nullptr, nullptr}};
    ASIOCallbacks cb = hostCallbacks();
    TraceCapture traces;
    for (int32_t size : {0, -1, -256, 64, 127, 256, 2048, 2049, INT_MAX, INT_MIN})
        EXPECT_EQ(d.createBuffers(&info, 1, size, &cb), ASE_InvalidParameter) << size;
    EXPECT_TRUE(
        traces.contains("createBuffers refused: buffer size 256, the device runs at 128\n"));
    EXPECT_EQ(d.createBuffers(&info, -1, 128, &cb), ASE_InvalidParameter);
    EXPECT_EQ(d.createBuffers(nullptr, 1, 128, &cb), ASE_InvalidParameter);
    EXPECT_EQ(d.createBuffers(&info, 1, 128, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(info.buffers[0], nullptr);
    EXPECT_EQ(countRequests(IOCTL_ASIO_GET_SHARED_MEMORY), 0u);
    EXPECT_EQ(d.start(), ASE_NotPresent);

    // After the panel changed the device, the new size is the one taken; a size that cannot
    // be read fails as the device does.
    sim->setBufferSize(2048);
    EXPECT_EQ(d.createBuffers(&info, 1, 128, &cb), ASE_InvalidParameter);
    EXPECT_EQ(d.createBuffers(&info, 1, 2048, &cb), ASE_OK);
    sim->failRequests(IOCTL_ASIO_GET_BUFFER_SIZE, 31, 1);
    EXPECT_EQ(d.createBuffers(&info, 1, 2048, &cb), ASE_HWMalfunction);
}

TEST_F(StreamingTest, HalfBuffersSitInTheSharedAreasAndAreZeroed) {
    startSim();
    AsioHalvern& d = newDriver();
    // The areas as the driver will see them: the transport maps them once per process.
    platform::Handle bus = platform::openBusDeviceByName(L"\\\\.\\HalvernAudioBus0");
    ASSERT_TRUE(platform::isValid(bus));
    SharedMemoryReply reply;
    ASSERT_TRUE(platform::deviceIoControl(bus, IOCTL_ASIO_GET_SHARED_MEMORY, nullptr, 0,
                                          reply.bytes, sizeof reply.bytes, nullptr));
    platform::closeBusDevice(bus);
    auto* in = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(reply.inputArea()));
    auto* out = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(reply.outputArea()));
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    std::memset(in, 0x5A, 4 * 2048);
    std::memset(out, 0x5A, 4 * 2048);

    ASSERT_EQ(createThree(256), ASE_OK);
    EXPECT_EQ(infos[0].buffers[0], in);
    EXPECT_EQ(infos[0].buffers[1], in + 1024);
    EXPECT_EQ(infos[1].buffers[0], in + 2048);
    EXPECT_EQ(infos[1].buffers[1], in + 3072);
    EXPECT_EQ(infos[2].buffers[0], out);
    EXPECT_EQ(infos[2].buffers[1], out + 1024);
    // Both halves of each channel are cleared, and nothing beyond them.
    for (int i = 0; i < 4096; ++i)
        ASSERT_EQ(in[i], 0) << i;
    EXPECT_EQ(in[4096], 0x5A);
    for (int i = 0; i < 2048; ++i)
        ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(out[2048], 0x5A);

    ASIOChannelInfo info{};
    info.channel = 1;
    info.isInput = ASIOTrue;
    ASSERT_EQ(d.getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOTrue);
    info.channel = 2;
    ASSERT_EQ(d.getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOFalse);
    info.channel = 1;
    info.isInput = ASIOFalse;
    ASSERT_EQ(d.getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOFalse);
}

// A device whose areas hold fewer channels than the table, and who claims the whole layout for
// them: only halves inside the areas as mapped, of channels the device has, are handed out;
// anything else fails, leaves no buffers and touches nothing of either area.
TEST_F(StreamingTest, HalvesMustFitTheRealAreasAndTheDevicesChannels) {
    namespace posix = halvern::platform::posix;
    constexpr std::size_t kAreaBytes = 1 << 16; // four channels at 2048 samples
    auto input = posix::SharedArea::create("in", kAreaBytes);
    auto output = posix::SharedArea::create("out", kAreaBytes);
    ASSERT_TRUE(input && output);
    ::mkdir(platform::busDirectory().c_str(), 0700); // may be there already
    TinyBusServer device(platform::busDirectory() + "/HalvernAudioBus0", [&](posix::BusRequest& r) {
        posix::BusReply reply;
        uint8_t bytes[SharedMemoryReply::kSize] = {};
        if (r.code == IOCTL_ASIO_GET_BUFFER_SIZE) {
            putLe32(bytes, 2048);
            reply.output.assign(bytes, bytes + 4);
        } else if (r.code == IOCTL_ASIO_GET_CHANNELS) {
            putLe32(bytes, 3);
            putLe32(bytes + 4, 8);
            reply.output.assign(bytes, bytes + 8);
        } else if (r.code == IOCTL_ASIO_GET_SHARED_MEMORY) {
            putLe64(bytes + 16, kSharedAreaBytes);
            putLe64(bytes + 24, kSharedAreaBytes);
            reply.output.assign(bytes, bytes + sizeof bytes);
            reply.fds = {input->fd(), output->fd()};
        }
        return reply;
    });
    ASSERT_TRUE(device.listening());
    AsioHalvern& d = newDriver();
    ASIOCallbacks cb = hostCallbacks();
    struct Case {
        ASIOBufferInfo list[2];
        ASIOError result;
        const char* trace;
    } cases[] = {
        {{{ASIOTrue, 2, {}}, {ASIOFalse, 3, {}}}, ASE_OK, ""},
        {{{ASIOFalse, 0, {}}, {ASIOFalse, 4, {}}},
         ASE_HWMalfunction,
         "output channel 4 needs 81920 bytes, the area has 65536"},
        {{{ASIOFalse, 0, {}}, {ASIOTrue, 3, {}}},
         ASE_HWMalfunction,
         "createBuffers refused: the device has no input channel 3"},
    };
    for (Case& c : cases) {
        ASSERT_EQ(createThree(2048), ASE_OK) << "buffers to be left behind";
        std::memset(input->data(), 0x5A, kAreaBytes);
        std::memset(output->data(), 0x5A, kAreaBytes);
        TraceCapture traces;
        EXPECT_EQ(d.createBuffers(c.list, 2, 2048, &cb), c.result) << c.trace;
        if (c.result == ASE_OK)
            continue;
        EXPECT_TRUE(traces.contains(c.trace)) << traces.text();
        EXPECT_EQ(c.list[0].buffers[0], nullptr);
        ASIOChannelInfo info{};
        info.isInput = ASIOTrue;
        ASSERT_EQ(d.getChannelInfo(&info), ASE_OK);
        EXPECT_EQ(info.isActive, ASIOFalse) << "no buffers are left";
        for (std::size_t i = 0; i < kAreaBytes; ++i)
            ASSERT_EQ(output->data()[i], 0x5A) << i;
    }
}

TEST_F(StreamingTest, ChannelOutsideTheAreasLeavesNoBuffers) {
    startSim();
    AsioHalvern& d = newDriver();
    for (int32_t bad : {128, -1}) {
        ASIOBufferInfo list[3] = {{ASIOTrue, 0, {}}, {ASIOFalse, 3, {}}, {ASIOTrue, bad, {}}};
        ASIOCallbacks cb = hostCallbacks();
        TraceCapture traces;
        EXPECT_EQ(d.createBuffers(list, 3, 256, &cb), ASE_HWMalfunction) << bad;
        EXPECT_TRUE(traces.contains("disposeBuffers.\n"));
        for (auto [input, channel] : {std::pair{ASIOTrue, 0}, std::pair{ASIOFalse, 3}}) {
            ASIOChannelInfo info{};
            info.channel = channel;
            info.isInput = input;
            ASSERT_EQ(d.getChannelInfo(&info), ASE_OK);
            EXPECT_EQ(info.isActive, ASIOFalse) << channel;
        }
        // No callbacks were taken: the stream cannot start.
        EXPECT_EQ(d.start(), ASE_NotPresent);
    }
}

TEST_F(StreamingTest, StartBeforeCreateBuffersTouchesNoDevice) {
    startSim();
    AsioHalvern& d = newDriver();
    EXPECT_EQ(d.start(), ASE_NotPresent);
    EXPECT_TRUE(sim->journal().empty()) << formatJournal(sim->journal());
    EXPECT_EQ(AsioHalvern::liveAudioThreads(), 0);
}

TEST_F(StreamingTest, EventsGiveAlternatingSwitchesWithThePositionAdvancedBeforeEach) {
    startSim(256);
    AsioHalvern& d = newDriver();
    ASSERT_EQ(createThree(256), ASE_OK);
    TraceCapture traces;
    const uint32_t priorityBefore = platform::processPriorityClass();
    ASSERT_EQ(d.start(), ASE_OK);
    EXPECT_EQ(platform::processPriorityClass(), platform::kRealtimePriorityClass);
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= 6; }));
    ASSERT_EQ(d.stop(), ASE_OK);
    EXPECT_EQ(AsioHalvern::liveAudioThreads(), 0);
    // The process gets its own class back with the end of the stream.
    EXPECT_EQ(platform::processPriorityClass(), priorityBefore);

    const auto switches = host.switchesCopy();
    for (std::size_t k = 0; k < switches.size(); ++k) {
        EXPECT_EQ(switches[k].index, int32_t(k % 2)) << k;
        EXPECT_EQ(switches[k].direct, ASIOTrue);
        EXPECT_FALSE(switches[k].timeInfo);
        EXPECT_EQ(switches[k].position, 256u * (k + 1)) << k;
    }
    // No switch after stop.
    platform::sleepMs(30);
    EXPECT_EQ(host.switchCount(), switches.size());

    // The device saw: events registered (24 bytes), started; then withdrawn and stopped.
    std::vector<uint32_t> codes;
    for (const auto& e : sim->journal())
        if (e.code == IOCTL_ASIO_SET_EVENTS || e.code == IOCTL_ASIO_START ||
            e.code == IOCTL_ASIO_STOP)
            codes.push_back(e.code * 100 + e.inputLength);
    EXPECT_EQ(codes,
              (std::vector<uint32_t>{IOCTL_ASIO_SET_EVENTS * 100 + 24, IOCTL_ASIO_START * 100,
                                     IOCTL_ASIO_SET_EVENTS * 100, IOCTL_ASIO_STOP * 100}));
    EXPECT_FALSE(sim->status().streaming);
    EXPECT_TRUE(traces.contains("Start ASIO Audio Thread!\n"));
    EXPECT_TRUE(traces.contains("Timer On Func!\n"));
    EXPECT_TRUE(traces.contains("Timer Off ASIOThreadHandle Close Handle Success!\n"));
    EXPECT_TRUE(traces.contains("Start In..............!!!\n"));
    // The host asked for time info and was told "no".
    EXPECT_EQ(host.count(kAsioSupportsTimeInfo), 1);
}

// One stream, judged against the device's own count of the signals it gave: what breaks the
// rules of a host that fell behind, or "" when it keeps them.
struct StreamOutcome {
    std::vector<HostRecord::Switch> switches;
    uint64_t skipped = 0;
    uint64_t lateTicks = 0; // the simulated device paused with the machine: its count no
                            // longer follows the time the driver measures
    std::string faults(uint32_t frames) const {
        std::vector<std::string> found;
        auto fault = [&](std::size_t k, const std::string& what) {
            found.push_back("switch " + std::to_string(k) + ": " + what + "\n");
        };
        for (std::size_t k = 0; k < switches.size(); ++k) {
            const auto& s = switches[k];
            const uint64_t signal = s.position / frames - 1;
            const std::string half = "half " + std::to_string(s.index);
            if (s.position % frames != 0 || int32_t(signal % 2) != s.index)
                fault(k, half + " at " + std::to_string(s.position));
            if (k > 0 &&
                (s.index == switches[k - 1].index || s.position <= switches[k - 1].position))
                fault(k, half + " again");
            // Never a half the device has not given; always one of its latest.
            if (signal + 1 > s.given || signal + 1 + 3 < s.given)
                fault(k, "signal " + std::to_string(signal) + ", the device gave " +
                             std::to_string(s.given));
        }
        if (!switches.empty() && switches.back().position / frames != switches.size() + skipped)
            found.push_back("signals neither handed over nor counted as skipped\n");
        std::string text;
        for (std::size_t i = 0; i < found.size() && i < 5; ++i)
            text += found[i];
        return found.size() > 5 ? text + std::to_string(found.size() - 5) + " more\n" : text;
    }
};

class BehindTest : public StreamingTest {
protected:
    // Streams until `count` switches; the stream is tried again (three times at most) while the
    // simulated device paused, which a real one never does.
    StreamOutcome stream(uint32_t frames, std::size_t count, const std::function<void()>& setUp) {
        StreamOutcome out;
        for (int attempt = 0; attempt < 3; ++attempt) {
            host.driver = nullptr;
            host.deviceCount = nullptr;
            driver.reset();
            sim.reset();
            startSim(frames);
            auto times =
                platform::posix::MappedFile::open(halvern::sim::signalTimesPath(dir.path(), 0),
                                                  sizeof(halvern::sim::SignalTimes), false);
            if (!times)
                return out;
            host.deviceCount = &static_cast<const halvern::sim::SignalTimes*>(times->data())->count;
            AsioHalvern& d = newDriver();
            double rate = 0; // as a host asks, before its buffers
            if (d.getSampleRate(&rate) != ASE_OK || createThree(frames) != ASE_OK)
                return out;
            host.switches.clear();
            setUp();
            if (d.start() != ASE_OK ||
                !waitUntil([&] { return host.switchCount() >= count; }, int(count) * 30 + 3000))
                return out;
            out.skipped = AsioHalvernTestAccess::skippedHalves(d);
            d.stop();
            host.deviceCount = nullptr;
            out.switches = host.switchesCopy();
            out.lateTicks = sim->status().lateTicks;
            if (out.lateTicks == 0)
                break;
        }
        return out;
    }
};

// A host callback that takes several periods: the device goes on, both half events are set
// when the host comes back. The halves keep the device's alternation, and the position counts
// every half the device played, the skipped ones too.
TEST_F(BehindTest, AHostThatFellBehindKeepsTheDevicesOrderAndPosition) {
    constexpr uint32_t kFrames = 1024; // 21.3 ms at 48 kHz
    for (double periods : {2.5, 3.5, 4.5}) {
        const StreamOutcome o = stream(kFrames, 7, [&] {
            host.stallAt = 1;
            host.stallMs = int(periods * kFrames * 1000 / sim->status().sampleRate);
        });
        ASSERT_GE(o.switches.size(), 7u) << periods;
        EXPECT_EQ(o.faults(kFrames), "") << periods << ", late ticks " << o.lateTicks;
        EXPECT_EQ(o.skipped > 0, periods > 3) << periods;
    }
}

// A host whose callbacks take 80 % of the period, on a device whose clock runs slow: every wait
// is short, yet none finds its event set. Nothing may be skipped as behind, nor may the count
// run ahead of the device as the clocks part.
TEST_F(BehindTest, AHostWithLittleToSpareOnASlowClockKeepsTheDevicesCount) {
    constexpr uint32_t kFrames = 128; // 2.67 ms at 48 kHz
    const StreamOutcome o = stream(kFrames, 700, [&] {
        sim->setClockPpm(-30000);
        host.holdUs = int(0.8 * kFrames * 1e6 / sim->status().sampleRate);
    });
    ASSERT_GE(o.switches.size(), 700u);
    EXPECT_EQ(o.faults(kFrames), "") << "late ticks " << o.lateTicks;
}

TEST_F(StreamingTest, TimeInfoCarriesPositionRateFlagsAndTimeCode) {
    startSim(256);
    AsioHalvern& d = newDriver();
    double rate = 0;
    ASSERT_EQ(d.getSampleRate(&rate), ASE_OK);
    ASSERT_EQ(rate, 48000.0);
    host.timeInfoAnswer = 1;
    ASSERT_EQ(createThree(256), ASE_OK);
    ASSERT_EQ(d.future(kAsioEnableTimeCodeRead, nullptr), ASE_NotPresent);
    ASSERT_EQ(d.start(), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= 3; }));
    // A rate change while streaming (the panel moved the device) is reported once, in a
    // record that carries the new rate.
    const std::size_t before = host.switchCount();
    // The rate in force again is no change.
    ASSERT_EQ(d.setSampleRate(48000.0), ASE_OK);
    ASSERT_EQ(d.setSampleRate(48000.0), ASE_OK);
    sim->setSampleRate(96000);
    ASSERT_EQ(d.setSampleRate(96000.0), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= before + 3; }));
    ASSERT_EQ(d.stop(), ASE_OK);

    const auto switches = host.switchesCopy();
    std::size_t changed = 0;
    bool newRateSeen = false;
    for (std::size_t k = 0; k < switches.size(); ++k) {
        const auto& s = switches[k];
        ASSERT_TRUE(s.timeInfo) << k;
        EXPECT_EQ(s.index, int32_t(k % 2));
        EXPECT_EQ(s.direct, ASIOTrue);
        const AsioTimeInfo& info = s.time.timeInfo;
        // The record is packed to 4 bytes: its doubles are read by value.
        const double speed = info.speed;
        const double rate = info.sampleRate;
        const double codeSpeed = s.time.timeCode.speed;
        EXPECT_EQ(speed, 1.0);
        EXPECT_EQ(info.samplePosition.hi, 0u);
        EXPECT_EQ(info.samplePosition.lo, 256u * (k + 1)) << k;
        EXPECT_EQ(s.position, 256u * (k + 1));
        EXPECT_EQ(info.flags & 7u, 7u);
        EXPECT_EQ(info.flags & kClockSourceChanged, 0u);
        if (info.flags & kSampleRateChanged) {
            ++changed;
            EXPECT_EQ(rate, 96000.0) << k;
        }
        // The rate moves once, from the device's to the new one.
        if (newRateSeen) {
            EXPECT_EQ(rate, 96000.0) << k;
        } else {
            EXPECT_TRUE(rate == 48000.0 || rate == 96000.0) << k;
        }
        newRateSeen = newRateSeen || rate == 96000.0;
        EXPECT_EQ(s.time.timeCode.flags, kTcValid | kTcRunning);
        EXPECT_EQ(codeSpeed, 1.0);
        EXPECT_EQ(s.time.timeCode.timeCodeSamples.hi, 0u);
        // Ten minutes ahead of the position (checked where the rate was settled).
        if (k + 1 < before) {
            EXPECT_EQ(s.time.timeCode.timeCodeSamples.lo, 48000u * 600 + info.samplePosition.lo)
                << k;
        }
    }
    EXPECT_EQ(changed, 1u);
    EXPECT_EQ(host.rateChanges, std::vector<double>{96000.0});
    EXPECT_EQ(host.count(kAsioSupportsTimeInfo), 1);
}

// At 32 samples a period is two thirds of a millisecond: every switch still gets a stamp of its
// own, and the record carries the device's rate though the host never read it.
TEST_F(StreamingTest, SmallBuffersGetRisingStampsAndTheDevicesRate) {
    startSim(32);
    AsioHalvern& d = newDriver();
    host.timeInfoAnswer = 1;
    ASSERT_EQ(createThree(32), ASE_OK);
    ASSERT_EQ(d.start(), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= 200; }));
    ASSERT_EQ(d.stop(), ASE_OK);
    const auto switches = host.switchesCopy();
    for (std::size_t k = 0; k < switches.size(); ++k) {
        const double rate = switches[k].time.timeInfo.sampleRate;
        ASSERT_EQ(rate, 48000.0) << k;
        const ASIOTimeStamp t = switches[k].time.timeInfo.systemTime;
        EXPECT_EQ(uint64_t(t.hi) << 32 | t.lo, switches[k].stamp) << k;
        if (k > 0) {
            ASSERT_GT(switches[k].stamp, switches[k - 1].stamp) << k;
        }
    }
}

// Dispose implies stop: the host frees its side once dispose returns. A dispose with nothing
// to dispose, and a failed createBuffers, leave no buffer listed.
TEST_F(StreamingTest, DisposeWhileRunningStopsTheSwitches) {
    startSim(256);
    AsioHalvern& d = newDriver();
    EXPECT_EQ(d.disposeBuffers(), ASE_InvalidMode);
    ASSERT_EQ(createThree(256), ASE_OK);
    ASSERT_EQ(d.start(), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= 2; }));
    EXPECT_EQ(d.disposeBuffers(), ASE_OK);
    EXPECT_EQ(AsioHalvern::liveAudioThreads(), 0);
    EXPECT_FALSE(sim->status().streaming);
    const std::size_t switches = host.switchCount();
    platform::sleepMs(50);
    EXPECT_EQ(host.switchCount(), switches);
    EXPECT_EQ(d.disposeBuffers(), ASE_InvalidMode);

    ASSERT_EQ(createThree(256), ASE_OK);
    EXPECT_EQ(createThree(128), ASE_InvalidParameter);
    ASIOChannelInfo info{};
    info.isInput = ASIOTrue;
    ASSERT_EQ(d.getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOFalse);
    EXPECT_EQ(d.disposeBuffers(), ASE_InvalidMode);
}

TEST_F(StreamingTest, HardwareStopAsksForOneResetAndEndsTheThread) {
    startSim(256);
    AsioHalvern& d = newDriver();
    ASSERT_EQ(createThree(256), ASE_OK);
    TraceCapture traces;
    ASSERT_EQ(d.start(), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= 2; }));
    sim->clearJournal();
    sim->hardwareStop();
    ASSERT_TRUE(waitUntil([&] { return host.count(kAsioResetRequest) >= 1; }));
    // The thread ends on its own, promptly (it does not wait for itself).
    EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveAudioThreads() == 0; }, 500));
    const std::size_t switches = host.switchCount();
    platform::sleepMs(50);
    EXPECT_EQ(host.switchCount(), switches);
    EXPECT_EQ(host.count(kAsioResetRequest), 1);
    EXPECT_TRUE(traces.contains("Hardware Stop! Envent is 2\n"));
    EXPECT_TRUE(traces.contains("Hardware stop.\n"));
    EXPECT_TRUE(traces.contains("End ASIO Audio Thread"));
    EXPECT_EQ(countRequests(IOCTL_ASIO_STOP), 1u);

    // Buffers and callbacks are gone; the host's own stop and dispose still work.
    ASIOChannelInfo info{};
    info.isInput = ASIOTrue;
    ASSERT_EQ(d.getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOFalse);
    EXPECT_EQ(d.start(), ASE_NotPresent);
    EXPECT_EQ(d.stop(), ASE_OK);
    EXPECT_EQ(d.disposeBuffers(), ASE_OK);

    // The host resets as it is asked to and streams again.
    ASSERT_EQ(createThree(256), ASE_OK);
    ASSERT_EQ(d.start(), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= switches + 2; }));
    EXPECT_EQ(d.stop(), ASE_OK);
}

TEST_F(StreamingTest, UnplugDuringStreamAsksForReset) {
    startSim(256);
    AsioHalvern& d = newDriver();
    ASSERT_EQ(createThree(256), ASE_OK);
    ASSERT_EQ(d.start(), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= 2; }));
    sim->unplug();
    ASSERT_TRUE(waitUntil([&] { return host.count(kAsioResetRequest) == 1; }));
    EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveAudioThreads() == 0; }));
    // The host's own teardown finds no device and still succeeds.
    EXPECT_EQ(d.stop(), ASE_OK);
    EXPECT_EQ(d.disposeBuffers(), ASE_OK);
}

// A device that goes away without setting its stop event: the thread finds it gone after its
// waits time out and asks the host for one reset. A device that still answers but sends no
// signal for a second (another host stopped it) is asked about once too, and the stream is
// kept for the host; a shorter pause asks nothing.
TEST_F(StreamingTest, ADeviceGoneOrQuietWithoutItsStopEventAsksForOneReset) {
    struct Case {
        bool gone;
        uint32_t quietMs;
        int resets;
    };
    for (const Case c : {Case{true, 0, 1}, Case{false, 1300, 1}, Case{false, 600, 0}}) {
        const bool gone = c.gone;
        startSim(256);
        AsioHalvern& d = newDriver();
        ASSERT_EQ(createThree(256), ASE_OK);
        ASSERT_EQ(d.start(), ASE_OK);
        ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= 2; }));
        // The device keeps the event it was given; the thread now waits on another one.
        const platform::Handle registered =
            AsioHalvernTestAccess::swapEvent(d, 2, platform::createEvent(false, false));
        // A wait already under way still has the old one.
        const std::size_t swapped = host.switchCount();
        ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= swapped + 2; }));
        if (gone)
            sim->unplug();
        else
            ASSERT_TRUE(sim->stallClock(c.quietMs));
        const std::size_t before = host.switchCount();
        EXPECT_EQ(waitUntil([&] { return host.count(kAsioResetRequest) == 1; }, 2500),
                  c.resets == 1)
            << c.quietMs;
        if (gone) {
            EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveAudioThreads() == 0; }));
        } else {
            EXPECT_TRUE(waitUntil([&] { return host.switchCount() >= before + 2; }));
        }
        platform::sleepMs(600);
        EXPECT_EQ(host.count(kAsioResetRequest), c.resets) << c.quietMs;
        EXPECT_EQ(d.stop(), ASE_OK);
        platform::closeHandle(registered);
        host.driver = nullptr;
        driver.reset();
        sim.reset();
        host.messages.clear();
    }
}

TEST_F(StreamingTest, FailedWaitsNeverReachTheHostAsAHalf) {
    startSim(256);
    AsioHalvern& d = newDriver();
    ASSERT_EQ(createThree(256), ASE_OK);
    ASSERT_EQ(d.start(), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= 2; }));
    TraceCapture traces;
    // A descriptor that is not open: every wait on it fails.
    const platform::Handle bogus = reinterpret_cast<platform::Handle>(intptr_t(60000));
    const platform::Handle saved = AsioHalvernTestAccess::swapEvent(d, 0, bogus);
    // Failing waits are retried for a while, then the stream is torn down as a hardware stop.
    ASSERT_TRUE(waitUntil([&] { return host.count(kAsioResetRequest) == 1; }));
    EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveAudioThreads() == 0; }));
    EXPECT_TRUE(traces.contains("Audio thread wait failed: 6\n"));
    for (const auto& s : host.switchesCopy())
        EXPECT_TRUE(s.index == 0 || s.index == 1) << s.index;
    platform::closeHandle(saved);
}

// A host that only scans its drivers (init, release) must not stop a stream that another
// host runs: only the object that registered its events stops the device.
TEST_F(StreamingTest, AnObjectThatNeverStartedLeavesTheDeviceAlone) {
    startSim();
    AsioHalvern& d = newDriver();
    TraceCapture traces;
    EXPECT_EQ(d.init(nullptr), ASIOTrue);
    EXPECT_EQ(d.stop(), ASE_OK);
    EXPECT_TRUE(traces.contains("Timer Off ASIOThreadHandle is NULL!\n"));
    host.driver = nullptr;
    driver.reset();
    EXPECT_EQ(countRequests(IOCTL_ASIO_STOP), 0u);
    EXPECT_EQ(countRequests(IOCTL_ASIO_SET_EVENTS), 0u);
}

TEST_F(StreamingTest, StartFailuresAreReportedAndStopCleansUp) {
    startSim();
    AsioHalvern& d = newDriver();
    ASSERT_EQ(createThree(256), ASE_OK);
    sim->failRequests(IOCTL_ASIO_SET_EVENTS, 31, 1);
    TraceCapture traces;
    EXPECT_EQ(d.start(), ASE_HWMalfunction);
    EXPECT_TRUE(traces.contains("failed to set event: 0x1f\n"));
    EXPECT_EQ(AsioHalvern::liveAudioThreads(), 0);

    sim->failRequests(IOCTL_ASIO_START, 31, 1);
    EXPECT_EQ(d.start(), ASE_HWMalfunction);
    EXPECT_TRUE(traces.contains("failed to Start input buffers: 0x1f\n"));
    // The thread stays until stop ends it.
    EXPECT_EQ(AsioHalvern::liveAudioThreads(), 1);
    EXPECT_EQ(d.stop(), ASE_OK);
    EXPECT_EQ(AsioHalvern::liveAudioThreads(), 0);
}

// A start that fails before the device streams leaves nothing behind: no start request, no
// thread, no events, not running; the next start streams.
TEST_F(StreamingTest, AStartThatFailsEarlyLeavesNothingRunning) {
    struct Case {
        const char* what;
        std::function<void()> fault;
        const char* trace;
    } cases[] = {
        {"event 0", [] { platform::testing::failEventCreations(1, 0); },
         "failed to create event 0: 0x8\n"},
        {"event 1", [] { platform::testing::failEventCreations(1, 1); },
         "failed to create event 1: 0x8\n"},
        {"event 2", [] { platform::testing::failEventCreations(1, 2); },
         "failed to create event 2: 0x8\n"},
        {"open", [&] { sim->failOpens(1); }, "asio start.\n"},
        {"registration", [&] { sim->failRequests(IOCTL_ASIO_SET_EVENTS, 31, 1); },
         "failed to set event: 0x1f\n"},
    };
    startSim(256);
    AsioHalvern& d = newDriver();
    ASSERT_EQ(createThree(256), ASE_OK);
    for (const Case& c : cases) {
        sim->clearJournal();
        const std::size_t switches = host.switchCount();
        TraceCapture traces;
        c.fault();
        EXPECT_EQ(d.start(), ASE_HWMalfunction) << c.what;
        EXPECT_TRUE(traces.contains(c.trace)) << c.what << "\n" << traces.text();
        EXPECT_EQ(countRequests(IOCTL_ASIO_START), 0u) << c.what;
        EXPECT_EQ(AsioHalvern::liveAudioThreads(), 0) << c.what;
        EXPECT_FALSE(AsioHalvernTestAccess::running(d)) << c.what;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(AsioHalvernTestAccess::swapEvent(d, i, nullptr), nullptr)
                << c.what << " " << i;
        platform::sleepMs(30);
        EXPECT_EQ(host.switchCount(), switches) << c.what;

        ASSERT_EQ(d.start(), ASE_OK) << c.what;
        EXPECT_TRUE(waitUntil([&] { return host.switchCount() >= switches + 2; })) << c.what;
        ASSERT_EQ(d.stop(), ASE_OK);
    }
}

TEST_F(StreamingTest, RepeatedStartKeepsOneThreadAndStreams) {
    startSim(256);
    AsioHalvern& d = newDriver();
    ASSERT_EQ(createThree(256), ASE_OK);
    ASSERT_EQ(d.start(), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= 2; }));
    ASSERT_EQ(d.start(), ASE_OK);
    EXPECT_EQ(AsioHalvern::liveAudioThreads(), 1);
    const std::size_t before = host.switchCount();
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= before + 4; }));
    EXPECT_EQ(AsioHalvern::liveAudioThreads(), 1);
    // The second stream starts from position 0 and half 0 again.
    const auto switches = host.switchesCopy();
    std::size_t restart = 0;
    for (std::size_t k = 1; k < switches.size(); ++k)
        if (switches[k].position <= switches[k - 1].position)
            restart = k;
    ASSERT_GT(restart, 0u);
    EXPECT_EQ(switches[restart].position, 256u);
    EXPECT_EQ(switches[restart].index, 0);
    EXPECT_EQ(d.stop(), ASE_OK);
}

// Two driver objects in one process: A streams, B starts, the host releases A. B keeps its own
// thread and the device it streams from; A's stop leaves both alone.
TEST_F(StreamingTest, TwoDriverObjectsEachOwnTheirThread) {
    startSim(256);
    AsioHalvern& a = newDriver();
    ASSERT_EQ(createThree(256), ASE_OK);
    ASSERT_EQ(a.start(), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= 2; }));

    // The callbacks are shared: no switch may look at A's position once A can go.
    host.driver = nullptr;
    DriverPtr b = makeDriver();
    ASIOBufferInfo list[1] = {{ASIOFalse, 0, {}}};
    ASIOCallbacks cb = hostCallbacks();
    ASSERT_EQ(b->createBuffers(list, 1, 256, &cb), ASE_OK);
    ASSERT_EQ(b->start(), ASE_OK);
    EXPECT_EQ(AsioHalvern::liveAudioThreads(), 2);
    driver.reset();
    EXPECT_EQ(AsioHalvern::liveAudioThreads(), 1);
    EXPECT_TRUE(sim->status().streaming);
    const std::size_t before = host.switchCount();
    EXPECT_TRUE(waitUntil([&] { return host.switchCount() >= before + 4; }));
    EXPECT_EQ(b->stop(), ASE_OK);
    EXPECT_EQ(AsioHalvern::liveAudioThreads(), 0);
    EXPECT_FALSE(sim->status().streaming);
}

TEST_F(StreamingTest, CallbacksAreCopiedNotBorrowed) {
    startSim(256);
    AsioHalvern& d = newDriver();
    {
        // A host whose record lives only for the call.
        ASIOBufferInfo list[1] = {{ASIOFalse, 0, {}}};
        ASIOCallbacks temporary = hostCallbacks();
        ASSERT_EQ(d.createBuffers(list, 1, 256, &temporary), ASE_OK);
        std::memset(&temporary, 0xFF, sizeof temporary);
    }
    ASSERT_EQ(d.start(), ASE_OK);
    EXPECT_TRUE(waitUntil([&] { return host.switchCount() >= 2; }));
    EXPECT_EQ(d.stop(), ASE_OK);
}

TEST_F(StreamingTest, ReleaseWhileStreamingEndsEverything) {
    startSim(256);
    AsioHalvern& d = newDriver();
    ASSERT_EQ(createThree(256), ASE_OK);
    ASSERT_EQ(d.start(), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return host.switchCount() >= 2; }));
    host.driver = nullptr;
    driver.reset();
    EXPECT_EQ(AsioHalvern::liveAudioThreads(), 0);
    EXPECT_EQ(AsioHalvern::liveListenerThreads(), 0);
    EXPECT_FALSE(sim->status().streaming);
    const std::size_t switches = host.switchCount();
    platform::sleepMs(30);
    EXPECT_EQ(host.switchCount(), switches);
}

} // namespace
