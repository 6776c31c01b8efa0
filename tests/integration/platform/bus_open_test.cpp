// Opening the bus device by name (panel) and by interface class (driver).
#include "halvern/platform/bus_device.h"
#include "halvern/platform/posix/bus_server.h"
#include "halvern/platform/runtime_dir.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

using namespace halvern;
using namespace halvern::platform;

namespace {

TEST(BusOpen, ByNameFindsOnlyAListeningDevice) {
    test::TempRuntimeDir runtime;
    EXPECT_FALSE(isValid(openBusDeviceByName(L"\\\\.\\HalvernAudioBus0")));
    EXPECT_EQ(lastError(), uint32_t(kErrorFileNotFound));

    auto listener = posix::listenBusSocket(busDirectory() + "/HalvernAudioBus3");
    ASSERT_TRUE(listener);
    EXPECT_FALSE(isValid(openBusDeviceByName(L"\\\\.\\HalvernAudioBus2")));
    EXPECT_EQ(lastError(), uint32_t(kErrorFileNotFound));
    Handle h = openBusDeviceByName(L"\\\\.\\HalvernAudioBus3");
    EXPECT_TRUE(isValid(h));
    closeBusDevice(h);

    // A socket file left behind by a device that is gone counts as absent.
    listener.reset();
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
    auto second = posix::listenBusSocket(busDirectory() + "/HalvernAudioBus7");
    auto first = posix::listenBusSocket(busDirectory() + "/HalvernAudioBus1");
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
    EXPECT_TRUE(posix::acceptBusConnection(first.get()));
    EXPECT_FALSE(posix::acceptBusConnection(second.get()));
    closeBusDevice(h);
}

TEST(BusOpen, ByInterfaceRefusesAPathLongerThanTheDriversBuffer) {
    test::TempRuntimeDir runtime;
    std::string deep = runtime.path();
    while (deep.size() < 300)
        deep += "/deeper-folder-for-a-long-path";
    setenv("HALVERN_RUNTIME_DIR", deep.c_str(), 1);
    auto listener = posix::listenBusSocket(busDirectory() + "/HalvernAudioBus0");
    ASSERT_TRUE(listener) << "sockets on long paths must still work";
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
