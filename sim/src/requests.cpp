// The simulated bus driver's request server: one thread serves every connection, answers each
// request as the device would and keeps the journal and the command log.
#include "simulator_impl.h"

#include "halvern/platform/clock.h"
#include "halvern/platform/handle.h"
#include "halvern/platform/trace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace halvern::sim {

using namespace detail;

bool Simulator::Impl::waitSlow(uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex);
    // An unplug or shutdown during the delay ends it: the request then gets no reply at all.
    return !cv.wait_for(lock, std::chrono::milliseconds(ms),
                        [&] { return stopRequested || unplugPending; });
}

bool Simulator::Impl::process(BusRequest& request, BusReply& reply) {
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
    reply = BusReply();
    if (delay && !waitSlow(delay)) {
        reply.success = false;
        reply.error = platform::kErrorDeviceNotConnected;
        record(request, t, reply);
        return false;
    }
    if (inject) {
        reply.success = false;
        reply.error = injectedError;
    } else {
        dispatch(request, reply);
    }
    record(request, t, reply);
    return true;
}

namespace {
bool isSettingChange(uint32_t code) {
    switch (code) {
    case IOCTL_AUDIO_SET_SAMPLE_RATE:
    case IOCTL_AUDIO_SET_BUFFER_SIZE:
    case IOCTL_AUDIO_SET_USB_LATENCY:
    case IOCTL_AUDIO_SET_WDM_CHANNELS:
    case IOCTL_AUDIO_ENABLE_SLOW_MODE:
    case IOCTL_AUDIO_DISABLE_SLOW_MODE:
        return true;
    default:
        return false;
    }
}
} // namespace

