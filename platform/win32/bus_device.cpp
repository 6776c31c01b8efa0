// The HalvernAudioBus device: open by name, open through its interface class, control requests.
#include "halvern/platform/bus_device.h"

#include "halvern/platform/trace.h"
#include "halvern/platform/win32/bus_pipe.h"
#include "halvern/platform/win32/pipe_security.h"
#include "halvern/protocol/bus_protocol.h"

#include <windows.h>
// Needs the types of windows.h.
#include <cfgmgr32.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace halvern::platform {

namespace {

// {6EB9AB90-B331-4508-B903-48AAA26EA4F1}, the same class as kBusInterfaceClass.
GUID busInterfaceClass() {
    return GUID{0x6eb9ab90, 0xb331, 0x4508, {0xb9, 0x03, 0x48, 0xaa, 0xa2, 0x6e, 0xa4, 0xf1}};
}

// The device path is kept in a buffer of this many characters.
constexpr size_t kDeviceNameChars = 256;
// What StringCchCopy reports when the source does not fit.
constexpr unsigned kInsufficientBufferHresult = 0x8007007Au;

// Discovery messages go to standard output; flushed so that they keep their order with
// whatever the host prints.
__attribute__((format(printf, 1, 2))) void report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// ---------------------------------------------------------------------------------------------
// The simulated interface: halvern-bus-sim.exe serves a pipe per device index where no device
// is present. Its handles are pipe handles, which no bus device ever is.

using protocol::getLe32;
using protocol::putLe32;
using protocol::putLe64;
using namespace win32;

constexpr DWORD kReplyTimeoutMs = 10000;
constexpr DWORD kBusyWaitMs = 2000;

// How long a request waits for its reply; HALVERN_BUS_REPLY_TIMEOUT_MS shortens it for tests.
DWORD replyTimeoutMs() {
    if (const char* v = std::getenv("HALVERN_BUS_REPLY_TIMEOUT_MS")) {
        const int ms = std::atoi(v);
        if (ms > 0 && DWORD(ms) < kReplyTimeoutMs)
            return DWORD(ms);
    }
    return kReplyTimeoutMs;
}

bool isSimulatedBus(HANDLE h) {
    return GetFileType(h) == FILE_TYPE_PIPE;
}

DWORD pipeError(DWORD error) {
    switch (error) {
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_NO_DATA:
        return ERROR_DEVICE_NOT_CONNECTED; // the device went away
    default:
        return error;
    }
}

// One overlapped read or write of a whole message, waited for at most `timeoutMs`. A message
// too long for `size` is an error (ERROR_MORE_DATA); an operation that times out is cancelled.
bool pipeTransfer(HANDLE pipe, bool write, void* data, DWORD size, DWORD timeoutMs, DWORD& done) {
    done = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr)
        return false;
    BOOL ok = write ? WriteFile(pipe, data, size, nullptr, &ov)
                    : ReadFile(pipe, data, size, nullptr, &ov);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok && error == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &ov);
            // The cancelled operation still owns `ov` until it has ended.
            GetOverlappedResult(pipe, &ov, &done, TRUE);
            CloseHandle(ov.hEvent);
            SetLastError(ERROR_TIMEOUT);
            return false;
        }
        ok = TRUE;
    }
    if (ok) {
        ok = GetOverlappedResult(pipe, &ov, &done, TRUE);
        error = ok ? ERROR_SUCCESS : GetLastError();
    }
    CloseHandle(ov.hEvent);
    SetLastError(error);
    return ok != FALSE;
}

