// The registered driver, created through COM, streaming against halvern-bus-sim.exe in another
// process (with-sim.sh starts it): the panel pipes while streaming, an unplug from the
// simulator's control pipe, and a release that leaves no thread behind.
#include "control_socket.h"
#include "driver_loader.h"
#include "test_panel.h"
#include "wait_until.h"

#include "halvern/platform/bus_device.h"
#include "halvern/platform/pipe.h"
#include "halvern/platform/thread.h"
#include "halvern/protocol/bus_protocol.h"
#include "halvern/protocol/pipe_messages.h"

#include <gtest/gtest.h>

#include <windows.h>
// Needs the types of windows.h.
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>

namespace {

namespace platform = halvern::platform;
namespace protocol = halvern::protocol;
using halvern::test::waitUntil;

std::atomic<int> gSwitches{0};
std::atomic<int> gResets{0};

void onSwitch(int32_t, ASIOBool) {
    gSwitches.fetch_add(1);
}
ASIOTime* onSwitchTimeInfo(ASIOTime* t, int32_t index, ASIOBool direct) {
    onSwitch(index, direct);
    return t;
}
void onRateChange(ASIOSampleRate) {}
int32_t onMessage(int32_t selector, int32_t value, void*, double*) {
    if (selector == kAsioSelectorSupported)
        return value == kAsioResetRequest;
    if (selector == kAsioResetRequest)
        gResets.fetch_add(1);
    return 0;
}
ASIOCallbacks gCallbacks{onSwitch, onRateChange, onMessage, onSwitchTimeInfo};

std::string ctl(const std::string& command) {
    std::string reply, error;
    const auto r = halvern::sim::daemon::sendControlCommand("\\\\.\\pipe\\HalvernAudioBus0.ctl",
                                                            command + "\n", reply, error);
    EXPECT_EQ(r, halvern::sim::daemon::ClientResult::Ok) << error;
    return reply;
}

int threadsOfThisProcess() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 e{};
    e.dwSize = sizeof e;
    int n = 0;
    for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e))
        n += e.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return n;
}

uint32_t field(const std::vector<uint8_t>& m, int i) {
    return m.size() == protocol::StatusMessage::kSize ? protocol::getLe32(m.data() + 4 * i)
                                                      : 0xFFFFFFFFu;
}