void Simulator::Impl::record(const BusRequest& rq, uint64_t timeNs, const BusReply& reply) {
    std::lock_guard<std::mutex> lock(mutex);
    ++requestCount;
    JournalEntry e;
    e.sequence = nextSequence++;
    e.timeNs = timeNs;
    e.code = rq.code;
    e.input = rq.input;
    e.inputLength = uint32_t(rq.input.size());
    // A real interface takes these only with its engine stopped.
    e.changedWhileRunning = isSettingChange(rq.code) && engine != EngineState::Stopped;
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

namespace {

// One request being answered, and the ways its handler fills in the reply.
struct Exchange {
    BusRequest& rq;
    BusReply& r;

    void refuse(uint32_t err) {
        r.success = false;
        r.error = err;
        r.output.clear();
        io::detachAreas(r);
    }
    // A reply of `n` bytes, if the caller made room for it.
    bool room(std::size_t n) {
        if (rq.outputCapacity < n) {
            refuse(platform::kErrorInsufficientBuffer);
            return false;
        }
        r.output.assign(n, 0);
        return true;
    }
    void reply32(uint32_t v) {
        if (room(4))
            putLe32(r.output.data(), v);
    }
    bool input32(uint32_t& v) {
        if (rq.input.size() < 4) {
            refuse(platform::kErrorInvalidParameter);
            return false;
        }
        v = getLe32(rq.input.data());
        return true;
    }
    // A setting's new value, taken when `valid`.
    void setting(uint32_t& field, bool (*valid)(uint32_t)) {
        uint32_t v = 0;
        if (!input32(v))
            return;
        if (!valid(v))
            return refuse(platform::kErrorInvalidParameter);
        field = v;
    }
};

using Impl = Simulator::Impl;

// The handlers run with the simulator's mutex held.

void startAsio(Impl& s, Exchange& x) {
    if (s.engine == EngineState::Stopped)
        return x.refuse(platform::kErrorGenFailure); // the audio engine is not up
    s.asioStarted = true;
    s.updateStreamLocked();
}

void stopAsio(Impl& s, Exchange&) {
    s.asioStarted = false;
    s.endStreamLocked(false);
}

void setEvents(Impl& s, Exchange& x) {
    if (!x.room(1))
        return;
    if (x.rq.input.empty()) {
        s.endStreamLocked(false);
        s.dropEventsLocked();
        x.r.output[0] = 0;
        return;
    }
    if (x.rq.input.size() != EventRegistration::kSize || x.rq.fds.size() != 3)
        return x.refuse(platform::kErrorInvalidParameter);
    // Only events are ever written to: any other handle would be a file or socket.
    for (const auto& fd : x.rq.fds)
        if (!io::isEvent(fd))
            return x.refuse(platform::kErrorInvalidHandle);
    s.endStreamLocked(false);
    s.dropEventsLocked();
    for (std::size_t i = 0; i < 3; ++i)
        s.events[i] = std::move(x.rq.fds[i]);
    s.eventsRegistered = true;
    x.r.output[0] = 1;
    s.updateStreamLocked();
}

void getBufferSize(Impl& s, Exchange& x) {
    x.reply32(s.bufferSize);
}

void getChannels(Impl& s, Exchange& x) {
    if (x.room(8)) {
        putLe32(x.r.output.data(), s.profile.inputs);
        putLe32(x.r.output.data() + 4, s.profile.outputs);
    }
}

void getSampleRate(Impl& s, Exchange& x) {
    x.reply32(s.sampleRate);
}

void getSharedMemory(Impl& s, Exchange& x) {
    if (!s.inArea || !s.outArea)
        return x.refuse(platform::kErrorNotEnoughMemory);
    if (x.room(SharedMemoryReply::kSize)) {
        // Addresses are the transport's to fill in; the sizes help a reader check them.
        putLe64(x.r.output.data() + 16, s.inArea->size());
        putLe64(x.r.output.data() + 24, s.outArea->size());
        io::attachAreas(x.r, *s.inArea, *s.outArea);
    }
}

void setSampleRate(Impl& s, Exchange& x) {
    x.setting(s.sampleRate, isSupportedSampleRate);
}

void setMatrix(Impl& s, Exchange& x) {
    if (x.rq.input.size() != MixerMatrix::kSize)
        return x.refuse(platform::kErrorInvalidParameter);
    std::memcpy(s.matrix->bytes, x.rq.input.data(), MixerMatrix::kSize);
    s.mix.publish(*s.matrix);
}

void setBufferSize(Impl& s, Exchange& x) {
    x.setting(s.bufferSize, isSupportedBufferSize);
}

void getUsbLatency(Impl& s, Exchange& x) {
    x.reply32(s.usbLatency);
}

void setUsbLatency(Impl& s, Exchange& x) {
    x.setting(s.usbLatency, [](uint32_t v) { return v != 0 && v <= kMaxUsbLatency; });
}

void getMeters(Impl& s, Exchange& x) {
    if (!x.room(MeterBlock::kSize))
        return;
    MeterBlock block =
        s.clock.running()
            ? s.meters.snapshot()
            : idleMeters(s.profile.inputs, s.profile.outputs, s.sampleRate,
                         InputSource(s.inputSource.load()),
                         platform::monotonicNs() / 1000 * s.sampleRate / 1000000, s.mix);
    s.meters.applyPins(block);
    std::memcpy(x.r.output.data(), block.bytes, MeterBlock::kSize);
}

void stopAudio(Impl& s, Exchange&) {
    s.engine = EngineState::Stopped;
    // The device stops sending: a host that streams learns it through event 2. The bus driver
    // keeps the host's registration, so the engine's return resumes the stream (at the rate and
    // size set meanwhile) unless the host stopped it first.
    const bool hostStarted = s.asioStarted;
    s.endStreamLocked(true);
    s.asioStarted = hostStarted;
}

void initAudio(Impl& s, Exchange&) {
    s.engine = EngineState::Initialised;
    s.updateStreamLocked();
}

void restartAudio(Impl& s, Exchange&) {
    s.engine = EngineState::Running;
    s.updateStreamLocked();
}

void getPid(Impl& s, Exchange& x) {
    x.reply32(s.profile.code);
}

void setWdmChannels(Impl& s, Exchange& x) {
    x.setting(s.wdmChannels, [](uint32_t v) { return v <= kMaxSimChannels; });
}

void enableSlowMode(Impl& s, Exchange&) {
    s.slowMode = true;
}

void disableSlowMode(Impl& s, Exchange&) {
    s.slowMode = false;
}

// A command sent or a query asked: logged either way, then carried out or answered.
void deviceCommand(Impl& s, Exchange& x) {
    if (x.rq.input.size() < CommandPacket::kSize)
        return x.refuse(platform::kErrorInvalidParameter);
    CommandPacket packet;
    std::memcpy(packet.bytes, x.rq.input.data(), CommandPacket::kSize);
    s.commands.push_back(packet);
    if (s.commands.size() > kCommandLimit)
        s.commands.pop_front();
    // A command that fails on demand is received (and logged) but not carried out.
    auto failing = s.commandFailRules.find(packet.opcode());
    if (failing != s.commandFailRules.end()) {
        const uint32_t err = failing->second.error;
        if (failing->second.remaining > 0 && --failing->second.remaining == 0)
            s.commandFailRules.erase(failing);
        return x.refuse(err);
    }
    if (x.rq.code == IOCTL_DEVICE_SEND_COMMAND)
        return s.applyCommand(packet);
    if (packet.opcode() != kOpFirmwareVersion)
        return x.refuse(platform::kErrorInvalidParameter); // no other query has a reply
    if (x.room(kQueryReplySize))
        std::memcpy(x.r.output.data(), s.firmware, kFirmwareVersionBytes);
}

void getUsbStatus(Impl& s, Exchange& x) {
    if (!x.room(UsbStatusWire::kSize))
        return;
    // Fields 0 and 1 are the device's own: USB release 2.0 and "link up".
    UsbStatus status;
    status.field0 = 0x0200;
    status.field1 = 1;
    status.errorCount = s.usbErrors;
    UsbStatusWire w = status.toWire();
    std::memcpy(x.r.output.data(), w.bytes, UsbStatusWire::kSize);
}

using Handler = void (*)(Impl& s, Exchange& x);

// The handler of each request code; nullptr for a code the device does not know.
Handler handlerFor(uint32_t code) {
    switch (code) {
    case IOCTL_ASIO_START:
        return startAsio;
    case IOCTL_ASIO_STOP:
        return stopAsio;
    case IOCTL_ASIO_SET_EVENTS:
        return setEvents;
    case IOCTL_ASIO_GET_BUFFER_SIZE:
    case IOCTL_AUDIO_GET_BUFFER_SIZE:
        return getBufferSize;
    case IOCTL_ASIO_GET_CHANNELS:
        return getChannels;
    case IOCTL_AUDIO_GET_SAMPLE_RATE:
        return getSampleRate;
    case IOCTL_ASIO_GET_SHARED_MEMORY:
        return getSharedMemory;
    case IOCTL_AUDIO_SET_SAMPLE_RATE:
        return setSampleRate;
    case IOCTL_MIXER_SET_MATRIX:
        return setMatrix;
    case IOCTL_AUDIO_SET_BUFFER_SIZE:
        return setBufferSize;
    case IOCTL_AUDIO_GET_USB_LATENCY:
        return getUsbLatency;
    case IOCTL_AUDIO_SET_USB_LATENCY:
        return setUsbLatency;
    case IOCTL_MIXER_GET_METERS:
        return getMeters;
    case IOCTL_AUDIO_STOP:
        return stopAudio;
    case IOCTL_AUDIO_INIT:
        return initAudio;
    case IOCTL_AUDIO_RESTART:
        return restartAudio;
    case IOCTL_DEVICE_GET_PID:
        return getPid;
    case IOCTL_AUDIO_SET_WDM_CHANNELS:
        return setWdmChannels;
    case IOCTL_AUDIO_ENABLE_SLOW_MODE:
        return enableSlowMode;
    case IOCTL_AUDIO_DISABLE_SLOW_MODE:
        return disableSlowMode;
    case IOCTL_DEVICE_SEND_COMMAND:
    case IOCTL_DEVICE_QUERY_COMMAND:
        return deviceCommand;
    case IOCTL_DEVICE_GET_USB_STATUS:
        return getUsbStatus;
    default:
        return nullptr;
    }
}

} // namespace

void Simulator::Impl::dispatch(BusRequest& rq, BusReply& r) {
    Exchange x{rq, r};
    std::lock_guard<std::mutex> lock(mutex);
    if (Handler handler = handlerFor(rq.code))
        handler(*this, x);
    else
        x.refuse(kErrorInvalidFunction);
}

void Simulator::Impl::applyCommand(const CommandPacket& c) {
    const uint8_t channel = c.param2();
    switch (c.opcode()) {
    case kOpOutVolume:
        outVolumes[channel] = c.value();
        return;
    case kOpMicVolume:
        mics[channel].gain = c.value();
        break;
    case kOpMic20dB:
        mics[channel].pad = c.param1() != 0;
        break;
    case kOpMic48V:
        mics[channel].phantom = c.param1() != 0;
        break;
    case kOpMicInstrument:
        mics[channel].instrument = c.param1() != 0;
        break;
    case kOpOtgOff:
        otgOn = false;
        return;
    case kOpOtgOn:
        otgOn = true;
        return;
    case kOpUpgradeFirmware:
        upgradeRequested = true;
        return;
    default:
        return; // the device ignores what it does not know; the command log keeps it
    }
    // Microphone channel n (1 = first) feeds input n - 1: its preamp follows every mic command.
    if (channel >= 1)
        mix.inputs.setPreampDb(channel - 1u, preampGainDb(mics[channel]));
}

} // namespace halvern::sim
