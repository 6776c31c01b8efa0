// The simulated bus driver and device: its state, the stream and the faults, and the public
// interface that tests and the daemon use.
#include "simulator_impl.h"

#include "halvern/platform/clock.h"
#include "halvern/platform/handle.h"
#if !defined(_WIN32)
#include "halvern/platform/runtime_dir.h"
#endif
#include "halvern/platform/trace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace halvern::sim {

using namespace detail;

namespace detail {
ModelProfile clampProfile(ModelProfile p) {
    p.inputs = std::min(p.inputs, kMaxSimChannels);
    p.outputs = std::min(p.outputs, kMaxSimChannels);
    return p;
}
void trace(const std::string& text) {
    platform::outputDebugString(("halvern-bus-sim: " + text + "\n").c_str());
}
} // namespace detail

bool isSupportedSampleRate(uint32_t hz) {
    return hz > 0 && hz <= 192000 && (hz % 44100 == 0 || hz % 48000 == 0);
}

bool isSupportedBufferSize(uint32_t samples) {
    return samples >= 16 && samples <= kMaxBlockFrames;
}

bool isSupportedUsbLatency(uint32_t frames) {
    return frames > 0 && frames <= kMaxUsbLatency;
}

Simulator::Impl::Impl(const SimConfig& c)
    : config(c), profile(clampProfile(profileForCode(c.model))), sampleRate(c.sampleRate),
      bufferSize(c.bufferSize), usbLatency(c.usbLatency), inputSource(int(c.input)) {
    std::memcpy(firmware, c.firmware, sizeof firmware);
    clockPpm = std::clamp(c.clockPpm, kMinClockPpm, kMaxClockPpm);
    clock.setPpm(clockPpm);
}

// ---------------------------------------------------------------------------------------------
// Streaming

void Simulator::Impl::updateStreamLocked() {
    if (clock.running() || !asioStarted || !eventsRegistered || !plugged ||
        engine == EngineState::Stopped)
        return;
    StreamSetup s;
    s.events[0] = events[0].get();
    s.events[1] = events[1].get();
    s.inputArea = inArea->data();
    s.outputArea = outArea->data();
    s.frames = bufferSize;
    s.sampleRate = sampleRate;
    s.inputs = profile.inputs;
    s.outputs = profile.outputs;
    s.times = timing ? static_cast<SignalTimes*>(timing->data()) : nullptr;
    s.inputSource = &inputSource;
    s.mix = &mix;
    s.meters = &meters;
    // Until the clock's first meter window closes, the levels are those of the idle device.
    MeterBlock seed = idleMeters(profile.inputs, profile.outputs, sampleRate,
                                 InputSource(inputSource.load()), 0, mix);
    for (std::size_t i = 0; i < MeterBlock::kCount; ++i)
        meters.level[i].store(seed.level(i), std::memory_order_relaxed);
    if (!clock.start(s))
        trace("cannot start the clock thread");
}

void Simulator::Impl::endStreamLocked(bool hardwareStop) {
    if (!clock.running())
        return;
    clock.stop(); // no event 0 or 1 can follow event 2
    lastPeriods = clock.periods();
    lastLateTicks = clock.lateTicks();
    if (hardwareStop) {
        asioStarted = false;
        if (events[2])
            io::signalEvent(events[2].get());
    }
}

void Simulator::Impl::dropEventsLocked() {
    for (auto& e : events)
        e.reset();
    eventsRegistered = false;
}

uint32_t Simulator::Impl::takeOpenVerdict() {
    uint32_t verdict = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (openRefusalsAfter > 0) {
            --openRefusalsAfter;
        } else if (openRefusals > 0) {
            --openRefusals;
            verdict = openRefusalError;
        }
    }
    if (verdict != 0)
        trace("open refused with error " + std::to_string(verdict));
    return verdict;
}

bool Simulator::Impl::requestServerOp(std::unique_lock<std::mutex>& lock) {
    uint64_t op = ++opRequested;
    cv.notify_all();
    wake.signal();
    return cv.wait_for(lock, kServerOpTimeout, [&] { return opDone >= op || !started; });
}

// ---------------------------------------------------------------------------------------------
// Public interface

Simulator::Simulator(const SimConfig& config) : impl_(std::make_unique<Impl>(config)) {}

Simulator::~Simulator() {
    shutdown();
}

