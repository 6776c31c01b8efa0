// The driver's side of the panel pipes: status messages to a test panel, and the listener that
// turns a panel's connection into one reset request.
#include "fake_host.h"

#include "com/server.h"

namespace {

using namespace halvern::test;
using namespace halvern::protocol;
namespace platform = halvern::platform;

StatusMessage decode(const std::vector<uint8_t>& bytes) {
    EXPECT_EQ(bytes.size(), StatusMessage::kSize);
    uint8_t wire[StatusMessage::kSize] = {};
    std::copy_n(bytes.begin(), std::min(bytes.size(), sizeof wire), wire);
    return StatusMessage::fromWire(wire);
}

void expectStatus(const std::vector<uint8_t>& bytes, uint32_t bufferSize, uint32_t running,
                  uint32_t openWindow) {
    const StatusMessage m = decode(bytes);
    EXPECT_EQ(m.bufferSize, bufferSize);
    EXPECT_EQ(m.constant1024, 1024u);
    EXPECT_EQ(m.constant44100, 44100u);
    EXPECT_EQ(m.running, running);
    EXPECT_EQ(m.openWindow, openWindow);
}

using PipesTest = StreamingTest;

TEST_F(PipesTest, WithoutPanelControlPanelFailsAndStartStillSucceeds) {
    startSim();
    AsioHalvern& d = newDriver();
    TraceCapture traces;
    EXPECT_EQ(d.controlPanel(), ASE_InvalidParameter);
    EXPECT_TRUE(traces.contains("controlPanel.\n"));
    EXPECT_TRUE(traces.contains("Failed to connect to the pipe.\n"));
    ASSERT_EQ(createThree(256), ASE_OK);
    EXPECT_EQ(d.start(), ASE_OK);
    EXPECT_EQ(d.stop(), ASE_OK);
}

TEST_F(PipesTest, StatusMessagesFromStartControlPanelAndDestructor) {
    startSim(128);
    TestPanel panel;
    AsioHalvern& d = newDriver();
    ASSERT_EQ(createThree(128), ASE_OK);
    ASSERT_EQ(d.start(), ASE_OK);
    ASSERT_TRUE(panel.waitFor(1));
    TraceCapture traces;
    ASSERT_EQ(d.controlPanel(), ASE_OK);
    EXPECT_TRUE(traces.contains("Connected to the pipe.\n"));
    ASSERT_TRUE(panel.waitFor(2));
    driver.reset();
    ASSERT_TRUE(panel.waitFor(3));

    const auto messages = panel.messages();
    ASSERT_EQ(messages.size(), 3u);
    expectStatus(messages[0], 128, 1, 0);
    expectStatus(messages[1], 128, 1, 1);
    expectStatus(messages[2], 128, 0, 0);
}

// A client that writes is the panel, whatever it writes: one reset request, and the listener
// ends once it has closed. One that sends nothing (all a client that can only read can do) is
// dropped: no reset, and the listener stays for the panel.
TEST_F(PipesTest, OneResetRequestPerPanelConnectionThatWrites) {
    startSim();
    AsioHalvern& d = newDriver();
    ASSERT_EQ(createThree(256), ASE_OK);
    int expected = 0;
    for (const std::string payload : {"1", "", "not the reset byte"}) {
        TraceCapture traces;
        // Each start brings the listener back: it ends once the panel has closed its end.
        ASSERT_EQ(d.start(), ASE_OK);
        ASSERT_TRUE(signalDriver(payload));
        if (payload.empty()) {
            ASSERT_TRUE(waitUntil([&] { return traces.contains("Client sent no signal.\n"); }));
            EXPECT_EQ(AsioHalvern::liveListenerThreads(), 1);
            EXPECT_EQ(host.count(kAsioResetRequest), expected);
            ASSERT_TRUE(signalDriver("1")); // the panel still gets through
        }
        ++expected;
        ASSERT_TRUE(waitUntil([&] { return host.count(kAsioResetRequest) >= expected; }))
            << payload;
        EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveListenerThreads() == 0; }));
        EXPECT_EQ(host.count(kAsioResetRequest), expected) << payload;
        EXPECT_TRUE(traces.contains("Client connected"));
        EXPECT_TRUE(traces.contains("pipeReadThead exit.\n"));
    }
    ASSERT_EQ(d.stop(), ASE_OK);
}

TEST_F(PipesTest, RepeatedStartLeavesOneListener) {
    startSim();
    AsioHalvern& d = newDriver();
    ASSERT_EQ(createThree(256), ASE_OK);
    TraceCapture traces;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(d.start(), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return traces.contains("Pipe Created"); }));
    EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveListenerThreads() == 1; }));
    // Each earlier listener was ended by the next start, quickly (its wait was cancelled).
    EXPECT_FALSE(traces.contains("Failed to create the pipe"));
    ASSERT_TRUE(signalDriver("1"));
    ASSERT_TRUE(waitUntil([&] { return host.count(kAsioResetRequest) == 1; }));
    platform::sleepMs(50);
    EXPECT_EQ(host.count(kAsioResetRequest), 1);
    ASSERT_EQ(d.stop(), ASE_OK);
}

// A panel that holds the pipe open after its signal is reported about once per round, not at every
// turn of a spinning loop; when it leaves, the listener ends.
TEST_F(PipesTest, AClientHoldingThePipeDoesNotSpinTheListener) {
    AsioHalvern& d = newDriver();
    ASSERT_EQ(d.start(), ASE_NotPresent);
    TraceCapture traces;
    platform::Handle client = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        client = platform::openPipeClient(kPanelToAsioPipe);
        return platform::isValid(client);
    }));
    uint32_t written = 0;
    ASSERT_TRUE(platform::writePipe(client, "1", 1, &written));
    platform::sleepMs(300);
    std::size_t already = 0;
    for (const std::string& line : traces.lines())
        already += line == "Client already connected.\n" ? 1 : 0;
    EXPECT_LE(already, 3u);
    platform::closePipeClient(client);
    EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveListenerThreads() == 0; }));
}

TEST_F(PipesTest, ListenerWithoutCallbacksSendsNothing) {
    AsioHalvern& d = newDriver();
    // start without buffers still brings up the listener, but there is no host to tell.
    EXPECT_EQ(d.start(), ASE_NotPresent);
    EXPECT_EQ(AsioHalvern::liveListenerThreads(), 1);
    // A running listener keeps the module loaded, like an object does.
    EXPECT_EQ(halvern::com::serverLockCount(), 1);
    ASSERT_TRUE(signalDriver("1"));
    EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveListenerThreads() == 0; }));
    EXPECT_EQ(halvern::com::serverLockCount(), 0);
    EXPECT_EQ(host.count(kAsioResetRequest), 0);
}

TEST_F(PipesTest, ReleaseEndsTheListenerPromptly) {
    AsioHalvern& d = newDriver();
    EXPECT_EQ(d.start(), ASE_NotPresent);
    TraceCapture traces;
    const auto begin = std::chrono::steady_clock::now();
    driver.reset();
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(AsioHalvern::liveListenerThreads(), 0);
    // The cancelled wait ends the listener well inside its 500 ms round.
    EXPECT_LT(took, std::chrono::milliseconds(400));
    EXPECT_TRUE(traces.contains("Cancel IO call!\n"));
    EXPECT_FALSE(traces.contains("Client connected"));
    // Nothing of the driver runs any more: the module may go.
    EXPECT_EQ(halvern::com::canUnloadNow(), S_OK);
}

} // namespace
