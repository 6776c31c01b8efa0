#include "stream_session.h"

#include "driver_loader.h"
#include "driver_report.h"
#include "loopback_pattern.h"
#include "signal_times.h"

#include "halvern/platform/clock.h"
#include "halvern/platform/thread.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>

namespace halvern::host {

namespace {

constexpr uint32_t kMaxChannels = kPatternMaxChannels;
constexpr uint32_t kPollMs = 10;
constexpr uint32_t kRetryMs = 250;
constexpr uint32_t kQuiesceMs = 1000;
// 128 MB of records: 46 minutes of switches at 32 samples and 48000 Hz.
constexpr std::size_t kMaxRecords = std::size_t(4) << 20;

// Everything the driver's threads touch. The main thread changes the configuration only while
// `accepting` is false and no callback is inside.
struct Engine {
    // Configuration of the current stream.
    const int32_t* inputs[2][kMaxChannels] = {};
    int32_t* outputs[2][kMaxChannels] = {};
    uint32_t outputCount = 0;
    uint32_t checked = 0;
    uint32_t frames = 0;
    uint64_t spinNs = 0;
    bool timeInfo = true;
    const SignalTimesReader* signals = nullptr;

    // Written by the buffer switch only; read by the main thread once it is quiet.
    LoopbackChecker checker;
    uint64_t sent = 0; // sequence number of the next half, per stream
    uint32_t segment = 0;
    std::vector<SwitchRecord> records; // sized before the first start, never grown
    std::size_t recorded = 0;
    uint64_t unrecorded = 0;
    uint64_t timeInfoSwitches = 0, plainSwitches = 0, badIndex = 0, positionErrors = 0,
             positionSkips = 0;
    bool havePosition = false;
    uint64_t lastPosition = 0;