bool Simulator::start() {
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mutex);
    if (d.started)
        return true;
    d.error.clear();
    if (d.config.index < 0 || d.config.index > 15) {
        d.error = "device index " + std::to_string(d.config.index) + " is outside 0 to 15";
        return false;
    }
    if (!isSupportedSampleRate(d.sampleRate) || !isSupportedBufferSize(d.bufferSize)) {
        d.error = "unsupported sample rate or buffer size";
        return false;
    }
    if (!d.wake.valid()) {
        d.error = "cannot create the wake-up event";
        return false;
    }
    if (!d.openTransport())
        return false;
    d.mix.publish(*d.matrix);
    d.started = true;
    d.plugged = true;
    d.stopRequested = false;
    d.server = std::thread([&d] { d.serve(); });
    return true;
}

void Simulator::shutdown() {
    Impl& d = *impl_;
    {
        std::unique_lock<std::mutex> lock(d.mutex);
        if (!d.started)
            return;
        d.endStreamLocked(true);
        d.dropEventsLocked();
        d.asioStarted = false;
        d.stopRequested = true;
        d.cv.notify_all();
        d.wake.signal();
    }
    if (d.server.joinable())
        d.server.join();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.started = false;
    d.plugged = false;
    d.closeTransport();
}

std::string Simulator::error() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->error;
}

void Simulator::unplug() {
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!d.started || !d.plugged)
        return;
    // The device is gone: a streaming host hears it through event 2, and the driver forgets
    // its registrations with it.
    d.endStreamLocked(true);
    d.dropEventsLocked();
    d.asioStarted = false;
    d.unplugPending = true;
    d.requestServerOp(lock);
}

void Simulator::replug() {
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!d.started || d.plugged)
        return;
    d.replugPending = true;
    d.requestServerOp(lock);
}

void Simulator::failRequests(uint32_t code, uint32_t error, uint32_t count) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto& rules = impl_->failRules;
    rules.erase(std::remove_if(rules.begin(), rules.end(),
                               [&](const Impl::FailRule& r) { return r.code == code; }),
                rules.end());
    // A rule for one code comes before the catch-all, so that it is the one used up first.
    Impl::FailRule rule{code, error ? error : platform::kErrorGenFailure, count};
    if (code == 0)
        rules.push_back(rule);
    else
        rules.insert(rules.begin(), rule);
}

void Simulator::slowRequests(uint32_t code, uint32_t delayMs) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (delayMs == 0)
        impl_->slowRules.erase(code);
    else
        impl_->slowRules[code] = delayMs;
}

void Simulator::clearFaults() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->failRules.clear();
    impl_->slowRules.clear();
    impl_->commandFailRules.clear();
    impl_->openRefusals = 0;
    impl_->openRefusalsAfter = 0;
}

void Simulator::failOpens(uint32_t count, uint32_t error, uint32_t after) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->openRefusals = count;
    impl_->openRefusalsAfter = after;
    impl_->openRefusalError = error ? error : 31;
}

void Simulator::setUsbErrorCount(uint32_t count) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->usbErrors = count;
}

void Simulator::hardwareStop() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->endStreamLocked(true);
}

bool Simulator::stallClock(uint32_t ms) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->clock.running())
        return false;
    impl_->clock.stallOnce(ms);
    return true;
}

bool Simulator::setClockPpm(int32_t ppm) {
    if (ppm < kMinClockPpm || ppm > kMaxClockPpm)
        return false;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->clockPpm = ppm;
    impl_->clock.setPpm(ppm);
    return true;
}

void Simulator::setInputSource(InputSource source) {
    impl_->inputSource.store(int(source));
}

bool Simulator::setInputSignal(uint32_t input, const InputSignal& signal) {
    if (input >= kMaxSimChannels)
        return false;
    impl_->mix.inputs.setSignal(input, signal);
    return true;
}

bool Simulator::pinMeter(uint32_t index, int32_t value) {
    if (index >= MeterBlock::kCount)
        return false;
    impl_->meters.pin(index, value);
    return true;
}

void Simulator::clearPinnedMeters() {
    impl_->meters.clearPins();
}

void Simulator::failCommands(uint8_t opcode, uint32_t error, uint32_t count) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->commandFailRules[opcode] = Impl::FailRule{
        IOCTL_DEVICE_SEND_COMMAND, error ? error : platform::kErrorGenFailure, count};
}

void Simulator::restoreCommands(uint8_t opcode) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->commandFailRules.erase(opcode);
}

