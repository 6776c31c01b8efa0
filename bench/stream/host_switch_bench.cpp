// The work the console host does in one buffer switch at a Wren's 12 inputs and 14 outputs:
// check every looped input half, write every output half. Reported per switch.
#include "loopback_pattern.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

constexpr uint32_t kInputs = 12;
constexpr uint32_t kOutputs = 14;
constexpr uint32_t kPrepared = 64; // input halves prepared ahead, one per switch in a cycle

void HostSwitch(benchmark::State& state) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    // kPrepared switches' worth of input halves, as the loop would bring them back.
    std::vector<std::vector<int32_t>> in(kPrepared * kInputs, std::vector<int32_t>(frames));
    std::vector<const int32_t*> inputs;
    for (uint32_t s = 0; s < kPrepared; ++s) {
        for (uint32_t c = 0; c < kInputs; ++c) {
            halvern::host::writePattern(in[s * kInputs + c].data(), frames, c, s);
            inputs.push_back(in[s * kInputs + c].data());
        }
    }
    std::vector<std::vector<int32_t>> out(kOutputs, std::vector<int32_t>(frames));

    halvern::host::LoopbackChecker checker;
    uint64_t sent = 0;
    for (auto _ : state) {
        const uint32_t s = uint32_t(sent % kPrepared);
        if (s == 0)
            checker.restart(); // the prepared halves start again from 0
        benchmark::DoNotOptimize(checker.check(&inputs[s * kInputs], kInputs, frames, s + 2));
        for (uint32_t c = 0; c < kOutputs; ++c)
            halvern::host::writePattern(out[c].data(), frames, c, sent);
        benchmark::ClobberMemory();
        ++sent;
    }
    if (checker.lost() + checker.repeated() + checker.corrupted() != 0)
        state.SkipWithError("the checker found faults in a clean loop");
    state.SetItemsProcessed(int64_t(state.iterations()) * frames * (kInputs + kOutputs));
}
BENCHMARK(HostSwitch)->Arg(32)->Arg(48)->Arg(64)->Arg(256);

} // namespace

BENCHMARK_MAIN();