    // Shared between threads.
    std::atomic<bool> accepting{false};
    std::atomic<int> inCallback{0};
    std::atomic<bool> resetRequested{false};
    std::atomic<uint64_t> resetRequests{0};
    std::atomic<bool> timeInfoAsked{false};
    std::atomic<uint64_t> rateChanges{0};
    std::atomic<uint64_t> switches{0};
    std::atomic<uint64_t> lastSwitchNs{0};
};

// The callbacks carry no context: a host reaches its state through a process-wide pointer.
std::atomic<Engine*> gEngine{nullptr};

void spinUntil(uint64_t deadlineNs) {
    while (platform::monotonicNs() < deadlineNs) {
    }
}

// The buffer switch proper: check the inputs, play the pattern, record the timing. No
// allocation, no lock, no system call beyond the clock.
void processSwitch(Engine& e, int32_t index, const ASIOTime* time) {
    const uint64_t entry = platform::monotonicNs();
    if (index != 0 && index != 1) {
        ++e.badIndex;
        return;
    }
    SwitchRecord r;
    r.entryNs = entry;
    r.segment = e.segment;
    uint64_t number = 0, signalNs = 0;
    if (e.signals != nullptr && e.signals->latestFor(uint32_t(index), number, signalNs)) {
        r.signal = number;
        r.signalNs = signalNs;
    }
    if (time != nullptr && (time->timeInfo.flags & kSamplePositionValid)) {
        const uint64_t position =
            (uint64_t(time->timeInfo.samplePosition.hi) << 32) | time->timeInfo.samplePosition.lo;
        // A jump ahead by whole buffers is the device going on while the host was held (its
        // halves count as lost); anything else is a position the device did not play.
        if (e.havePosition && position != e.lastPosition + e.frames) {
            const uint64_t step = position - e.lastPosition;
            if (position > e.lastPosition && e.frames != 0 && step % e.frames == 0)
                ++e.positionSkips;
            else
                ++e.positionErrors;
        }
        e.havePosition = true;
        e.lastPosition = position;
    }

    e.checker.check(e.inputs[index], e.checked, e.frames, e.sent);
    for (uint32_t c = 0; c < e.outputCount; ++c)
        writePattern(e.outputs[index][c], e.frames, c, e.sent);
    ++e.sent;

    if (e.spinNs != 0)
        spinUntil(entry + e.spinNs);
    r.durationNs = uint32_t(std::min<uint64_t>(platform::monotonicNs() - entry, UINT32_MAX));
    if (e.recorded < e.records.size())
        e.records[e.recorded++] = r;
    else
        ++e.unrecorded;
    e.switches.fetch_add(1, std::memory_order_relaxed);
    e.lastSwitchNs.store(entry, std::memory_order_relaxed);
}

// Enter and leave in this order so that the main thread, having cleared `accepting`, sees
// every callback that got past the check.
bool enter(Engine*& e) {
    e = gEngine.load();
    if (e == nullptr)
        return false;
    e->inCallback.fetch_add(1);
    if (e->accepting.load())
        return true;
    e->inCallback.fetch_sub(1);
    return false;
}

void bufferSwitch(int32_t index, ASIOBool) {
    Engine* e = nullptr;
    if (!enter(e))
        return;
    ++e->plainSwitches;
    processSwitch(*e, index, nullptr);
    e->inCallback.fetch_sub(1);
}

ASIOTime* bufferSwitchTimeInfo(ASIOTime* params, int32_t index, ASIOBool) {
    Engine* e = nullptr;
    if (!enter(e))
        return nullptr;
    ++e->timeInfoSwitches;
    processSwitch(*e, index, params);
    e->inCallback.fetch_sub(1);
    return nullptr;
}

void sampleRateDidChange(ASIOSampleRate) {
    if (Engine* e = gEngine.load())
        e->rateChanges.fetch_add(1);
}

int32_t asioMessage(int32_t selector, int32_t value, void*, double*) {
    Engine* e = gEngine.load();
    switch (selector) {
    case kAsioSelectorSupported:
        return value == kAsioSelectorSupported || value == kAsioEngineVersion ||
                       value == kAsioResetRequest || value == kAsioSupportsTimeInfo
                   ? 1
                   : 0;
    case kAsioEngineVersion:
        return 2;
    case kAsioSupportsTimeInfo:
        if (e == nullptr)
            return 0;
        e->timeInfoAsked.store(true);
        return e->timeInfo ? 1 : 0;
    case kAsioResetRequest:
        // May come from the driver's audio thread: only a flag here, the main thread acts.
        if (e != nullptr) {
            e->resetRequests.fetch_add(1);
            e->resetRequested.store(true);
        }
        return 1;
    default:
        return 0;
    }
}

std::string errorText(const char* what, ASIOError e) {
    return std::string(what) + " failed: " + asioErrorName(e) + " (" + std::to_string(e) + ")";
}

bool validBufferSize(int32_t size, int32_t minSize, int32_t maxSize, int32_t granularity) {
    if (size < minSize || size > maxSize || size <= 0)
        return false;
    if (granularity == -1) // powers of two only
        return (size & (size - 1)) == 0;
    return granularity <= 0 || (size - minSize) % granularity == 0;
}

class Session {
public:
    Session(const StreamOptions& o, StreamResult& r, Engine& e) : o_(o), r_(r), e_(e) {
        callbacks_.bufferSwitch = &bufferSwitch;
        callbacks_.sampleRateDidChange = &sampleRateDidChange;
        callbacks_.asioMessage = &asioMessage;
        callbacks_.bufferSwitchTimeInfo = &bufferSwitchTimeInfo;
    }
    ~Session() { close(); }

    // Loads and initialises the driver, creates the buffers and starts. On failure everything
    // taken is given back.
    bool open(std::string& error) {
        const bool loadedOk = o_.driverPath.empty()
                                  ? loaded_.loadRegistered(o_.driverName, error)
                                  : loaded_.loadLibrary(o_.driverPath, o_.clsid, error);
        if (!loadedOk) {
            loaded_.release();
            return false;
        }
        int32_t size = 0;
        std::vector<ASIOBufferInfo> infos;
        if (initDriver(error) && readDriverSettings(size, error) &&
            chooseChannels(size, infos, error) && createBuffers(infos, size, error) &&
            start(size, error))
            return true;
        close();
        return false;
    }

    // The host's call of the driver's settings window, from the host's own thread as every
    // driver call.
    ASIOError controlPanel() {
        IASIO* d = loaded_.driver();
        return d != nullptr ? d->controlPanel() : ASE_NotPresent;
    }

