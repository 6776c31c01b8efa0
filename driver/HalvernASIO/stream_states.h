// What each streaming state holds. Buffers: the channel lists the host was handed and the
// shared areas they lie in. The lists live in place for the object's lifetime, because a
// hardware stop empties them on the audio thread while the host's thread may be asking which
// channels are active; the host's hold on them is part of the value.
#pragma once

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

} // namespace halvern::driver
