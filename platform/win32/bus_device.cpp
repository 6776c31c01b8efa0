// The HalvernAudioBus device: open by name, open through its interface class, control requests.
#include "halvern/platform/bus_device.h"

#include <windows.h>
// Needs the types of windows.h.
#include <cfgmgr32.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

} // namespace

Handle openBusDeviceByName(const wchar_t* name) {
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    return h; // INVALID_HANDLE_VALUE on failure, with the last error set
}

Handle openBusDeviceByInterface() {
    GUID interfaceClass = busInterfaceClass();
    ULONG length = 0;
    CONFIGRET cr = CM_Get_Device_Interface_List_SizeA(&length, &interfaceClass, nullptr,
                                                      CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    if (cr != CR_SUCCESS) {
        report("Error 0x%x retrieving device interface list size.\n", static_cast<unsigned>(cr));
        SetLastError(ERROR_GEN_FAILURE);
        return invalidHandle();
    }
    if (length <= 1) {
        report("Error: No active device interfaces found.\n Is the sample driver loaded?");
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
    DWORD bytes = 0;
    const BOOL ok =
        DeviceIoControl(h, code, const_cast<void*>(in), inLen, out, outLen, &bytes, nullptr);
    if (returned != nullptr)
        *returned = bytes;
    return ok != FALSE;
}

} // namespace halvern::platform
