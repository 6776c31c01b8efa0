// The HalvernAudioBus device: opening it and sending control requests.
#pragma once

#include "halvern/platform/handle.h"

#include <cstdint>

namespace halvern::platform {

// Windows: CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
// OPEN_EXISTING, 0). POSIX: "\\.\HalvernAudioBusN" names <runtime>/bus/HalvernAudioBusN.
// Returns invalidHandle() and sets lastError() on failure (2 when absent).
// Windows: where no device is present, the simulator's pipe \\.\pipe\HalvernAudioBusN stands in
// only when the environment has HALVERN_USE_SIMULATOR=1, and only when its server runs as our
// user (else 5); the same holds for openBusDeviceByInterface().
Handle openBusDeviceByName(const wchar_t* name);

// The driver's discovery through the device interface class: lists the present interfaces,
// prints the progress and error messages to standard output, warns when several are present,
// and opens the first with CreateFileA. POSIX: the interfaces are the sockets present in
// <runtime>/bus/, sorted by name, and the path printed is the socket path.
Handle openBusDeviceByInterface();

// The device interface class of HalvernAudioBus.
constexpr const char* kBusInterfaceClass = "{6EB9AB90-B331-4508-B903-48AAA26EA4F1}";

void closeBusDevice(Handle h);

// DeviceIoControl, synchronous. Returns true on success; on failure false with lastError()
// set (1167 when the device went away, 6 for an invalid handle). `returned` may be null.
// POSIX: a reply that takes longer than 10 s fails with 1460 and ends the connection, so a late
// reply is never taken for the answer to a later request.
// POSIX: the three 64-bit event handles of IOCTL_ASIO_SET_EVENTS travel as file descriptors,
// and the reply of IOCTL_ASIO_GET_SHARED_MEMORY is rewritten with the addresses of the sample
// areas mapped into this process (stable for the life of the process).
// Everywhere: bytes 16 to 31 of that reply are replaced with the bytes really mapped at the
// input and the output address (POSIX: the memfd's size; Windows: the view as VirtualQuery
// finds it), 0 where nothing is; a device cannot make the caller reach past its areas.
bool deviceIoControl(Handle h, uint32_t code, const void* in, uint32_t inLen, void* out,
                     uint32_t outLen, uint32_t* returned);

} // namespace halvern::platform
