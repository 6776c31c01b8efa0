// The simulated bus driver and device: serves the bus socket, keeps the device state, streams
// and injects faults.
#include "halvern/sim/simulator.h"

#include "posix_io.h"
#include "signal.h"
#include "stream_clock.h"

#include "halvern/platform/clock.h"
#include "halvern/platform/handle.h"
#include "halvern/platform/posix/bus_server.h"
#include "halvern/platform/runtime_dir.h"
#include "halvern/platform/trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace halvern::sim {

using platform::posix::BusReply;
using platform::posix::BusRequest;
using platform::posix::MappedFile;
using platform::posix::ReceiveResult;
using platform::posix::SharedArea;
using platform::posix::UniqueFd;
using namespace protocol;

namespace {
constexpr std::size_t kJournalLimit = 10000;
// Inputs are kept whole for the newest requests (a test may want the matrix of each
// transfer); past this budget the oldest are cut to kJournalKeptInput bytes.
constexpr std::size_t kJournalInputBudget = std::size_t(32) << 20;
constexpr std::size_t kJournalKeptInput = 64;
constexpr std::size_t kCommandLimit = 10000;
constexpr uint32_t kErrorInvalidFunction = 1; // an unknown request code
constexpr uint32_t kMaxUsbLatency = 1024;
constexpr auto kServerOpTimeout = std::chrono::seconds(5);
// A client that stops reading its replies would otherwise hold the server thread, and with it
// every other client and the shutdown; its connection is dropped instead.
constexpr uint32_t kReplySendTimeoutMs = 2000;

ModelProfile clampProfile(ModelProfile p) {
    p.inputs = std::min(p.inputs, kMaxSimChannels);
    p.outputs = std::min(p.outputs, kMaxSimChannels);
    return p;
}
void trace(const std::string& text) {
    platform::outputDebugString(("halvern-bus-sim: " + text + "\n").c_str());
}
} // namespace

bool isSupportedSampleRate(uint32_t hz) {
    return hz > 0 && hz <= 192000 && (hz % 44100 == 0 || hz % 48000 == 0);
}

bool isSupportedBufferSize(uint32_t samples) {
    return samples >= 16 && samples <= kMaxBlockFrames;
}

struct Simulator::Impl {
    explicit Impl(const SimConfig& c);

    // Request handling (server thread).
    void serve();
    bool process(int fd, BusRequest& request); // false: drop the connection
    void dispatch(BusRequest& rq, BusReply& reply);
    void applyCommand(const CommandPacket& c);
    bool waitSlow(uint32_t ms);
    void record(const BusRequest& rq, uint64_t timeNs, const BusReply& reply);
    void closeListener();

    // Streaming; all under `mutex`.
    void updateStreamLocked();
    void endStreamLocked(bool hardwareStop);
    void dropEventsLocked();

    // Server-thread operations requested by other threads.
    bool requestServerOp(std::unique_lock<std::mutex>& lock);

    SimConfig config;
    std::string runtime;
    std::string socketPath;
    std::string timingPath;

    mutable std::mutex mutex;
    std::condition_variable cv;

    // Device state.
    ModelProfile profile;
    uint32_t sampleRate;
    uint32_t bufferSize;
    uint32_t usbLatency;
    uint32_t wdmChannels = 0;
    bool slowMode = false;
    bool otgOn = true;
    bool upgradeRequested = false;
    EngineState engine = EngineState::Running;
    uint8_t firmware[kFirmwareVersionBytes] = {};
    std::unique_ptr<MixerMatrix> matrix = std::make_unique<MixerMatrix>();
    std::deque<CommandPacket> commands;
    std::map<uint8_t, MicState> mics;
    std::map<uint8_t, uint16_t> outVolumes;
    uint32_t usbErrors = 0;

    // Journal.
    std::deque<JournalEntry> journal;
    std::size_t journalInputBytes = 0;
    std::size_t journalCutUpTo = 0; // entries before this index are already cut
    uint64_t nextSequence = 1;
    uint64_t requestCount = 0;

    // Faults.
    struct FailRule {
        uint32_t code;
        uint32_t error;
        uint32_t remaining; // 0: until cleared
    };
    std::vector<FailRule> failRules;
    std::map<uint32_t, uint32_t> slowRules; // code (0 any) -> ms

