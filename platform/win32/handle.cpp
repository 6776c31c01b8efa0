// Handles and error numbers: the Win32 calls themselves.
#include "halvern/platform/handle.h"

#include <windows.h>

namespace halvern::platform {

uint32_t lastError() {
    return GetLastError();
}

void setLastError(uint32_t code) {
    SetLastError(code);
}

bool closeHandle(Handle h) {
    if (!isValid(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return CloseHandle(h) != FALSE;
}

} // namespace halvern::platform
