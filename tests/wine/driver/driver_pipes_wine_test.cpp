// The driver's panel pipes on real named pipes: the status message a host's controlPanel sends,
// and the listener that turns the panel's connection into one reset request. Wine has no bus
// device, so streaming cannot start here; the host's callbacks are handed to the driver as
// createBuffers would keep them.
#include "AsioHalvern.h"
#include "com/server.h"
#include "test_panel.h"
#include "wait_until.h"

#include "halvern/platform/pipe.h"
#include "halvern/platform/thread.h"
#include "halvern/protocol/pipe_messages.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace halvern::driver {
struct AsioHalvernTestAccess {
    static void takeCallbacks(AsioHalvern& d, const ASIOCallbacks& c) {
        d.core_.callbacks_.take(c);
    }
};
} // namespace halvern::driver

namespace {

using halvern::driver::AsioHalvern;
using halvern::driver::AsioHalvernTestAccess;
namespace platform = halvern::platform;
namespace protocol = halvern::protocol;

std::atomic<int> gResets{0};

int32_t countResets(int32_t selector, int32_t, void*, double*) {
    if (selector == kAsioResetRequest)
        gResets.fetch_add(1);
    return 0;
}

// Wine starts threads and pipes more slowly than Linux.
bool waitUntil(const std::function<bool()>& done) {
    return halvern::test::waitUntil(done, 5000);
}

AsioHalvern* newDriver() {
    auto* d = new AsioHalvern(nullptr);
    d->NonDelegatingAddRef();
    return d;
}

using halvern::test::TestPanel;

protocol::StatusMessage decoded(const std::vector<uint8_t>& bytes) {
    EXPECT_EQ(bytes.size(), protocol::StatusMessage::kSize);
    uint8_t wire[protocol::StatusMessage::kSize] = {};
    for (std::size_t i = 0; i < bytes.size() && i < sizeof wire; ++i)
        wire[i] = bytes[i];
    return protocol::StatusMessage::fromWire(wire);
}

// The settings dialog's "OK": open the driver's pipe, write the byte, close.
bool signalDriver() {
    platform::Handle client = nullptr;
    waitUntil([&] {
        client = platform::openPipeClient(protocol::kPanelToAsioPipeW);
        return platform::isValid(client);
    });
    if (!platform::isValid(client))
        return false;
    uint32_t written = 0;
    platform::writePipe(client, &protocol::kResetSignal, 1, &written);
    return platform::closePipeClient(client);
}

TEST(DriverPipesOnWindows, ControlPanelWithoutPanelFails) {
    AsioHalvern* d = newDriver();
    EXPECT_EQ(d->controlPanel(), ASE_InvalidParameter);
    EXPECT_EQ(AsioHalvern::liveListenerThreads(), 0);
    EXPECT_EQ(d->NonDelegatingRelease(), 0u);
}

TEST(DriverPipesOnWindows, StatusMessagesAndOneResetPerConnection) {
    gResets = 0;
    TestPanel panel;
    AsioHalvern* d = newDriver();
    ASIOCallbacks callbacks{};
    callbacks.asioMessage = &countResets;
    AsioHalvernTestAccess::takeCallbacks(*d, callbacks);

    ASSERT_EQ(d->controlPanel(), ASE_OK);
    ASSERT_TRUE(waitUntil([&] { return panel.messages().size() == 1; }));
    const auto first = decoded(panel.messages()[0]);
    EXPECT_EQ(first.constant1024, 1024u);
    EXPECT_EQ(first.constant44100, 44100u);
    EXPECT_EQ(first.running, 1u);
    EXPECT_EQ(first.openWindow, 1u);

    // controlPanel brought up the listener: a connection is one reset request, and the
    // listener ends once the panel has gone.
    ASSERT_TRUE(signalDriver());
    ASSERT_TRUE(waitUntil([] { return gResets.load() == 1; }));
    EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveListenerThreads() == 0; }));
    EXPECT_EQ(gResets.load(), 1);

    // Repeated calls leave one listener, and the next connection is again one request.
    ASSERT_EQ(d->controlPanel(), ASE_OK);
    ASSERT_EQ(d->controlPanel(), ASE_OK);
    EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveListenerThreads() == 1; }));
    ASSERT_TRUE(signalDriver());
    ASSERT_TRUE(waitUntil([] { return gResets.load() == 2; }));
    platform::sleepMs(100);
    EXPECT_EQ(gResets.load(), 2);

    // start with callbacks but no device: the listener is up before the device is asked.
    EXPECT_EQ(d->start(), ASE_HWMalfunction);
    EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveListenerThreads() == 1; }));
    EXPECT_EQ(d->stop(), ASE_OK);

    // The destructor's message says "not running" and ends the listener.
    EXPECT_EQ(d->NonDelegatingRelease(), 0u);
    EXPECT_EQ(AsioHalvern::liveListenerThreads(), 0);
    EXPECT_EQ(halvern::com::canUnloadNow(), S_OK);
    ASSERT_TRUE(waitUntil([&] { return panel.messages().size() == 4; }));
    const auto messages = panel.messages();
    EXPECT_EQ(decoded(messages[1]).openWindow, 1u);
    EXPECT_EQ(decoded(messages[2]).openWindow, 1u);
    const auto last = decoded(messages[3]);
    EXPECT_EQ(last.running, 0u);
    EXPECT_EQ(last.openWindow, 0u);
    EXPECT_EQ(last.constant1024, 1024u);
    EXPECT_EQ(gResets.load(), 2);
}

// A client that can only read, or a pipe of that name that someone else made first: neither
// gets a reset out of the driver, and a read-only client does not end the listener.
TEST(DriverPipesOnWindows, AReadOnlyClientAndASquatterGetNowhere) {
    gResets = 0;
    AsioHalvern* d = newDriver();
    ASIOCallbacks callbacks{};
    callbacks.asioMessage = &countResets;
    AsioHalvernTestAccess::takeCallbacks(*d, callbacks);
    EXPECT_EQ(d->controlPanel(), ASE_InvalidParameter); // no panel; the listener comes up anyway
    EXPECT_EQ(d->start(), ASE_HWMalfunction);
    ASSERT_TRUE(waitUntil([] { return AsioHalvern::liveListenerThreads() == 1; }));
    HANDLE reader = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(waitUntil([&] {
        reader = CreateFileW(protocol::kPanelToAsioPipeW, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
        return reader != INVALID_HANDLE_VALUE;
    }));
    platform::sleepMs(800);
    CloseHandle(reader);
    platform::sleepMs(600);
    EXPECT_EQ(gResets.load(), 0);
    EXPECT_EQ(AsioHalvern::liveListenerThreads(), 1);
    ASSERT_TRUE(signalDriver()); // the panel's "OK" still gets through
    ASSERT_TRUE(waitUntil([] { return gResets.load() == 1; }));
    EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveListenerThreads() == 0; }));

    // Someone made the pipe before the driver's listener: the listener does not share it.
    HANDLE squatter = CreateNamedPipeW(protocol::kPanelToAsioPipeW, PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 255, 1024,
                                       1024, 1000, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    EXPECT_EQ(d->start(), ASE_HWMalfunction);
    EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveListenerThreads() == 0; }));
    CloseHandle(squatter);
    EXPECT_EQ(d->stop(), ASE_OK);
    EXPECT_EQ(d->NonDelegatingRelease(), 0u);
    EXPECT_EQ(gResets.load(), 1);
}

} // namespace
