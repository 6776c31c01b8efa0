// Streaming: buffers in the shared sample areas, start and stop, the audio thread that waits for
// the bus driver's events and calls the host's buffer switch, and the hardware stop.
#include "AsioHalvern.h"
#include "com/com_base.h"
#include "driver_gate.h"
#include "driver_trace.h"
#include "signal_tracker.h"

#include "halvern/platform/bus_device.h"
#include "halvern/platform/clock.h"
#include "halvern/platform/event.h"
#include "halvern/platform/thread.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace halvern::driver {

using namespace protocol;

std::atomic<int32_t> gPanelBlockFrames{0};

namespace {

LiveThreads gAudioThreads;

// What an audio thread is started with: its object's link and its generation.
struct AudioThreadStart {
    std::shared_ptr<AudioLink> link;
    uint64_t generation = 0;
};

constexpr uint32_t kEventWaitMs = 500;
constexpr uint32_t kTimerOnWaitMs = 2000;
constexpr uint32_t kTimerOffWaitMs = 1000;
constexpr uint32_t kNoDriverSleepMs = 5;
constexpr uint32_t kNoEventsSleepMs = 1;
// A wait that fails is retried after a pause; failing for half a second in a row means the
// events are gone, and the stream is torn down as if the hardware had stopped.
constexpr uint32_t kFailedWaitSleepMs = 10;
constexpr int kMaxFailedWaitsInRow = 50;
constexpr double kTwo32 = 4294967296.0;
// Failed look-ups in a row, each after a wait that timed out, that mean the device is gone.
constexpr int kMaxFailedProbes = 2;
// Waits in a row that timed out while the device still answered: about a second without a
// signal. The device no longer streams for this object (another host stopped it, its engine
// stayed off): the host is asked to reset, once a stream.
constexpr int kQuietWaitsBeforeReset = 2;

// Whether the device still answers a request, on a handle of the audio thread's own.
bool deviceAnswers() {
    platform::Handle device = platform::openBusDeviceByInterface();
    if (!platform::isValid(device))
        return false;
    uint8_t reply[4] = {};
    const bool ok = platform::deviceIoControl(device, IOCTL_ASIO_GET_BUFFER_SIZE, nullptr, 0, reply,
                                              sizeof reply, nullptr);
    platform::closeBusDevice(device);
    return ok;
}

constexpr uint32_t kAllTimeFlagsValid = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
constexpr uint32_t kChangeFlags = kSampleRateChanged | kClockSourceChanged;

uint64_t packHiLo(uint32_t hi, uint32_t lo) {
    return uint64_t(hi) << 32 | lo;
}

// A non-negative double as two 32-bit halves, high first.
void splitHiLo(double value, uint32_t& hi, uint32_t& lo) {
    if (value >= kTwo32) {
        hi = static_cast<uint32_t>(value / kTwo32);
        lo = static_cast<uint32_t>(value - hi * kTwo32);
    } else {
        hi = 0;
        lo = value > 0.0 ? static_cast<uint32_t>(value) : 0;
    }
}

// Every pair of halves asked for lies inside the area as the transport mapped it, on a channel
// the device has; checked before any of them is touched.
bool halvesFit(const ASIOBufferInfo* infos, int32_t count, int32_t frames, uint32_t deviceInputs,
               uint32_t deviceOutputs, const SharedMemoryReply& shared) {
    for (int32_t i = 0; i < count; ++i) {
        const ASIOBufferInfo& info = infos[i];
        if (info.channelNum < 0 || info.channelNum >= PreparedBuffers::kMaxChannels)
            continue; // refused when listed, as every channel outside the table is
        const bool isInput = info.isInput != ASIOFalse;
        if (uint32_t(info.channelNum) >= (isInput ? deviceInputs : deviceOutputs)) {
            hostTrace("createBuffers refused: the device has no %s channel %d\n",
                      isInput ? "input" : "output", static_cast<int>(info.channelNum));
            return false;
        }
        const uint64_t end = uint64_t(8) * uint64_t(frames) * uint64_t(info.channelNum + 1);
        const uint64_t area = isInput ? shared.inputAreaBytes() : shared.outputAreaBytes();
        if (end > area) {
            hostTrace("createBuffers refused: %s channel %d needs %u bytes, the area has %llu\n",
                      isInput ? "input" : "output", static_cast<int>(info.channelNum),
                      static_cast<unsigned>(end), static_cast<unsigned long long>(area));
            return false;
        }
    }
    return true;
}

} // namespace

