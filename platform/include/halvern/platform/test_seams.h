// Faults tests inject into the platform layer. Never used by the product; each check costs one
// relaxed atomic load where the fault would strike.
#pragma once

namespace halvern::platform::testing {

#if !defined(_WIN32)
// After `after` more events have been created, the next `count` creations fail (invalid handle,
// last error kErrorNotEnoughMemory). 0, 0 clears it.
void failEventCreations(int count, int after = 0);
#endif

} // namespace halvern::platform::testing
