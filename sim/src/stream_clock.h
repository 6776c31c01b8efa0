// The device's sample clock while a host streams: once per period it exchanges one half of
// every channel in the shared areas and sets the host's event for that half.
#pragma once

#include "sim_io.h"
#include "sim_signal.h"

#include "halvern/platform/handle.h"
#include "halvern/sim/simulator.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace halvern::sim {

struct StreamSetup {
    // Half 0 due, half 1 due; owned by the caller, open while running.
    io::EventRef events[2] = {io::kNoEvent, io::kNoEvent};
    uint8_t* inputArea = nullptr;
    const uint8_t* outputArea = nullptr;
    uint32_t frames = 256; // N, samples per half-buffer
    uint32_t sampleRate = 48000;
    uint32_t inputs = 0;
    uint32_t outputs = 0;
    SignalTimes* times = nullptr;                  // may be null
    const std::atomic<int>* inputSource = nullptr; // InputSource, may change while running
    const MixSnapshot* mix = nullptr;
    MeterLevels* meters = nullptr;
};

class StreamClock {
public:
    StreamClock() = default;
    ~StreamClock();
    StreamClock(const StreamClock&) = delete;
    StreamClock& operator=(const StreamClock&) = delete;

    // Starts the clock thread; false when it cannot be created.
    bool start(const StreamSetup& setup);
    // Stops the clock and waits for its thread; after this no event is set any more.
    void stop();
    bool running() const { return thread_ != nullptr; }
    // The clock thread sleeps `ms` once before its next tick (a stall on demand).
    void stallOnce(uint32_t ms) { stallMs_.store(ms, std::memory_order_relaxed); }
    // The device's crystal: positive runs fast (shorter periods), negative slow; taken up at the
    // next tick while running, kept for later streams.
    void setPpm(int32_t ppm) { ppm_.store(ppm, std::memory_order_relaxed); }

    uint64_t periods() const { return periods_.load(std::memory_order_acquire); }
    uint64_t lateTicks() const { return lateTicks_.load(std::memory_order_relaxed); }

private:
    static uint32_t threadMain(void* self);
    void run();
    void tick(uint64_t n);

    StreamSetup setup_;
    platform::Handle thread_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> periods_{0};
    std::atomic<uint64_t> lateTicks_{0};
    std::atomic<uint32_t> stallMs_{0};
    std::atomic<int32_t> ppm_{0};
    MeterAccumulator meter_;
    std::vector<int32_t> loopHeld_; // per output: the half played, until it comes back
};

} // namespace halvern::sim
