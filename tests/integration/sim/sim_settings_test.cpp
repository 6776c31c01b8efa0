// The device follows the settings dialog: the engine's stop and return, the values set while it
// is stopped, and the journal's mark on a change that came while it ran.
#include "sim_test_util.h"

#include "halvern/sim/control.h"

namespace halvern::sim::test {
namespace {

using namespace protocol;

using SimSettings = SimTest;

// Events until one of half 0 or 1 comes (true) or event 2 / the time-out (false).
bool nextHalf(Host& host, uint32_t timeoutMs = 1000) {
    const int e = host.wait(timeoutMs);
    return e == 0 || e == 1;
}

TEST_F(SimSettings, EngineReturnResumesAHostStreamWithTheValuesSetMeanwhile) {
    SimConfig c = config();
    c.bufferSize = 64;
    Simulator& sim = startSim(c);
    Client asio;
    Client panel;
    Host host(asio);
    ASSERT_TRUE(host.start());
    ASSERT_TRUE(sim.waitForPeriods(3, 2000));

    for (uint32_t resume : {IOCTL_AUDIO_RESTART, IOCTL_AUDIO_INIT}) {
        ASSERT_TRUE(panel.call(IOCTL_AUDIO_STOP));
        while (nextHalf(host)) {
        }
        EXPECT_FALSE(sim.status().streaming);
        ASSERT_TRUE(panel.set32(IOCTL_AUDIO_SET_BUFFER_SIZE, 128));
        ASSERT_TRUE(panel.set32(IOCTL_AUDIO_SET_SAMPLE_RATE, 44100));
        ASSERT_TRUE(panel.call(resume));
        EXPECT_TRUE(nextHalf(host)) << requestName(resume);
        Status s = sim.status();
        EXPECT_TRUE(s.streaming);
        EXPECT_EQ(s.sampleRate, 44100u);
        EXPECT_EQ(asio.get32(IOCTL_ASIO_GET_BUFFER_SIZE), 128u);
        EXPECT_EQ(asio.get32(IOCTL_AUDIO_GET_SAMPLE_RATE), 44100u);
    }

    // A host that stopped while the engine was down is not restarted by its return.
    ASSERT_TRUE(panel.call(IOCTL_AUDIO_STOP));
    while (nextHalf(host)) {
    }
    host.stop();
    ASSERT_TRUE(panel.call(IOCTL_AUDIO_RESTART));
    EXPECT_EQ(host.wait(100), -1);
    EXPECT_FALSE(sim.status().streaming);
}

TEST_F(SimSettings, ChangesWhileTheEngineRunsAreMarkedInTheJournal) {
    Simulator& sim = startSim();
    Client panel;
    ASSERT_TRUE(panel.set32(IOCTL_AUDIO_SET_BUFFER_SIZE, 128)); // the engine runs from power-on
    ASSERT_TRUE(panel.call(IOCTL_AUDIO_STOP));
    ASSERT_TRUE(panel.set32(IOCTL_AUDIO_SET_USB_LATENCY, 16));
    ASSERT_TRUE(panel.call(IOCTL_AUDIO_ENABLE_SLOW_MODE));
    ASSERT_TRUE(panel.call(IOCTL_AUDIO_INIT));
    ASSERT_TRUE(panel.set32(IOCTL_AUDIO_SET_WDM_CHANNELS, 4));
    EXPECT_NE(panel.get32(IOCTL_AUDIO_GET_USB_LATENCY), 0xFFFFFFFFu);

    const std::vector<std::pair<uint32_t, bool>> expected = {
        {IOCTL_AUDIO_SET_BUFFER_SIZE, true},
        {IOCTL_AUDIO_STOP, false},
        {IOCTL_AUDIO_SET_USB_LATENCY, false},
        {IOCTL_AUDIO_ENABLE_SLOW_MODE, false},
        {IOCTL_AUDIO_INIT, false},
        {IOCTL_AUDIO_SET_WDM_CHANNELS, true},
        {IOCTL_AUDIO_GET_USB_LATENCY, false},
    };
    const auto journal = sim.journal();
    ASSERT_EQ(journal.size(), expected.size()) << formatJournal(journal);
    for (std::size_t i = 0; i < journal.size(); ++i) {
        EXPECT_EQ(journal[i].code, expected[i].first) << i;
        EXPECT_EQ(journal[i].changedWhileRunning, expected[i].second) << formatJournal(journal);
        if (i > 0) {
            EXPECT_GE(journal[i].timeNs, journal[i - 1].timeNs);
        }
    }
    const std::string text = formatJournal({journal[0], journal[2]});
    EXPECT_NE(text.find("returned 0 (changed while engine runs)\n#"), std::string::npos) << text;
    EXPECT_EQ(text.find("(changed", text.find('\n')), std::string::npos) << text;

    const std::string status = formatStatus(sim.status());
    for (const char* line : {"USB latency: 16 frames\n", "slow mode: on\n", "WDM channels: 4\n",
                             "engine: initialised\n", "OTG: on\n"})
        EXPECT_NE(status.find(line), std::string::npos) << line << status;
}

TEST_F(SimSettings, UsbLatencyStartsAtEightAndIsSetFromControl) {
    Simulator& sim = startSim();
    EXPECT_EQ(sim.status().usbLatency, 8u);
    ControlCommand cmd;
    std::string error;
    for (const char* bad : {"0", "1025", "x"})
        EXPECT_FALSE(parseControlCommand({"usb-latency", bad}, cmd, error)) << bad;
    ASSERT_TRUE(parseControlCommand({"usb-latency", "24"}, cmd, error)) << error;
    bool ok = false;
    EXPECT_EQ(runControlCommand(sim, cmd, ok), "USB latency 24 frames\n");
    EXPECT_TRUE(ok);
    Client panel;
    EXPECT_EQ(panel.get32(IOCTL_AUDIO_GET_USB_LATENCY), 24u);
}

} // namespace
} // namespace halvern::sim::test