int DriverCore::liveAudioThreads() {
    return gAudioThreads.count();
}

// ---------------------------------------------------------------------------------------------
// Sample position

Outcome DriverCore::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
    if (sPos == nullptr || tStamp == nullptr)
        return Outcome::InvalidParameter;
    double position = 0.0;
    uint64_t systemTime = 0;
    stream_.position.read(position, systemTime);
    tStamp->hi = static_cast<uint32_t>(systemTime >> 32);
    tStamp->lo = static_cast<uint32_t>(systemTime);
    splitHiLo(position, sPos->hi, sPos->lo);
    return Outcome::Ok;
}

// ---------------------------------------------------------------------------------------------
// Buffers

Outcome DriverCore::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                  int32_t bufferSize, ASIOCallbacks* callbacks) {
    // The previous call's buffers are given up whatever this one does: a failure must not
    // leave them listed as active.
    buffers_.forget();
    // The host's size places every buffer: one outside 1 to 2048 samples would reach past the
    // shared areas. Refused before any memory is touched.
    if (bufferInfos == nullptr || callbacks == nullptr || numChannels < 0 || bufferSize <= 0 ||
        bufferSize > kMaxBufferSize) {
        hostTrace("createBuffers refused: %d channels, buffer size %d\n", numChannels, bufferSize);
        return Outcome::InvalidParameter;
    }
    // The device lays out its halves at its own size: a host at any other would read and
    // write across channels. Refused before the areas are touched.
    std::unique_lock<std::recursive_mutex> deviceLock(deviceMutex_);
    int32_t deviceFrames = 0;
    if (!readDeviceBufferSize(deviceFrames, "句柄无效！！！！"))
        return Outcome::HardwareFault;
    if (bufferSize != deviceFrames) {
        hostTrace("createBuffers refused: buffer size %d, the device runs at %d\n", bufferSize,
                  deviceFrames);
        return Outcome::InvalidParameter;
    }
    // A channel the device does not have would sit in a part of an area it never plays.
    uint8_t channels[8] = {};
    uint32_t channelBytes = 0;
    if (!request(IOCTL_ASIO_GET_CHANNELS, channels, sizeof channels, &channelBytes) ||
        channelBytes < sizeof channels) {
        hostTrace("send IOCTL_ASIO_GET_CHANNELS failed!!!!! 0x%x\n", platform::lastError());
        return Outcome::HardwareFault;
    }
    const uint32_t deviceInputs = getLe32(channels);
    const uint32_t deviceOutputs = getLe32(channels + 4);
    SharedMemoryReply& shared = buffers_.sharedMemory();
    if (!request(IOCTL_ASIO_GET_SHARED_MEMORY, shared.bytes, SharedMemoryReply::kSize)) {
        hostTrace("failed to set input buffers: 0x%x\n", platform::lastError());
        return Outcome::HardwareFault;
    }
    deviceLock.unlock();
    auto* inputArea = reinterpret_cast<int32_t*>(static_cast<uintptr_t>(shared.inputArea()));
    auto* outputArea = reinterpret_cast<int32_t*>(static_cast<uintptr_t>(shared.outputArea()));
    if (inputArea == nullptr || outputArea == nullptr) {
        hostTrace("dataInShareMemPointer in NULL!!!\n");
        return Outcome::HardwareFault;
    }
    if (!halvesFit(bufferInfos, numChannels, bufferSize, deviceInputs, deviceOutputs, shared)) {
        disposeBuffers();
        return Outcome::HardwareFault;
    }

    blockFrames_.store(bufferSize);
    gPanelBlockFrames.store(bufferSize);
    buffers_.beginListing();
    const std::size_t frames = static_cast<std::size_t>(bufferSize);
    for (int32_t i = 0; i < numChannels; ++i) {
        ASIOBufferInfo& info = bufferInfos[i];
        const bool isInput = info.isInput != ASIOFalse;
        if (!buffers_.add(isInput, info.channelNum, isInput ? inputArea : outputArea, frames,
                          info.buffers)) {
            hostTrace("disposeBuffers.\n");
            buffers_.release();
            return Outcome::HardwareFault;
        }
    }

    buffers_.hold();
    callbacks_.take(*callbacks);
    const AsioMessageFn message = callbacks_.asioMessage();
    const bool timeInfo =
        message != nullptr && message(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0;
    timeInfoMode_.store(timeInfo);
    if (timeInfo) {
        stream_.position.publish(0.0, 0);
        timeSampleRate_.store(sampleRate_.load());
        timeFlags_.store(kAllTimeFlagsValid);
    }
    return Outcome::Ok;
}

Outcome DriverCore::disposeBuffers() {
    hostTrace("disposeBuffers.\n");
    // Nothing to dispose: never created, or disposed already.
    if (!buffers_.dropHold())
        return Outcome::InvalidMode;
    // The host frees its side once this returns: no buffer switch may come after it.
    if (stream_.running.load())
        stop();
    buffers_.release();
    return Outcome::Ok;
}

// ---------------------------------------------------------------------------------------------
// Start and stop

Outcome DriverCore::start() {
    hostTrace("asio start.\n");
    listenerClose();
    listenerStart();
    if (!callbacks_.present())
        return Outcome::NotPresent;

    // A start while the previous stream still has its events ends that stream's thread and
    // frees its events first, instead of leaking them and leaving two threads to race.
    if (stream_.hasEvents()) {
        timerOff();
        stream_.closeEvents();
    }

    stream_.position.publish(0.0, 0);
    stream_.toggle.store(0);
    stream_.skippedHalves.store(0);
    stream_.running.store(false);
    // Without all three events the device could never signal a half: nothing is started.
    if (!stream_.openEvents())
        return Outcome::HardwareFault;
    stream_.running.store(true);
    // A start that fails before the audio thread exists leaves no events and no running flag.
    auto abandon = [this] {
        stream_.running.store(false);
        stream_.closeEvents();
        return Outcome::HardwareFault;
    };

    std::unique_lock<std::recursive_mutex> deviceLock(deviceMutex_);
    if (!reopenDevice())
        return abandon();
    // The time info and the period carry the rate the device streams at, not the last one a
    // host happened to read.
    {
        uint8_t rate[4] = {};
        if (request(IOCTL_AUDIO_GET_SAMPLE_RATE, rate, sizeof rate) && getLe32(rate) != 0) {
            sampleRate_.store(double(getLe32(rate)));
            timeSampleRate_.store(double(getLe32(rate)));
        }
    }
    EventRegistration registration;
    for (std::size_t i = 0; i < 3; ++i)
        registration.setHandle(
            i, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(stream_.event(int(i)))));
    uint8_t reply = 1;
    if (!platform::deviceIoControl(device_, IOCTL_ASIO_SET_EVENTS, registration.bytes,
                                   EventRegistration::kSize, &reply, sizeof reply, nullptr)) {
        hostTrace("failed to set event: 0x%x\n", platform::lastError());
        return abandon();
    }
    stream_.claimDevice();

    platform::sleepMs(10);
    timerOn();

    if (!request(IOCTL_ASIO_START, nullptr, 0)) {
        hostTrace("failed to Start input buffers: 0x%x\n", platform::lastError());
        return Outcome::HardwareFault;
    }
    deviceLock.unlock();
    hostTrace("Start In..............!!!\n");
    switch (sendStatus(1, 0, false)) {
    case StatusResult::WriteFailed:
    case StatusResult::CloseFailed:
        return Outcome::InvalidParameter;
    case StatusResult::NoPanel:
    case StatusResult::Sent:
        break;
    }
    return Outcome::Ok;
}

