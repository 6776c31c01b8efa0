#include "sim_signal.h"

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

int32_t clipToSample(double v) {
    return int32_t(std::lround(std::clamp(v, -kFullScale, kFullScale)));
}

// Uniform in [-1, 1], the same for the same input and position however the stream is cut up.
double noiseAt(uint32_t channel, uint64_t position) {
    uint64_t z = position * 0x9E3779B97F4A7C15ull + (uint64_t(channel) + 1) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return double(z >> 11) / double(1ull << 52) - 1.0;
}
} // namespace

const char* signalKindName(SignalKind kind) {
    switch (kind) {
    case SignalKind::Tone:
        return "tone";
    case SignalKind::Noise:
        return "noise";
    case SignalKind::Silence:
        return "off";
    }
    return "?";
}

double preampGainDb(const MicState& mic) {
    return mic.gain * kPreampDbPerStep - (mic.pad ? kPadDb : 0.0) +
           (mic.instrument ? kInstrumentDb : 0.0);
}

InputBank::InputBank() {
    for (uint32_t c = 0; c < kMaxSimChannels; ++c) {
        kind_[c].store(int(SignalKind::Tone), std::memory_order_relaxed);
        levelDbfs_[c].store(float(kTestToneDbfs), std::memory_order_relaxed);
        hz_[c].store(0, std::memory_order_relaxed);
        preampDb_[c].store(0.0f, std::memory_order_relaxed);
    }
}

void InputBank::setSignal(uint32_t input, const InputSignal& signal) {
    if (input >= kMaxSimChannels)
        return;
    kind_[input].store(int(signal.kind), std::memory_order_relaxed);
    levelDbfs_[input].store(float(signal.levelDbfs), std::memory_order_relaxed);
    hz_[input].store(signal.hz, std::memory_order_relaxed);
}

InputSignal InputBank::signal(uint32_t input) const {
    InputSignal s;
    if (input >= kMaxSimChannels)
        return s;
    s.kind = SignalKind(kind_[input].load(std::memory_order_relaxed));
    s.levelDbfs = levelDbfs_[input].load(std::memory_order_relaxed);
    s.hz = hz_[input].load(std::memory_order_relaxed);
    return s;
}

void InputBank::setPreampDb(uint32_t input, double dB) {
    if (input < kMaxSimChannels)
        preampDb_[input].store(float(dB), std::memory_order_relaxed);
}

double InputBank::preampDb(uint32_t input) const {
    return input < kMaxSimChannels ? preampDb_[input].load(std::memory_order_relaxed) : 0.0;
}

void InputBank::fill(int32_t* out, uint32_t channel, uint64_t position, uint32_t frames,
                     uint32_t sampleRate) const {
    const InputSignal s = signal(channel);
    const double amplitude =
        std::pow(10.0, (double(s.levelDbfs) + preampDb(channel)) / 20.0) * kFullScale;
    switch (s.kind) {
    case SignalKind::Tone: {
        if (sampleRate == 0)
            break;
        const uint64_t hz = s.hz ? s.hz : toneHz(channel);
        for (uint32_t i = 0; i < frames; ++i) {
            const uint64_t p = position + i;
            const uint64_t step = (hz % sampleRate * (p % sampleRate)) % sampleRate;
            out[i] = clipToSample(amplitude * std::sin(kTwoPi * double(step) / sampleRate));
        }
        return;
    }
    case SignalKind::Noise:
        for (uint32_t i = 0; i < frames; ++i)
            out[i] = clipToSample(amplitude * noiseAt(channel, position + i));
        return;
    case SignalKind::Silence:
        break;
    }
    std::fill(out, out + frames, 0);
}

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
    clearPins();
}

void MeterLevels::pin(uint32_t index, int32_t value) {
    if (index >= protocol::MeterBlock::kCount)
        return;
    pinnedValue_[index].store(value, std::memory_order_relaxed);
    pinned_[index].store(true, std::memory_order_release);
}

void MeterLevels::clearPins() {
    for (auto& p : pinned_)
        p.store(false, std::memory_order_relaxed);
}

void MeterLevels::applyPins(protocol::MeterBlock& block) const {
    for (uint32_t i = 0; i < protocol::MeterBlock::kCount; ++i)
        if (pinned_[i].load(std::memory_order_acquire))
            block.setLevel(i, pinnedValue_[i].load(std::memory_order_relaxed));
}

std::vector<uint32_t> MeterLevels::pinnedIndices() const {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < protocol::MeterBlock::kCount; ++i)
        if (pinned_[i].load(std::memory_order_relaxed))
            out.push_back(i);
    return out;
}

void MeterLevels::clear() {
    for (auto& l : level)
        l.store(0, std::memory_order_relaxed);
}

protocol::MeterBlock MeterLevels::snapshot() const {
    protocol::MeterBlock block;
    for (std::size_t i = 0; i < protocol::MeterBlock::kCount; ++i)
        block.setLevel(i, level[i].load(std::memory_order_relaxed));
    applyPins(block);
    return block;
}

void monitorLoopback(int32_t* const* inputs, uint32_t inputCount, const int32_t* const* playback,
                     uint32_t outputCount, uint32_t frames, const MixSnapshot& mix) {
    inputCount = std::min(inputCount, MixSnapshot::kDim);
    outputCount = std::min(outputCount, MixSnapshot::kDim);
    float cells[MixSnapshot::kDim][MixSnapshot::kDim];
    float gains[MixSnapshot::kDim];
    for (uint32_t k = 0; k < outputCount; ++k) {
        gains[k] = mix.gain[k].load(std::memory_order_relaxed);
        for (uint32_t c = 0; c < inputCount; ++c)
            cells[k][c] = mix.cell[k][c].load(std::memory_order_relaxed);
    }
    double x[MixSnapshot::kDim];
    for (uint32_t i = 0; i < frames; ++i) {
        // Every input's sample is read before any is replaced.
        for (uint32_t c = 0; c < inputCount; ++c)
            x[c] = double(inputs[c][i]);
        for (uint32_t k = 0; k < inputCount; ++k) {
            double y = 0.0;
            if (k < outputCount) {
                y = playback ? double(playback[k][i]) : 0.0;
                for (uint32_t c = 0; c < inputCount; ++c)
                    y += double(cells[k][c]) * x[c];
                y *= double(gains[k]);
            }
            inputs[k][i] = clipToSample(y);
        }
    }
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
    int32_t* channels[kMaxSimChannels];
    const int32_t* in[kMaxSimChannels];
    for (uint32_t c = 0; c < inputs; ++c) {
        channels[c] = samples.data() + std::size_t(window) * c;
        if (source != InputSource::Loopback)
            mix.inputs.fill(channels[c], c, position, window, sampleRate);
        in[c] = channels[c];
    }
    if (source == InputSource::MonitorLoopback)
        monitorLoopback(channels, inputs, nullptr, outputs, window, mix);
    MeterLevels levels;
    MeterAccumulator acc;
    acc.begin(window);
    acc.add(in, inputs, nullptr, outputs, window, mix, levels);
    return levels.snapshot();
}

} // namespace halvern::sim
