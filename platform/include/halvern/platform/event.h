// Events and waits (CreateEvent / SetEvent / WaitForMultipleObjects).
#pragma once

#include "halvern/platform/handle.h"

#include <cstdint>

namespace halvern::platform {

constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Unnamed event. POSIX: an eventfd; the handle's value is the fd.
Handle createEvent(bool manualReset, bool initiallySet);
bool setEvent(Handle h);
bool resetEvent(Handle h);
// closeHandle() releases an event.

// Waits until one of the events is set; returns kWaitObject0 + index of the first set one
// (an auto-reset event is reset by the wait), kWaitTimeout, or kWaitFailed with lastError().
uint32_t waitForAny(const Handle* handles, uint32_t count, uint32_t timeoutMs);
inline uint32_t waitForOne(Handle h, uint32_t timeoutMs) {
    return waitForAny(&h, 1, timeoutMs);
}

} // namespace halvern::platform
