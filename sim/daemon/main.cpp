// halvern-bus-sim: runs one simulated interface until SIGINT or SIGTERM, or (with "ctl") sends
// a control command to one that runs.
#include "control_socket.h"

#include "halvern/sim/control.h"
#include "halvern/sim/simulator.h"

#if defined(_WIN32)
#include "halvern/platform/win32/bus_pipe.h"
#else
#include "halvern/platform/runtime_dir.h"

#include <signal.h>
#endif

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace halvern::sim;

volatile std::sig_atomic_t gStop = 0;

void onSignal(int) {
    gStop = 1;
}

// Where the daemon serving `index` takes its control commands.
std::string controlPath(int index) {
#if defined(_WIN32)
    const std::wstring name = halvern::platform::win32::simulatorControlPipeName(index);
    return std::string(name.begin(), name.end());
#else
    return controlSocketPath(halvern::platform::runtimeDir(), index);
#endif
}

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: halvern-bus-sim [--model tern|wren|kite|N] [--index N] [--rate HZ]\n"
                 "                       [--buffer-size N] [--usb-latency N] [--loopback]\n"
                 "                       [--firmware TEXT] [--clock-ppm PPM]\n"
                 "       halvern-bus-sim ctl [--index N] COMMAND [ARGS]\n\n%s",
                 controlUsage());
}

int badArguments(const std::string& message) {
    std::fprintf(stderr, "halvern-bus-sim: %s\n", message.c_str());
    usage(stderr);
    return 2;
}

bool parseIndex(const std::string& text, int& index) {
    uint32_t v = 0;
    if (!parseUnsigned(text, v) || v > 15)
        return false;
    index = int(v);
    return true;
}

int runControl(int argc, char** argv) {
    int index = 0;
    std::vector<std::string> words;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (words.empty() && a == "--index") {
            if (i + 1 >= argc || !parseIndex(argv[i + 1], index))
                return badArguments("--index takes a number from 0 to 15");
            ++i;
        } else if (words.empty() && (a == "-h" || a == "--help")) {
            usage(stdout);
            return 0;
        } else {
            words.push_back(a);
        }
    }
    ControlCommand command;
    std::string error;
    if (!parseControlCommand(words, command, error))
        return badArguments(error);

    std::string text;
    for (const auto& w : words)
        text += (text.empty() ? "" : " ") + w;
    const std::string path = controlPath(index);
    std::string reply;
    switch (daemon::sendControlCommand(path, text + "\n", reply, error)) {
    case daemon::ClientResult::NoServer:
        std::fprintf(stderr,
                     "halvern-bus-sim: no simulator runs at index %d (nothing answers on %s)\n",
                     index, path.c_str());
        return 1;
    case daemon::ClientResult::Failed:
        std::fprintf(stderr, "halvern-bus-sim: %s\n", error.c_str());
        return 1;
    case daemon::ClientResult::Ok:
        break;
    }
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    return reply.compare(0, 6, "error:") == 0 ? 1 : 0;
}

std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

// Reads the simulator's options into `config`; false when the program ends here, with
// `exitCode`.
bool parseSimulatorArgs(int argc, char** argv, SimConfig& config, int& exitCode) {
    auto bad = [&](const std::string& message) {
        exitCode = badArguments(message);
        return false;
    };
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= argc)
                return false;
            v = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            exitCode = 0;
            return false;
        } else if (a == "--model") {
            ModelProfile p;
            if (!value(v) || !parseModel(v, p))
                return bad("--model takes tern, wren, kite or a model code");
            config.model = p.code;
        } else if (a == "--index") {
            if (!value(v) || !parseIndex(v, config.index))
                return bad("--index takes a number from 0 to 15");
        } else if (a == "--rate") {
            if (!value(v) || !parseUnsigned(v, config.sampleRate) ||
                !isSupportedSampleRate(config.sampleRate))
                return bad("--rate takes a multiple of 44100 or 48000 Hz up to 192000");
        } else if (a == "--buffer-size") {
            if (!value(v) || !parseUnsigned(v, config.bufferSize) ||
                !isSupportedBufferSize(config.bufferSize))
                return bad("--buffer-size takes 16 to 2048 samples");
        } else if (a == "--usb-latency") {
            if (!value(v) || !parseUnsigned(v, config.usbLatency) ||
                !isSupportedUsbLatency(config.usbLatency))
                return bad("--usb-latency takes 1 to 1024 frames");
        } else if (a == "--loopback") {
            config.input = InputSource::Loopback;
        } else if (a == "--clock-ppm") {
            if (!value(v) || !parseClockPpm(v, config.clockPpm))
                return bad("--clock-ppm takes -100000 to 100000");
        } else if (a == "--firmware") {
            if (!value(v) || !firmwareFromText(v, config.firmware))
                return bad("--firmware takes a text of up to 10 characters");
        } else {
            return bad("unknown argument \"" + a + "\"");
        }
    }
    return true;
}

void catchStopSignals() {
#if defined(_WIN32)
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
#else
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

// Where the device is served, as the ready line shows it.
std::string deviceWhere(const Simulator& sim, int index) {
#if defined(_WIN32)
    (void)sim;
    return "\\\\.\\pipe\\HalvernAudioBus" + std::to_string(index);
#else
    return sim.runtimeDir() + "/bus/HalvernAudioBus" + std::to_string(index);
#endif
}

bool listenForControl(const Simulator& sim, const std::string& ctlPath,
                      daemon::ControlServer& control, std::string& error) {
#if !defined(_WIN32)
    const std::string runtime = sim.runtimeDir();
    if (!daemon::makePrivateFolder(runtime + "/sim")) {
        error = "cannot create " + runtime + "/sim";
        return false;
    }
#else
    (void)sim;
#endif
    return control.listen(ctlPath, error);
}

int runSimulator(int argc, char** argv) {
    SimConfig config;
    int exitCode = 0;
    if (!parseSimulatorArgs(argc, argv, config, exitCode))
        return exitCode;
    catchStopSignals();

    Simulator sim(config);
    if (!sim.start()) {
        std::fprintf(stderr, "halvern-bus-sim: %s\n", sim.error().c_str());
        return 1;
    }
    const std::string ctlPath = controlPath(config.index);
    std::string error;
    daemon::ControlServer control;
    if (!listenForControl(sim, ctlPath, control, error)) {
        std::fprintf(stderr, "halvern-bus-sim: %s\n", error.c_str());
        sim.shutdown();
        return 1;
    }

    Status s = sim.status();
    std::printf("halvern-bus-sim: %s (model %u) ready on %s, %u Hz, "
                "%u samples, %s; control: %s\n",
                s.model.name, s.model.code, deviceWhere(sim, config.index).c_str(), s.sampleRate,
                s.bufferSize, s.input == InputSource::Loopback ? "loopback" : "test signal",
                ctlPath.c_str());
    std::fflush(stdout);

    auto handler = [&sim](const std::string& text) {
        ControlCommand command;
        std::string err;
        if (!parseControlCommand(splitWords(text), command, err))
            return "error: " + err + "\n";
        bool ok = true;
        return runControlCommand(sim, command, ok);
    };
    while (!gStop)
        control.serveOnce(200, handler);

    control.close();
    sim.shutdown();
    std::printf("halvern-bus-sim: stopped\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "ctl") == 0)
        return runControl(argc, argv);
    return runSimulator(argc, argv);
}
