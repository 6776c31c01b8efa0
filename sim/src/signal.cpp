#include "signal.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace halvern::sim {

namespace {
constexpr double kTwoPi = 6.283185307179586476925286766559;
constexpr double kFullScale = 2147483647.0;

double toneAmplitude() {
    return std::pow(10.0, kTestToneDbfs / 20.0) * kFullScale;
}

uint64_t toneHz(uint32_t channel) {
    return uint64_t(kTestToneHz) * (channel % 16 + 1);
}

int32_t clampToMeter(double peak) {
    return int32_t(std::min(peak, kFullScale) + 0.5);
}
} // namespace

int32_t testToneSample(uint32_t channel, uint64_t position, uint32_t sampleRate) {
    if (sampleRate == 0)
        return 0;
    // The phase is reduced in integers so that the signal stays exact however long it runs.
    uint64_t step = (toneHz(channel) * (position % sampleRate)) % sampleRate;
    return int32_t(std::lround(toneAmplitude() * std::sin(kTwoPi * double(step) / sampleRate)));
}

int32_t testTonePeak() {
    return clampToMeter(toneAmplitude());
}

void fillTestTone(int32_t* out, uint32_t channel, uint64_t position, uint32_t frames,
                  uint32_t sampleRate) {
    for (uint32_t i = 0; i < frames; ++i)
        out[i] = testToneSample(channel, position + i, sampleRate);
}

MixSnapshot::MixSnapshot() {
    for (auto& row : cell)
        for (auto& c : row)
            c.store(0.0f, std::memory_order_relaxed);
    for (auto& g : gain)
        g.store(0.0f, std::memory_order_relaxed);
}

void MixSnapshot::publish(const protocol::MixerMatrix& matrix) {
    for (uint32_t r = 0; r < kDim; ++r)
        for (uint32_t c = 0; c < kDim; ++c)
            cell[r][c].store(float(matrix.cell(kMonitorMatrix, r, c)), std::memory_order_relaxed);
    for (uint32_t k = 0; k < kGains; ++k)
        gain[k].store(float(matrix.outputGain(k)), std::memory_order_relaxed);
}

MeterLevels::MeterLevels() {
    clear();
}

void MeterLevels::clear() {
    for (auto& l : level)
        l.store(0, std::memory_order_relaxed);
}

protocol::MeterBlock MeterLevels::snapshot() const {
    protocol::MeterBlock block;
    for (std::size_t i = 0; i < protocol::MeterBlock::kCount; ++i)
        block.setLevel(i, level[i].load(std::memory_order_relaxed));
    return block;
}

uint32_t meterWindowFrames(uint32_t sampleRate) {
    return std::max<uint32_t>(1, sampleRate / 20);
}

void MeterAccumulator::begin(uint32_t windowFrames) {
    window_ = std::max<uint32_t>(1, windowFrames);
    filled_ = 0;
    std::fill(std::begin(peakIn_), std::end(peakIn_), 0.0);
    std::fill(std::begin(peakOut_), std::end(peakOut_), 0.0);
    std::fill(std::begin(peakPlay_), std::end(peakPlay_), 0.0);
}

void MeterAccumulator::add(const int32_t* const* inputs, uint32_t inputCount,
                           const int32_t* const* playback, uint32_t outputCount, uint32_t frames,
                           const MixSnapshot& mix, MeterLevels& out) {
    inputCount = std::min(inputCount, kMaxSimChannels);
    outputCount = std::min(outputCount, kMaxSimChannels);
    const uint32_t mixInputs = std::min(inputCount, MixSnapshot::kDim);

    // One consistent-enough copy of the mix per block keeps the atomics out of the inner loop.
    float cells[MixSnapshot::kDim][MixSnapshot::kDim];
    float gains[kMaxSimChannels];
    for (uint32_t k = 0; k < outputCount; ++k) {
        gains[k] = mix.gain[k].load(std::memory_order_relaxed);
        if (k < MixSnapshot::kDim)
            for (uint32_t c = 0; c < mixInputs; ++c)
                cells[k][c] = mix.cell[k][c].load(std::memory_order_relaxed);
    }

    uint32_t done = 0;
    while (done < frames) {
        uint32_t chunk = std::min(frames - done, window_ - filled_);
        for (uint32_t c = 0; c < inputCount; ++c)
            for (uint32_t i = done; i < done + chunk; ++i)
                peakIn_[c] = std::max(peakIn_[c], std::fabs(double(inputs[c][i])));
        for (uint32_t k = 0; k < outputCount; ++k) {
            double peakPlay = peakPlay_[k];
            double peakOut = peakOut_[k];
            for (uint32_t i = done; i < done + chunk; ++i) {
                double played = playback ? double(playback[k][i]) : 0.0;
                double y = played;
                if (k < MixSnapshot::kDim)
                    for (uint32_t c = 0; c < mixInputs; ++c)
                        y += double(cells[k][c]) * double(inputs[c][i]);
                peakPlay = std::max(peakPlay, std::fabs(played));
                peakOut = std::max(peakOut, std::fabs(y * double(gains[k])));
            }
            peakPlay_[k] = peakPlay;
            peakOut_[k] = peakOut;
        }
        done += chunk;
        filled_ += chunk;
        if (filled_ >= window_) {
            publish(inputCount, outputCount, out);
            begin(window_);
        }
    }
}

void MeterAccumulator::publish(uint32_t inputCount, uint32_t outputCount, MeterLevels& out) {
    for (uint32_t c = 0; c < inputCount; ++c)
        out.level[kMeterInputBase + c].store(clampToMeter(peakIn_[c]), std::memory_order_relaxed);
    for (uint32_t k = 0; k < outputCount; ++k) {
        out.level[kMeterOutputBase + k].store(clampToMeter(peakOut_[k]), std::memory_order_relaxed);
        out.level[kMeterPlaybackBase + k].store(clampToMeter(peakPlay_[k]),
                                                std::memory_order_relaxed);
    }
}

protocol::MeterBlock idleMeters(uint32_t inputs, uint32_t outputs, uint32_t sampleRate,
                                InputSource source, uint64_t position, const MixSnapshot& mix) {
    inputs = std::min(inputs, kMaxSimChannels);
    outputs = std::min(outputs, kMaxSimChannels);
    const uint32_t window = meterWindowFrames(sampleRate);
    std::vector<int32_t> samples(std::size_t(window) * std::max<uint32_t>(inputs, 1), 0);
    const int32_t* in[kMaxSimChannels];
    for (uint32_t c = 0; c < inputs; ++c) {
        int32_t* channel = samples.data() + std::size_t(window) * c;
        if (source == InputSource::TestSignal)
            fillTestTone(channel, c, position, window, sampleRate);
        in[c] = channel;
    }
    MeterLevels levels;
    MeterAccumulator acc;
    acc.begin(window);
    acc.add(in, inputs, nullptr, outputs, window, mix, levels);
    return levels.snapshot();
}

} // namespace halvern::sim
