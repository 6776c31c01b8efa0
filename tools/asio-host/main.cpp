// halvern-asio-host: a console ASIO host. Finds and loads a driver as a host does, reports what
// the driver answers, and streams through it to check the audio and measure its timing.
#include "driver_loader.h"
#include "driver_report.h"
#include "report_stream.h"
#include "stream_session.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace halvern::host;

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,
    kExitNoDriver = 2, // not registered, not loadable, or registration failed
    kExitInitFailed = 3,
    kExitQueryFailed = 4,
    kExitStreamNotStarted = 5, // --stream: the stream did not start, or not again after a reset
    kExitStreamFaults = 6,     // --stream: halves lost, repeated or corrupted, or no switch
};

enum class Action { Info, List, Register, Unregister, Stream, Help };

struct Options {
    Action action = Action::Info;
    std::string driverPath; // --driver
    std::string driverName; // --name
    std::string clsid = kHalvernClsidText;
    std::string registrationPath;
    bool json = false;
    StreamOptions stream;
    bool streamOptionSeen = false;
};

void usage(std::FILE* out) {
    std::fprintf(
        out,
        "usage: halvern-asio-host [--info] [--driver PATH [--clsid CLSID]] [--name NAME] "
        "[--json]\n"
        "       halvern-asio-host --list [--json]\n"
        "       halvern-asio-host --stream [--seconds S] [--channels N] "
        "[--time-info on|off]\n"
        "                         [--slow-callback-us N] [--buffer-size N] "
        "[--control-panel]\n"
        "                         [--driver PATH | --name NAME] [--json]\n"
        "       halvern-asio-host --register PATH | --unregister PATH\n"
        "\n"
        "  --info             load the driver and report its answers (default)\n"
        "  --list             list the drivers registered under HKLM\\SOFTWARE\\ASIO\n"
        "  --driver PATH      load this driver library instead of the registered one\n"
        "  --clsid CLSID      class to create from --driver (default %s)\n"
        "  --name NAME        registered driver to load (default \"%s\")\n"
        "  --register PATH    call the library's DllRegisterServer\n"
        "  --unregister PATH  call the library's DllUnregisterServer\n"
        "  --json             print the report as one JSON object\n"
        "\n"
        "  --stream           create buffers for the channels, start, play a test pattern\n"
        "                     and check that every half-buffer comes back intact and in\n"
        "                     order (the device must loop its outputs back to its inputs);\n"
        "                     report switches, period and jitter, wake-up latency, missed\n"
        "                     periods and callback time; on a reset request stop, dispose,\n"
        "                     load the driver again and go on at its new preferred size\n"
        "                     and rate\n"
        "  --seconds S        how long to stream (default 10)\n"
        "  --channels N       channels per direction (default all)\n"
        "  --time-info on|off answer to kAsioSupportsTimeInfo (default on)\n"
        "  --slow-callback-us N  spend N microseconds in every buffer switch\n"
        "  --buffer-size N    samples per half-buffer (default the driver's preferred)\n"
        "  --control-panel    open the driver's settings window after 1 s of streaming\n"
        "\n"
        "exit codes: 0 success; 1 bad arguments; 2 no driver; 3 init failed; 4 a query\n"
        "failed; with --stream: 5 the stream did not start (or not again after a reset),\n"
        "6 halves were lost, repeated or corrupted, or no buffer switch came\n",
        kHalvernClsidText, kHalvernDriverName);
}

// A whole number in [low, high]; false on anything else (sign, fraction, text, overflow).
bool parseInt(const std::string& text, long low, long high, long& out) {
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-'))
        return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < low || v > high)
        return false;
    out = v;
    return true;
}

bool parseSeconds(const std::string& text, double& out) {
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    // A day is far beyond any useful run and keeps the record array in bounds.
    if (text.empty() || errno != 0 || *end != '\0' || !(v > 0.0 && v <= 86400.0))
        return false;
    out = v;
    return true;
}

// The value of one of the stream's options that take one (--seconds, --channels, ...).
bool parseStreamValue(const std::string& arg, const std::string& v, StreamOptions& stream,
                      std::string& error) {
    long n = 0;
    if (arg == "--seconds") {
        if (!parseSeconds(v, stream.seconds)) {
            error = "--seconds takes a number of seconds above 0, at most 86400";
            return false;
        }
    } else if (arg == "--channels") {
        if (!parseInt(v, 1, 128, n)) {
            error = "--channels takes 1 to 128";
            return false;
        }
        stream.channels = int32_t(n);
    } else if (arg == "--time-info") {
        if (v != "on" && v != "off") {
            error = "--time-info takes on or off";
            return false;
        }
        stream.timeInfo = v == "on";
    } else if (arg == "--slow-callback-us") {
        if (!parseInt(v, 0, 1000000, n)) {
            error = "--slow-callback-us takes 0 to 1000000";
            return false;
        }
        stream.slowCallbackUs = uint32_t(n);
    } else {
        if (!parseInt(v, 1, 2048, n)) {
            error = "--buffer-size takes 1 to 2048 samples";
            return false;
        }
        stream.bufferSize = int32_t(n);
    }
    return true;
}

// The options that exclude each other, or need another.
bool checkCombination(const Options& o, std::string& error) {
    if (!o.driverPath.empty() && !o.driverName.empty()) {
        error = "--driver and --name exclude each other";
        return false;
    }
    if (o.streamOptionSeen && o.action != Action::Stream) {
        error = "--seconds, --channels, --time-info, --slow-callback-us, --buffer-size and "
                "--control-panel go with --stream";
        return false;
    }
    return true;
}

