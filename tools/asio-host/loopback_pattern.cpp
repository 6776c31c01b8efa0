#include "loopback_pattern.h"

namespace halvern::host {

namespace {

constexpr uint32_t kMarker = 0x80000000u;
constexpr uint32_t kChunkBits = kPatternSequenceBits / 2;
constexpr uint32_t kChunkMask = (1u << kChunkBits) - 1;
constexpr uint32_t kChunkShift = 18;
constexpr uint32_t kChannelShift = 11;
constexpr uint32_t kChannelMask = kPatternMaxChannels - 1;
constexpr uint32_t kIndexMask = kPatternMaxFrames - 1;
static_assert(kChunkShift + kChunkBits == 31, "the marker takes the top bit");

uint32_t encode(uint32_t channel, uint64_t sequence, uint32_t index) {
    const uint32_t chunk = (index & 1) ? uint32_t(sequence >> kChunkBits) & kChunkMask
                                       : uint32_t(sequence) & kChunkMask;
    return kMarker | (chunk << kChunkShift) | ((channel & kChannelMask) << kChannelShift) |
           (index & kIndexMask);
}

uint64_t modulusFor(uint32_t frames) {
    // A half of one sample has no odd sample to carry the upper chunk.
    return frames >= 2 ? (uint64_t(1) << kPatternSequenceBits) : (uint64_t(1) << kChunkBits);
}

} // namespace

int32_t patternSample(uint32_t channel, uint64_t sequence, uint32_t index) {
    return static_cast<int32_t>(encode(channel, sequence, index));
}

void writePattern(int32_t* half, uint32_t frames, uint32_t channel, uint64_t sequence) {
    for (uint32_t i = 0; i < frames; ++i)
        half[i] = patternSample(channel, sequence, i);
}

DecodedHalf decodeHalf(const int32_t* half, uint32_t frames, uint32_t channel) {
    DecodedHalf d;
    if (frames == 0 || frames > kPatternMaxFrames)
        return d;
    bool silent = true;
    uint32_t low = 0, high = 0;
    bool ok = true;
    for (uint32_t i = 0; i < frames; ++i) {
        const uint32_t v = static_cast<uint32_t>(half[i]);
        if (v != 0)
            silent = false;
        const uint32_t chunk = (v >> kChunkShift) & kChunkMask;
        // Every sample must agree with the first of its parity: a half spliced from two writes
        // (a torn read) or shifted by some samples fails here or on the index.
        if (i < 2)
            (i == 0 ? low : high) = chunk;
        const uint32_t expectedChunk = (i & 1) ? high : low;
        if ((v & kMarker) == 0 || (v & kIndexMask) != i ||
            ((v >> kChannelShift) & kChannelMask) != (channel & kChannelMask) ||
            chunk != expectedChunk)
            ok = false;
    }
    if (silent) {
        d.kind = HalfKind::Silent;
        return d;
    }
    if (!ok)
        return d;
    d.kind = HalfKind::Intact;
    d.sequence = frames >= 2 ? (high << kChunkBits) | low : low;
    return d;
}

void LoopbackChecker::restart() {
    seenIntact_ = false;
    primingLeft_ = kMaxPrimingHalves;
    last_ = 0;
}

Verdict LoopbackChecker::check(const int32_t* const* inputs, uint32_t channels, uint32_t frames,
                               uint64_t sent) {
    if (channels == 0)
        return Verdict::Priming;
    uint32_t silent = 0, broken = 0;
    bool agree = true;
    uint32_t sequence = 0;
    bool haveSequence = false;
    for (uint32_t c = 0; c < channels; ++c) {
        const DecodedHalf d = decodeHalf(inputs[c], frames, c);
        if (d.kind == HalfKind::Silent) {
            ++silent;
        } else if (d.kind == HalfKind::Corrupted) {
            ++broken;
        } else if (!haveSequence) {
            sequence = d.sequence;
            haveSequence = true;
        } else if (d.sequence != sequence) {
            agree = false; // channels out of step: some came from another half
        }
    }

    if (silent == channels && !seenIntact_ && primingLeft_ > 0) {
        --primingLeft_;
        ++priming_;
        return Verdict::Priming;
    }
    if (silent != 0 || broken != 0 || !agree) {
        ++corrupted_;
        // The broken half still took its place in the stream: the next one is not "lost".
        if (seenIntact_)
            ++last_;
        return Verdict::Corrupted;
    }

    ++intact_;
    const uint64_t modulus = modulusFor(frames);
    if (!seenIntact_) {
        // The full number is the one just below what the host sends now.
        const uint64_t delay = (sent % modulus + modulus - sequence) % modulus;
        seenIntact_ = true;
        last_ = delay <= sent ? sent - delay : sequence;
        if (loopDelay_ < 0)
            loopDelay_ = static_cast<int64_t>(delay);
        return Verdict::InOrder;
    }
    const uint64_t expected = last_ + 1;
    // The distance from the expected number, taken in (-modulus/2, modulus/2].
    uint64_t forward = (uint64_t(sequence) + modulus - expected % modulus) % modulus;
    if (forward == 0) {
        last_ = expected;
        return Verdict::InOrder;
    }
    if (forward < modulus / 2) {
        lost_ += forward;
        last_ = expected + forward;
        return Verdict::Lost;
    }
    ++repeated_;
    return Verdict::Repeated;
}

} // namespace halvern::host
