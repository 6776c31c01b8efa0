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

void Simulator::Impl::dispatch(BusRequest& rq, BusReply& r) {
    auto refuse = [&](uint32_t err) {
        r.success = false;
        r.error = err;
        r.output.clear();
        io::detachAreas(r);
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
        // Only events are ever written to: any other handle would be a file or socket.
        for (const auto& fd : rq.fds)
            if (!io::isEvent(fd))
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
            io::attachAreas(r, *inArea, *outArea);
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
            meters.applyPins(block);
            std::memcpy(r.output.data(), block.bytes, MeterBlock::kSize);
        }
        return;
    case IOCTL_AUDIO_STOP: {
        engine = EngineState::Stopped;
        // The device stops sending: a host that streams learns it through event 2. The bus
        // driver keeps the host's registration, so the engine's return resumes the stream
        // (at the rate and size set meanwhile) unless the host stopped it first.
        const bool hostStarted = asioStarted;
        endStreamLocked(true);
        asioStarted = hostStarted;
        return;
    }
    case IOCTL_AUDIO_INIT:
        engine = EngineState::Initialised;
        updateStreamLocked();
        return;
    case IOCTL_AUDIO_RESTART:
        engine = EngineState::Running;
        updateStreamLocked();
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
        // A command that fails on demand is received (and logged) but not carried out.
        auto failing = commandFailRules.find(packet.opcode());
        if (failing != commandFailRules.end()) {
            const uint32_t err = failing->second.error;
            if (failing->second.remaining > 0 && --failing->second.remaining == 0)
                commandFailRules.erase(failing);
            return refuse(err);
        }
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
