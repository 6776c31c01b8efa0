// Text forms of the simulator's status and journal, for people and for test messages.
#include "halvern/sim/control.h"
#include "halvern/sim/simulator.h"

#include <algorithm>
#include <cmath>
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

struct CommandNameEntry {
    uint8_t opcode;
    const char* name;
};
constexpr CommandNameEntry kCommandNames[] = {
    {protocol::kOpOutVolume, "out-volume"},
    {protocol::kOpMicVolume, "mic-volume"},
    {protocol::kOpMic20dB, "mic-20db"},
    {protocol::kOpMic48V, "mic-48v"},
    {protocol::kOpOtgOff, "otg-off"},
    {protocol::kOpOtgOn, "otg-on"},
    {protocol::kOpUpgradeFirmware, "upgrade-firmware"},
    {protocol::kOpMicInstrument, "mic-instrument"},
    {protocol::kOpFirmwareVersion, "firmware-version"},
};

std::string fixed(double v, int decimals) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string dbOfGain(double g) {
    return g > 0.0 ? fixed(20.0 * std::log10(g), 1) + " dB" : "silent";
}

std::string dbfsOf(int32_t v) {
    if (v == 0)
        return "-inf dBFS";
    return fixed(20.0 * std::log10(std::fabs(double(v)) / 2147483647.0), 1) + " dBFS";
}