bool parse(int argc, char** argv, Options& o, std::string& error) {
    bool actionSet = false;
    auto setAction = [&](Action a) {
        if (actionSet && o.action != a) {
            error = "choose one of --info, --list, --stream, --register and --unregister";
            return false;
        }
        actionSet = true;
        o.action = a;
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            into = argv[++i];
            return true;
        };
        if (arg == "--info") {
            if (!setAction(Action::Info))
                return false;
        } else if (arg == "--list") {
            if (!setAction(Action::List))
                return false;
        } else if (arg == "--register" || arg == "--unregister") {
            if (!setAction(arg == "--register" ? Action::Register : Action::Unregister) ||
                !value(o.registrationPath))
                return false;
        } else if (arg == "--driver") {
            if (!value(o.driverPath))
                return false;
        } else if (arg == "--name") {
            if (!value(o.driverName))
                return false;
        } else if (arg == "--clsid") {
            if (!value(o.clsid))
                return false;
        } else if (arg == "--stream") {
            if (!setAction(Action::Stream))
                return false;
        } else if (arg == "--seconds" || arg == "--channels" || arg == "--time-info" ||
                   arg == "--slow-callback-us" || arg == "--buffer-size") {
            std::string v;
            if (!value(v))
                return false;
            o.streamOptionSeen = true;
            if (!parseStreamValue(arg, v, o.stream, error))
                return false;
        } else if (arg == "--control-panel") {
            o.streamOptionSeen = true;
            o.stream.controlPanel = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--help" || arg == "-h") {
            o.action = Action::Help;
            return true;
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    return checkCombination(o, error);
}

int list(const Options& o) {
    const auto drivers = listRegisteredDrivers();
    if (o.json) {
        std::printf("{\"drivers\":[");
        for (std::size_t i = 0; i < drivers.size(); ++i) {
            const auto& d = drivers[i];
            std::printf("%s{\"name\":%s,\"clsid\":%s,\"description\":%s,\"path\":%s}", i ? "," : "",
                        jsonString(d.name).c_str(), jsonString(d.clsid).c_str(),
                        jsonString(d.description).c_str(), jsonString(d.path).c_str());
        }
        std::printf("]}\n");
        return kExitOk;
    }
    if (drivers.empty())
        std::printf("No ASIO driver is registered.\n");
    for (const auto& d : drivers)
        std::printf("%s\n  CLSID        %s\n  Description  %s\n  Library      %s\n", d.name.c_str(),
                    d.clsid.c_str(), d.description.c_str(),
                    d.path.empty() ? "(missing)" : d.path.c_str());
    return kExitOk;
}

int registration(const Options& o) {
    const bool doRegister = o.action == Action::Register;
    const char* entry = doRegister ? "DllRegisterServer" : "DllUnregisterServer";
    long result = 0;
    std::string error;
    if (!callRegistration(o.registrationPath, doRegister, result, error)) {
        std::fprintf(stderr, "halvern-asio-host: %s\n", error.c_str());
        return kExitNoDriver;
    }
    if (result != 0) {
        std::fprintf(stderr, "halvern-asio-host: %s in %s failed (%ld)\n", entry,
                     o.registrationPath.c_str(), result);
        return kExitNoDriver;
    }
    std::printf("%s in %s succeeded.\n", entry, o.registrationPath.c_str());
    return kExitOk;
}

int info(const Options& o) {
    ReportStream report;
    LoadedDriver loaded;
    std::string error;
    const bool ok = o.driverPath.empty() ? loaded.loadRegistered(o.driverName, error)
                                         : loaded.loadLibrary(o.driverPath, o.clsid, error);
    if (!ok) {
        std::fprintf(stderr, "halvern-asio-host: %s\n", error.c_str());
        if (o.json)
            std::fprintf(report.out(), "{\"error\":%s}\n", jsonString(error).c_str());
        return kExitNoDriver;
    }
    const DriverReport r = queryDriver(loaded.driver(), loaded.source());
    loaded.release();
    if (o.json)
        printReportJson(r, report.out());
    else
        printReport(r, report.out());
    if (!r.initialised) {
        std::fprintf(stderr, "halvern-asio-host: init failed: %s\n",
                     r.errorMessage.empty() ? "(no error message)" : r.errorMessage.c_str());
        return kExitInitFailed;
    }
    return r.complete() ? kExitOk : kExitQueryFailed;
}

int stream(const Options& o) {
    ReportStream report;
    StreamOptions options = o.stream;
    options.driverPath = o.driverPath;
    options.driverName = o.driverName;
    options.clsid = o.clsid;
    const StreamResult r = runStream(options, o.json ? nullptr : report.out());
    if (o.json)
        printStreamJson(r, report.out());
    else
        printStreamReport(r, report.out());
    if (!r.started) {
        std::fprintf(stderr, "halvern-asio-host: the stream did not start: %s\n", r.error.c_str());
        return kExitStreamNotStarted;
    }
    if (!r.error.empty())
        return kExitStreamNotStarted;
    return r.passed() ? kExitOk : kExitStreamFaults;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parse(argc, argv, o, error)) {
        std::fprintf(stderr, "halvern-asio-host: %s\n", error.c_str());
        usage(stderr);
        return kExitUsage;
    }
    switch (o.action) {
    case Action::Help:
        usage(stdout);
        return kExitOk;
    case Action::List:
        return list(o);
    case Action::Register:
    case Action::Unregister:
        return registration(o);
    case Action::Stream:
        return stream(o);
    case Action::Info:
        break;
    }
    return info(o);
}
