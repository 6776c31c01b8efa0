// What the simulated device hears and plays: the test signal, the monitor mix and the meters.
// Everything here is shared with the clock thread through atomics only.
#pragma once

#include "halvern/protocol/bus_protocol.h"
#include "halvern/sim/simulator.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace halvern::sim {

// The analogue side of the inputs: what each one hears and the gain of its preamp. Written by
// the request server, read by the clock; no allocation, no lock.
class InputBank {
public:
    InputBank(); // every input: its default tone, preamp at 0 dB
    void setSignal(uint32_t input, const InputSignal& signal);
    InputSignal signal(uint32_t input) const;
    void setPreampDb(uint32_t input, double dB);
    double preampDb(uint32_t input) const;
    // `frames` samples of what input `channel` delivers from stream position `position`: its
    // signal through its preamp, clipped to the 32-bit range.
    void fill(int32_t* out, uint32_t channel, uint64_t position, uint32_t frames,
              uint32_t sampleRate) const;

private:
    std::atomic<int> kind_[kMaxSimChannels];
    std::atomic<float> levelDbfs_[kMaxSimChannels];
    std::atomic<uint32_t> hz_[kMaxSimChannels];
    std::atomic<float> preampDb_[kMaxSimChannels];
};

// What the device applies while it runs: the inputs' signals and preamps, the monitor matrix
// and the output gains. Published cell by cell; a period that sees half of an update is
// harmless.
struct MixSnapshot {
    static constexpr uint32_t kDim = protocol::MixerMatrix::kDim;
    static constexpr uint32_t kGains = protocol::MixerMatrix::kOutputGains;
    std::atomic<float> cell[kDim][kDim]; // [output][input]
    std::atomic<float> gain[kGains];
    InputBank inputs;

    MixSnapshot();
    void publish(const protocol::MixerMatrix& matrix);
};

// The meter block as the device reports it, written by one thread and read by any.
struct MeterLevels {
    std::atomic<int32_t> level[protocol::MeterBlock::kCount];

    MeterLevels();
    void clear();
    protocol::MeterBlock snapshot() const; // with the pinned values

    // A pinned entry reports its value whatever the inputs do, until cleared.
    void pin(uint32_t index, int32_t value);
    void clearPins();
    void applyPins(protocol::MeterBlock& block) const;
    std::vector<uint32_t> pinnedIndices() const;

private:
    std::atomic<bool> pinned_[protocol::MeterBlock::kCount];
    std::atomic<int32_t> pinnedValue_[protocol::MeterBlock::kCount];
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

// For InputSource::MonitorLoopback: `inputs` hold their own signals on entry; afterwards input
// k carries output k as the device plays it (silence past the last output). `playback` may be
// null (nothing plays).
void monitorLoopback(int32_t* const* inputs, uint32_t inputCount, const int32_t* const* playback,
                     uint32_t outputCount, uint32_t frames, const MixSnapshot& mix);

// 50 ms of meter window at `sampleRate`, at least one sample.
uint32_t meterWindowFrames(uint32_t sampleRate);

// Fills `frames` samples of input `channel`'s test signal starting at `position`.
void fillTestTone(int32_t* out, uint32_t channel, uint64_t position, uint32_t frames,
                  uint32_t sampleRate);

// Meters of a device that is not streaming: one window of the inputs (their signals through
// their preamps, or silence in loopback since nothing plays) through the monitor mix.
protocol::MeterBlock idleMeters(uint32_t inputs, uint32_t outputs, uint32_t sampleRate,
                                InputSource source, uint64_t position, const MixSnapshot& mix);

} // namespace halvern::sim