// "0-95: 1 (0.0 dB)" runs of equal neighbouring gains, one per line with `prefix`.
std::string gainRuns(const std::string& prefix, const std::vector<double>& gains) {
    std::ostringstream o;
    for (std::size_t i = 0; i < gains.size();) {
        std::size_t j = i;
        while (j + 1 < gains.size() && gains[j + 1] == gains[i])
            ++j;
        o << prefix << i;
        if (j > i)
            o << "-" << j;
        o << ": " << fixed(gains[i], 4) << " (" << dbOfGain(gains[i]) << ")\n";
        i = j + 1;
    }
    return o.str();
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

std::string formatFirmware(const uint8_t bytes[protocol::kFirmwareVersionBytes]) {
    const bool printable = std::all_of(bytes, bytes + protocol::kFirmwareVersionBytes,
                                       [](uint8_t b) { return b >= 0x20 && b < 0x7F; });
    if (printable)
        return "\"" + std::string(bytes, bytes + protocol::kFirmwareVersionBytes) + "\"";
    std::string text;
    for (std::size_t i = 0; i < protocol::kFirmwareVersionBytes; ++i)
        text += (i ? "." : "") + std::to_string(bytes[i]);
    return text;
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
    o << "clock: " << (s.clockPpm > 0 ? "+" : "") << s.clockPpm << " ppm\n";
    o << "input: "
      << (s.input == InputSource::Loopback          ? "loopback"
          : s.input == InputSource::MonitorLoopback ? "loopback of the monitored outputs"
                                                    : "test signal")
      << "\n";
    o << "USB errors: " << s.usbErrorCount << "\n";
    o << "connections: " << s.connections << "\n";
    o << "requests: " << s.requests << "\n";
    o << "firmware: " << formatFirmware(s.firmware) << "\n";
    o << "firmware upgrade requested: " << yesNo(s.firmwareUpgradeRequested) << "\n";
    for (const MicState& m : s.mics)
        o << "mic " << unsigned(m.channel) << ": gain " << m.gain << ", 20dB pad " << onOff(m.pad)
          << ", 48V " << onOff(m.phantom) << ", instrument " << onOff(m.instrument) << "\n";
    for (const OutputVolume& v : s.outputVolumes)
        o << "output " << unsigned(v.channel) << ": volume " << v.value << "\n";
    for (std::size_t c = 0; c < s.inputSignals.size(); ++c) {
        const InputSignal& in = s.inputSignals[c];
        o << "input " << c << ": " << signalKindName(in.kind);
        if (in.kind != SignalKind::Silence) {
            if (in.kind == SignalKind::Tone)
                o << " " << (in.hz ? in.hz : kTestToneHz * (uint32_t(c) % 16 + 1)) << " Hz";
            o << " at " << fixed(in.levelDbfs, 1) << " dBFS";
        }
        if (c < s.inputPreampDb.size() && s.inputPreampDb[c] != 0.0)
            o << ", preamp " << fixed(s.inputPreampDb[c], 1) << " dB";
        o << "\n";
    }
    o << "monitor mix (matrix " << kMonitorMatrix << ", output <- input):";
    if (s.monitorCells.empty())
        o << " none";
    for (const MixCell& c : s.monitorCells)
        o << " " << unsigned(c.row) << "<-" << unsigned(c.column) << " " << fixed(c.gain, 4);
    o << "\n";
    o << gainRuns("output gain ", s.outputGains);
    if (!s.pinnedMeters.empty()) {
        o << "pinned meters:";
        for (uint32_t i : s.pinnedMeters)
            o << " " << i;
        o << "\n";
    }
    if (!s.failingCommands.empty()) {
        o << "failing commands:";
        for (uint8_t op : s.failingCommands)
            o << " " << commandName(op);
        o << "\n";
    }
    return o.str();
}

std::string formatMeters(const protocol::MeterBlock& m, const Status& s) {
    std::ostringstream o;
    auto pinned = [&](uint32_t i) {
        return std::find(s.pinnedMeters.begin(), s.pinnedMeters.end(), i) != s.pinnedMeters.end();
    };
    auto line = [&](const char* what, uint32_t channel, uint32_t index) {
        o << what << " " << channel << " [" << index << "]: " << m.level(index) << " ("
          << dbfsOf(m.level(index)) << ")" << (pinned(index) ? " pinned" : "") << "\n";
    };
    const uint32_t inputs = std::min(s.model.inputs, kMaxSimChannels);
    const uint32_t outputs = std::min(s.model.outputs, kMaxSimChannels);
    for (uint32_t c = 0; c < inputs; ++c)
        line("input", c, kMeterInputBase + c);
    for (uint32_t k = 0; k < outputs; ++k)
        line("output", k, kMeterOutputBase + k);
    for (uint32_t k = 0; k < outputs; ++k)
        line("playback", k, kMeterPlaybackBase + k);
    // A pin outside the model's channels is shown too, or it could not be seen at all.
    for (uint32_t i : s.pinnedMeters) {
        const bool shown = (i < inputs) ||
                           (i >= kMeterOutputBase && i < kMeterOutputBase + outputs) ||
                           (i >= kMeterPlaybackBase && i < kMeterPlaybackBase + outputs);
        if (!shown)
            line("entry", i, i);
    }
    return o.str();
}

std::string formatMatrix(const protocol::MixerMatrix& matrix) {
    std::ostringstream o;
    using M = protocol::MixerMatrix;
    for (std::size_t m = 0; m < M::kMatrices; ++m) {
        std::ostringstream cells;
        for (std::size_t r = 0; r < M::kDim; ++r)
            for (std::size_t c = 0; c < M::kDim; ++c)
                if (const double g = matrix.cell(m, r, c); g != 0.0)
                    cells << " " << r << "<-" << c << " " << fixed(g, 4);
        if (!cells.str().empty())
            o << "matrix " << m << " (output <- input):" << cells.str() << "\n";
    }
    std::vector<double> gains;
    for (std::size_t k = 0; k < M::kOutputGains; ++k)
        gains.push_back(matrix.outputGain(k));
    o << gainRuns("output gain ", gains);
    return o.str();
}

std::string commandName(uint8_t opcode) {
    for (const auto& e : kCommandNames)
        if (e.opcode == opcode)
            return e.name;
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", opcode);
    return buf;
}

bool parseCommandOpcode(const std::string& text, uint8_t& opcode) {
    for (const auto& e : kCommandNames) {
        if (text == e.name) {
            opcode = e.opcode;
            return true;
        }
    }
    uint32_t v = 0;
    if (!parseUnsigned(text, v) || v > 0xFF)
        return false;
    opcode = uint8_t(v);
    return true;
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
        o << " returned " << e.bytesReturned;
        if (e.changedWhileRunning)
            o << " (changed while engine runs)";
        o << "\n";
    }
    return o.str();
}

} // namespace halvern::sim
