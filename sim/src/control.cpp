// The control commands of the daemon, shared by its client and server sides.
#include "halvern/sim/control.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace halvern::sim {

namespace {
std::string upper(std::string s) {
    for (char& c : s)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
} // namespace

const char* controlUsage() {
    return "commands:\n"
           "  status                      device state, one field per line\n"
           "  journal [N]                 the requests served (the last N)\n"
           "  clear-journal               forget the requests served so far\n"
           "  unplug | replug             take the device away / bring it back\n"
           "  fail CODE [ERROR [COUNT]]   fail requests CODE with ERROR (default 31), COUNT\n"
           "                              times (default until cleared); CODE 0 or any: all\n"
           "  slow CODE MS                delay requests CODE by MS milliseconds (0 clears)\n"
           "  clear-faults                end every fail and slow rule\n"
           "  usb-errors N                the USB error count the device reports\n"
           "  usb-latency N               the device's USB latency, 1 to 1024 frames\n"
           "  stop-stream                 stop the stream from the device side (event 2)\n"
           "  stall-clock MS              hold the stream's clock once, as a stalled machine\n"
           "  clock-ppm PPM               the sample clock runs fast (+) or slow (-) by PPM\n"
           "                              parts per million, -100000 to 100000\n"
           "  loopback on|off|monitor     inputs carry the outputs, or their signals; monitor:\n"
           "                              the outputs as played (monitor mix, output gains)\n"
           "  commands                    the device commands received\n"
           "  signal INPUT tone|noise|off [DBFS [HZ]]\n"
           "                              what input INPUT (0 = MIC1) hears before its preamp\n"
           "                              (default: a tone at -12 dBFS)\n"
           "  meters                      the meter entries in use\n"
           "  meters set INDEX VALUE      meter entry INDEX reports VALUE until cleared\n"
           "  meters clear                every meter entry follows the inputs again\n"
           "  matrix                      the non-zero mixer matrix cells and output gains\n"
           "  fail-command OP [ERROR [COUNT]]\n"
           "                              refuse device commands OP with ERROR (default 31),\n"
           "                              COUNT times (default until restored)\n"
           "  restore-command OP          carry out device commands OP again\n"
           "  model tern|wren|kite|CODE   the interface becomes another model\n"
           "  firmware TEXT | B0 ... B9   the ten firmware version bytes: up to ten characters\n"
           "                              (padded with blanks), or ten numbers\n"
           "  fail-opens N [ERROR [AFTER]] after AFTER more opens (default 0), the next N\n"
           "                              opens of the device fail with ERROR (default 31)\n"
           "CODE is a number (0xFFDC2020) or a request name (IOCTL_AUDIO_GET_SAMPLE_RATE).\n"
           "OP is an opcode (0x07) or a command name: out-volume, mic-volume, mic-20db, mic-48v,\n"
           "otg-off, otg-on, upgrade-firmware, mic-instrument, firmware-version.\n";
}

bool parseUnsigned(const std::string& text, uint32_t& value) {
    if (text.empty())
        return false;
    int base = 10;
    std::size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    uint64_t v = 0;
    for (std::size_t i = start; i < text.size(); ++i) {
        int d;
        char c = text[i];
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * uint64_t(base) + uint64_t(d);
        if (v > 0xFFFFFFFFull)
            return false;
    }
    value = uint32_t(v);
    return true;
}

namespace {
// A signed 32-bit number in decimal, or 0x-hexadecimal for its bit pattern.
bool parseSigned(const std::string& text, int32_t& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        uint32_t bits = 0;
        if (!parseUnsigned(text, bits))
            return false;
        value = int32_t(bits);
        return true;
    }
    const bool negative = !text.empty() && text[0] == '-';
    uint32_t magnitude = 0;
    if (!parseUnsigned(negative ? text.substr(1) : text, magnitude))
        return false;
    if (magnitude > (negative ? 2147483648u : 2147483647u))
        return false;
    value = negative ? int32_t(-int64_t(magnitude)) : int32_t(magnitude);
    return true;
}

bool parseLevel(const std::string& text, double& dbfs) {
    char* end = nullptr;
    dbfs = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && dbfs >= -200.0 && dbfs <= 20.0;
}
} // namespace