Outcome DriverCore::stop() {
    return stopStreaming(false);
}

Outcome DriverCore::stopStreaming(bool onAudioThread) {
    hostTrace("asio stop.\n");
    stream_.running.store(false);
    timerOff();
    if (const uint64_t skipped = stream_.skippedHalves.exchange(0))
        hostTrace("Half buffers skipped while the host was behind: %u\n",
                  static_cast<unsigned>(skipped));

    // The audio thread uses a handle of its own: the host's thread may be in a query on the
    // object's handle at the same moment.
    std::unique_lock<std::recursive_mutex> deviceLock(deviceMutex_, std::defer_lock);
    if (!onAudioThread)
        deviceLock.lock();
    platform::Handle device = nullptr;
    if (onAudioThread) {
        platform::Handle h = platform::openBusDeviceByInterface();
        device = platform::isValid(h) ? h : nullptr;
    } else if (reopenDevice()) {
        device = device_;
    }
    // Only the object whose events the device signals stops it: one that never started (a host
    // that only scans its drivers, in this process or another) leaves a running stream alone.
    const bool mine = stream_.releaseDevice();
    if (device == nullptr) {
        hostTrace("Halvern Handle is NULL\n");
    } else if (!mine) {
        hostTrace("asio stop: the device does not stream for this driver object.\n");
        if (onAudioThread)
            platform::closeBusDevice(device);
        else
            closeDevice();
    } else {
        uint8_t reply = 0;
        platform::deviceIoControl(device, IOCTL_ASIO_SET_EVENTS, nullptr, 0, &reply, sizeof reply,
                                  nullptr);
        if (!platform::deviceIoControl(device, IOCTL_ASIO_STOP, nullptr, 0, nullptr, 0, nullptr))
            hostTrace("failed to stop: 0x%x\n", platform::lastError());
        if (onAudioThread)
            platform::closeBusDevice(device);
        else
            closeDevice();
    }
    stream_.closeEvents();
    return Outcome::Ok;
}

