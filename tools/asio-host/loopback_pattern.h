// The test pattern the host plays and expects back when the device loops its outputs to its
// inputs. Every sample names its channel, its place in the half-buffer and the host's sequence
// number of the half, so that a half that comes back can be judged on its own: intact or not,
// and which half it was. Nothing here allocates, locks or blocks: the checker runs inside the
// buffer switch.
#pragma once

#include <cstdint>

namespace halvern::host {

// Sequence numbers are carried modulo 2^26: 13 bits in the even samples, 13 in the odd ones;
// at 32 samples and 48000 Hz that is over twelve hours before the number wraps.
constexpr uint32_t kPatternSequenceBits = 26;
constexpr uint32_t kPatternMaxFrames = 2048;  // 11 bits of sample index
constexpr uint32_t kPatternMaxChannels = 128; // 7 bits of channel

// Sample `index` of `channel` in the host's half number `sequence`: the top bit set (never 0,
// so silence is never taken for a half the host wrote), 13 bits of the sequence, 7 of the
// channel, 11 of the index.
int32_t patternSample(uint32_t channel, uint64_t sequence, uint32_t index);
void writePattern(int32_t* half, uint32_t frames, uint32_t channel, uint64_t sequence);

enum class HalfKind { Silent, Intact, Corrupted };

struct DecodedHalf {
    HalfKind kind = HalfKind::Corrupted;
    uint32_t sequence = 0; // modulo 2^26 (2^13 when frames is 1), valid when Intact
};

// Reads one half-buffer that should carry `channel`'s pattern.
DecodedHalf decodeHalf(const int32_t* half, uint32_t frames, uint32_t channel);

enum class Verdict {
    Priming,   // silence before the first pattern came back: the loop is still filling
    InOrder,   // every channel intact, the half after the previous one
    Lost,      // intact, but halves are missing before it
    Repeated,  // intact, but not newer than the previous one
    Corrupted, // a channel broken, silent after the loop filled, or channels disagreeing
};

// Judges the halves that come back, one buffer switch at a time. Counters are read by the host's
// main thread only once the stream has stopped.
class LoopbackChecker {
public:
    // The first halves of a stream may be silent: the device plays what the host wrote one
    // buffer earlier, and before the first switch the outputs hold zeros.
    static constexpr uint32_t kMaxPrimingHalves = 8;

    // A new stream: priming again, no previous half.
    void restart();

    // Checks the input halves of one buffer switch. `inputs[c]` is channel c's half; `sent` is
    // the sequence number the host writes in this switch, for the loop delay.
    Verdict check(const int32_t* const* inputs, uint32_t channels, uint32_t frames, uint64_t sent);

    uint64_t intact() const { return intact_; }
    uint64_t priming() const { return priming_; }
    uint64_t lost() const { return lost_; }         // halves missing
    uint64_t repeated() const { return repeated_; } // halves that did not advance
    uint64_t corrupted() const { return corrupted_; }
    // Halves between what the host wrote and what came back, from the first intact half; -1
    // before one came back.
    int64_t loopDelay() const { return loopDelay_; }

private:
    bool seenIntact_ = false;
    uint32_t primingLeft_ = kMaxPrimingHalves;
    uint64_t last_ = 0; // full sequence number of the previous intact half
    uint64_t intact_ = 0, priming_ = 0, lost_ = 0, repeated_ = 0, corrupted_ = 0;
    int64_t loopDelay_ = -1;
};

} // namespace halvern::host