// The simulator stands in for a missing device only when a developer or a test asks for it:
// otherwise any process could serve the pipe and pose as the interface.
bool simulatorSwitchedOn() {
    const char* v = std::getenv("HALVERN_USE_SIMULATOR");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

// Opens device `index` of the simulator: the pipe, then the device's verdict on the open.
// Invalid with the last error set: 2 when no simulator serves that index, 5 when the pipe's
// server is not one of our own processes. The open lets the server identify the host's user,
// never act as it.
HANDLE openSimulatedBus(int index) {
    const std::wstring name = simulatedBusPipeName(index);
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 2 && h == INVALID_HANDLE_VALUE; ++attempt) {
        h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | kIdentifyOnly, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY)
            WaitNamedPipeW(name.c_str(), kBusyWaitMs);
        else if (h == INVALID_HANDLE_VALUE)
            return h;
    }
    if (h == INVALID_HANDLE_VALUE)
        return h;
    // Another user's process could have made the pipe before any simulator.
    if (!pipeServerIsOurUser(h)) {
        CloseHandle(h);
        outputDebugString("HalvernAudioBus: the simulated interface's pipe is served by a "
                          "process of another user; not used\n");
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    uint8_t verdict[kPipeOpenVerdictSize] = {};
    DWORD got = 0;
    DWORD error = ERROR_SUCCESS;
    if (!SetNamedPipeHandleState(h, &mode, nullptr, nullptr))
        error = GetLastError();
    else if (!pipeTransfer(h, false, verdict, sizeof verdict, replyTimeoutMs(), got))
        error = GetLastError() == ERROR_TIMEOUT ? ERROR_TIMEOUT : ERROR_FILE_NOT_FOUND;
    else if (got != sizeof verdict || getLe32(verdict) != kPipeOpenMagic)
        error = ERROR_FILE_NOT_FOUND;
    else
        error = getLe32(verdict + 4);
    if (error != ERROR_SUCCESS) {
        CloseHandle(h);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    // Said once, not at every reopen: the driver reopens the device before each query.
    static std::atomic<int> announced{-1};
    if (announced.exchange(index) != index) {
        char line[128];
        std::snprintf(line, sizeof line,
                      "HalvernAudioBus: no device present, using the simulated interface "
                      "\\\\.\\pipe\\HalvernAudioBus%d\n",
                      index);
        outputDebugString(line);
    }
    return h;
}

// How many bytes from `address` on this process may read and write: the committed, writable
// run of pages it lies in, as VirtualQuery finds it; 0 where nothing is mapped.
uint64_t writableBytesAt(uint64_t address) {
    if (address == 0)
        return 0;
    MEMORY_BASIC_INFORMATION info{};
    const auto* p = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
    if (VirtualQuery(p, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT ||
        (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 ||
        (info.Protect & (PAGE_READWRITE | PAGE_EXECUTE_READWRITE)) == 0)
        return 0;
    const auto* end = static_cast<const uint8_t*>(info.BaseAddress) + info.RegionSize;
    return end > p ? uint64_t(end - p) : 0;
}

// Replaces bytes 16 to 31 of a shared-memory reply with the bytes really mapped at its two
// addresses, so that the driver never takes a device's word for the size of its areas.
void putMappedSizes(uint8_t* reply) {
    putLe64(reply + 16, writableBytesAt(protocol::getLe64(reply)));
    putLe64(reply + 24, writableBytesAt(protocol::getLe64(reply + 8)));
}

// The simulator's areas carry names of this form, and no other file mapping is opened on a
// device's word: "Local\HalvernAudioBus<N>.input" or ".output".
bool isSimulatedAreaName(const std::string& name, const char* what) {
    static const char prefix[] = "Local\\HalvernAudioBus";
    const std::size_t n = sizeof prefix - 1;
    const std::string suffix = std::string(".") + what;
    if (name.size() <= n + suffix.size() || name.compare(0, n, prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string digits = name.substr(n, name.size() - n - suffix.size());
    return digits.size() <= 2 && digits.find_first_not_of("0123456789") == std::string::npos;
}

// Sample areas stay mapped for the life of the process: the host keeps using the addresses
// after the driver closed and reopened the device.
void* mapSimulatedArea(const std::string& name) {
    struct Mapping {
        std::string name;
        void* address;
    };
    static std::mutex mutex;
    static auto* mappings = new std::vector<Mapping>(); // never released, on purpose
    std::lock_guard<std::mutex> lock(mutex);
    for (const Mapping& m : *mappings)
        if (m.name == name)
            return m.address;
    HANDLE section = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str());
    if (section == nullptr)
        return nullptr;
    void* p = MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    CloseHandle(section); // the view keeps the section
    if (p != nullptr)
        mappings->push_back(Mapping{name, p});
    return p;
}

// Requests on one handle are serialised, so two threads never read each other's reply.
std::mutex& pipeLock(HANDLE h) {
    static std::mutex stripes[64];
    return stripes[(reinterpret_cast<uintptr_t>(h) >> 2) % 64];
}

bool failRequest(DWORD error) {
    SetLastError(error);
    return false;
}

bool simulatedIoControl(HANDLE h, uint32_t code, const void* in, uint32_t inLen, void* out,
                        uint32_t outLen, uint32_t* returned) {
    if ((inLen > 0 && in == nullptr) || (outLen > 0 && out == nullptr) ||
        inLen > kPipeMaxRequestInput)
        return failRequest(ERROR_INVALID_PARAMETER);
    static std::atomic<uint32_t> nextTag{1};
    const uint32_t tag = nextTag.fetch_add(1);
    std::vector<uint8_t> request(kPipeRequestHeaderSize + inLen);
    putLe32(request.data(), kPipeRequestMagic);
    putLe32(request.data() + 4, code);
    putLe32(request.data() + 8, inLen);
    putLe32(request.data() + 12, uint32_t(std::min<std::size_t>(outLen, kPipeMaxReplyOutput)));
    putLe32(request.data() + 16, tag);
    if (inLen)
        std::memcpy(request.data() + kPipeRequestHeaderSize, in, inLen);

    std::lock_guard<std::mutex> lock(pipeLock(h));
    const DWORD timeout = replyTimeoutMs();
    const DWORD start = GetTickCount();
    DWORD done = 0;
    if (!pipeTransfer(h, true, request.data(), DWORD(request.size()), timeout, done))
        return failRequest(pipeError(GetLastError()));
    thread_local std::vector<uint8_t> reply(kPipeReplyHeaderSize + kPipeMaxReplyOutput +
                                            kPipeMaxAttachments);
    for (;;) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeout)
            return failRequest(ERROR_TIMEOUT);
        if (!pipeTransfer(h, false, reply.data(), DWORD(reply.size()), timeout - spent, done)) {
            const DWORD error = GetLastError();
            return failRequest(error == ERROR_MORE_DATA ? ERROR_GEN_FAILURE : pipeError(error));
        }
        if (done >= kPipeReplyHeaderSize && getLe32(reply.data()) == kPipeReplyMagic &&
            getLe32(reply.data() + 4) == tag)
            break;
        // A late reply to a request that gave up waiting: not ours.
    }
    const std::size_t length = done;
    const uint32_t bytes = getLe32(reply.data() + 16);
    if (bytes > length - kPipeReplyHeaderSize || bytes > kPipeMaxReplyOutput)
        return failRequest(ERROR_GEN_FAILURE);
    if (getLe32(reply.data() + 8) == 0) {
        const DWORD error = getLe32(reply.data() + 12);
        return failRequest(error ? error : ERROR_GEN_FAILURE);
    }
    uint8_t* payload = reply.data() + kPipeReplyHeaderSize;
    std::size_t payloadSize = bytes;
    if (code == protocol::IOCTL_ASIO_GET_SHARED_MEMORY) {
        // The device's addresses mean nothing here: put in this process's views of its areas,
        // or zeros (which the driver refuses) when they did not come along.
        const char* names = reinterpret_cast<const char*>(payload + bytes);
        const std::string attachments(names, length - kPipeReplyHeaderSize - bytes);
        const std::size_t split = attachments.find('\0');
        void* areas[2] = {nullptr, nullptr};
        if (split != std::string::npos && split + 1 < attachments.size()) {
            const std::string first = attachments.substr(0, split);
            std::string second = attachments.substr(split + 1);
            second = second.substr(0, second.find('\0'));
            if (!isSimulatedAreaName(first, "input") || !isSimulatedAreaName(second, "output"))
                return failRequest(ERROR_GEN_FAILURE);
            areas[0] = mapSimulatedArea(first);
            areas[1] = mapSimulatedArea(second);
            if (!areas[0] || !areas[1])
                return failRequest(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (payloadSize < protocol::SharedMemoryReply::kSize) {
            std::memset(payload + payloadSize, 0, protocol::SharedMemoryReply::kSize - payloadSize);
            payloadSize = protocol::SharedMemoryReply::kSize;
        }
        putLe64(payload, reinterpret_cast<uint64_t>(areas[0]));
        putLe64(payload + 8, reinterpret_cast<uint64_t>(areas[1]));
        putMappedSizes(payload);
    }
    const std::size_t copied = std::min<std::size_t>(payloadSize, outLen);
    if (copied)
        std::memcpy(out, payload, copied);
    if (returned != nullptr)
        *returned = uint32_t(copied);
    SetLastError(ERROR_SUCCESS);
    return true;
}

// The index N of a name \\.\HalvernAudioBusN (0 to 15), else -1.
int busIndexOf(const wchar_t* name) {
    static const wchar_t prefix[] = L"\\\\.\\HalvernAudioBus";
    const std::size_t n = wcslen(prefix);
    if (name == nullptr || wcsncmp(name, prefix, n) != 0)
        return -1;
    const wchar_t* digits = name + n;
    int index = 0;
    int count = 0;
    for (; *digits >= L'0' && *digits <= L'9' && count < 3; ++digits, ++count)
        index = index * 10 + (*digits - L'0');
    if (*digits != 0 || count == 0 || (count > 1 && name[n] == L'0') || index >= kSimulatedBusCount)
        return -1;
    return index;
}

} // namespace

Handle openBusDeviceByName(const wchar_t* name) {
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE)
        return h;
    // No such device: the simulator's device of the same index stands in for it, if it runs.
    // A device that is there but refused the open is not replaced.
    const DWORD error = GetLastError();
    const int index = busIndexOf(name);
    if (index < 0 || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) ||
        !simulatorSwitchedOn())
        return invalidHandle();
    h = openSimulatedBus(index);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND)
        SetLastError(error);
    return h; // INVALID_HANDLE_VALUE on failure, with the last error set
}