// ---------------------------------------------------------------------------------------------
// Timer on and off

void DriverCore::timerOn() {
    AudioLink& link = *audio_;
    const uint64_t generation = link.generations.fetch_add(1) + 1;
    link.runToken.store(generation);

    if (platform::Handle existing = link.thread.handle()) {
        audioTrace("ASIOThreadHandle is not NULL!\n");
        // That thread belongs to an earlier generation and ends at its next round; a thread
        // that does not (stuck in the host) is let go, so that this stream has its own.
        platform::waitThread(existing, kTimerOnWaitMs);
        if (link.thread.takeIf(existing))
            platform::closeThread(existing);
    }

    auto* startInfo = new (std::nothrow) AudioThreadStart{audio_, generation};
    if (startInfo == nullptr) {
        audioTrace("创建线程失败 Created ID is %d!\n", 0);
        return;
    }
    uint32_t threadId = 0;
    platform::Handle thread =
        link.thread.start(gAudioThreads, &DriverCore::audioThreadMain, startInfo, &threadId);
    if (thread == nullptr) {
        delete startInfo;
        audioTrace("创建线程失败 Created ID is %d!\n", static_cast<int>(threadId));
        return;
    }
    audioTrace("ASIOThreadHandle Created ID is %d!, Task Id is %d\n", static_cast<int>(threadId),
               static_cast<int>(link.taskIndex.load()));

    stream_.raisePriority();
    if (!platform::disableThreadPriorityBoost(thread))
        audioTrace("禁用优先级提升失败");
    if (!platform::setThreadTimeCritical(thread))
        audioTrace("设置线程优先级失败");
    const uint32_t processors = platform::processorCount();
    const uint64_t mask = processors > 3 ? 0xF : (uint64_t(1) << processors) - 1;
    if (!platform::setThreadAffinity(thread, mask))
        audioTrace("SetThreadAffinityMask failed: %d\n", static_cast<int>(platform::lastError()));
    // Where the device signals from one known processor, waiting there saves every period an
    // inter-processor wake-up, the largest share of the wake-up latency in a virtual machine.
    const int signalCpu = platform::deviceSignalProcessor();
    if (signalCpu >= 0 && signalCpu < 64 && ((mask >> signalCpu) & 1) != 0)
        platform::setThreadAffinity(thread, uint64_t(1) << signalCpu);

    platform::resumeThread(thread);
    audioTrace("Timer On Func!\n");
}

void DriverCore::timerOff() {
    AudioLink& link = *audio_;
    link.runToken.store(0);
    stream_.restorePriority();
    platform::Handle thread = link.thread.take();
    if (thread == nullptr) {
        audioTrace("Timer Off ASIOThreadHandle is NULL!\n");
        return;
    }
    audioTrace("Timer Off ASIOThreadHandle is not NULL!\n");
    // On the audio thread itself (a hardware stop) there is nothing to wait for: the thread
    // ends as soon as this returns, and its handle is only released.
    const bool closed = BackgroundThread::join(thread, kTimerOffWaitMs, [] {
        audioTrace("Timer Off ASIOThreadHandle is not NULL need Close Handle!\n");
    });
    if (closed)
        audioTrace("Timer Off ASIOThreadHandle Close Handle Success!\n");
    else
        audioTrace("Timer Off ASIOThreadHandle Close Handle Failed!\n");
}

// ---------------------------------------------------------------------------------------------
// The audio thread

