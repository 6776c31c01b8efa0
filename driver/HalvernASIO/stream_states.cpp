#include "stream_states.h"

#include "driver_trace.h"

#include <cstring>

namespace halvern::driver {

void PreparedBuffers::forget() {
    held_.store(false);
    for (Side* side : {&inputs_, &outputs_}) {
        for (auto& pair : side->halves) {
            pair[0].store(nullptr);
            pair[1].store(nullptr);
        }
    }
    inputs_.count.store(0);
    outputs_.count.store(0);
}

bool PreparedBuffers::add(bool isInput, int32_t channel, int32_t* area, std::size_t frames,
                          void* halves[2]) {
    Side& side = isInput ? inputs_ : outputs_;
    const int32_t entry = side.count.load();
    if (channel < 0 || channel >= kMaxChannels || entry >= kMaxChannels)
        return false;
    int32_t* half0 = area + 2 * frames * channel;
    int32_t* half1 = half0 + frames;
    side.channels[entry] = channel;
    halves[0] = half0;
    halves[1] = half1;
    side.halves[entry][0].store(half0);
    side.halves[entry][1].store(half1);
    std::memset(half0, 0, 2 * frames * sizeof(int32_t));
    side.count.store(entry + 1);
    return true;
}

void PreparedBuffers::release(Side& side, const char* nullTrace) {
    const int32_t n = side.count.exchange(0);
    for (int32_t i = 0; i < n && i < kMaxChannels; ++i) {
        if (side.halves[i][0].load() != nullptr && side.halves[i][1].load() != nullptr) {
            side.halves[i][0].store(nullptr);
            side.halves[i][1].store(nullptr);
        } else {
            hostTrace(nullTrace, static_cast<int>(i));
        }
    }
}

void PreparedBuffers::release() {
    release(inputs_, "inputBuffers[%d] is NULL\n");
    release(outputs_, "outputBuffers[%d] is NULL\n");
}

bool PreparedBuffers::isActive(bool isInput, int32_t channel) const {
    const Side& side = isInput ? inputs_ : outputs_;
    const int32_t count = side.count.load();
    for (int32_t i = 0; i < count; ++i) {
        if (side.channels[i] == channel)
            return true;
    }
    return false;
}

} // namespace halvern::driver
