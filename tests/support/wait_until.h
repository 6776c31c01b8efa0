// Waiting in tests for something another thread or process brings about, always bounded.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace halvern::test {

// Polls `done` every `pollUs` for at most `timeoutMs`; false when it never held.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 3000, int pollUs = 2000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(pollUs));
    }
    return true;
}

} // namespace halvern::test