    // Streaming.
    UniqueFd events[3];
    bool eventsRegistered = false;
    bool asioStarted = false;
    StreamClock clock;
    std::atomic<int> inputSource;
    MixSnapshot mix;
    MeterLevels meters;
    uint64_t lastPeriods = 0;
    uint64_t lastLateTicks = 0;
    std::unique_ptr<SharedArea> inArea;
    std::unique_ptr<SharedArea> outArea;
    std::unique_ptr<MappedFile> timing;

    // Server.
    bool started = false;
    bool plugged = false;
    bool stopRequested = false;
    bool unplugPending = false;
    bool replugPending = false;
    uint64_t opRequested = 0;
    uint64_t opDone = 0;
    std::thread server;
    io::WakeFd wake;
    UniqueFd listener; // owned by the server thread while it runs
    std::atomic<uint32_t> connections{0};
    std::string error;
};

Simulator::Impl::Impl(const SimConfig& c)
    : config(c), profile(clampProfile(profileForCode(c.model))), sampleRate(c.sampleRate),
      bufferSize(c.bufferSize), usbLatency(c.usbLatency), inputSource(int(c.input)) {
    std::memcpy(firmware, c.firmware, sizeof firmware);
}

// ---------------------------------------------------------------------------------------------
// Server thread

void Simulator::Impl::serve() {
    std::vector<UniqueFd> conns;
    std::vector<io::PollItem> items;
    for (;;) {
        items.clear();
        items.push_back({wake.fd(), false});
        const bool listening = bool(listener);
        if (listening)
            items.push_back({listener.get(), false});
        const std::size_t firstConn = items.size();
        for (const auto& c : conns)
            items.push_back({c.get(), false});
        // Bounded, although the wake descriptor already ends the wait on every change.
        io::pollReadable(items, 1000);

        if (items[0].ready) {
            wake.drain();
            std::unique_lock<std::mutex> lock(mutex);
            if (stopRequested)
                break;
            if (unplugPending) {
                unplugPending = false;
                conns.clear();
                items.resize(firstConn);
                closeListener();
                plugged = false;
            }
            if (replugPending) {
                replugPending = false;
                if (!listener) {
                    listener = platform::posix::listenBusSocket(socketPath);
                    plugged = bool(listener);
                    if (!plugged)
                        error = "cannot serve " + socketPath +
                                " again: " + std::string(std::strerror(errno));
                }
            }
            connections.store(uint32_t(conns.size()));
            opDone = opRequested;
            cv.notify_all();
            continue; // the set of descriptors may have changed
        }

        if (listening && items[1].ready) {
            while (UniqueFd c = platform::posix::acceptBusConnection(listener.get())) {
                if (io::limitSendTime(c.get(), kReplySendTimeoutMs))
                    conns.push_back(std::move(c));
            }
        }
        std::vector<std::size_t> closed;
        for (std::size_t i = firstConn; i < items.size(); ++i) {
            if (!items[i].ready)
                continue;
            std::size_t ci = i - firstConn;
            BusRequest request;
            ReceiveResult r = platform::posix::receiveBusRequest(conns[ci].get(), request);
            if (r == ReceiveResult::Request) {
                if (!process(conns[ci].get(), request)) {
                    trace("a reply could not be delivered, connection closed");
                    closed.push_back(ci);
                }
            } else {
                if (r == ReceiveResult::Malformed)
                    trace("malformed request, connection closed");
                closed.push_back(ci);
            }
        }
        for (auto it = closed.rbegin(); it != closed.rend(); ++it)
            conns.erase(conns.begin() + std::ptrdiff_t(*it));
        connections.store(uint32_t(conns.size()));
    }
    conns.clear();
    connections.store(0);
    std::lock_guard<std::mutex> lock(mutex);
    closeListener();
    opDone = opRequested;
    cv.notify_all();
}

void Simulator::Impl::closeListener() {
    if (!listener)
        return;
    listener.reset();
    io::removePath(socketPath);
}

bool Simulator::Impl::waitSlow(uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex);
    // An unplug or shutdown during the delay ends it: the request then gets no reply at all.
    return !cv.wait_for(lock, std::chrono::milliseconds(ms),
                        [&] { return stopRequested || unplugPending; });
}

