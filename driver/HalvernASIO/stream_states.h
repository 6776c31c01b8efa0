// What each streaming state holds. Buffers: the channel lists the host was handed and the
// shared areas they lie in. A running stream: the device's three events and the claim on them,
// the position the audio thread publishes, and the share of the real-time class its end gives
// back. Both live in place for the object's lifetime, because a hardware stop ends them on the
// audio thread while the host's thread may be asking which channels are active or where the
// stream is.
#pragma once

#include "halvern/platform/handle.h"
#include "halvern/protocol/bus_protocol.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace halvern::driver {

class PreparedBuffers {
public:
    static constexpr int kMaxChannels = 128;

    // The host created buffers and has not disposed them yet.
    bool held() const { return held_.load(); }
    void hold() { held_.store(true); }
    // The host's hold given up: true when there was one.
    bool dropHold() { return held_.exchange(false); }

    // Everything given up without a trace: the hold, the halves and the lists.
    void forget();
    // The lists emptied for a fresh listing; the halves stay until each entry is written.
    void beginListing() {
        inputs_.count.store(0);
        outputs_.count.store(0);
    }
    // Lists `channel`'s two halves in `area` (of `frames` samples each), silenced, and hands
    // them to `halves`. False, with nothing written, for a channel outside the table or a full
    // list.
    bool add(bool isInput, int32_t channel, int32_t* area, std::size_t frames, void* halves[2]);
    // The lists emptied (the hold stays); a listed entry without its halves is traced.
    void release();
    bool isActive(bool isInput, int32_t channel) const;

    // The device's reply that places the two areas.
    protocol::SharedMemoryReply& sharedMemory() { return sharedMemory_; }

private:
    struct Side {
        std::atomic<void*> halves[kMaxChannels][2] = {};
        int32_t channels[kMaxChannels] = {};
        std::atomic<int32_t> count{0};
    };
    static void release(Side& side, const char* nullTrace);

    Side inputs_;
    Side outputs_;
    protocol::SharedMemoryReply sharedMemory_{};
    std::atomic<bool> held_{false};
};

// The sample position and the system time of the last buffer switch. The audio thread writes
// them, getSamplePosition reads them on the host's thread: a sequence lock over atomics gives a
// consistent pair without a lock.
class SamplePosition {
public:
    void publish(double position, uint64_t systemTime);
    void read(double& position, uint64_t& systemTime) const;

private:
    std::atomic<uint32_t> sequence_{0};
    std::atomic<double> position_{0.0};
    std::atomic<uint64_t> systemTime_{0}; // ASIOTimeStamp as hi << 32 | lo
};

class RunningStream {
public:
    // The events the device signals: the two halves and the stop.
    static constexpr int kEvents = 3;

    // All three events, or none (traced) when one cannot be created.
    bool openEvents();
    // Whoever takes a handle closes it: the host's stop and a hardware stop may meet here.
    void closeEvents();
    // Some event is still open: a stream that was never stopped.
    bool hasEvents() const;
    platform::Handle event(int index) const { return events_[index].load(); }
    // All three as they are now: false when one is missing (the stream is ending).
    bool takeEvents(platform::Handle (&out)[kEvents]) const;

    // Buffer switches are handed to the host only while this holds.
    std::atomic<bool> running{false};
    // The current half index, kept as part of the driver's state.
    std::atomic<int32_t> toggle{0};
    // Device signals of this stream that reached the host as no buffer switch.
    std::atomic<uint64_t> skippedHalves{0};
    SamplePosition position;

    // The device's events are this stream's from the registration on.
    void claimDevice();
    // True when the device signalled this stream's events until now: only then is it stopped.
    bool releaseDevice();

    // The process in the real-time class while this stream runs (several streams share it).
    void raisePriority();
    void restorePriority();

private:
    friend struct AsioHalvernTestAccess;
    std::atomic<platform::Handle> events_[kEvents] = {nullptr, nullptr, nullptr};
    // This stream raised the process to the real-time class.
    std::atomic<bool> raisedPriority_{false};
};

} // namespace halvern::driver
