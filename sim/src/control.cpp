// The control commands of the daemon, shared by its client and server sides.
#include "halvern/sim/control.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>

namespace halvern::sim {

namespace {
std::string upper(std::string s) {
    for (char& c : s)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
} // namespace

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

namespace {

using K = ControlCommand::Kind;

// The words of one command, and where its parse leaves the reason it refuses them.
struct Args {
    const std::vector<std::string>& w;
    std::string& error;

    std::size_t size() const { return w.size(); }
    bool refuse(std::string message) const {
        error = std::move(message);
        return false;
    }
    bool arity(std::size_t min, std::size_t max) const {
        if (w.size() - 1 < min || w.size() - 1 > max)
            return refuse("wrong number of arguments for \"" + w[0] + "\"");
        return true;
    }
    bool number(std::size_t i, uint32_t& v, const char* what) const {
        if (!parseUnsigned(w[i], v))
            return refuse(std::string("bad ") + what + ": \"" + w[i] + "\"");
        return true;
    }
    bool code(std::size_t i, uint32_t& v) const {
        if (!parseRequestCode(w[i], v))
            return refuse("unknown request code: \"" + w[i] + "\"");
        return true;
    }
};

using Parse = bool (*)(const Args& a, ControlCommand& c);
using Action = std::string (*)(Simulator& sim, const ControlCommand& c, bool& ok);

// ---- Parsing: `c.kind` is already the entry's when these run.

bool parseNoArgs(const Args& a, ControlCommand&) {
    return a.arity(0, 0);
}

bool parseJournal(const Args& a, ControlCommand& c) {
    return a.arity(0, 1) && (a.size() == 1 || a.number(1, c.count, "count"));
}

bool parseFail(const Args& a, ControlCommand& c) {
    c.error = 31;
    return a.arity(1, 3) && a.code(1, c.code) &&
           (a.size() < 3 || a.number(2, c.error, "error code")) &&
           (a.size() < 4 || a.number(3, c.count, "count"));
}

bool parseSlow(const Args& a, ControlCommand& c) {
    return a.arity(2, 2) && a.code(1, c.code) && a.number(2, c.delayMs, "delay");
}

bool parseUsbErrors(const Args& a, ControlCommand& c) {
    return a.arity(1, 1) && a.number(1, c.count, "count");
}

bool parseUsbLatency(const Args& a, ControlCommand& c) {
    if (!a.arity(1, 1) || !a.number(1, c.count, "latency"))
        return false;
    if (!isSupportedUsbLatency(c.count))
        return a.refuse("usb-latency takes 1 to 1024 frames");
    return true;
}

bool parseStallClock(const Args& a, ControlCommand& c) {
    return a.arity(1, 1) && a.number(1, c.delayMs, "stall");
}

bool parseClockPpmArg(const Args& a, ControlCommand& c) {
    if (!a.arity(1, 1))
        return false;
    if (!parseClockPpm(a.w[1], c.value))
        return a.refuse("clock-ppm takes -100000 to 100000: \"" + a.w[1] + "\"");
    return true;
}

bool parseLoopback(const Args& a, ControlCommand& c) {
    if (!a.arity(1, 1))
        return false;
    const std::string& mode = a.w[1];
    if (mode != "on" && mode != "off" && mode != "monitor")
        return a.refuse("loopback takes on, off or monitor");
    c.on = mode != "off";
    c.monitor = mode == "monitor";
    return true;
}

bool parseSignal(const Args& a, ControlCommand& c) {
    if (!a.arity(2, 4) || !a.number(1, c.index, "input"))
        return false;
    if (c.index >= kMaxSimChannels)
        return a.refuse("the simulator has inputs 0 to " + std::to_string(kMaxSimChannels - 1));
    const std::string& kind = a.w[2];
    if (kind == "tone")
        c.signal.kind = SignalKind::Tone;
    else if (kind == "noise")
        c.signal.kind = SignalKind::Noise;
    else if (kind == "off")
        c.signal.kind = SignalKind::Silence;
    else
        return a.refuse("signal takes tone, noise or off");
    if (a.size() > 3 && !parseLevel(a.w[3], c.signal.levelDbfs))
        return a.refuse("bad level (dBFS, -200 to 20): \"" + a.w[3] + "\"");
    return a.size() < 5 || a.number(4, c.signal.hz, "frequency");
}

// "meters", "meters set INDEX VALUE" and "meters clear": one word, three commands.
bool parseMeters(const Args& a, ControlCommand& c) {
    if (a.size() == 1)
        return true;
    if (a.w[1] == "clear") {
        c.kind = K::ClearMeters;
        return a.arity(1, 1);
    }
    if (a.w[1] != "set")
        return a.refuse("meters takes nothing, set INDEX VALUE or clear");
    c.kind = K::PinMeter;
    if (!a.arity(3, 3) || !a.number(2, c.index, "meter index"))
        return false;
    if (c.index >= protocol::MeterBlock::kCount)
        return a.refuse("meter entries are 0 to 191");
    if (!parseSigned(a.w[3], c.value))
        return a.refuse("bad meter value: \"" + a.w[3] + "\"");
    return true;
}

bool parseCommandRule(const Args& a, ControlCommand& c, bool fail) {
    c.error = 31;
    if (!(fail ? a.arity(1, 3) : a.arity(1, 1)))
        return false;
    if (!parseCommandOpcode(a.w[1], c.opcode))
        return a.refuse("unknown device command: \"" + a.w[1] + "\"");
    return (a.size() < 3 || a.number(2, c.error, "error code")) &&
           (a.size() < 4 || a.number(3, c.count, "count"));
}

bool parseFailCommand(const Args& a, ControlCommand& c) {
    return parseCommandRule(a, c, true);
}

bool parseRestoreCommand(const Args& a, ControlCommand& c) {
    return parseCommandRule(a, c, false);
}

bool parseModelArg(const Args& a, ControlCommand& c) {
    if (!a.arity(1, 1))
        return false;
    if (!parseModel(a.w[1], c.model))
        return a.refuse("unknown model: \"" + a.w[1] + "\"");
    return true;
}

bool parseFirmware(const Args& a, ControlCommand& c) {
    const std::size_t n = protocol::kFirmwareVersionBytes;
    if (a.size() == 2) {
        if (!firmwareFromText(a.w[1], c.firmware))
            return a.refuse("firmware text longer than " + std::to_string(n) + " characters");
        return true;
    }
    if (a.size() != n + 1)
        return a.refuse("firmware takes one text or " + std::to_string(n) + " numbers");
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t b = 0;
        if (!parseUnsigned(a.w[i + 1], b) || b > 255)
            return a.refuse("bad firmware byte: \"" + a.w[i + 1] + "\"");
        c.firmware[i] = uint8_t(b);
    }
    return true;
}

bool parseFailOpens(const Args& a, ControlCommand& c) {
    c.error = 31;
    return a.arity(1, 3) && a.number(1, c.count, "count") &&
           (a.size() < 3 || a.number(2, c.error, "error code")) &&
           (a.size() < 4 || a.number(3, c.delayMs, "count of opens first"));
}

// ---- Running: `ok` is already true when these run.

std::string requestLabel(uint32_t code) {
    return code ? protocol::requestName(code) : "(any)";
}

std::string runStatus(Simulator& sim, const ControlCommand&, bool&) {
    return formatStatus(sim.status());
}

std::string runJournal(Simulator& sim, const ControlCommand& c, bool&) {
    auto j = sim.journal();
    if (c.count > 0 && j.size() > c.count)
        j.erase(j.begin(), j.end() - std::ptrdiff_t(c.count));
    std::string text = formatJournal(j);
    return text.empty() ? "(no requests)\n" : text;
}

std::string runClearJournal(Simulator& sim, const ControlCommand&, bool&) {
    sim.clearJournal();
    return "journal cleared\n";
}

std::string runUnplug(Simulator& sim, const ControlCommand&, bool&) {
    sim.unplug();
    return "unplugged\n";
}

std::string runReplug(Simulator& sim, const ControlCommand&, bool& ok) {
    sim.replug();
    if (!sim.status().plugged) {
        ok = false;
        return "error: replug failed: " + sim.error() + "\n";
    }
    return "plugged\n";
}

std::string runFail(Simulator& sim, const ControlCommand& c, bool&) {
    sim.failRequests(c.code, c.error, c.count);
    std::ostringstream o;
    o << "requests " << requestLabel(c.code);
    if (c.code && protocol::requestName(c.code)[0] == '?')
        o << " 0x" << std::hex << c.code << std::dec;
    o << " fail with error " << c.error << ", ";
    if (c.count)
        o << c.count << " times\n";
    else
        o << "until cleared\n";
    return o.str();
}

std::string runSlow(Simulator& sim, const ControlCommand& c, bool&) {
    sim.slowRequests(c.code, c.delayMs);
    std::ostringstream o;
    o << "requests " << requestLabel(c.code) << " delayed by " << c.delayMs << " ms\n";
    return o.str();
}

std::string runClearFaults(Simulator& sim, const ControlCommand&, bool&) {
    sim.clearFaults();
    return "faults cleared\n";
}

std::string runUsbErrors(Simulator& sim, const ControlCommand& c, bool&) {
    sim.setUsbErrorCount(c.count);
    return "USB error count " + std::to_string(c.count) + "\n";
}

std::string runUsbLatency(Simulator& sim, const ControlCommand& c, bool&) {
    sim.setUsbLatency(c.count);
    return "USB latency " + std::to_string(c.count) + " frames\n";
}

std::string runStopStream(Simulator& sim, const ControlCommand&, bool&) {
    const bool was = sim.status().streaming;
    sim.hardwareStop();
    return was ? "stream stopped (event 2 set)\n" : "no stream was running\n";
}

std::string runStallClock(Simulator& sim, const ControlCommand& c, bool&) {
    if (!sim.stallClock(c.delayMs))
        return "no stream was running\n";
    return "clock held for " + std::to_string(c.delayMs) + " ms once\n";
}

std::string runClockPpm(Simulator& sim, const ControlCommand& c, bool&) {
    sim.setClockPpm(c.value);
    return "clock " + std::string(c.value > 0 ? "+" : "") + std::to_string(c.value) + " ppm\n";
}

std::string runLoopback(Simulator& sim, const ControlCommand& c, bool&) {
    if (c.monitor) {
        sim.setInputSource(InputSource::MonitorLoopback);
        return "inputs: the outputs as the device plays them (monitor mix, output gains)\n";
    }
    sim.setInputSource(c.on ? InputSource::Loopback : InputSource::TestSignal);
    return c.on ? "inputs: loopback of the outputs\n" : "inputs: test signal\n";
}

std::string runCommands(Simulator& sim, const ControlCommand&, bool&) {
    auto cmds = sim.commands();
    if (cmds.empty())
        return "(no commands)\n";
    std::ostringstream o;
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

std::string runSignal(Simulator& sim, const ControlCommand& c, bool&) {
    sim.setInputSignal(c.index, c.signal);
    std::ostringstream o; // the level as a stream prints a double
    o << "input " << c.index << ": " << signalKindName(c.signal.kind);
    if (c.signal.kind != SignalKind::Silence)
        o << " at " << c.signal.levelDbfs << " dBFS";
    if (c.signal.kind == SignalKind::Tone && c.signal.hz)
        o << ", " << c.signal.hz << " Hz";
    o << "\n";
    return o.str();
}

std::string runMeters(Simulator& sim, const ControlCommand&, bool&) {
    return formatMeters(sim.meters(), sim.status());
}

std::string runPinMeter(Simulator& sim, const ControlCommand& c, bool&) {
    sim.pinMeter(c.index, c.value);
    return "meter " + std::to_string(c.index) + " pinned at " + std::to_string(c.value) + "\n";
}

std::string runClearMeters(Simulator& sim, const ControlCommand&, bool&) {
    sim.clearPinnedMeters();
    return "meters follow the inputs\n";
}

std::string runMatrix(Simulator& sim, const ControlCommand&, bool&) {
    return formatMatrix(sim.mixerMatrix());
}

std::string runFailCommand(Simulator& sim, const ControlCommand& c, bool&) {
    sim.failCommands(c.opcode, c.error, c.count);
    return "device command " + std::string(commandName(c.opcode)) + " fails with error " +
           std::to_string(c.error) + ", " +
           (c.count ? std::to_string(c.count) + " times\n" : "until restored\n");
}

std::string runRestoreCommand(Simulator& sim, const ControlCommand& c, bool&) {
    sim.restoreCommands(c.opcode);
    return "device command " + std::string(commandName(c.opcode)) + " carried out again\n";
}

std::string runModel(Simulator& sim, const ControlCommand& c, bool&) {
    sim.setModel(c.model.code);
    return "model " + std::string(sim.status().model.name) + " (" + std::to_string(c.model.code) +
           ")\n";
}

std::string runFirmware(Simulator& sim, const ControlCommand& c, bool&) {
    sim.setFirmware(c.firmware);
    return "firmware " + formatFirmware(c.firmware) + "\n";
}

std::string runFailOpens(Simulator& sim, const ControlCommand& c, bool&) {
    sim.failOpens(c.count, c.error, c.delayMs);
    return "after " + std::to_string(c.delayMs) + " more, " + std::to_string(c.count) +
           " opens fail with error " + std::to_string(c.error) + "\n";
}

// One control command: how the usage shows it, how its words are read and what it does. The
// usage lists the entries in this order.
struct CommandEntry {
    const char* name;
    const char* args; // "" when it takes none
    // Lines after the first start with '\n'. nullptr: the command shares the usage line of the
    // entry before it ("unplug | replug").
    const char* help;
    K kind;
    Parse parse; // nullptr: read by the entry of its first word ("meters set")
    Action run;
};

const CommandEntry kCommands[] = {
    {"status", "", "device state, one field per line", K::Status, parseNoArgs, runStatus},
    {"journal", "[N]", "the requests served (the last N)", K::Journal, parseJournal, runJournal},
    {"clear-journal", "", "forget the requests served so far", K::ClearJournal, parseNoArgs,
     runClearJournal},
    {"unplug", "", "take the device away / bring it back", K::Unplug, parseNoArgs, runUnplug},
    {"replug", "", nullptr, K::Replug, parseNoArgs, runReplug},
    {"fail", "CODE [ERROR [COUNT]]",
     "fail requests CODE with ERROR (default 31), COUNT\n"
     "times (default until cleared); CODE 0 or any: all",
     K::Fail, parseFail, runFail},
    {"slow", "CODE MS", "delay requests CODE by MS milliseconds (0 clears)", K::Slow, parseSlow,
     runSlow},
    {"clear-faults", "", "end every fail and slow rule", K::ClearFaults, parseNoArgs,
     runClearFaults},
    {"usb-errors", "N", "the USB error count the device reports", K::UsbErrors, parseUsbErrors,
     runUsbErrors},
    {"usb-latency", "N", "the device's USB latency, 1 to 1024 frames", K::UsbLatency,
     parseUsbLatency, runUsbLatency},
    {"stop-stream", "", "stop the stream from the device side (event 2)", K::StopStream,
     parseNoArgs, runStopStream},
    {"stall-clock", "MS", "hold the stream's clock once, as a stalled machine", K::StallClock,
     parseStallClock, runStallClock},
    {"clock-ppm", "PPM",
     "the sample clock runs fast (+) or slow (-) by PPM\n"
     "parts per million, -100000 to 100000",
     K::ClockPpm, parseClockPpmArg, runClockPpm},
    {"loopback", "on|off|monitor",
     "inputs carry the outputs, or their signals; monitor:\n"
     "the outputs as played (monitor mix, output gains)",
     K::Loopback, parseLoopback, runLoopback},
    {"commands", "", "the device commands received", K::Commands, parseNoArgs, runCommands},
    {"signal", "INPUT tone|noise|off [DBFS [HZ]]",
     "what input INPUT (0 = MIC1) hears before its preamp\n"
     "(default: a tone at -12 dBFS)",
     K::Signal, parseSignal, runSignal},
    {"meters", "", "the meter entries in use", K::Meters, parseMeters, runMeters},
    {"meters set", "INDEX VALUE", "meter entry INDEX reports VALUE until cleared", K::PinMeter,
     nullptr, runPinMeter},
    {"meters clear", "", "every meter entry follows the inputs again", K::ClearMeters, nullptr,
     runClearMeters},
    {"matrix", "", "the non-zero mixer matrix cells and output gains", K::Matrix, parseNoArgs,
     runMatrix},
    {"fail-command", "OP [ERROR [COUNT]]",
     "refuse device commands OP with ERROR (default 31),\n"
     "COUNT times (default until restored)",
     K::FailCommand, parseFailCommand, runFailCommand},
    {"restore-command", "OP", "carry out device commands OP again", K::RestoreCommand,
     parseRestoreCommand, runRestoreCommand},
    {"model", "tern|wren|kite|CODE", "the interface becomes another model", K::Model, parseModelArg,
     runModel},
    {"firmware", "TEXT | B0 ... B9",
     "the ten firmware version bytes: up to ten characters\n"
     "(padded with blanks), or ten numbers",
     K::Firmware, parseFirmware, runFirmware},
    {"fail-opens", "N [ERROR [AFTER]]",
     "after AFTER more opens (default 0), the next N\n"
     "opens of the device fail with ERROR (default 31)",
     K::FailOpens, parseFailOpens, runFailOpens},
};

const char kUsageNotes[] =
    "CODE is a number (0xFFDC2020) or a request name (IOCTL_AUDIO_GET_SAMPLE_RATE).\n"
    "OP is an opcode (0x07) or a command name: out-volume, mic-volume, mic-20db, mic-48v,\n"
    "otg-off, otg-on, upgrade-firmware, mic-instrument, firmware-version.\n";

// The help starts in this column, or one blank after a syntax that reaches it; a longer syntax
// has its help on the lines below.
constexpr std::size_t kHelpColumn = 30;

std::string syntaxOf(const CommandEntry& e) {
    return *e.args ? std::string(e.name) + " " + e.args : std::string(e.name);
}

void appendUsage(std::string& text, const std::string& syntax, const char* help) {
    const std::string indent(kHelpColumn, ' ');
    std::string line = "  " + syntax;
    if (line.size() > kHelpColumn)
        line += "\n" + indent;
    else
        line.resize(std::max(kHelpColumn, line.size() + 1), ' ');
    for (const char* p = help; *p; ++p)
        line += *p == '\n' ? "\n" + indent : std::string(1, *p);
    text += line + "\n";
}

std::string usageText() {
    std::string text = "commands:\n";
    const std::size_t n = std::size(kCommands);
    for (std::size_t i = 0; i < n; ++i) {
        if (kCommands[i].help == nullptr)
            continue;
        std::string syntax = syntaxOf(kCommands[i]);
        for (std::size_t j = i + 1; j < n && kCommands[j].help == nullptr; ++j)
            syntax += " | " + syntaxOf(kCommands[j]);
        appendUsage(text, syntax, kCommands[i].help);
    }
    return text + kUsageNotes;
}

} // namespace

const char* controlUsage() {
    static const std::string text = usageText();
    return text.c_str();
}

bool parseControlCommand(const std::vector<std::string>& w, ControlCommand& out,
                         std::string& error) {
    out = ControlCommand();
    if (w.empty()) {
        error = "no command given";
        return false;
    }
    for (const CommandEntry& e : kCommands) {
        if (e.parse != nullptr && w[0] == e.name) {
            out.kind = e.kind;
            return e.parse(Args{w, error}, out);
        }
    }
    error = "unknown command: \"" + w[0] + "\"";
    return false;
}

std::string runControlCommand(Simulator& sim, const ControlCommand& c, bool& ok) {
    ok = true;
    for (const CommandEntry& e : kCommands)
        if (e.kind == c.kind)
            return e.run(sim, c, ok);
    ok = false;
    return "error: unknown command\n";
}

} // namespace halvern::sim
