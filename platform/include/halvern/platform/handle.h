// Handles and error numbers shared by every platform capability.
#pragma once

#include <cstdint>

namespace halvern::platform {

// A kernel object as the product sees it: a Win32 HANDLE on Windows; on POSIX the 64-bit value
// of a file descriptor (device socket, eventfd) or of a small heap record (thread, pipe, key).
using Handle = void*;
inline Handle invalidHandle() {
    return reinterpret_cast<Handle>(static_cast<intptr_t>(-1));
}
inline bool isValid(Handle h) {
    return h != nullptr && h != invalidHandle();
}

// Windows error numbers; the POSIX side reports the same codes.
enum ErrorCode : uint32_t {
    kErrorSuccess = 0,
    kErrorFileNotFound = 2,
    kErrorPathNotFound = 3,
    kErrorAccessDenied = 5,
    kErrorInvalidHandle = 6,
    kErrorNotEnoughMemory = 8,
    kErrorGenFailure = 31,
    kErrorNotSupported = 50,
    kErrorInvalidParameter = 87,
    kErrorBrokenPipe = 109,
    kErrorInsufficientBuffer = 122,
    kErrorSemTimeout = 121,
    kErrorAlreadyExists = 183,
    kErrorPipeBusy = 231,
    kErrorNoData = 232,
    kErrorPipeNotConnected = 233,
    kErrorMoreData = 234,
    kErrorPipeConnected = 535,
    kErrorPipeListening = 536,
    kErrorOperationAborted = 995,
    kErrorIoPending = 997,
    kErrorDeviceNotConnected = 1167,
    kErrorTimeout = 1460,
};

// The calling thread's last error (GetLastError / SetLastError).
uint32_t lastError();
void setLastError(uint32_t code);

// Closes any handle this layer handed out that has no dedicated close (events, devices).
bool closeHandle(Handle h);

} // namespace halvern::platform
