// Faults on demand: unplug and replug, failing and slowed requests, and the control commands
// that set them.
#include "sim_test_util.h"

#include "halvern/platform/clock.h"
#include "halvern/platform/thread.h"
#include "halvern/sim/control.h"

#include <atomic>
#include <cctype>
#include <sstream>
#include <thread>

namespace halvern::sim::test {
namespace {

using namespace protocol;

using SimFaults = SimTest;

TEST_F(SimFaults, UnplugFailsRequestsAndOpensUntilReplug) {
    SimConfig c = config();
    c.bufferSize = 64;
    Simulator& sim = startSim(c);
    Client client;
    Host host(client);
    ASSERT_TRUE(host.start());
    ASSERT_TRUE(sim.waitForPeriods(3, 2000));

    sim.unplug();
    EXPECT_FALSE(sim.status().plugged);
    EXPECT_FALSE(sim.status().streaming);
    int e;
    do {
        e = host.wait(1000);
    } while (e == 0 || e == 1);
    EXPECT_EQ(e, 2) << "a running stream hears the unplug";

    EXPECT_EQ(client.get32(IOCTL_DEVICE_GET_PID), 0xFFFFFFFFu);
    EXPECT_EQ(client.error, platform::kErrorDeviceNotConnected);
    Client late;
    EXPECT_FALSE(platform::isValid(late.handle));
    EXPECT_EQ(late.error, platform::kErrorFileNotFound);

    sim.replug();
    EXPECT_TRUE(sim.status().plugged);
    Client again;
    ASSERT_TRUE(platform::isValid(again.handle)) << again.error;
    EXPECT_EQ(again.get32(IOCTL_DEVICE_GET_PID), kModelWren);
    // The old handle stays dead, as a handle to a removed device does.
    EXPECT_FALSE(client.call(IOCTL_DEVICE_GET_PID));

    // The sample areas survive the replug: the host finds the same mapping.
    uint8_t* before = host.inputArea;
    Host second(again);
    ASSERT_TRUE(second.mapAreas());
    EXPECT_EQ(second.inputArea, before);
}

TEST_F(SimFaults, FailedRequestsCountDownAndClear) {
    Simulator& sim = startSim();
    Client client;
    sim.failRequests(IOCTL_AUDIO_GET_SAMPLE_RATE, platform::kErrorGenFailure, 2);
    EXPECT_EQ(client.get32(IOCTL_AUDIO_GET_SAMPLE_RATE), 0xFFFFFFFFu);
    EXPECT_EQ(client.error, platform::kErrorGenFailure);
    EXPECT_EQ(client.get32(IOCTL_DEVICE_GET_PID), kModelWren); // other codes unaffected
    EXPECT_EQ(client.get32(IOCTL_AUDIO_GET_SAMPLE_RATE), 0xFFFFFFFFu);
    EXPECT_EQ(client.get32(IOCTL_AUDIO_GET_SAMPLE_RATE), 48000u);

    // Code 0 is every request, until cleared; a failed set changes nothing.
    sim.failRequests(0, platform::kErrorDeviceNotConnected);
    EXPECT_FALSE(client.set32(IOCTL_AUDIO_SET_SAMPLE_RATE, 44100));
    EXPECT_EQ(client.error, platform::kErrorDeviceNotConnected);
    EXPECT_FALSE(client.call(IOCTL_DEVICE_GET_PID));
    sim.clearFaults();
    EXPECT_EQ(client.get32(IOCTL_AUDIO_GET_SAMPLE_RATE), 48000u);

    auto journal = sim.journal();
    ASSERT_GE(journal.size(), 6u);
    EXPECT_FALSE(journal[0].success);
    EXPECT_EQ(journal[0].error, platform::kErrorGenFailure);
    EXPECT_EQ(journal[0].bytesReturned, 0u);
    EXPECT_TRUE(journal[1].success);
}

// A slowed request holds up its caller, not the device's clock.
TEST_F(SimFaults, SlowRequestDelaysOnlyTheCaller) {
    SimConfig c = config();
    c.bufferSize = 48;
    Simulator& sim = startSim(c);
    Client asio;
    Host host(asio);
    ASSERT_TRUE(host.start());
    ASSERT_TRUE(sim.waitForPeriods(5, 2000));

    sim.slowRequests(IOCTL_DEVICE_GET_PID, 300);
    Client panel;
    std::atomic<bool> done{false};
    uint64_t took = 0;
    std::thread caller([&] {
        uint64_t t = platform::monotonicNs();
        EXPECT_EQ(panel.get32(IOCTL_DEVICE_GET_PID), kModelWren);
        took = platform::monotonicNs() - t;
        done = true;
    });
    platform::sleepMs(50);
    uint64_t before = sim.status().periods;
    platform::sleepMs(100);
    uint64_t during = sim.status().periods;
    caller.join();
    EXPECT_TRUE(done);
    EXPECT_GE(took, 280'000'000u);
    EXPECT_GT(during, before + 20) << "the clock stalled behind the slow request";

    sim.slowRequests(IOCTL_DEVICE_GET_PID, 0);
    uint64_t t = platform::monotonicNs();
    EXPECT_EQ(panel.get32(IOCTL_DEVICE_GET_PID), kModelWren);
    EXPECT_LT(platform::monotonicNs() - t, 200'000'000u);
    host.stop();
}

TEST_F(SimFaults, UnplugEndsASlowedRequest) {
    Simulator& sim = startSim();
    Client client;
    sim.slowRequests(0, 5000);
    std::thread unplugger([&] {
        platform::sleepMs(100);
        sim.unplug();
    });
    uint64_t t = platform::monotonicNs();
    EXPECT_FALSE(client.call(IOCTL_DEVICE_GET_PID));
    EXPECT_EQ(client.error, platform::kErrorDeviceNotConnected);
    EXPECT_LT(platform::monotonicNs() - t, 3'000'000'000u);
    unplugger.join();
}

TEST(SimControl, ParsesCommandsAndRequestCodes) {
    uint32_t code = 0;
    EXPECT_TRUE(parseRequestCode("IOCTL_AUDIO_GET_SAMPLE_RATE", code));
    EXPECT_EQ(code, IOCTL_AUDIO_GET_SAMPLE_RATE);
    EXPECT_TRUE(parseRequestCode("0xFFDC2020", code));
    EXPECT_EQ(code, 0xFFDC2020u);
    EXPECT_TRUE(parseRequestCode("any", code));
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(parseRequestCode("IOCTL_NOPE", code));
    EXPECT_FALSE(parseRequestCode("0x1FFFFFFFF", code));

    ControlCommand cmd;
    std::string error;
    ASSERT_TRUE(parseControlCommand({"fail", "IOCTL_DEVICE_GET_PID", "1167", "3"}, cmd, error));
    EXPECT_EQ(cmd.kind, ControlCommand::Fail);
    EXPECT_EQ(cmd.code, IOCTL_DEVICE_GET_PID);
    EXPECT_EQ(cmd.error, 1167u);
    EXPECT_EQ(cmd.count, 3u);
    ASSERT_TRUE(parseControlCommand({"fail", "0xFFDC2020"}, cmd, error));
    EXPECT_EQ(cmd.error, 31u);
    EXPECT_EQ(cmd.count, 0u);
    ASSERT_TRUE(parseControlCommand({"journal", "5"}, cmd, error));
    EXPECT_EQ(cmd.count, 5u);
    ASSERT_TRUE(parseControlCommand({"loopback", "on"}, cmd, error));
    EXPECT_TRUE(cmd.on);

    for (const std::vector<std::string>& bad : {std::vector<std::string>{},
                                                {"fly"},
                                                {"status", "x"},
                                                {"fail"},
                                                {"fail", "BOGUS"},
                                                {"slow", "IOCTL_DEVICE_GET_PID"},
                                                {"slow", "0", "soon"},
                                                {"usb-errors", "-1"},
                                                {"loopback", "maybe"},
                                                {"journal", "1", "2"},
                                                {"model", "heron"},
                                                {"firmware", "eleven-char"},
                                                {"firmware", "1", "2"},
                                                {"clock-ppm", "0x10"},
                                                {"clock-ppm", "100001"},
                                                {"fail-opens"}}) {
        EXPECT_FALSE(parseControlCommand(bad, cmd, error)) << (bad.empty() ? "" : bad[0]);
        EXPECT_FALSE(error.empty());
    }
}

// The usage and the parser come from one table; a command the usage names but the parser does
// not know would be an entry read by no one.
TEST(SimControl, UsageNamesOnlyCommandsTheParserKnows) {
    std::istringstream usage(controlUsage());
    std::size_t named = 0;
    for (std::string line; std::getline(usage, line);) {
        if (line.size() < 3 || line.compare(0, 2, "  ") != 0 ||
            !std::islower(static_cast<unsigned char>(line[2])))
            continue;
        const std::string syntax = line.substr(2, line.find("  ", 2) - 2);
        for (std::size_t at = 0; at != std::string::npos;) {
            const std::size_t bar = syntax.find(" | ", at);
            const std::string part = syntax.substr(at, bar == std::string::npos ? bar : bar - at);
            at = bar == std::string::npos ? bar : bar + 3;
            const std::string name = part.substr(0, part.find(' '));
            if (!std::islower(static_cast<unsigned char>(name[0])))
                continue; // an argument's alternative ("TEXT | B0 ... B9")
            ControlCommand cmd;
            std::string error;
            parseControlCommand({name}, cmd, error);
            EXPECT_EQ(error.find("unknown command"), std::string::npos) << name;
            ++named;
        }
    }
    EXPECT_GE(named, 25u);
}

TEST_F(SimFaults, ControlCommandsDriveTheSimulator) {
    Simulator& sim = startSim();
    Client client;
    auto run = [&](std::vector<std::string> words) {
        ControlCommand cmd;
        std::string error;
        EXPECT_TRUE(parseControlCommand(words, cmd, error)) << error;
        bool ok = false;
        std::string reply = runControlCommand(sim, cmd, ok);
        EXPECT_TRUE(ok) << reply;
        return reply;
    };
    EXPECT_NE(run({"status"}).find("model: Wren (2), 12 inputs, 14 outputs"), std::string::npos);
    run({"fail", "IOCTL_DEVICE_GET_PID", "50", "1"});
    EXPECT_FALSE(client.call(IOCTL_DEVICE_GET_PID));
    EXPECT_EQ(client.error, 50u);
    EXPECT_NE(run({"journal", "1"}).find("IOCTL_DEVICE_GET_PID in[0] error 50"), std::string::npos);
    EXPECT_EQ(run({"clock-ppm", "-100"}), "clock -100 ppm\n");
    EXPECT_EQ(sim.status().clockPpm, -100);
    run({"usb-errors", "9"});
    EXPECT_EQ(sim.status().usbErrorCount, 9u);
    run({"loopback", "on"});
    EXPECT_EQ(sim.status().input, InputSource::Loopback);
    ASSERT_TRUE(client.call(IOCTL_DEVICE_SEND_COMMAND, mic48VCommand(2, 1).bytes, 37));
    EXPECT_NE(run({"commands"}).find("01 5b 00 01 02 00 00 (+30 zero bytes)"), std::string::npos);
    EXPECT_EQ(run({"stop-stream"}), "no stream was running\n");
    run({"unplug"});
    EXPECT_FALSE(sim.status().plugged);
    EXPECT_EQ(run({"replug"}), "plugged\n");
    EXPECT_TRUE(sim.status().plugged);

    // What the shell's tests change while the daemon runs: model, firmware, refused opens.
    EXPECT_EQ(run({"model", "tern"}), "model Tern (1)\n");
    Client replugged;
    EXPECT_EQ(replugged.get32(IOCTL_DEVICE_GET_PID), 1u);
    EXPECT_EQ(run({"firmware", "V2.0"}), "firmware \"V2.0      \"\n");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sim.status().firmware), 10), "V2.0      ");
    run({"firmware", "1", "2", "3", "4", "5", "6", "7", "8", "9", "0xff"});
    EXPECT_EQ(sim.status().firmware[9], 0xff);
    run({"fail-opens", "1", "32"});
    EXPECT_FALSE(platform::isValid(platform::openBusDeviceByName(L"\\\\.\\HalvernAudioBus0")));
    EXPECT_EQ(platform::lastError(), 32u);
    Client next;
    EXPECT_TRUE(platform::isValid(next.handle));
}

} // namespace
} // namespace halvern::sim::test