bool parseClockPpm(const std::string& text, int32_t& ppm) {
    const std::size_t sign = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (text.size() == sign || text.size() > sign + 6 ||
        !std::all_of(text.begin() + std::ptrdiff_t(sign), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    ppm = std::atoi(text.c_str() + (text[0] == '+' ? 1 : 0));
    return ppm >= kMinClockPpm && ppm <= kMaxClockPpm;
}

bool parseRequestCode(const std::string& text, uint32_t& code) {
    if (text == "any" || text == "ANY") {
        code = 0;
        return true;
    }
    std::string name = upper(text);
    for (uint32_t c : protocol::kAllRequestCodes) {
        if (name == protocol::requestName(c)) {
            code = c;
            return true;
        }
    }
    return parseUnsigned(text, code);
}

std::string controlSocketPath(const std::string& runtimeDir, int index) {
    return runtimeDir + "/sim/ctl-" + std::to_string(index);
}

bool parseControlCommand(const std::vector<std::string>& w, ControlCommand& out,
                         std::string& error) {
    out = ControlCommand();
    if (w.empty()) {
        error = "no command given";
        return false;
    }
    const std::string& verb = w[0];
    auto arity = [&](std::size_t min, std::size_t max) {
        if (w.size() - 1 < min || w.size() - 1 > max) {
            error = "wrong number of arguments for \"" + verb + "\"";
            return false;
        }
        return true;
    };
    auto number = [&](std::size_t i, uint32_t& v, const char* what) {
        if (!parseUnsigned(w[i], v)) {
            error = std::string("bad ") + what + ": \"" + w[i] + "\"";
            return false;
        }
        return true;
    };
    auto code = [&](std::size_t i, uint32_t& v) {
        if (!parseRequestCode(w[i], v)) {
            error = "unknown request code: \"" + w[i] + "\"";
            return false;
        }
        return true;
    };
    using K = ControlCommand::Kind;
    if (verb == "status") {
        out.kind = K::Status;
        return arity(0, 0);
    }
    if (verb == "journal") {
        out.kind = K::Journal;
        return arity(0, 1) && (w.size() == 1 || number(1, out.count, "count"));
    }
    if (verb == "clear-journal") {
        out.kind = K::ClearJournal;
        return arity(0, 0);
    }
    if (verb == "unplug") {
        out.kind = K::Unplug;
        return arity(0, 0);
    }
    if (verb == "replug") {
        out.kind = K::Replug;
        return arity(0, 0);
    }
    if (verb == "fail") {
        out.kind = K::Fail;
        out.error = 31;
        return arity(1, 3) && code(1, out.code) &&
               (w.size() < 3 || number(2, out.error, "error code")) &&
               (w.size() < 4 || number(3, out.count, "count"));
    }
    if (verb == "slow") {
        out.kind = K::Slow;
        return arity(2, 2) && code(1, out.code) && number(2, out.delayMs, "delay");
    }
    if (verb == "clear-faults") {
        out.kind = K::ClearFaults;
        return arity(0, 0);
    }
    if (verb == "usb-errors") {
        out.kind = K::UsbErrors;
        return arity(1, 1) && number(1, out.count, "count");
    }
    if (verb == "usb-latency") {
        out.kind = K::UsbLatency;
        if (!arity(1, 1) || !number(1, out.count, "latency"))
            return false;
        if (!isSupportedUsbLatency(out.count)) {
            error = "usb-latency takes 1 to 1024 frames";
            return false;
        }
        return true;
    }
    if (verb == "stop-stream") {
        out.kind = K::StopStream;
        return arity(0, 0);
    }
    if (verb == "stall-clock") {
        out.kind = K::StallClock;
        return arity(1, 1) && number(1, out.delayMs, "stall");
    }
    if (verb == "clock-ppm") {
        out.kind = K::ClockPpm;
        if (!arity(1, 1))
            return false;
        if (!parseClockPpm(w[1], out.value)) {
            error = "clock-ppm takes -100000 to 100000: \"" + w[1] + "\"";
            return false;
        }
        return true;
    }
    if (verb == "loopback") {
        out.kind = K::Loopback;
        if (!arity(1, 1))
            return false;
        if (w[1] != "on" && w[1] != "off" && w[1] != "monitor") {
            error = "loopback takes on, off or monitor";
            return false;
        }
        out.on = w[1] != "off";
        out.monitor = w[1] == "monitor";
        return true;
    }
    if (verb == "commands") {
        out.kind = K::Commands;
        return arity(0, 0);
    }
    if (verb == "model") {
        out.kind = K::Model;
        if (!arity(1, 1))
            return false;
        if (!parseModel(w[1], out.model)) {
            error = "unknown model: \"" + w[1] + "\"";
            return false;
        }
        return true;
    }
    if (verb == "firmware") {
        out.kind = K::Firmware;
        const std::size_t n = protocol::kFirmwareVersionBytes;
        if (w.size() == 2) {
            if (!firmwareFromText(w[1], out.firmware)) {
                error = "firmware text longer than " + std::to_string(n) + " characters";
                return false;
            }
            return true;
        }
        if (w.size() != n + 1) {
            error = "firmware takes one text or " + std::to_string(n) + " numbers";
            return false;
        }
        for (std::size_t i = 0; i < n; ++i) {
            uint32_t b = 0;
            if (!parseUnsigned(w[i + 1], b) || b > 255) {
                error = "bad firmware byte: \"" + w[i + 1] + "\"";
                return false;
            }
            out.firmware[i] = uint8_t(b);
        }
        return true;
    }
    if (verb == "fail-opens") {
        out.kind = K::FailOpens;
        out.error = 31;
        return arity(1, 3) && number(1, out.count, "count") &&
               (w.size() < 3 || number(2, out.error, "error code")) &&
               (w.size() < 4 || number(3, out.delayMs, "count of opens first"));
    }
    if (verb == "signal") {
        out.kind = K::Signal;
        if (!arity(2, 4) || !number(1, out.index, "input"))
            return false;
        if (out.index >= kMaxSimChannels) {
            error = "the simulator has inputs 0 to " + std::to_string(kMaxSimChannels - 1);
            return false;
        }
        if (w[2] == "tone")
            out.signal.kind = SignalKind::Tone;
        else if (w[2] == "noise")
            out.signal.kind = SignalKind::Noise;
        else if (w[2] == "off")
            out.signal.kind = SignalKind::Silence;
        else {
            error = "signal takes tone, noise or off";
            return false;
        }
        if (w.size() > 3 && !parseLevel(w[3], out.signal.levelDbfs)) {
            error = "bad level (dBFS, -200 to 20): \"" + w[3] + "\"";
            return false;
        }
        return w.size() < 5 || number(4, out.signal.hz, "frequency");
    }
    if (verb == "meters") {
        out.kind = K::Meters;
        if (w.size() == 1)
            return true;
        if (w[1] == "clear") {
            out.kind = K::ClearMeters;
            return arity(1, 1);
        }
        if (w[1] != "set") {
            error = "meters takes nothing, set INDEX VALUE or clear";
            return false;
        }
        out.kind = K::PinMeter;
        if (!arity(3, 3) || !number(2, out.index, "meter index"))
            return false;
        if (out.index >= protocol::MeterBlock::kCount) {
            error = "meter entries are 0 to 191";
            return false;
        }
        if (!parseSigned(w[3], out.value)) {
            error = "bad meter value: \"" + w[3] + "\"";
            return false;
        }
        return true;
    }
    if (verb == "matrix") {
        out.kind = K::Matrix;
        return arity(0, 0);
    }
    if (verb == "fail-command" || verb == "restore-command") {
        const bool fail = verb == "fail-command";
        out.kind = fail ? K::FailCommand : K::RestoreCommand;
        out.error = 31;
        if (!(fail ? arity(1, 3) : arity(1, 1)))
            return false;
        if (!parseCommandOpcode(w[1], out.opcode)) {
            error = "unknown device command: \"" + w[1] + "\"";
            return false;
        }
        return (w.size() < 3 || number(2, out.error, "error code")) &&
               (w.size() < 4 || number(3, out.count, "count"));
    }
    error = "unknown command: \"" + verb + "\"";
    return false;
}

std::string runControlCommand(Simulator& sim, const ControlCommand& c, bool& ok) {
    ok = true;
    std::ostringstream o;
    using K = ControlCommand::Kind;
    switch (c.kind) {
    case K::Status:
        return formatStatus(sim.status());
    case K::Journal: {
        auto j = sim.journal();
        if (c.count > 0 && j.size() > c.count)
            j.erase(j.begin(), j.end() - std::ptrdiff_t(c.count));
        std::string text = formatJournal(j);
        return text.empty() ? "(no requests)\n" : text;
    }
    case K::ClearJournal:
        sim.clearJournal();
        return "journal cleared\n";
    case K::Unplug:
        sim.unplug();
        return "unplugged\n";
    case K::Replug:
        sim.replug();
        if (!sim.status().plugged) {
            ok = false;
            return "error: replug failed: " + sim.error() + "\n";
        }
        return "plugged\n";
    case K::Fail: {
        sim.failRequests(c.code, c.error, c.count);
        o << "requests " << (c.code ? protocol::requestName(c.code) : "(any)");
        if (c.code && protocol::requestName(c.code)[0] == '?')
            o << " 0x" << std::hex << c.code << std::dec;
        o << " fail with error " << c.error << ", ";
        if (c.count)
            o << c.count << " times\n";
        else
            o << "until cleared\n";
        return o.str();
    }
    case K::Slow:
        sim.slowRequests(c.code, c.delayMs);
        o << "requests " << (c.code ? protocol::requestName(c.code) : "(any)") << " delayed by "
          << c.delayMs << " ms\n";
        return o.str();
    case K::ClearFaults:
        sim.clearFaults();
        return "faults cleared\n";
    case K::UsbErrors:
        sim.setUsbErrorCount(c.count);
        o << "USB error count " << c.count << "\n";
        return o.str();
    case K::UsbLatency:
        sim.setUsbLatency(c.count);
        o << "USB latency " << c.count << " frames\n";
        return o.str();
    case K::StopStream: {
        bool was = sim.status().streaming;
        sim.hardwareStop();
        return was ? "stream stopped (event 2 set)\n" : "no stream was running\n";
    }
    case K::StallClock:
        if (!sim.stallClock(c.delayMs))
            return "no stream was running\n";
        o << "clock held for " << c.delayMs << " ms once\n";
        return o.str();
    case K::ClockPpm:
        sim.setClockPpm(c.value);
        o << "clock " << (c.value > 0 ? "+" : "") << c.value << " ppm\n";
        return o.str();
    case K::Loopback:
        if (c.monitor) {
            sim.setInputSource(InputSource::MonitorLoopback);
            return "inputs: the outputs as the device plays them (monitor mix, output gains)\n";
        }
        sim.setInputSource(c.on ? InputSource::Loopback : InputSource::TestSignal);
        return c.on ? "inputs: loopback of the outputs\n" : "inputs: test signal\n";
    case K::Signal: {
        sim.setInputSignal(c.index, c.signal);
        o << "input " << c.index << ": " << signalKindName(c.signal.kind);
        if (c.signal.kind != SignalKind::Silence)
            o << " at " << c.signal.levelDbfs << " dBFS";
        if (c.signal.kind == SignalKind::Tone && c.signal.hz)
            o << ", " << c.signal.hz << " Hz";
        o << "\n";
        return o.str();
    }
    case K::Meters:
        return formatMeters(sim.meters(), sim.status());
    case K::PinMeter:
        sim.pinMeter(c.index, c.value);
        o << "meter " << c.index << " pinned at " << c.value << "\n";
        return o.str();
    case K::ClearMeters:
        sim.clearPinnedMeters();
        return "meters follow the inputs\n";
    case K::Matrix:
        return formatMatrix(sim.mixerMatrix());
    case K::FailCommand:
        sim.failCommands(c.opcode, c.error, c.count);
        o << "device command " << commandName(c.opcode) << " fails with error " << c.error << ", ";
        if (c.count)
            o << c.count << " times\n";
        else
            o << "until restored\n";
        return o.str();
    case K::RestoreCommand:
        sim.restoreCommands(c.opcode);
        o << "device command " << commandName(c.opcode) << " carried out again\n";
        return o.str();
    case K::Model:
        sim.setModel(c.model.code);
        o << "model " << sim.status().model.name << " (" << c.model.code << ")\n";
        return o.str();
    case K::Firmware:
        sim.setFirmware(c.firmware);
        o << "firmware " << formatFirmware(c.firmware) << "\n";
        return o.str();
    case K::FailOpens:
        sim.failOpens(c.count, c.error, c.delayMs);
        o << "after " << c.delayMs << " more, " << c.count << " opens fail with error " << c.error
          << "\n";
        return o.str();
    case K::Commands: {
        auto cmds = sim.commands();
        if (cmds.empty())
            return "(no commands)\n";
        char hex[4];
        for (const auto& p : cmds) {
            for (std::size_t i = 0; i < 7; ++i) {
                std::snprintf(hex, sizeof hex, "%02x", p.bytes[i]);
                o << (i ? " " : "") << hex;
            }
            bool restZero = std::all_of(p.bytes + 7, p.bytes + protocol::CommandPacket::kSize,
                                        [](uint8_t b) { return b == 0; });
            o << (restZero ? " (+30 zero bytes)" : " ...") << "\n";
        }
        return o.str();
    }
    }
    ok = false;
    return "error: unknown command\n";
}

} // namespace halvern::sim
