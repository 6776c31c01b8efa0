// halvern-asio-host: a console ASIO host. Finds and loads a driver as a host does and reports
// what the driver answers.
#include "driver_loader.h"
#include "driver_report.h"
#include "report_stream.h"

#include <cstdio>
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
};

enum class Action { Info, List, Register, Unregister, Help };

struct Options {
    Action action = Action::Info;
    std::string driverPath; // --driver
    std::string driverName; // --name
    std::string clsid = kHalvernClsidText;
    std::string registrationPath;
    bool json = false;
};

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: halvern-asio-host [--info] [--driver PATH [--clsid CLSID]] [--name NAME] "
                 "[--json]\n"
                 "       halvern-asio-host --list [--json]\n"
                 "       halvern-asio-host --register PATH | --unregister PATH\n"
                 "\n"
                 "  --info             load the driver and report its answers (default)\n"
                 "  --list             list the drivers registered under HKLM\\SOFTWARE\\ASIO\n"
                 "  --driver PATH      load this driver library instead of the registered one\n"
                 "  --clsid CLSID      class to create from --driver (default %s)\n"
                 "  --name NAME        registered driver to load (default \"%s\")\n"
                 "  --register PATH    call the library's DllRegisterServer\n"
                 "  --unregister PATH  call the library's DllUnregisterServer\n"
                 "  --json             print the report as one JSON object\n",
                 kHalvernClsidText, kHalvernDriverName);
}

bool parse(int argc, char** argv, Options& o, std::string& error) {
    bool actionSet = false;
    auto setAction = [&](Action a) {
        if (actionSet && o.action != a) {
            error = "choose one of --info, --list, --register and --unregister";
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
    if (!o.driverPath.empty() && !o.driverName.empty()) {
        error = "--driver and --name exclude each other";
        return false;
    }
    return true;
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
    case Action::Info:
        break;
    }
    return info(o);
}