Status Simulator::status() const {
    const Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    Status s;
    s.model = d.profile;
    s.index = d.config.index;
    s.plugged = d.plugged;
    s.sampleRate = d.sampleRate;
    s.bufferSize = d.bufferSize;
    s.usbLatency = d.usbLatency;
    s.slowMode = d.slowMode;
    s.wdmChannels = d.wdmChannels;
    s.engine = d.engine;
    s.otgOn = d.otgOn;
    s.streaming = d.clock.running();
    s.periods = s.streaming ? d.clock.periods() : d.lastPeriods;
    s.lateTicks = s.streaming ? d.clock.lateTicks() : d.lastLateTicks;
    s.clockPpm = d.clockPpm;
    s.usbErrorCount = d.usbErrors;
    s.connections = d.connections.load();
    s.requests = d.requestCount;
    s.input = InputSource(d.inputSource.load());
    s.eventsRegistered = d.eventsRegistered;
    s.asioStarted = d.asioStarted;
    s.firmwareUpgradeRequested = d.upgradeRequested;
    for (const auto& [channel, mic] : d.mics) {
        MicState m = mic;
        m.channel = channel;
        s.mics.push_back(m);
    }
    for (const auto& [channel, value] : d.outVolumes)
        s.outputVolumes.push_back(OutputVolume{channel, value});
    for (uint32_t c = 0; c < d.profile.inputs; ++c) {
        s.inputSignals.push_back(d.mix.inputs.signal(c));
        s.inputPreampDb.push_back(d.mix.inputs.preampDb(c));
    }
    for (uint8_t r = 0; r < MixerMatrix::kDim; ++r)
        for (uint8_t c = 0; c < MixerMatrix::kDim; ++c)
            if (const double g = d.matrix->cell(kMonitorMatrix, r, c); g != 0.0)
                s.monitorCells.push_back(MixCell{uint8_t(kMonitorMatrix), r, c, g});
    for (uint32_t k = 0; k < d.profile.outputs && k < MixerMatrix::kOutputGains; ++k)
        s.outputGains.push_back(d.matrix->outputGain(k));
    s.pinnedMeters = d.meters.pinnedIndices();
    for (const auto& [opcode, rule] : d.commandFailRules)
        s.failingCommands.push_back(opcode);
    std::memcpy(s.firmware, d.firmware, sizeof s.firmware);
    return s;
}

std::vector<JournalEntry> Simulator::journal() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return std::vector<JournalEntry>(impl_->journal.begin(), impl_->journal.end());
}

void Simulator::clearJournal() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->journal.clear();
    impl_->journalInputBytes = 0;
    impl_->journalCutUpTo = 0;
}

std::vector<CommandPacket> Simulator::commands() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return std::vector<CommandPacket>(impl_->commands.begin(), impl_->commands.end());
}

MixerMatrix Simulator::mixerMatrix() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return *impl_->matrix;
}

MeterBlock Simulator::meters() const {
    const Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.clock.running())
        return d.meters.snapshot();
    MeterBlock block = idleMeters(d.profile.inputs, d.profile.outputs, d.sampleRate,
                                  InputSource(d.inputSource.load()), 0, d.mix);
    d.meters.applyPins(block);
    return block;
}

std::string Simulator::runtimeDir() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
#if defined(_WIN32)
    return impl_->config.runtimeDir; // the device lives in the system's name space
#else
    if (!impl_->runtime.empty())
        return impl_->runtime;
    return impl_->config.runtimeDir.empty() ? platform::runtimeDir() : impl_->config.runtimeDir;
#endif
}

void Simulator::setModel(uint32_t code) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->profile = clampProfile(profileForCode(code));
}

void Simulator::setChannels(uint32_t inputs, uint32_t outputs) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->profile.inputs = std::min(inputs, kMaxSimChannels);
    impl_->profile.outputs = std::min(outputs, kMaxSimChannels);
}

void Simulator::setSampleRate(uint32_t hz) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (isSupportedSampleRate(hz))
        impl_->sampleRate = hz;
}

void Simulator::setBufferSize(uint32_t samples) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (isSupportedBufferSize(samples))
        impl_->bufferSize = samples;
}

void Simulator::setUsbLatency(uint32_t frames) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (isSupportedUsbLatency(frames))
        impl_->usbLatency = frames;
}

void Simulator::setFirmware(const uint8_t bytes[kFirmwareVersionBytes]) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::memcpy(impl_->firmware, bytes, kFirmwareVersionBytes);
}

bool Simulator::setFirmwareText(const std::string& text) {
    uint8_t bytes[kFirmwareVersionBytes];
    if (!firmwareFromText(text, bytes))
        return false;
    setFirmware(bytes);
    return true;
}

bool Simulator::waitForPeriods(uint64_t periods, uint32_t timeoutMs) const {
    const uint64_t end = platform::monotonicNs() + uint64_t(timeoutMs) * 1000000ull;
    for (;;) {
        if (status().periods >= periods)
            return true;
        if (platform::monotonicNs() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace halvern::sim