bool Simulator::Impl::process(int fd, BusRequest& request) {
    const uint64_t t = platform::monotonicNs();
    uint32_t delay = 0;
    bool inject = false;
    uint32_t injectedError = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (uint32_t code : {request.code, 0u}) {
            auto it = slowRules.find(code);
            if (it != slowRules.end()) {
                delay = it->second;
                break;
            }
        }
        for (auto it = failRules.begin(); it != failRules.end(); ++it) {
            if (it->code != 0 && it->code != request.code)
                continue;
            inject = true;
            injectedError = it->error;
            if (it->remaining > 0 && --it->remaining == 0)
                failRules.erase(it);
            break;
        }
    }
    BusReply reply;
    if (delay && !waitSlow(delay)) {
        reply.success = false;
        reply.error = platform::kErrorDeviceNotConnected;
        record(request, t, reply);
        return true;
    }
    if (inject) {
        reply.success = false;
        reply.error = injectedError;
    } else {
        dispatch(request, reply);
    }
    record(request, t, reply);
    return platform::posix::sendBusReply(fd, reply);
}

void Simulator::Impl::record(const BusRequest& rq, uint64_t timeNs, const BusReply& reply) {
    std::lock_guard<std::mutex> lock(mutex);
    ++requestCount;
    JournalEntry e;
    e.sequence = nextSequence++;
    e.timeNs = timeNs;
    e.code = rq.code;
    e.input = rq.input;
    e.inputLength = uint32_t(rq.input.size());
    e.success = reply.success;
    e.error = reply.success ? 0 : reply.error;
    e.bytesReturned = reply.success ? uint32_t(reply.output.size()) : 0;
    journalInputBytes += e.input.size();
    journal.push_back(std::move(e));
    while (journal.size() > kJournalLimit) {
        journalInputBytes -= journal.front().input.size();
        journal.pop_front();
        if (journalCutUpTo > 0)
            --journalCutUpTo;
    }
    while (journalInputBytes > kJournalInputBudget && journalCutUpTo < journal.size()) {
        auto& old = journal[journalCutUpTo++].input;
        if (old.size() > kJournalKeptInput) {
            journalInputBytes -= old.size() - kJournalKeptInput;
            old.resize(kJournalKeptInput);
            old.shrink_to_fit();
        }
    }
}

