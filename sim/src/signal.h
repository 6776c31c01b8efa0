// What the simulated device hears and plays: the test signal, the monitor mix and the meters.
// Everything here is shared with the clock thread through atomics only.
#pragma once

#include "halvern/protocol/bus_protocol.h"
#include "halvern/sim/simulator.h"

#include <atomic>
#include <cstdint>

namespace halvern::sim {

// The part of the mixer matrix that the device applies while it runs: the monitor matrix and
// the output gains. Published cell by cell; a period that sees half of an update is harmless.
struct MixSnapshot {
    static constexpr uint32_t kDim = protocol::MixerMatrix::kDim;
    static constexpr uint32_t kGains = protocol::MixerMatrix::kOutputGains;
    std::atomic<float> cell[kDim][kDim]; // [output][input]
    std::atomic<float> gain[kGains];

    MixSnapshot();
    void publish(const protocol::MixerMatrix& matrix);
};

// The meter block as the device reports it, written by one thread and read by any.
struct MeterLevels {
    std::atomic<int32_t> level[protocol::MeterBlock::kCount];

    MeterLevels();
    void clear();
    protocol::MeterBlock snapshot() const;
};

// Peak detector over windows of `windowFrames`; at the end of each window the peaks are
// published to a MeterLevels and a new window begins. No allocation, no lock.
class MeterAccumulator {
public:
    void begin(uint32_t windowFrames);
    // `inputs` and `playback` point at `frames` samples of each channel.
    void add(const int32_t* const* inputs, uint32_t inputCount, const int32_t* const* playback,
             uint32_t outputCount, uint32_t frames, const MixSnapshot& mix, MeterLevels& out);

private:
    void publish(uint32_t inputCount, uint32_t outputCount, MeterLevels& out);
    uint32_t window_ = 1;
    uint32_t filled_ = 0;
    double peakIn_[kMaxSimChannels] = {};
    double peakOut_[kMaxSimChannels] = {};
    double peakPlay_[kMaxSimChannels] = {};
};

// 50 ms of meter window at `sampleRate`, at least one sample.
uint32_t meterWindowFrames(uint32_t sampleRate);

// Fills `frames` samples of input `channel`'s test signal starting at `position`.
void fillTestTone(int32_t* out, uint32_t channel, uint64_t position, uint32_t frames,
                  uint32_t sampleRate);

// Meters of a device that is not streaming: one window of the inputs (the test signal, or
// silence in loopback since nothing plays) through the monitor mix.
protocol::MeterBlock idleMeters(uint32_t inputs, uint32_t outputs, uint32_t sampleRate,
                                InputSource source, uint64_t position, const MixSnapshot& mix);

} // namespace halvern::sim
