// A simulated interface with any number of channels, for measuring the driver's buffer switch
// at channel counts no model has: halvern-bus-sim's device with its channels set, looping its
// outputs back, until SIGINT or SIGTERM.
//
//   bench_wide_device INPUTS OUTPUTS [BUFFER_SIZE]
#include "halvern/sim/simulator.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
volatile std::sig_atomic_t gStop = 0;
void onSignal(int) {
    gStop = 1;
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: bench_wide_device INPUTS OUTPUTS [BUFFER_SIZE]\n");
        return 2;
    }
    const long inputs = std::strtol(argv[1], nullptr, 10);
    const long outputs = std::strtol(argv[2], nullptr, 10);
    const long size = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 256;
    if (inputs < 1 || outputs < 1 || inputs > long(halvern::sim::kMaxSimChannels) ||
        outputs > long(halvern::sim::kMaxSimChannels) ||
        !halvern::sim::isSupportedBufferSize(uint32_t(size))) {
        std::fprintf(stderr, "bench_wide_device: channels 1 to %u, a supported buffer size\n",
                     halvern::sim::kMaxSimChannels);
        return 2;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    halvern::sim::SimConfig config;
    config.input = halvern::sim::InputSource::Loopback;
    config.bufferSize = uint32_t(size);
    halvern::sim::Simulator sim(config);
    sim.setChannels(uint32_t(inputs), uint32_t(outputs));
    if (!sim.start()) {
        std::fprintf(stderr, "bench_wide_device: %s\n", sim.error().c_str());
        return 1;
    }
    std::printf("bench_wide_device: %ld inputs, %ld outputs, %ld samples, ready\n", inputs, outputs,
                size);
    std::fflush(stdout);
    while (!gStop)
        usleep(50000);
    sim.shutdown();
    return 0;
}
