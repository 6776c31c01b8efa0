// Text forms of the simulator's status and journal, for people and for test messages.
#include "halvern/sim/simulator.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace halvern::sim {

namespace {
constexpr std::size_t kJournalInputShown = 16;

const char* onOff(bool b) {
    return b ? "on" : "off";
}
const char* yesNo(bool b) {
    return b ? "yes" : "no";
}

std::string hexBytes(const uint8_t* p, std::size_t n) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", p[i]);
        s += buf;
    }
    return s;
}
} // namespace

const char* engineStateName(EngineState s) {
    switch (s) {
    case EngineState::Stopped:
        return "stopped";
    case EngineState::Initialised:
        return "initialised";
    case EngineState::Running:
        return "running";
    }
    return "?";
}

std::string signalTimesPath(const std::string& runtimeDir, int index) {
    return runtimeDir + "/bus/HalvernAudioBus" + std::to_string(index) + ".timing";
}

std::string formatStatus(const Status& s) {
    std::ostringstream o;
    o << "model: " << s.model.name << " (" << s.model.code << "), " << s.model.inputs << " inputs, "
      << s.model.outputs << " outputs\n";
    o << "index: " << s.index << "\n";
    o << "plugged: " << yesNo(s.plugged) << "\n";
    o << "sample rate: " << s.sampleRate << " Hz\n";
    o << "buffer size: " << s.bufferSize << " samples\n";
    o << "USB latency: " << s.usbLatency << " frames\n";
    o << "slow mode: " << onOff(s.slowMode) << "\n";
    o << "WDM channels: " << s.wdmChannels << "\n";
    o << "engine: " << engineStateName(s.engine) << "\n";
    o << "OTG: " << onOff(s.otgOn) << "\n";
    o << "events: " << (s.eventsRegistered ? "registered" : "none") << "\n";
    o << "ASIO started: " << yesNo(s.asioStarted) << "\n";
    o << "streaming: " << yesNo(s.streaming) << "\n";
    o << "periods: " << s.periods << "\n";
    o << "late ticks: " << s.lateTicks << "\n";
    o << "input: " << (s.input == InputSource::Loopback ? "loopback" : "test signal") << "\n";
    o << "USB errors: " << s.usbErrorCount << "\n";
    o << "connections: " << s.connections << "\n";
    o << "requests: " << s.requests << "\n";
    o << "firmware: ";
    for (std::size_t i = 0; i < protocol::kFirmwareVersionBytes; ++i)
        o << (i ? "." : "") << unsigned(s.firmware[i]);
    o << "\n";
    o << "firmware upgrade requested: " << yesNo(s.firmwareUpgradeRequested) << "\n";
    for (const MicState& m : s.mics)
        o << "mic " << unsigned(m.channel) << ": gain " << m.gain << ", 20dB pad " << onOff(m.pad)
          << ", 48V " << onOff(m.phantom) << ", instrument " << onOff(m.instrument) << "\n";
    for (const OutputVolume& v : s.outputVolumes)
        o << "output " << unsigned(v.channel) << ": volume " << v.value << "\n";
    return o.str();
}

std::string formatJournal(const std::vector<JournalEntry>& journal) {
    std::ostringstream o;
    char time[32];
    for (const JournalEntry& e : journal) {
        std::snprintf(time, sizeof time, "%llu.%06llu",
                      static_cast<unsigned long long>(e.timeNs / 1000000000ull),
                      static_cast<unsigned long long>(e.timeNs / 1000ull % 1000000ull));
        const char* name = protocol::requestName(e.code);
        o << "#" << e.sequence << " " << time << " ";
        if (name[0] == '?') {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", e.code);
            o << code;
        } else {
            o << name;
        }
        uint32_t length = e.inputLength ? e.inputLength : uint32_t(e.input.size());
        o << " in[" << length << "]";
        if (length) {
            std::size_t shown = std::min(e.input.size(), kJournalInputShown);
            o << "=" << hexBytes(e.input.data(), shown);
            if (shown < length)
                o << "...";
        }
        if (e.success)
            o << " ok";
        else
            o << " error " << e.error;
        o << " returned " << e.bytesReturned << "\n";
    }
    return o.str();
}

} // namespace halvern::sim
