// Which of the device's half-buffer signals each buffer switch answers. The device alternates its
// halves and numbers nothing; its events collapse when the host falls behind, so a pending event
// says only "this half was due at least once since you last took it". The tracker keeps the
// device's order and numbering from the half's parity and, when the host was behind (the event
// was already set when the wait began), from the time since the signals it waited for.
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
    // set yet when the wait began: the host kept up). `nowNs` is when the wait ended, or, for an
    // event already set, when it began; `periodNs` the device's half-buffer period (0: unknown).
    // Returns the device's signal number (0 for the first of the stream) or kStale.
    int64_t take(int32_t half, bool waited, uint64_t nowNs, double periodNs) {
        int64_t first = last_ + 1;
        if ((first & 1) != half)
            ++first;
        const bool estimate = !waited && anchored_ && periodNs > 0.0;
        // Behind: the latest signal the device can have given by now. The anchor is a wake-up,
        // never earlier than its signal, so on a steady clock this never counts ahead.
        const int64_t latest =
            estimate ? anchorSignal_ +
                           static_cast<int64_t>(double(nowNs - anchorNs_) / devicePeriod(periodNs))
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
        // Every wake-up re-anchors: a wait that blocked ended just after its signal, so the
        // estimates follow the device's own clock, fast, slow or moved on.
        if (waited)
            anchor(signal, nowNs);
        return signal;
    }

    // Signals that reached the host as no buffer switch.
    uint64_t skipped() const { return skipped_; }

private:
    // Signals between the first wake-up and the latest before their time tells the period.
    static constexpr int64_t kMinBaseline = 64;
    // A clock slower than this is taken for a device that paused.
    static constexpr double kSlowestClock = 1.05;

    // The period the device keeps, measured from its wake-ups: a clock that runs slow would
    // otherwise be counted ahead after a few periods behind. Never shorter than the nominal
    // period, so that a steady or fast clock still never counts ahead.
    double devicePeriod(double nominal) const {
        if (anchorSignal_ - firstSignal_ < kMinBaseline)
            return nominal;
        const double measured = double(anchorNs_ - firstNs_) / double(anchorSignal_ - firstSignal_);
        return std::clamp(measured, nominal, nominal * kSlowestClock);
    }

    void anchor(int64_t signal, uint64_t nowNs) {
        if (!anchored_) {
            firstSignal_ = signal;
            firstNs_ = nowNs;
        }
        anchored_ = true;
        anchorSignal_ = signal;
        anchorNs_ = nowNs;
    }

    int64_t last_ = -1;
    bool jumped_ = false;
    uint64_t skipped_ = 0;
    bool anchored_ = false;
    int64_t anchorSignal_ = 0;
    uint64_t anchorNs_ = 0;
    int64_t firstSignal_ = 0;
    uint64_t firstNs_ = 0;
};

} // namespace halvern::driver
