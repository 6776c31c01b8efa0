// Unnamed events and the wait for any of them.
#include "halvern/platform/event.h"

#include <windows.h>

namespace halvern::platform {

Handle createEvent(bool manualReset, bool initiallySet) {
    HANDLE h =
        CreateEventA(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr);
    return h != nullptr ? h : invalidHandle();
}

bool setEvent(Handle h) {
    return SetEvent(h) != FALSE;
}

bool resetEvent(Handle h) {
    return ResetEvent(h) != FALSE;
}

uint32_t waitForAny(const Handle* handles, uint32_t count, uint32_t timeoutMs) {
    return WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
}

} // namespace halvern::platform