namespace {
Handle openInterfaceDevice(std::string& noInterface);
} // namespace

Handle openBusDeviceByInterface() {
    std::string noInterface;
    Handle h = openInterfaceDevice(noInterface);
    if (isValid(h) || noInterface.empty())
        return h;
    if (!simulatorSwitchedOn()) {
        const DWORD error = GetLastError();
        report("%s", noInterface.c_str());
        SetLastError(error);
        return invalidHandle();
    }
    // No interface is present: the first simulated device that answers stands in for it,
    // quietly. Without a simulator the discovery's message and error stand as they are.
    const DWORD error = GetLastError();
    for (int index = 0; index < kSimulatedBusCount; ++index) {
        HANDLE s = openSimulatedBus(index);
        if (s != INVALID_HANDLE_VALUE)
            return s;
        if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            // A simulator that refused the open, as a device can.
            const DWORD refusal = GetLastError();
            report("%s", noInterface.c_str());
            SetLastError(refusal);
            return invalidHandle();
        }
    }
    report("%s", noInterface.c_str());
    SetLastError(error);
    return invalidHandle();
}

namespace {
// Discovery through the interface class. When no interface is present the message is left in
// `noInterface` for the caller to print, instead of printed.
Handle openInterfaceDevice(std::string& noInterface) {
    GUID interfaceClass = busInterfaceClass();
    ULONG length = 0;
    CONFIGRET cr = CM_Get_Device_Interface_List_SizeA(&length, &interfaceClass, nullptr,
                                                      CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    if (cr != CR_SUCCESS) {
        char text[80];
        std::snprintf(text, sizeof text, "Error 0x%x retrieving device interface list size.\n",
                      static_cast<unsigned>(cr));
        noInterface = text;
        SetLastError(ERROR_GEN_FAILURE);
        return invalidHandle();
    }
    if (length <= 1) {
        noInterface = "Error: No active device interfaces found.\n Is the sample driver loaded?";
        SetLastError(ERROR_FILE_NOT_FOUND);
        return invalidHandle();
    }
    char* list = static_cast<char*>(std::calloc(length, sizeof(char)));
    if (list == nullptr) {
        report("Error allocating memory for device interface list.\n");
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return invalidHandle();
    }
    cr = CM_Get_Device_Interface_ListA(&interfaceClass, nullptr, list, length,
                                       CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    if (cr != CR_SUCCESS) {
        report("Error 0x%x retrieving device interface list.\n", static_cast<unsigned>(cr));
        std::free(list);
        SetLastError(ERROR_GEN_FAILURE);
        return invalidHandle();
    }
    // The list is a sequence of zero-terminated paths ended by an empty one; the calloc'd
    // buffer guarantees the ending even if the manager filled less than it announced.
    const size_t firstLength = strnlen(list, length);
    if (firstLength + 1 < length && list[firstLength + 1] != '\0')
        report("Warning: More than one device interface instance found. \n"
               "Selecting first matching device.\n\n");

    // Copy with StringCchCopy's rule: the path and its terminating zero must fit, else fail.
    char deviceName[kDeviceNameChars];
    if (firstLength >= kDeviceNameChars) {
        report("Error: StringCchCopy failed with HRESULT 0x%x", kInsufficientBufferHresult);
        std::free(list);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return invalidHandle();
    }
    std::memcpy(deviceName, list, firstLength + 1);
    std::free(list);

    // The path is a narrow string: printing it with a wide conversion would show garbage.
    report("DeviceName = (%s)\n", deviceName);
    HANDLE h =
        CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        report("Failed to open the device, error - %d", static_cast<int>(error));
        SetLastError(error);
        return invalidHandle();
    }
    report("Opened the device successfully.\n");
    return h;
}
} // namespace

void closeBusDevice(Handle h) {
    if (isValid(h))
        CloseHandle(h);
}

bool deviceIoControl(Handle h, uint32_t code, const void* in, uint32_t inLen, void* out,
                     uint32_t outLen, uint32_t* returned) {
    if (returned != nullptr)
        *returned = 0;
    // A request on an invalid handle is never sent.
    if (!isValid(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (isSimulatedBus(h))
        return simulatedIoControl(h, code, in, inLen, out, outLen, returned);
    DWORD bytes = 0;
    const BOOL ok =
        DeviceIoControl(h, code, const_cast<void*>(in), inLen, out, outLen, &bytes, nullptr);
    if (ok && code == protocol::IOCTL_ASIO_GET_SHARED_MEMORY &&
        outLen >= protocol::SharedMemoryReply::kSize) {
        const DWORD error = GetLastError();
        putMappedSizes(static_cast<uint8_t*>(out));
        SetLastError(error);
    }
    if (returned != nullptr)
        *returned = bytes;
    return ok != FALSE;
}

} // namespace halvern::platform
