// Bus device discovery with no device present, control requests on no device, module paths.
#include "halvern/platform/bus_device.h"
#include "halvern/platform/module.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <regex>
#include <string>

using namespace halvern::platform;

namespace {

// What the code under test prints to the C runtime's standard output while it runs.
template <typename F> std::string capturedStdout(F run) {
    std::fflush(stdout);
    FILE* file = std::tmpfile();
    if (file == nullptr)
        return "<no temporary file>";
    const int saved = _dup(1);
    _dup2(_fileno(file), 1);
    run();
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    std::string text;
    std::rewind(file);
    char buffer[512];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    std::fclose(file);
    return text;
}

} // namespace

TEST(WineBusDevice, NoDeviceByNameGivesFileNotFound) {
    for (const wchar_t* name : {L"\\\\.\\HalvernAudioBus0", L"\\\\.\\HalvernAudioBus15"}) {
        setLastError(0);
        Handle h = openBusDeviceByName(name);
        EXPECT_FALSE(isValid(h));
        EXPECT_EQ(lastError(), kErrorFileNotFound);
    }
}

TEST(WineBusDevice, NoInterfacePresentPrintsTheMessageAndFails) {
    Handle h = invalidHandle();
    const std::string out = capturedStdout([&] { h = openBusDeviceByInterface(); });
    EXPECT_FALSE(isValid(h));
    // Windows lists an unknown class as empty; Wine, which has no such class key, refuses the
    // size query (CR_NO_SUCH_VALUE). Either way exactly one of the two messages is printed.
    const std::regex sizeError("Error 0x[0-9a-f]+ retrieving device interface list size\\.\n");
    EXPECT_TRUE(out == "Error: No active device interfaces found.\n Is the sample driver loaded?" ||
                std::regex_match(out, sizeError))
        << out;
}

TEST(WineBusDevice, RequestOnAnInvalidHandleIsNotSent) {
    uint32_t value = 0;
    uint32_t returned = 99;
    EXPECT_FALSE(deviceIoControl(invalidHandle(), 0xFFDC2084, nullptr, 0, &value, 4, &returned));
    EXPECT_EQ(lastError(), kErrorInvalidHandle);
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(deviceIoControl(nullptr, 0xFFDC2000, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(lastError(), kErrorInvalidHandle);
}

TEST(WineModule, ExecutablePathAndDirectory) {
    char path[1024];
    const uint32_t length = moduleFileName(moduleHandle(nullptr, nullptr), path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(length, std::strlen(path));
    const std::string full(path);
    EXPECT_NE(full.find("wine-platform-tests.exe"), std::string::npos) << full;

    char dir[1024];
    ASSERT_TRUE(executableDirectory(dir, sizeof dir));
    EXPECT_EQ(full.rfind('\\'), std::strlen(dir)) << full << " / " << dir;
    EXPECT_EQ(full.compare(0, std::strlen(dir), dir), 0);

    // Too small a buffer: the path is cut and terminated, the folder is refused.
    char tiny[8];
    EXPECT_EQ(moduleFileName(moduleHandle(nullptr, nullptr), tiny, sizeof tiny), 7u);
    EXPECT_FALSE(executableDirectory(tiny, sizeof tiny));
    EXPECT_EQ(moduleHandle("no-such-module.dll", nullptr), nullptr);
}
