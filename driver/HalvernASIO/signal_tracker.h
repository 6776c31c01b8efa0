// Which of the device's half-buffer signals each buffer switch answers. The device alternates its
// halves and numbers nothing; its events collapse when the host falls behind, so a pending event
// says only "this half was due at least once since you last took it". The tracker keeps the
// device's order and numbering from the half's parity and, when the host was behind (the event
// was already set when the wait began), from the time since the last signal it waited for.
#pragma once

#include <algorithm>
#include <cstdint>

namespace halvern::driver {

class SignalTracker {
public:
    // What a take() that hands nothing to the host returns: the event stood for a signal of
    // this half that has been answered already; the half's next signal is still to come.
    static constexpr int64_t kStale = -1;

    // The half the device plays next: the other one first after a half was handed over.
    int32_t nextHalf() const { return last_ < 0 ? 0 : int32_t(1 - (last_ & 1)); }

    // The event of `half` came; `waited` tells that the wait blocked until it (the event was not
    // set yet when the wait began: the host kept up). `beganNs` is when the wait began, `endedNs`
    // when it ended; `periodNs` the device's half-buffer period (0: unknown). Returns the
    // device's signal number (0 for the first of the stream) or kStale.
    int64_t take(int32_t half, bool waited, uint64_t beganNs, uint64_t endedNs, double periodNs) {
        const bool handedBefore = last_ >= 0;
        int64_t first = last_ + 1;
        if ((first & 1) != half)
            ++first;
        const bool estimate = !waited && anchored_ && periodNs > 0.0;
        // Behind: the latest signal the device had surely given when the wait began. The anchor
        // is a wake-up, never earlier than its signal, and the period never shorter than the
        // device's, so this never counts ahead, however long ago the host last waited.
        const int64_t latest =
            estimate ? anchorSignal_ + static_cast<int64_t>(double(beganNs - anchorNs_) /
                                                            devicePeriod(periodNs))
                     : 0;
        // Right after a jump to the latest signal, the other half's pending event may be older
        // than that signal: handing it over now would give the host a half not yet played. A
        // signal of that half that came since is counted in `latest` again.
        const bool jumped = jumped_;
        jumped_ = false;
        if (jumped && estimate && first > latest)
            return kStale;
        int64_t signal = first;
        if (estimate) {
            const int64_t newest = (latest & 1) == half ? latest : latest - 1;
            if (newest > signal) {
                signal = newest;
                jumped_ = true;
            }
        }
        skipped_ += uint64_t(signal - last_ - 1);
        last_ = signal;
        // Every wait that blocked re-anchors: it ended just after its signal, so the estimates
        // follow the device's own clock, fast, slow or moved on.
        if (waited)
            anchor(signal, beganNs, endedNs, handedBefore);
        return signal;
    }

    // Signals that reached the host as no buffer switch.
    uint64_t skipped() const { return skipped_; }

private:
    // A clock slower than this is taken for a device that paused.
    static constexpr double kSlowestClock = 1.05;

    // The longest period the device can keep, from the waits since the reference: its signal
    // came after that wait began and the latest anchor's before that wait ended. A period
    // measured wake-up to wake-up can come out short by the wake-ups' jitter, and a host that
    // rarely waits projects it over hundreds of periods. Without a measure, the slowest clock
    // taken for a running one; never shorter than the nominal period.
    double devicePeriod(double nominal) const {
        double longest = nominal * kSlowestClock;
        if (referenced_ && anchorSignal_ > referenceSignal_)
            longest = std::min(longest, double(anchorNs_ - referenceNs_) /
                                            double(anchorSignal_ - referenceSignal_));
        return std::max(longest, nominal);
    }

    // The stream's first wait began before the device started: the reference is the first
    // wait after a signal was handed over.
    void anchor(int64_t signal, uint64_t beganNs, uint64_t endedNs, bool handedBefore) {
        if (!referenced_ && handedBefore) {
            referenced_ = true;
            referenceSignal_ = signal;
            referenceNs_ = beganNs;
        }
        anchored_ = true;
        anchorSignal_ = signal;
        anchorNs_ = endedNs;
    }

    int64_t last_ = -1;
    bool jumped_ = false;
    uint64_t skipped_ = 0;
    bool anchored_ = false;
    int64_t anchorSignal_ = 0;
    uint64_t anchorNs_ = 0;
    bool referenced_ = false;
    int64_t referenceSignal_ = 0;
    uint64_t referenceNs_ = 0;
};

} // namespace halvern::driver
