// The control commands of the daemon, shared by its client and server sides.
#include "halvern/sim/control.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
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
           "  stop-stream                 stop the stream from the device side (event 2)\n"
           "  stall-clock MS              hold the stream's clock once, as a stalled machine\n"
           "  loopback on|off             inputs carry the outputs, or the test signal\n"
           "  commands                    the device commands received\n"
           "CODE is a number (0xFFDC2020) or a request name (IOCTL_AUDIO_GET_SAMPLE_RATE).\n";
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
    if (verb == "stop-stream") {
        out.kind = K::StopStream;
        return arity(0, 0);
    }
    if (verb == "stall-clock") {
        out.kind = K::StallClock;
        return arity(1, 1) && number(1, out.delayMs, "stall");
    }
    if (verb == "loopback") {
        out.kind = K::Loopback;
        if (!arity(1, 1))
            return false;
        if (w[1] != "on" && w[1] != "off") {
            error = "loopback takes on or off";
            return false;
        }
        out.on = w[1] == "on";
        return true;
    }
    if (verb == "commands") {
        out.kind = K::Commands;
        return arity(0, 0);
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
    case K::Loopback:
        sim.setInputSource(c.on ? InputSource::Loopback : InputSource::TestSignal);
        return c.on ? "inputs: loopback of the outputs\n" : "inputs: test signal\n";
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