    // What a host does before letting a driver go: stop, dispose, release.
    void close() {
        e_.accepting.store(false);
        if (started_) {
            const uint64_t now = platform::monotonicNs();
            const uint64_t last = std::max(e_.lastSwitchNs.load(), startedNs_);
            r_.segmentSeconds.push_back(double(now - startedNs_) / 1e9);
            r_.silentTailSeconds = double(now - std::min(last, now)) / 1e9;
        }
        if (IASIO* d = loaded_.driver()) {
            if (started_)
                d->stop();
            // A callback that got in before the flag changed finishes on its own; the wait is
            // bounded in case a driver calls it from a thread that hangs.
            for (uint32_t waited = 0; e_.inCallback.load() != 0 && waited < kQuiesceMs; ++waited)
                platform::sleepMs(1);
            if (buffersCreated_)
                d->disposeBuffers();
        }
        started_ = false;
        buffersCreated_ = false;
        if (locked_)
            platform::unlockProcessMemory();
        locked_ = false;
        loaded_.release();
        signals_.close();
        e_.signals = nullptr;
    }

    bool memoryLocked() const { return locked_; }

private:
    bool initDriver(std::string& error) {
        IASIO* d = loaded_.driver();
        if (!d->init(nullptr)) {
            char message[kAsioErrorMessageSize + 1] = {};
            d->getErrorMessage(message);
            error = std::string("init failed: ") + (message[0] ? message : "(no message)");
            return false;
        }
        char name[kAsioDriverNameSize + 1] = {};
        d->getDriverName(name);
        r_.driverName = name;
        return true;
    }

    // The driver's channels, buffer sizes and sample rate; `size` is the one to stream with.
    bool readDriverSettings(int32_t& size, std::string& error) {
        IASIO* d = loaded_.driver();
        ASIOError err = d->getChannels(&r_.deviceInputs, &r_.deviceOutputs);
        if (err != ASE_OK) {
            error = errorText("getChannels", err);
            return false;
        }
        int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
        err = d->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
        if (err != ASE_OK) {
            error = errorText("getBufferSize", err);
            return false;
        }
        r_.preferredSize = preferred;
        // A reset means the driver's settings changed: from then on its preferred size is the
        // one to take, whatever was asked at the start.
        size = o_.bufferSize > 0 && !opened_ ? o_.bufferSize : preferred;
        if (!validBufferSize(size, minSize, maxSize, granularity) ||
            size > int32_t(kPatternMaxFrames)) {
            error = "buffer size " + std::to_string(size) + " is not one the driver offers (min " +
                    std::to_string(minSize) + ", max " + std::to_string(maxSize) +
                    ", granularity " + std::to_string(granularity) + ")";
            return false;
        }
        err = d->getSampleRate(&r_.sampleRate);
        if (err != ASE_OK || !(r_.sampleRate > 0)) {
            error = err != ASE_OK ? errorText("getSampleRate", err) : "the sample rate is 0";
            return false;
        }
        return true;
    }

    // The channels to stream, as the buffer requests for createBuffers.
    bool chooseChannels(int32_t size, std::vector<ASIOBufferInfo>& infos, std::string& error) {
        auto want = [&](int32_t available) {
            int32_t n = std::max<int32_t>(0, available);
            if (o_.channels > 0)
                n = std::min(n, o_.channels);
            return std::min<int32_t>(n, int32_t(kMaxChannels));
        };
        r_.inputs = want(r_.deviceInputs);
        r_.outputs = want(r_.deviceOutputs);
        r_.checked = std::min(r_.inputs, r_.outputs);
        r_.bufferSize = size;

        for (int32_t c = 0; c < r_.inputs; ++c)
            infos.push_back(ASIOBufferInfo{ASIOTrue, c, {nullptr, nullptr}});
        for (int32_t c = 0; c < r_.outputs; ++c)
            infos.push_back(ASIOBufferInfo{ASIOFalse, c, {nullptr, nullptr}});
        if (infos.empty()) {
            error = "the driver has no channels";
            return false;
        }
        return true;
    }

