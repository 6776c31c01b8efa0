// The simulated device the driver and panel targets talk to: one per process, in the private
// runtime folder, started on first use and kept for every run.
#pragma once

#include "fuzz_support.h"

#include "halvern/sim/simulator.h"

namespace halvern::fuzz {

inline sim::Simulator* simulator() {
    static sim::Simulator* device = [] {
        silenceStdout();
        sim::SimConfig c;
        c.runtimeDir = runtime().path();
        auto* s = new sim::Simulator(c);
        FUZZ_CHECK(s->start());
        return s;
    }();
    return device;
}

} // namespace halvern::fuzz
