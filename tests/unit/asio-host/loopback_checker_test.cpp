// The loopback pattern and the checker that judges each half that comes back: what it calls
// intact, lost, repeated and corrupted decides whether a stream passes.
#include "loopback_pattern.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using halvern::host::decodeHalf;
using halvern::host::HalfKind;
using halvern::host::LoopbackChecker;
using halvern::host::patternSample;
using halvern::host::Verdict;
using halvern::host::writePattern;

// The inputs of one buffer switch: `channels` halves of `frames` samples.
struct Halves {
    Halves(uint32_t channels, uint32_t frames)
        : frames(frames), data(channels, std::vector<int32_t>(frames, 0)) {
        for (auto& d : data)
            pointers.push_back(d.data());
    }
    // Every channel carries the host's half `sequence`.
    Halves& carry(uint64_t sequence) {
        for (uint32_t c = 0; c < data.size(); ++c)
            writePattern(data[c].data(), frames, c, sequence);
        return *this;
    }
    Halves& silence() {
        for (auto& d : data)
            std::fill(d.begin(), d.end(), 0);
        return *this;
    }
    uint32_t frames;
    std::vector<std::vector<int32_t>> data;
    std::vector<const int32_t*> pointers;
};

Verdict feed(LoopbackChecker& checker, Halves& h, uint64_t sent) {
    return checker.check(h.pointers.data(), uint32_t(h.data.size()), h.frames, sent);
}

TEST(LoopbackPattern, EncodesChannelSequenceAndIndexAndNeverZero) {
    for (uint32_t frames : {1u, 2u, 48u, 2048u}) {
        for (uint64_t sequence : {uint64_t(0), uint64_t(1), uint64_t(8191), uint64_t(8192),
                                  (uint64_t(1) << 26) - 1, uint64_t(1) << 26}) {
            for (uint32_t channel : {0u, 13u, 127u}) {
                std::vector<int32_t> half(frames);
                writePattern(half.data(), frames, channel, sequence);
                for (int32_t v : half)
                    ASSERT_NE(v, 0);
                const auto d = decodeHalf(half.data(), frames, channel);
                ASSERT_EQ(d.kind, HalfKind::Intact) << frames << " " << sequence << " " << channel;
                const uint64_t modulus = frames >= 2 ? (uint64_t(1) << 26) : (uint64_t(1) << 13);
                EXPECT_EQ(d.sequence, sequence % modulus);
                // The same half read as another channel's is not intact.
                EXPECT_EQ(decodeHalf(half.data(), frames, channel ^ 1).kind, HalfKind::Corrupted);
            }
        }
    }
    std::vector<int32_t> zeros(64, 0);
    EXPECT_EQ(decodeHalf(zeros.data(), 64, 0).kind, HalfKind::Silent);
}

TEST(LoopbackPattern, FindsEveryKindOfDamageInAHalf) {
    const uint32_t n = 64;
    std::vector<int32_t> good(n);
    writePattern(good.data(), n, 3, 1000);

    auto broken = good;
    broken[17] ^= 0x40; // one bit of one sample
    EXPECT_EQ(decodeHalf(broken.data(), n, 3).kind, HalfKind::Corrupted);

    // Shifted by one sample, as a wrong buffer offset would give.
    std::vector<int32_t> shifted(n);
    writePattern(shifted.data(), n, 3, 1000);
    std::rotate(shifted.begin(), shifted.begin() + 1, shifted.end());
    EXPECT_EQ(decodeHalf(shifted.data(), n, 3).kind, HalfKind::Corrupted);

    // Torn: the second part of the half is from the next write.
    std::vector<int32_t> torn(n);
    writePattern(torn.data(), n, 3, 1000);
    for (uint32_t i = n / 2; i < n; ++i)
        torn[i] = patternSample(3, 1002, i);
    EXPECT_EQ(decodeHalf(torn.data(), n, 3).kind, HalfKind::Corrupted);

    // Partly silent.
    auto partly = good;
    std::fill(partly.begin() + 40, partly.end(), 0);
    EXPECT_EQ(decodeHalf(partly.data(), n, 3).kind, HalfKind::Corrupted);

    // A test tone or other audio is not the pattern.
    std::vector<int32_t> audio(n);
    for (uint32_t i = 0; i < n; ++i)
        audio[i] = int32_t(i * 1000003u);
    EXPECT_EQ(decodeHalf(audio.data(), n, 3).kind, HalfKind::Corrupted);
}

// The device as the simulator runs it: what the host writes in switch k comes back in switch
// k + 2, and the first two halves are silent.
TEST(LoopbackChecker, AHealthyLoopPrimesThenStaysInOrder) {
    LoopbackChecker checker;
    Halves h(4, 48);
    for (uint64_t k = 0; k < 1000; ++k) {
        if (k < 2)
            h.silence();
        else
            h.carry(k - 2);
        const Verdict v = feed(checker, h, k);
        ASSERT_EQ(v, k < 2 ? Verdict::Priming : Verdict::InOrder) << k;
    }
    EXPECT_EQ(checker.priming(), 2u);
    EXPECT_EQ(checker.intact(), 998u);
    EXPECT_EQ(checker.lost() + checker.repeated() + checker.corrupted(), 0u);
    EXPECT_EQ(checker.loopDelay(), 2);
}