    bool createBuffers(std::vector<ASIOBufferInfo>& infos, int32_t size, std::string& error) {
        // Configure before createBuffers: the driver asks kAsioSupportsTimeInfo from inside it.
        std::string why;
        if (!signals_.openForDriverDevice(why))
            r_.latencyNote = why;
        e_.signals = signals_.available() ? &signals_ : nullptr;
        e_.timeInfo = o_.timeInfo;
        e_.spinNs = uint64_t(o_.slowCallbackUs) * 1000;
        gEngine.store(&e_);

        const ASIOError err =
            loaded_.driver()->createBuffers(infos.data(), int32_t(infos.size()), size, &callbacks_);
        if (err != ASE_OK) {
            error = errorText("createBuffers", err);
            return false;
        }
        buffersCreated_ = true;
        for (const ASIOBufferInfo& info : infos) {
            for (int half = 0; half < 2; ++half) {
                if (info.buffers[half] == nullptr) {
                    error = "createBuffers gave no address for " +
                            std::string(info.isInput ? "input " : "output ") +
                            std::to_string(info.channelNum);
                    return false;
                }
                if (info.isInput)
                    e_.inputs[half][info.channelNum] =
                        static_cast<const int32_t*>(info.buffers[half]);
                else
                    e_.outputs[half][info.channelNum] = static_cast<int32_t*>(info.buffers[half]);
            }
        }
        return true;
    }

    // Readies the engine for a stream of `size` samples and starts the driver.
    bool start(int32_t size, std::string& error) {
        if (e_.records.empty()) {
            // Room for every switch of the run with a margin, at the smallest size and highest
            // rate a reset may bring (switches beyond the room are still checked, only not
            // timed). Touched now, so the callback never faults a page in.
            const double expected =
                o_.seconds * std::max(r_.sampleRate, 192000.0) / std::min<int32_t>(size, 32);
            e_.records.assign(std::size_t(std::min(expected * 1.5 + 4096.0, double(kMaxRecords))),
                              SwitchRecord{});
        }
        e_.outputCount = uint32_t(r_.outputs);
        e_.checked = uint32_t(r_.checked);
        e_.frames = uint32_t(size);
        e_.sent = 0;
        e_.havePosition = false;
        e_.checker.restart();

        // The host's pages stay in memory while it streams, as audio hosts keep them: a page
        // fault in the buffer switch costs more than a period at small sizes. Locked just
        // before start, so the driver and the sample areas are covered (never while streaming:
        // locking takes long enough to cost periods). Refused without the right; not fatal.
        locked_ = platform::lockProcessMemory();
        e_.accepting.store(true);
        const ASIOError err = loaded_.driver()->start();
        if (err != ASE_OK) {
            error = errorText("start", err);
            return false;
        }
        started_ = true;
        startedNs_ = platform::monotonicNs();
        opened_ = true;
        r_.segmentBufferSizes.push_back(size);
        r_.segmentSampleRates.push_back(r_.sampleRate);
        return true;
    }