uint32_t DriverCore::audioThreadMain(void* arg) {
    std::unique_ptr<AudioThreadStart> startInfo(static_cast<AudioThreadStart*>(arg));
    std::shared_ptr<AudioLink> link = std::move(startInfo->link);
    const uint64_t generation = startInfo->generation;
    startInfo.reset();
    std::atomic<uint64_t>& runToken = link->runToken;
    DriverGate& gate = link->gate;
    DriverGate::prepareThread();
    audioTrace("Start ASIO Audio Thread!\n");
    uint32_t taskIndex = link->taskIndex.load();
    platform::Handle registration = platform::joinProAudioClass(&taskIndex);
    link->taskIndex.store(taskIndex);
    if (!platform::isValid(registration)) {
        audioTrace("AvSetMmThreadCharacteristics failed: %d\n",
                   static_cast<int>(platform::lastError()));
        registration = nullptr;
    }

    AudioLoop loop; // on this thread's stack, as its handed record must be
    while (runToken.load() == generation) {
        platform::Handle events[RunningStream::kEvents] = {};
        bool hasAll = false;
        {
            DriverGate::Entry entry(gate);
            DriverCore* d = entry.driver();
            if (d == nullptr) {
                platform::sleepMs(kNoDriverSleepMs);
                continue;
            }
            hasAll = d->stream_.takeEvents(events);
        }
        if (!hasAll) {
            platform::sleepMs(kNoEventsSleepMs);
            continue;
        }

        // The wait reports the first set event of its list: the half the device plays next
        // goes first, so that a host that fell behind still meets the halves in the device's
        // order.
        AudioWake wake;
        wake.next = loop.tracker.nextHalf();
        const platform::Handle order[3] = {events[wake.next], events[1 - wake.next], events[2]};
        // A look without blocking first: an event found set already means the host is behind,
        // whatever the wait's length says (a host that keeps up with little to spare waits
        // only briefly; a preempted look takes long).
        wake.began = platform::monotonicNs();
        wake.result = platform::waitForAny(order, 3, 0);
        wake.alreadySet = wake.result != platform::kWaitTimeout;
        if (!wake.alreadySet)
            wake.result = platform::waitForAny(order, 3, kEventWaitMs);
        wake.ended = platform::monotonicNs();
        if (runToken.load() != generation)
            break;
        DriverGate::Entry entry(gate);
        DriverCore* d = entry.driver();
        if (d == nullptr)
            continue;
        if (!d->stream_.running.load() || !d->answerWake(loop, wake, gate)) {
            uint64_t expected = generation;
            runToken.compare_exchange_strong(expected, 0);
            break;
        }
    }

    if (registration != nullptr)
        platform::leaveProAudioClass(registration);
    audioTrace("End ASIO Audio Thread %d!\n",
               static_cast<int>(reinterpret_cast<intptr_t>(registration)));
    // The link may be the last thing left of the object: released while the module is held.
    link.reset();
    gAudioThreads.end();
    return 0;
}

// What one wait of the audio thread ended with; false when the stream is over (the device stopped
// or went away, the events failed), after the hardware stop.
bool DriverCore::answerWake(AudioLoop& loop, const AudioWake& wake, const DriverGate& gate) {
    if (wake.result == platform::kWaitTimeout) {
        loop.failedWaits = 0;
        // Half a second without a signal: a device that went away without its stop event
        // answers no request either. A device whose engine is only paused (the panel changes a
        // setting) still does.
        const bool answers = deviceAnswers();
        loop.failedProbes = answers ? 0 : loop.failedProbes + 1;
        loop.quietWaits = answers ? loop.quietWaits + 1 : 0;
        if (loop.quietWaits >= kQuietWaitsBeforeReset && !loop.quietResetAsked) {
            loop.quietResetAsked = true;
            audioTrace("No signal from the device for a second: reset request.\n");
            if (const AsioMessageFn message = callbacks_.message())
                message(kAsioResetRequest, 0, nullptr, nullptr);
            return true;
        }
        if (loop.failedProbes < kMaxFailedProbes)
            return true;
        audioTrace("The device is gone: hardware stop.\n");
        hardwareStop();
        return false;
    }
    if (wake.result == platform::kWaitObject0 + 2) {
        audioTrace("Hardware Stop! Envent is %d\n", 2);
        hardwareStop();
        return false;
    }
    if (wake.result == platform::kWaitObject0 || wake.result == platform::kWaitObject0 + 1) {
        loop.failedWaits = 0;
        loop.failedProbes = 0;
        loop.quietWaits = 0;
        const int32_t half = wake.result == platform::kWaitObject0 ? wake.next : 1 - wake.next;
        const int64_t signal =
            loop.tracker.take(half, !wake.alreadySet, wake.began, wake.ended, periodNs());
        stream_.skippedHalves.store(loop.tracker.skipped(), std::memory_order_relaxed);
        if (signal != SignalTracker::kStale)
            bufferSwitch(half, signal, &loop.handed, gate);
        return true;
    }
    // Not a half index: never handed to the host.
    audioTrace("Audio thread wait failed: %d\n", static_cast<int>(platform::lastError()));
    if (++loop.failedWaits >= kMaxFailedWaitsInRow) {
        audioTrace("Hardware stop after %d failed waits.\n", loop.failedWaits);
        hardwareStop();
        return false;
    }
    platform::sleepMs(kFailedWaitSleepMs);
    return true;
}