void Simulator::Impl::dispatch(BusRequest& rq, BusReply& r) {
    auto refuse = [&](uint32_t err) {
        r.success = false;
        r.error = err;
        r.output.clear();
        r.fds.clear();
    };
    // A reply of `n` bytes, if the caller made room for it.
    auto room = [&](std::size_t n) {
        if (rq.outputCapacity < n) {
            refuse(platform::kErrorInsufficientBuffer);
            return false;
        }
        r.output.assign(n, 0);
        return true;
    };
    auto reply32 = [&](uint32_t v) {
        if (room(4))
            putLe32(r.output.data(), v);
    };
    auto input32 = [&](uint32_t& v) {
        if (rq.input.size() < 4) {
            refuse(platform::kErrorInvalidParameter);
            return false;
        }
        v = getLe32(rq.input.data());
        return true;
    };

    std::lock_guard<std::mutex> lock(mutex);
    uint32_t v = 0;
    switch (rq.code) {
    case IOCTL_ASIO_START:
        if (engine == EngineState::Stopped)
            return refuse(platform::kErrorGenFailure); // the audio engine is not up
        asioStarted = true;
        updateStreamLocked();
        return;
    case IOCTL_ASIO_STOP:
        asioStarted = false;
        endStreamLocked(false);
        return;
    case IOCTL_ASIO_SET_EVENTS: {
        if (!room(1))
            return;
        if (rq.input.empty()) {
            endStreamLocked(false);
            dropEventsLocked();
            r.output[0] = 0;
            return;
        }
        if (rq.input.size() != EventRegistration::kSize || rq.fds.size() != 3)
            return refuse(platform::kErrorInvalidParameter);
        // Only events are ever written to: any other descriptor would be a file or socket.
        for (const auto& fd : rq.fds)
            if (!io::isEventFd(fd.get()))
                return refuse(platform::kErrorInvalidHandle);
        endStreamLocked(false);
        dropEventsLocked();
        for (std::size_t i = 0; i < 3; ++i)
            events[i] = std::move(rq.fds[i]);
        eventsRegistered = true;
        r.output[0] = 1;
        updateStreamLocked();
        return;
    }
    case IOCTL_ASIO_GET_BUFFER_SIZE:
    case IOCTL_AUDIO_GET_BUFFER_SIZE:
        return reply32(bufferSize);
    case IOCTL_ASIO_GET_CHANNELS:
        if (room(8)) {
            putLe32(r.output.data(), profile.inputs);
            putLe32(r.output.data() + 4, profile.outputs);
        }
        return;
    case IOCTL_AUDIO_GET_SAMPLE_RATE:
        return reply32(sampleRate);
    case IOCTL_ASIO_GET_SHARED_MEMORY:
        if (!inArea || !outArea)
            return refuse(platform::kErrorNotEnoughMemory);
        if (room(SharedMemoryReply::kSize)) {
            // Addresses are the transport's to fill in; the sizes help a reader check them.
            putLe64(r.output.data() + 16, inArea->size());
            putLe64(r.output.data() + 24, outArea->size());
            r.fds = {inArea->fd(), outArea->fd()};
        }
        return;
    case IOCTL_AUDIO_SET_SAMPLE_RATE:
        if (!input32(v))
            return;
        if (!isSupportedSampleRate(v))
            return refuse(platform::kErrorInvalidParameter);
        sampleRate = v;
        return;
    case IOCTL_MIXER_SET_MATRIX:
        if (rq.input.size() != MixerMatrix::kSize)
            return refuse(platform::kErrorInvalidParameter);
        std::memcpy(matrix->bytes, rq.input.data(), MixerMatrix::kSize);
        mix.publish(*matrix);
        return;
    case IOCTL_AUDIO_SET_BUFFER_SIZE:
        if (!input32(v))
            return;
        if (!isSupportedBufferSize(v))
            return refuse(platform::kErrorInvalidParameter);
        bufferSize = v;
        return;
    case IOCTL_AUDIO_GET_USB_LATENCY:
        return reply32(usbLatency);
    case IOCTL_AUDIO_SET_USB_LATENCY:
        if (!input32(v))
            return;
        if (v == 0 || v > kMaxUsbLatency)
            return refuse(platform::kErrorInvalidParameter);
        usbLatency = v;
        return;
    case IOCTL_MIXER_GET_METERS:
        if (room(MeterBlock::kSize)) {
            MeterBlock block =
                clock.running()
                    ? meters.snapshot()
                    : idleMeters(profile.inputs, profile.outputs, sampleRate,
                                 InputSource(inputSource.load()),
                                 platform::monotonicNs() / 1000 * sampleRate / 1000000, mix);
            std::memcpy(r.output.data(), block.bytes, MeterBlock::kSize);
        }
        return;
    case IOCTL_AUDIO_STOP:
        engine = EngineState::Stopped;
        // The device stops sending: a host that streams learns it through event 2.
        endStreamLocked(true);
        return;
    case IOCTL_AUDIO_INIT:
        engine = EngineState::Initialised;
        return;
    case IOCTL_AUDIO_RESTART:
        engine = EngineState::Running;
        return;
    case IOCTL_DEVICE_GET_PID:
        return reply32(profile.code);
    case IOCTL_AUDIO_SET_WDM_CHANNELS:
        if (!input32(v))
            return;
        if (v > kMaxSimChannels)
            return refuse(platform::kErrorInvalidParameter);
        wdmChannels = v;
        return;
    case IOCTL_AUDIO_ENABLE_SLOW_MODE:
        slowMode = true;
        return;
    case IOCTL_AUDIO_DISABLE_SLOW_MODE:
        slowMode = false;
        return;
    case IOCTL_DEVICE_SEND_COMMAND:
    case IOCTL_DEVICE_QUERY_COMMAND: {
        if (rq.input.size() < CommandPacket::kSize)
            return refuse(platform::kErrorInvalidParameter);
        CommandPacket packet;
        std::memcpy(packet.bytes, rq.input.data(), CommandPacket::kSize);
        commands.push_back(packet);
        if (commands.size() > kCommandLimit)
            commands.pop_front();
        if (rq.code == IOCTL_DEVICE_SEND_COMMAND) {
            applyCommand(packet);
            return;
        }
        if (packet.opcode() != kOpFirmwareVersion)
            return refuse(platform::kErrorInvalidParameter); // no other query has a reply
        if (room(kQueryReplySize))
            std::memcpy(r.output.data(), firmware, kFirmwareVersionBytes);
        return;
    }
    case IOCTL_DEVICE_GET_USB_STATUS:
        if (room(UsbStatusWire::kSize)) {
            // Fields 0 and 1 are the device's own: USB release 2.0 and "link up".
            UsbStatus s;
            s.field0 = 0x0200;
            s.field1 = 1;
            s.errorCount = usbErrors;
            UsbStatusWire w = s.toWire();
            std::memcpy(r.output.data(), w.bytes, UsbStatusWire::kSize);
        }
        return;
    default:
        return refuse(kErrorInvalidFunction);
    }
}