TEST(LoopbackChecker, CountsLostAndRepeatedHalves) {
    LoopbackChecker checker;
    Halves h(2, 32);
    uint64_t sent = 2;
    auto next = [&](uint64_t sequence) { return feed(checker, h.carry(sequence), sent++); };
    EXPECT_EQ(next(0), Verdict::InOrder);
    EXPECT_EQ(next(1), Verdict::InOrder);
    EXPECT_EQ(next(4), Verdict::Lost); // 2 and 3 never came back
    EXPECT_EQ(checker.lost(), 2u);
    EXPECT_EQ(next(5), Verdict::InOrder);
    EXPECT_EQ(next(5), Verdict::Repeated); // not advanced
    EXPECT_EQ(next(3), Verdict::Repeated); // older than the last one
    EXPECT_EQ(next(6), Verdict::InOrder);  // a repeat does not make the next one look lost
    EXPECT_EQ(checker.repeated(), 2u);
    EXPECT_EQ(checker.lost(), 2u);
    EXPECT_EQ(checker.corrupted(), 0u);
}

TEST(LoopbackChecker, CountsBrokenSilentAndDisagreeingHalvesAsCorrupted) {
    LoopbackChecker checker;
    Halves h(3, 48);
    uint64_t sent = 2;
    EXPECT_EQ(feed(checker, h.carry(0), sent++), Verdict::InOrder);

    h.carry(1).data[2][5] = 12345; // one channel damaged
    EXPECT_EQ(feed(checker, h, sent++), Verdict::Corrupted);
    // The broken half took its place: the next one is in order, not lost.
    EXPECT_EQ(feed(checker, h.carry(2), sent++), Verdict::InOrder);

    // One channel a half behind the others.
    h.carry(3);
    writePattern(h.data[1].data(), 48, 1, 2);
    EXPECT_EQ(feed(checker, h, sent++), Verdict::Corrupted);

    // Silence once the loop has filled is lost audio, not priming.
    EXPECT_EQ(feed(checker, h.silence(), sent++), Verdict::Corrupted);
    // One channel silent, the others fine.
    h.carry(5);
    std::fill(h.data[0].begin(), h.data[0].end(), 0);
    EXPECT_EQ(feed(checker, h, sent++), Verdict::Corrupted);
    EXPECT_EQ(feed(checker, h.carry(6), sent++), Verdict::InOrder);

    EXPECT_EQ(checker.corrupted(), 4u);
    EXPECT_EQ(checker.lost() + checker.repeated(), 0u);
}

TEST(LoopbackChecker, EndlessSilenceIsNotPriming) {
    // A device that does not loop back: a few silent halves are the loop filling, the rest
    // are failures, so the stream cannot pass on silence.
    LoopbackChecker checker;
    Halves h(2, 32);
    for (uint64_t k = 0; k < 20; ++k)
        feed(checker, h.silence(), k);
    EXPECT_EQ(checker.priming(), LoopbackChecker::kMaxPrimingHalves);
    EXPECT_EQ(checker.corrupted(), 20u - LoopbackChecker::kMaxPrimingHalves);
    EXPECT_EQ(checker.loopDelay(), -1);
}

TEST(LoopbackChecker, FollowsTheSequenceAcrossTheWrapOfItsBits) {
    LoopbackChecker checker;
    Halves h(1, 16);
    const uint64_t wrap = uint64_t(1) << 26;
    for (uint64_t s = wrap - 3; s < wrap + 3; ++s)
        ASSERT_EQ(feed(checker, h.carry(s), s + 2), Verdict::InOrder) << s;
    EXPECT_EQ(checker.loopDelay(), 2);
    // A jump across the wrap is still counted by its true size.
    EXPECT_EQ(feed(checker, h.carry(wrap + 10), wrap + 12), Verdict::Lost);
    EXPECT_EQ(checker.lost(), 7u);
}

TEST(LoopbackChecker, RestartPrimesAgainAndKeepsTheCounts) {
    LoopbackChecker checker;
    Halves h(2, 32);
    feed(checker, h.carry(0), 2);
    feed(checker, h.carry(2), 3); // 1 lost
    checker.restart();            // the host started a new stream after a reset
    EXPECT_EQ(feed(checker, h.silence(), 0), Verdict::Priming);
    EXPECT_EQ(feed(checker, h.silence(), 1), Verdict::Priming);
    // The new stream's numbers start again at 0: neither repeated nor lost.
    EXPECT_EQ(feed(checker, h.carry(0), 2), Verdict::InOrder);
    EXPECT_EQ(feed(checker, h.carry(1), 3), Verdict::InOrder);
    EXPECT_EQ(checker.lost(), 1u);
    EXPECT_EQ(checker.repeated(), 0u);
    EXPECT_EQ(checker.priming(), 2u);
}

} // namespace