    const StreamOptions& o_;
    StreamResult& r_;
    Engine& e_;
    ASIOCallbacks callbacks_{};
    LoadedDriver loaded_;
    SignalTimesReader signals_;
    bool buffersCreated_ = false;
    bool started_ = false;
    uint64_t startedNs_ = 0;
    bool opened_ = false; // a stream has started once
    bool locked_ = false;
};

} // namespace

uint64_t StreamResult::expectedSwitches() const {
    double expected = 0.0;
    for (std::size_t i = 0; i < segmentSeconds.size(); ++i) {
        const double size = i < segmentBufferSizes.size() ? segmentBufferSizes[i] : 0;
        const double rate = i < segmentSampleRates.size() ? segmentSampleRates[i] : 0.0;
        if (size > 0 && rate > 0 && std::isfinite(rate))
            expected += segmentSeconds[i] * rate / size;
    }
    return uint64_t(std::min(expected, 1e18));
}

bool StreamResult::passed() const {
    return started && error.empty() && stats.switches > 0 &&
           double(stats.switches) >= kMinSwitchShare * double(expectedSwitches()) && lost == 0 &&
           repeated == 0 && corrupted == 0 && badIndex == 0;
}

namespace {

// Where the main thread's loop stands.
struct RunState {
    uint64_t segmentStart = 0; // switches before the current stream
    bool streaming = true;
};

void callControlPanel(Session& session, StreamResult& r, std::FILE* progress) {
    r.controlPanelCalled = true;
    r.controlPanelResult = session.controlPanel();
    if (progress != nullptr)
        std::fprintf(progress, "Control panel called: %s.\n", asioErrorName(r.controlPanelResult));
}

// A reset request: stop, dispose, create the driver anew and go on, as a host does. False when
// the stream did not start again before the deadline (`r.error` says why).
bool restartAfterReset(Session& session, Engine& e, StreamResult& r, RunState& s, uint64_t deadline,
                       std::string& error, std::FILE* progress) {
    ++r.resets;
    if (s.streaming) {
        session.close();
        const uint64_t total = e.switches.load();
        r.segmentSwitches.push_back(total - s.segmentStart);
        s.segmentStart = total;
        s.streaming = false;
    }
    ++e.segment;
    if (progress != nullptr)
        std::fprintf(progress, "Reset requested by the driver; starting again.\n");
    if (progress != nullptr)
        std::fflush(progress);
    while (platform::monotonicNs() < deadline) {
        if (session.open(error)) {
            s.streaming = true;
            r.memoryLocked = session.memoryLocked() && r.memoryLocked;
            break;
        }
        platform::sleepMs(kRetryMs);
    }
    // Requests that came while the driver was being set up again are answered by it.
    e.resetRequested.store(false);
    if (!s.streaming) {
        r.error = "the stream did not start again after a reset: " + error;
        return false;
    }
    if (progress != nullptr) {
        std::fprintf(progress, "Streaming again: %d samples at %.0f Hz.\n", r.bufferSize,
                     r.sampleRate);
        std::fflush(progress);
    }
    return true;
}

// What the engine counted and checked, once no callback runs any more.
void takeEngineResults(const Engine& e, StreamResult& r) {
    r.timeInfoAsked = e.timeInfoAsked.load();
    r.rateChanges = e.rateChanges.load();
    r.resetRequests = e.resetRequests.load();
    r.timeInfoSwitches = e.timeInfoSwitches;
    r.plainSwitches = e.plainSwitches;
    r.badIndex = e.badIndex;
    r.positionErrors = e.positionErrors;
    r.positionSkips = e.positionSkips;
    r.unrecorded = e.unrecorded;
    r.intact = e.checker.intact();
    r.priming = e.checker.priming();
    r.lost = e.checker.lost();
    r.repeated = e.checker.repeated();
    r.corrupted = e.checker.corrupted();
    r.loopDelay = e.checker.loopDelay();
    r.stats = summarise(e.records.data(), e.recorded, r.periodUs());
    r.stats.switches = e.switches.load();
    if (!r.stats.latencyAvailable && r.latencyNote.empty())
        r.latencyNote = "no signal times were read";
}

} // namespace

StreamResult runStream(const StreamOptions& options, std::FILE* progress) {
    StreamResult r;
    r.timeInfo = options.timeInfo;
    r.slowCallbackUs = options.slowCallbackUs;
    auto engine = std::make_unique<Engine>();
    Engine& e = *engine;

    const double seconds = std::max(0.0, options.seconds);
    Session session(options, r, e);
    const uint64_t begin = platform::monotonicNs();
    const uint64_t deadline = begin + uint64_t(seconds * 1e9);
    std::string error;
    if (!session.open(error)) {
        r.error = error;
        gEngine.store(nullptr);
        return r;
    }
    r.started = true;
    r.memoryLocked = session.memoryLocked();
    if (progress != nullptr)
        std::fprintf(progress,
                     "Streaming %.1f s through %s: %d inputs, %d outputs, %d samples at %.0f Hz, "
                     "time info %s...\n",
                     seconds, r.driverName.c_str(), r.inputs, r.outputs, r.bufferSize, r.sampleRate,
                     options.timeInfo ? "on" : "off");
    if (progress != nullptr)
        std::fflush(progress);

    RunState s;
    const uint64_t controlPanelAt = begin + uint64_t(kControlPanelAfterSeconds * 1e9);
    while (platform::monotonicNs() < deadline) {
        platform::sleepMs(kPollMs);
        if (options.controlPanel && !r.controlPanelCalled && s.streaming &&
            platform::monotonicNs() >= controlPanelAt)
            callControlPanel(session, r, progress);
        if (e.resetRequested.exchange(false) &&
            !restartAfterReset(session, e, r, s, deadline, error, progress))
            break;
    }
    if (s.streaming) {
        session.close();
        r.segmentSwitches.push_back(e.switches.load() - s.segmentStart);
    }
    gEngine.store(nullptr);
    r.seconds = double(platform::monotonicNs() - begin) / 1e9;
    takeEngineResults(e, r);
    return r;
}

} // namespace halvern::host
