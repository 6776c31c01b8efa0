// The host's four callbacks, copied by createBuffers: never the host's record, which it may free.
// The audio thread and the pipe listener read them while the host's thread (or a hardware stop)
// replaces or clears them, so each entry is an atomic of its own and the set has a flag that is
// raised after the entries and lowered before them.
#pragma once

#include <halvern/asio/iasio.h>

#include <atomic>
#include <cstdint>

namespace halvern::driver {

class HostCallbacks {
public:
    using BufferSwitchFn = void (*)(int32_t, ASIOBool);
    using SampleRateDidChangeFn = void (*)(ASIOSampleRate);
    using AsioMessageFn = int32_t (*)(int32_t, int32_t, void*, double*);
    using TimeInfoSwitchFn = ASIOTime* (*)(ASIOTime*, int32_t, ASIOBool);

    void take(const ASIOCallbacks& callbacks) {
        bufferSwitch_.store(callbacks.bufferSwitch);
        sampleRateDidChange_.store(callbacks.sampleRateDidChange);
        asioMessage_.store(callbacks.asioMessage);
        timeInfoSwitch_.store(callbacks.bufferSwitchTimeInfo);
        present_.store(true, std::memory_order_release);
    }
    void clear() {
        present_.store(false, std::memory_order_release);
        bufferSwitch_.store(nullptr);
        sampleRateDidChange_.store(nullptr);
        asioMessage_.store(nullptr);
        timeInfoSwitch_.store(nullptr);
    }
    bool present() const { return present_.load(std::memory_order_acquire); }
    // The message entry, or null while there are no callbacks.
    AsioMessageFn message() const { return present() ? asioMessage_.load() : nullptr; }

    // The entries as they are; callers look at present() first where it matters.
    BufferSwitchFn bufferSwitch(std::memory_order order) const { return bufferSwitch_.load(order); }
    TimeInfoSwitchFn timeInfoSwitch(std::memory_order order) const {
        return timeInfoSwitch_.load(order);
    }
    SampleRateDidChangeFn sampleRateDidChange() const { return sampleRateDidChange_.load(); }
    AsioMessageFn asioMessage() const { return asioMessage_.load(); }

private:
    std::atomic<bool> present_{false};
    std::atomic<BufferSwitchFn> bufferSwitch_{nullptr};
    std::atomic<SampleRateDidChangeFn> sampleRateDidChange_{nullptr};
    std::atomic<AsioMessageFn> asioMessage_{nullptr};
    std::atomic<TimeInfoSwitchFn> timeInfoSwitch_{nullptr};
};

} // namespace halvern::driver