double DriverCore::periodNs() const {
    const double rate = sampleRate_.load(std::memory_order_relaxed);
    return rate > 0.0 ? blockFrames_.load(std::memory_order_relaxed) * 1e9 / rate : 0.0;
}

// The real-time path: no allocation, no lock, no trace, no request.
void DriverCore::bufferSwitch(int32_t index, int64_t signal, ASIOTime* handed,
                              const DriverGate& gate) {
    if (!stream_.running.load(std::memory_order_relaxed) || !callbacks_.present())
        return;
    stream_.toggle.store(index, std::memory_order_relaxed);
    // Nanoseconds on the system clock's millisecond base, finer than a period of 32 samples.
    const uint64_t t = platform::systemTimeNs();
    const auto hi = static_cast<uint32_t>(t >> 32);
    const auto lo = static_cast<uint32_t>(t);
    // The samples the device has played up to the end of this half, skipped halves included.
    const double position = double(signal + 1) * blockFrames_.load(std::memory_order_relaxed);
    stream_.position.publish(position, packHiLo(hi, lo));

    if (timeInfoMode_.load(std::memory_order_relaxed)) {
        auto* timeInfoSwitch = callbacks_.timeInfoSwitch(std::memory_order_relaxed);
        if (timeInfoSwitch == nullptr)
            return;
        AsioTimeInfo& info = handed->timeInfo;
        info.speed = 1.0;
        info.systemTime = ASIOTimeStamp{hi, lo};
        splitHiLo(position, info.samplePosition.hi, info.samplePosition.lo);
        const uint32_t flags = timeFlags_.load(std::memory_order_acquire);
        info.flags = flags;
        info.sampleRate = timeSampleRate_.load(std::memory_order_relaxed);
        ASIOTimeCode& code = handed->timeCode;
        code.speed = 1.0;
        code.flags = kTcValid | kTcRunning;
        if (timeCodeRead_.load(std::memory_order_relaxed)) {
            // Ten minutes ahead of the sample position, wrapping at 32 bits.
            const auto ahead = static_cast<uint32_t>(
                static_cast<int64_t>(sampleRate_.load(std::memory_order_relaxed) * 600));
            code.timeCodeSamples.hi = 0;
            code.timeCodeSamples.lo = ahead + info.samplePosition.lo;
        }
        timeInfoSwitch(handed, index, ASIOTrue);
        // Only the changes this switch reported are cleared; one made meanwhile stays for the
        // next. A driver released during the callback is not touched again.
        if (gate.current() == this)
            timeFlags_.fetch_and(~(flags & kChangeFlags), std::memory_order_relaxed);
    } else {
        auto* plainSwitch = callbacks_.bufferSwitch(std::memory_order_relaxed);
        if (plainSwitch != nullptr)
            plainSwitch(index, ASIOTrue);
    }
}

void DriverCore::hardwareStop() {
    audioTrace("Hardware stop.\n");
    stream_.running.store(false);
    buffers_.release();
    stopStreaming(true);
    // The callbacks are cleared before the host hears of it: a host that resets inside the
    // callback brings new ones, which must survive.
    const AsioMessageFn message = callbacks_.message();
    callbacks_.clear();
    if (message != nullptr)
        message(kAsioResetRequest, 0, nullptr, nullptr);
}

} // namespace halvern::driver
