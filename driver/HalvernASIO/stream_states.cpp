#include "stream_states.h"

#include "driver_trace.h"

#include "halvern/platform/event.h"
#include "halvern/platform/thread.h"

#include <cstring>
#include <mutex>

namespace halvern::driver {

namespace {

// The stream whose events the device signals now: the one that registered them last. Only it
// stops the device; another object's stop leaves that stream alone.
std::atomic<const RunningStream*> gDeviceStream{nullptr};

// Streams that hold the process in the real-time class, and the class it had before the first.
std::mutex gPriorityMutex;
int gRaisedStreams = 0;
uint32_t gPriorityBefore = 0;

} // namespace

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

void SamplePosition::publish(double position, uint64_t systemTime) {
    const uint32_t s = sequence_.load(std::memory_order_relaxed);
    sequence_.store(s + 1, std::memory_order_relaxed);
    // Release stores keep the odd sequence ahead of the data, without a stand-alone fence
    // (which the thread sanitizer cannot follow).
    position_.store(position, std::memory_order_release);
    systemTime_.store(systemTime, std::memory_order_release);
    sequence_.store(s + 2, std::memory_order_release);
}

void SamplePosition::read(double& position, uint64_t& systemTime) const {
    // The writer never blocks inside its update, so a reader gets a stable pair within a few
    // tries; the bound only guards against a writer stalled mid-update.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const uint32_t before = sequence_.load(std::memory_order_acquire);
        // Acquire loads keep the second look at the sequence after the data.
        position = position_.load(std::memory_order_acquire);
        systemTime = systemTime_.load(std::memory_order_acquire);
        if ((before & 1) == 0 && sequence_.load(std::memory_order_relaxed) == before)
            return;
    }
}

bool RunningStream::openEvents() {
    for (int i = 0; i < kEvents; ++i) {
        platform::Handle h = platform::createEvent(false, false);
        if (!platform::isValid(h)) {
            hostTrace("failed to create event %d: 0x%x\n", i, platform::lastError());
            closeEvents();
            return false;
        }
        events_[i].store(h);
    }
    return true;
}

void RunningStream::closeEvents() {
    for (auto& e : events_) {
        platform::Handle h = e.exchange(nullptr);
        if (platform::isValid(h))
            platform::closeHandle(h);
    }
}

bool RunningStream::hasEvents() const {
    for (const auto& e : events_) {
        if (e.load() != nullptr)
            return true;
    }
    return false;
}

bool RunningStream::takeEvents(platform::Handle (&out)[kEvents]) const {
    for (int i = 0; i < kEvents; ++i)
        out[i] = events_[i].load();
    return out[0] != nullptr && out[1] != nullptr && out[2] != nullptr;
}

void RunningStream::claimDevice() {
    gDeviceStream.store(this);
}

bool RunningStream::releaseDevice() {
    const RunningStream* owner = this;
    return gDeviceStream.compare_exchange_strong(owner, nullptr);
}

void RunningStream::raisePriority() {
    std::lock_guard<std::mutex> lock(gPriorityMutex);
    if (gRaisedStreams == 0)
        gPriorityBefore = platform::processPriorityClass();
    if (!platform::setProcessRealtimePriority()) {
        audioTrace("设置进程优先级失败");
        if (gRaisedStreams == 0)
            return;
    }
    if (!raisedPriority_.exchange(true))
        ++gRaisedStreams;
}

// The host's process gets its own class back when its last stream ends.
void RunningStream::restorePriority() {
    if (!raisedPriority_.exchange(false))
        return;
    std::lock_guard<std::mutex> lock(gPriorityMutex);
    if (--gRaisedStreams == 0 && !platform::setProcessPriorityClass(gPriorityBefore))
        audioTrace("Process priority class not restored: %d\n",
                   static_cast<int>(platform::lastError()));
}

} // namespace halvern::driver
