#include "stream_clock.h"

#include "halvern/platform/clock.h"
#include "halvern/platform/event.h"
#include "halvern/platform/thread.h"
#include "halvern/platform/trace.h"
#include "halvern/protocol/bus_protocol.h"

#include <algorithm>
#include <cstring>

namespace halvern::sim {

namespace {
// The longest single sleep, so that a stop is seen within this time whatever the period.
constexpr uint64_t kMaxSleepNs = 20'000'000;

// Absolute deadlines from an anchor (tick, time): rounding never accumulates into drift. A
// crystal off by `ppm` makes every period 1e6 / (1e6 + ppm) of the nominal one.
uint64_t deadlineOf(uint64_t anchorNs, uint64_t ticksSinceAnchor, uint32_t frames, uint32_t rate,
                    int32_t ppm) {
    unsigned __int128 ns =
        (unsigned __int128)ticksSinceAnchor * frames * 1'000'000'000ull * 1'000'000ull;
    return anchorNs + uint64_t(ns / ((unsigned __int128)rate * uint64_t(1'000'000 + ppm)));
}

// The signal-times record is read by other processes: plain stores with explicit ordering.
void storeRelease(uint64_t* p, uint64_t v) {
    __atomic_store_n(p, v, __ATOMIC_RELEASE);
}
uint64_t loadRelaxed(const uint64_t* p) {
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
} // namespace

StreamClock::~StreamClock() {
    stop();
}

bool StreamClock::start(const StreamSetup& setup) {
    if (thread_)
        return true;
    setup_ = setup;
    setup_.frames = std::clamp<uint32_t>(setup_.frames, 1, protocol::kMaxBlockFrames);
    setup_.inputs = std::min<uint32_t>(setup_.inputs, kMaxSimChannels);
    setup_.outputs = std::min<uint32_t>(setup_.outputs, kMaxSimChannels);
    if (setup_.sampleRate == 0)
        return false;
    stop_.store(false);
    periods_.store(0);
    lateTicks_.store(0);
    meter_.begin(meterWindowFrames(setup_.sampleRate));
    // Silence before the first half played comes back; sized here, never on the clock thread.
    loopHeld_.assign(std::size_t(setup_.outputs) * setup_.frames, 0);
    if (SignalTimes* t = setup_.times) {
        // Each stream starts a new record, so that signal n is due for half n % 2.
        storeRelease(&t->count, 0);
        for (auto& slot : t->entries)
            storeRelease(&slot.sequence, 0);
        storeRelease(&t->periodNs, deadlineOf(0, 1, setup_.frames, setup_.sampleRate,
                                              ppm_.load(std::memory_order_relaxed)));
    }

    platform::Handle t = platform::createThread(&StreamClock::threadMain, this, true, nullptr);
    if (!platform::isValid(t))
        return false;
    // Real-time priority where the system grants it; a refusal only costs precision.
    if (!platform::setThreadInterruptPriority(t))
        platform::outputDebugString("halvern-bus-sim: clock thread runs without real-time "
                                    "priority\n");
    // A device's interrupt comes from one processor; so does this clock's signal.
    if (const int cpu = platform::deviceSignalProcessor(); cpu >= 0)
        platform::setThreadAffinity(t, uint64_t(1) << cpu);
    thread_ = t;
    platform::resumeThread(t);
    return true;
}

void StreamClock::stop() {
    if (!thread_)
        return;
    stop_.store(true);
    // The thread sleeps at most kMaxSleepNs at a time, so this ends promptly; the loop only
    // guards against a machine so loaded that the first wait runs out.
    while (platform::waitThread(thread_, 2000) == platform::kWaitTimeout) {
    }
    platform::closeThread(thread_);
    thread_ = nullptr;
}

uint32_t StreamClock::threadMain(void* self) {
    static_cast<StreamClock*>(self)->run();
    return 0;
}

void StreamClock::run() {
    const uint32_t frames = setup_.frames;
    const uint32_t rate = setup_.sampleRate;
    int32_t ppm = ppm_.load(std::memory_order_relaxed);
    uint64_t periodNs = std::max<uint64_t>(1, deadlineOf(0, 1, frames, rate, ppm));
    // Tick 0 is due one period after the start.
    uint64_t anchorNs = platform::monotonicNs() + periodNs;
    uint64_t anchorTick = 0;
    uint64_t n = 0;
    while (!stop_.load(std::memory_order_relaxed)) {
        if (const int32_t next = ppm_.load(std::memory_order_relaxed); next != ppm) {
            // The ticks due so far keep their times; the new rate counts from the next one.
            anchorNs = deadlineOf(anchorNs, n - anchorTick, frames, rate, ppm);
            anchorTick = n;
            ppm = next;
            periodNs = std::max<uint64_t>(1, deadlineOf(0, 1, frames, rate, ppm));
            if (SignalTimes* t = setup_.times)
                storeRelease(&t->periodNs, periodNs);
        }
        const uint64_t deadline = deadlineOf(anchorNs, n - anchorTick, frames, rate, ppm);
        uint64_t now = platform::monotonicNs();
        if (const uint32_t stall = stallMs_.exchange(0, std::memory_order_relaxed)) {
            io::sleepUntilNs(now + uint64_t(stall) * 1'000'000ull);
            continue;
        }
        if (now < deadline) {
            io::sleepUntilNs(std::min(deadline, now + kMaxSleepNs));
            continue;
        }
        // A whole period late means the machine stalled this thread, and a stall that long
        // freezes the host's threads alike: the simulated device pauses with it and goes on
        // from now. A burst of catch-up signals or skipped halves would be counted against a
        // host that did nothing wrong. The stall stays visible in the status.
        const uint64_t behind = (now - deadline) / periodNs;
        if (behind >= 1) {
            lateTicks_.fetch_add(behind, std::memory_order_relaxed);
            anchorNs = now;
            anchorTick = n;
        }
        tick(n);
        ++n;
    }
}

void StreamClock::tick(uint64_t n) {
    const uint32_t frames = setup_.frames;
    const uint32_t half = uint32_t(n & 1);
    const int32_t* play[kMaxSimChannels];
    const int32_t* in[kMaxSimChannels];
    auto* inBase = setup_.inputArea;
    const auto* outBase = setup_.outputArea;

    for (uint32_t k = 0; k < setup_.outputs; ++k)
        play[k] =
            reinterpret_cast<const int32_t*>(outBase + protocol::halfBufferOffset(k, frames, half));

    const int source = setup_.inputSource ? setup_.inputSource->load(std::memory_order_relaxed)
                                          : int(InputSource::TestSignal);
    const bool loopback = source == int(InputSource::Loopback);
    int32_t* filled[kMaxSimChannels];
    for (uint32_t c = 0; c < setup_.inputs; ++c) {
        auto* dst =
            reinterpret_cast<int32_t*>(inBase + protocol::halfBufferOffset(c, frames, half));
        if (loopback) {
            // The output half the host filled one buffer ago is played now and comes back in
            // the input half after it, each placed by the device's own size: a host laying out
            // its halves at another size reads another channel's samples. Held for one period,
            // so that the host keeps a whole buffer to read and write each half.
            if (c < setup_.outputs) {
                int32_t* held = loopHeld_.data() + std::size_t(c) * frames;
                std::memcpy(dst, held, std::size_t(frames) * 4);
                std::memcpy(held, play[c], std::size_t(frames) * 4);
            } else {
                std::memset(dst, 0, std::size_t(frames) * 4);
            }
        } else if (setup_.mix) {
            setup_.mix->inputs.fill(dst, c, n * frames, frames, setup_.sampleRate);
        } else {
            fillTestTone(dst, c, n * frames, frames, setup_.sampleRate);
        }
        in[c] = filled[c] = dst;
    }
    // Each output cabled back to its input: the host hears what the device plays.
    if (source == int(InputSource::MonitorLoopback) && setup_.mix)
        monitorLoopback(filled, setup_.inputs, play, setup_.outputs, frames, *setup_.mix);
    if (setup_.mix && setup_.meters)
        meter_.add(in, setup_.inputs, play, setup_.outputs, frames, *setup_.mix, *setup_.meters);

    const uint64_t now = platform::monotonicNs();
    if (SignalTimes* t = setup_.times) {
        uint64_t count = loadRelaxed(&t->count);
        SignalTimes::Slot& slot = t->entries[count % SignalTimes::kSlots];
        storeRelease(&slot.sequence, 0);
        storeRelease(&slot.timeNs, now);
        storeRelease(&slot.sequence, count + 1);
        storeRelease(&t->count, count + 1);
    }
    io::signalEvent(setup_.events[half]);
    periods_.fetch_add(1, std::memory_order_release);
}

} // namespace halvern::sim