// A host with the registered driver, streaming two inputs and two outputs.
class Streaming : public ::testing::Test {
protected:
    void SetUp() override {
        gSwitches = 0;
        gResets = 0;
        std::string error;
        ASSERT_TRUE(loaded.loadRegistered("", error)) << error;
        asio = loaded.driver();
        ASSERT_EQ(asio->init(nullptr), ASIOTrue);
        int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
        ASSERT_EQ(asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
        bufferSize = preferred;
        for (int i = 0; i < 4; ++i) {
            infos[i].isInput = i < 2 ? ASIOTrue : ASIOFalse;
            infos[i].channelNum = i % 2;
        }
        ASSERT_EQ(asio->createBuffers(infos, 4, bufferSize, &gCallbacks), ASE_OK);
        ASSERT_EQ(asio->start(), ASE_OK);
        ASSERT_TRUE(waitUntil([] { return gSwitches >= 20; }, 5000)) << gSwitches;
    }
    void TearDown() override {
        if (asio != nullptr) {
            asio->stop();
            asio->disposeBuffers();
        }
        loaded.release();
    }

    halvern::host::LoadedDriver loaded;
    IASIO* asio = nullptr;
    ASIOBufferInfo infos[4] = {};
    int32_t bufferSize = 0;
};

TEST_F(Streaming, ControlPanelAndResetSignalOverThePipes) {
    halvern::test::TestPanel panel;
    // controlPanel: the status message with "open window" set, while the stream goes on.
    ASSERT_EQ(asio->controlPanel(), ASE_OK);
    ASSERT_TRUE(panel.waitFor(1));
    const auto m = panel.messages().front();
    EXPECT_EQ(field(m, 0), uint32_t(bufferSize));
    EXPECT_EQ(field(m, 3), 1u);
    EXPECT_EQ(field(m, 4), 1u);

    // The panel's reset signal: one connection, one request to the host. controlPanel has just
    // restarted the listener, whose pipe may not be there yet.
    platform::Handle client = platform::invalidHandle();
    ASSERT_TRUE(waitUntil(
        [&] {
            client = platform::openPipeClient(protocol::kPanelToAsioPipeW);
            return platform::isValid(client);
        },
        2000))
        << platform::lastError();
    uint32_t written = 0;
    EXPECT_TRUE(platform::writePipe(client, "1", 1, &written));
    EXPECT_TRUE(waitUntil([] { return gResets >= 1; }, 3000));
    platform::closePipeClient(client);
    const int before = gSwitches;
    EXPECT_TRUE(waitUntil([&] { return gSwitches >= before + 20; }, 3000));
    platform::sleepMs(600); // the listener's next rounds must not count the connection again
    EXPECT_EQ(gResets.load(), 1);
}

TEST_F(Streaming, UnplugGivesOneResetAndNoHang) {
    ctl("unplug");
    EXPECT_TRUE(waitUntil([] { return gResets >= 1; }, 3000));
    const int after = gSwitches;
    platform::sleepMs(300);
    EXPECT_EQ(gSwitches.load(), after);
    EXPECT_EQ(gResets.load(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    asio->stop();
    asio->disposeBuffers();
    loaded.release();
    asio = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    ctl("replug");
    EXPECT_NE(ctl("status").find("plugged: yes"), std::string::npos);
}

// The panel's open by name and the driver's discovery both reach the simulated Wren; its
// refusals and its unplug come back as a device's would.
TEST(SimulatedBus, OpensByNameAndByInterfaceAndFailsAsADevice) {
    uint32_t pid = 0;
    for (bool byName : {true, false}) {
        platform::Handle h = byName ? platform::openBusDeviceByName(L"\\\\.\\HalvernAudioBus0")
                                    : platform::openBusDeviceByInterface();
        ASSERT_TRUE(platform::isValid(h)) << platform::lastError();
        EXPECT_TRUE(platform::deviceIoControl(h, protocol::IOCTL_DEVICE_GET_PID, nullptr, 0, &pid,
                                              4, nullptr));
        EXPECT_EQ(pid, protocol::kModelWren);
        platform::closeBusDevice(h);
    }
    // No simulator at index 1: the name's own error, as without any device.
    EXPECT_FALSE(platform::isValid(platform::openBusDeviceByName(L"\\\\.\\HalvernAudioBus1")));
    EXPECT_EQ(platform::lastError(), platform::kErrorFileNotFound);

    ctl("fail-opens 1 5");
    EXPECT_FALSE(platform::isValid(platform::openBusDeviceByInterface()));
    EXPECT_EQ(platform::lastError(), 5u);

    platform::Handle h = platform::openBusDeviceByName(L"\\\\.\\HalvernAudioBus0");
    ASSERT_TRUE(platform::isValid(h));
    // Handles that are no events are refused, the shared areas map to the same place twice.
    uint8_t registration[24] = {};
    for (int i = 0; i < 3; ++i)
        protocol::putLe64(registration + 8 * i, uint64_t(uintptr_t(h)));
    uint8_t flag = 1;
    EXPECT_FALSE(platform::deviceIoControl(h, protocol::IOCTL_ASIO_SET_EVENTS, registration, 24,
                                           &flag, 1, nullptr));
    EXPECT_EQ(platform::lastError(), platform::kErrorInvalidHandle);
    uint8_t areas[2][32] = {};
    for (auto& a : areas)
        ASSERT_TRUE(platform::deviceIoControl(h, protocol::IOCTL_ASIO_GET_SHARED_MEMORY, nullptr, 0,
                                              a, 32, nullptr));
    EXPECT_NE(protocol::getLe64(areas[0]), 0u);
    EXPECT_EQ(std::memcmp(areas[0], areas[1], 16), 0);

    ctl("unplug");
    EXPECT_FALSE(
        platform::deviceIoControl(h, protocol::IOCTL_DEVICE_GET_PID, nullptr, 0, &pid, 4, nullptr));
    EXPECT_EQ(platform::lastError(), platform::kErrorDeviceNotConnected);
    platform::closeBusDevice(h);
    ctl("replug");
}

TEST(DriverRelease, LeavesNoThreadBehind) {
    // COM and the runtime may keep threads of their own: measured after one load and release.
    {
        halvern::host::LoadedDriver warm;
        std::string error;
        ASSERT_TRUE(warm.loadRegistered("", error)) << error;
    }
    const int baseline = threadsOfThisProcess();
    {
        halvern::host::LoadedDriver loaded;
        std::string error;
        ASSERT_TRUE(loaded.loadRegistered("", error)) << error;
        IASIO* asio = loaded.driver();
        ASSERT_EQ(asio->init(nullptr), ASIOTrue);
        ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
        int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
        ASSERT_EQ(asio->getBufferSize(&minSize, &maxSize, &preferred, &granularity), ASE_OK);
        ASSERT_EQ(asio->createBuffers(infos, 2, preferred, &gCallbacks), ASE_OK);
        ASSERT_EQ(asio->start(), ASE_OK);
        platform::sleepMs(200);
        EXPECT_GT(threadsOfThisProcess(), baseline); // the audio thread and the listener
        // Released while running, as a host that quits may do.
    }
    EXPECT_TRUE(waitUntil([&] { return threadsOfThisProcess() <= baseline; }, 2000))
        << threadsOfThisProcess() << " threads, " << baseline << " before";
}

} // namespace
