// Opening the bus device by name (panel) and by interface class (driver).
#include "halvern/platform/bus_device.h"
#include "halvern/platform/posix/bus_server.h"
#include "halvern/platform/runtime_dir.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace halvern;
using namespace halvern::platform;

namespace {

// A device socket that answers each open with `verdict` (0 takes it) and counts the opens.
class AnsweringDevice {
public:
    explicit AnsweringDevice(const std::string& name, uint32_t verdict = 0)
        : listener_(posix::listenBusSocket(busDirectory() + "/" + name)), verdict_(verdict) {
        if (listener_)
            thread_ = std::thread([this] { serve(); });
    }
    ~AnsweringDevice() { stop(); }
    explicit operator bool() const { return bool(listener_); }
    int opens() const { return opens_.load(); }
    // Gone, leaving its socket file behind.
    void stop() {
        run_ = false;
        if (thread_.joinable())
            thread_.join();
        listener_.reset();
    }

private:
    void serve() {
        std::vector<posix::UniqueFd> kept;
        while (run_) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (poll(&p, 1, 10) <= 0)
                continue;
            if (posix::UniqueFd c = posix::acceptBusConnection(listener_.get())) {
                // Counted before the verdict: the opener looks at the count once it has it.
                ++opens_;
                posix::sendOpenVerdict(c.get(), verdict_);
                kept.push_back(std::move(c));
            }
        }
    }
    posix::UniqueFd listener_;
    uint32_t verdict_;
    std::atomic<bool> run_{true};
    std::atomic<int> opens_{0};
    std::thread thread_;
};

TEST(BusOpen, ByNameFindsOnlyAListeningDevice) {
    test::TempRuntimeDir runtime;
    EXPECT_FALSE(isValid(openBusDeviceByName(L"\\\\.\\HalvernAudioBus0")));
    EXPECT_EQ(lastError(), uint32_t(kErrorFileNotFound));

    AnsweringDevice device("HalvernAudioBus3");
    ASSERT_TRUE(device);
    EXPECT_FALSE(isValid(openBusDeviceByName(L"\\\\.\\HalvernAudioBus2")));
    EXPECT_EQ(lastError(), uint32_t(kErrorFileNotFound));
    Handle h = openBusDeviceByName(L"\\\\.\\HalvernAudioBus3");
    EXPECT_TRUE(isValid(h));
    closeBusDevice(h);

    // A device that refuses the open: its error, and no handle.
    AnsweringDevice busy("HalvernAudioBus4", 32);
    EXPECT_FALSE(isValid(openBusDeviceByName(L"\\\\.\\HalvernAudioBus4")));
    EXPECT_EQ(lastError(), 32u);
    EXPECT_EQ(busy.opens(), 1);

    // A socket file left behind by a device that is gone counts as absent.
    device.stop();
    EXPECT_FALSE(isValid(openBusDeviceByName(L"\\\\.\\HalvernAudioBus3")));
    EXPECT_EQ(lastError(), uint32_t(kErrorFileNotFound));
    // Names never leave the bus folder.
    EXPECT_FALSE(isValid(openBusDeviceByName(L"\\\\.\\..\\bus\\HalvernAudioBus3")));
}

TEST(BusOpen, ByInterfaceWithNoDevicePrintsTheDriversMessage) {
    test::TempRuntimeDir runtime;
    std::ofstream(busDirectory() + "/HalvernAudioBus0.timing") << "not a socket";
    test::StdoutCapture out;
    Handle h = openBusDeviceByInterface();
    EXPECT_EQ(out.finish(),
              "Error: No active device interfaces found.\n Is the sample driver loaded?");
    EXPECT_FALSE(isValid(h));
}

TEST(BusOpen, ByInterfaceWarnsForSeveralAndOpensTheFirstByName) {
    test::TempRuntimeDir runtime;
    AnsweringDevice second("HalvernAudioBus7");
    AnsweringDevice first("HalvernAudioBus1");
    ASSERT_TRUE(first && second);
    std::ofstream(busDirectory() + "/HalvernAudioBus0.timing") << "not a socket";
    test::StdoutCapture out;
    Handle h = openBusDeviceByInterface();
    std::string text = out.finish();
    EXPECT_EQ(text, "Warning: More than one device interface instance found. \n"
                    "Selecting first matching device.\n\n"
                    "DeviceName = (" +
                        busDirectory() +
                        "/HalvernAudioBus1)\n"
                        "Opened the device successfully.\n");
    ASSERT_TRUE(isValid(h));
    // The connection really went to the first device.
    EXPECT_EQ(first.opens(), 1);
    EXPECT_EQ(second.opens(), 0);
    closeBusDevice(h);
}

TEST(BusOpen, ByInterfaceRefusesAPathLongerThanTheDriversBuffer) {
    test::TempRuntimeDir runtime;
    std::string deep = runtime.path();
    while (deep.size() < 300)
        deep += "/deeper-folder-for-a-long-path";
    setenv("HALVERN_RUNTIME_DIR", deep.c_str(), 1);
    AnsweringDevice device("HalvernAudioBus0");
    ASSERT_TRUE(device) << "sockets on long paths must still work";
    test::StdoutCapture out;
    Handle h = openBusDeviceByInterface();
    EXPECT_EQ(out.finish(), "Error: StringCchCopy failed with HRESULT 0x8007007a");
    EXPECT_FALSE(isValid(h));
    // The panel's open by name has no such limit.
    h = openBusDeviceByName(L"\\\\.\\HalvernAudioBus0");
    EXPECT_TRUE(isValid(h));
    closeBusDevice(h);
}

} // namespace
