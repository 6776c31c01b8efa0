// Bus device discovery with no device present, control requests on no device, module paths.
#include "halvern/platform/bus_device.h"
#include "halvern/platform/module.h"
#include "halvern/protocol/bus_protocol.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

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

namespace {

// A stand-in for the simulator of our own making on \\.\pipe\HalvernAudioBus<index>: takes one
// open and answers every request as a shared-memory reply that claims the whole layout for
// areas of `areaBytes`, attaching the mapping names it is given.
class FakeSimulatedBus {
public:
    FakeSimulatedBus(int index, std::string attachments, std::size_t areaBytes)
        : name_(L"\\\\.\\pipe\\HalvernAudioBus" + std::to_wstring(index)),
          attachments_(std::move(attachments)) {
        for (const char* what : {"input", "output"}) {
            const std::string n = "Local\\HalvernAudioBus" + std::to_string(index) + "." + what;
            sections_.push_back(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                   DWORD(areaBytes), n.c_str()));
        }
        pipe_ = CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536,
                                 65536, 0, nullptr);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeSimulatedBus() {
        if (!connected_.load()) // ends the wait for a client that never came
            CloseHandle(CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        thread_.join();
        CloseHandle(pipe_);
        for (HANDLE s : sections_)
            CloseHandle(s);
    }
    bool connected() const { return connected_.load(); }

private:
    void serve() {
        if (!ConnectNamedPipe(pipe_, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
            return;
        connected_ = true;
        DWORD n = 0;
        const uint8_t verdict[8] = {'H', 'B', 'O', 'P', 0, 0, 0, 0};
        WriteFile(pipe_, verdict, sizeof verdict, &n, nullptr);
        uint8_t request[256];
        while (ReadFile(pipe_, request, sizeof request, &n, nullptr) && n >= 20) {
            std::string reply = "HBRP";
            reply.append(reinterpret_cast<char*>(request + 16), 4); // the tag
            const uint8_t header[12] = {1, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0, 0};
            reply.append(reinterpret_cast<const char*>(header), sizeof header);
            std::string output(32, '\0');
            output[18] = output[26] = 0x20; // 2 MiB each, the whole layout
            reply += output + attachments_;
            WriteFile(pipe_, reply.data(), DWORD(reply.size()), &n, nullptr);
        }
        DisconnectNamedPipe(pipe_);
    }
    std::wstring name_;
    std::string attachments_;
    std::vector<HANDLE> sections_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    std::atomic<bool> connected_{false};
    std::thread thread_;
};

std::string names(int index) {
    const std::string base = "Local\\HalvernAudioBus" + std::to_string(index);
    return base + ".input" + '\0' + base + ".output" + '\0';
}

} // namespace

// The simulated interface is used only when switched on; its areas count as large as they are
// really mapped, whatever it claims, and only mappings of its own names are opened.
TEST(WineBusDevice, TheSimulatorStandsInOnlyWhenSwitchedOnAndIsTakenAtItsRealSize) {
    struct Case {
        const char* switchedOn;
        int index;
        std::string attachments;
        bool opens, answers;
    } cases[] = {
        {"", 5, names(5), false, false},
        {"0", 6, names(6), false, false},
        {"1", 7, names(7), true, true},
        {"1", 8, std::string("Local\\Elsewhere.input") + '\0' + "Local\\Elsewhere.output" + '\0',
         true, false},
    };
    for (const Case& c : cases) {
        _putenv_s("HALVERN_USE_SIMULATOR", c.switchedOn);
        FakeSimulatedBus fake(c.index, c.attachments, 4096);
        const std::wstring name = L"\\\\.\\HalvernAudioBus" + std::to_wstring(c.index);
        Handle h = openBusDeviceByName(name.c_str());
        EXPECT_EQ(isValid(h), c.opens) << c.index;
        if (!c.opens) {
            EXPECT_EQ(lastError(), kErrorFileNotFound);
            EXPECT_FALSE(fake.connected());
            continue;
        }
        halvern::protocol::SharedMemoryReply reply;
        EXPECT_EQ(deviceIoControl(h, halvern::protocol::IOCTL_ASIO_GET_SHARED_MEMORY, nullptr, 0,
                                  reply.bytes, sizeof reply.bytes, nullptr),
                  c.answers)
            << c.index;
        if (c.answers) {
            EXPECT_NE(reply.inputArea(), 0u);
            EXPECT_EQ(reply.inputAreaBytes(), 4096u);
            EXPECT_EQ(reply.outputAreaBytes(), 4096u);
        }
        closeBusDevice(h);
    }
    _putenv_s("HALVERN_USE_SIMULATOR", "");
}