void Simulator::Impl::applyCommand(const CommandPacket& c) {
    switch (c.opcode()) {
    case kOpOutVolume:
        outVolumes[c.param2()] = c.value();
        break;
    case kOpMicVolume:
        mics[c.param2()].gain = c.value();
        break;
    case kOpMic20dB:
        mics[c.param2()].pad = c.param1() != 0;
        break;
    case kOpMic48V:
        mics[c.param2()].phantom = c.param1() != 0;
        break;
    case kOpMicInstrument:
        mics[c.param2()].instrument = c.param1() != 0;
        break;
    case kOpOtgOff:
        otgOn = false;
        break;
    case kOpOtgOn:
        otgOn = true;
        break;
    case kOpUpgradeFirmware:
        upgradeRequested = true;
        break;
    default:
        break; // the device ignores what it does not know; the command log keeps it
    }
}

// ---------------------------------------------------------------------------------------------
// Streaming

void Simulator::Impl::updateStreamLocked() {
    if (clock.running() || !asioStarted || !eventsRegistered || !plugged)
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
            platform::posix::signalEventFd(events[2].get());
    }
}

void Simulator::Impl::dropEventsLocked() {
    for (auto& e : events)
        e.reset();
    eventsRegistered = false;
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
    d.runtime = d.config.runtimeDir.empty() ? platform::runtimeDir() : d.config.runtimeDir;
    const std::string busDir = d.runtime + "/bus";
    if (!io::makePrivateDirectory(busDir)) {
        d.error = "cannot create " + busDir;
        return false;
    }
    d.socketPath = busDir + "/HalvernAudioBus" + std::to_string(d.config.index);
    d.timingPath = signalTimesPath(d.runtime, d.config.index);
    if (!d.wake.valid()) {
        d.error = "cannot create the wake-up event";
        return false;
    }
    d.listener = platform::posix::listenBusSocket(d.socketPath);
    if (!d.listener) {
        int err = errno;
        d.error = err == EADDRINUSE
                      ? "another simulator already serves " + d.socketPath
                      : "cannot serve " + d.socketPath + ": " + std::string(std::strerror(err));
        return false;
    }
    // The sample areas live as long as the simulator: a host keeps its mapping across
    // reopened handles and replugs.
    if (!d.inArea)
        d.inArea = SharedArea::create("halvern-input", kSharedAreaBytes);
    if (!d.outArea)
        d.outArea = SharedArea::create("halvern-output", kSharedAreaBytes);
    if (!d.inArea || !d.outArea) {
        d.listener.reset();
        io::removePath(d.socketPath);
        d.error = "cannot create the shared sample areas";
        return false;
    }
    d.timing = MappedFile::open(d.timingPath, sizeof(SignalTimes), true);
    if (!d.timing)
        trace("cannot create " + d.timingPath + "; signal times are not published");
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
    d.timing.reset();
    io::removePath(d.timingPath);
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

void Simulator::setInputSource(InputSource source) {
    impl_->inputSource.store(int(source));
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
    return idleMeters(d.profile.inputs, d.profile.outputs, d.sampleRate,
                      InputSource(d.inputSource.load()), 0, d.mix);
}

std::string Simulator::runtimeDir() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->runtime.empty())
        return impl_->runtime;
    return impl_->config.runtimeDir.empty() ? platform::runtimeDir() : impl_->config.runtimeDir;
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

void Simulator::setFirmware(const uint8_t bytes[kFirmwareVersionBytes]) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::memcpy(impl_->firmware, bytes, kFirmwareVersionBytes);
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
