// A host for the driver targets: callbacks that touch nothing, the reset requests they count,
// hostile argument values, and sample areas a scripted device can hand out.
#pragma once

#include "fuzz_support.h"

#include "AsioHalvern.h"

#include <cmath>
#include <limits>
#include <memory>
#include <sys/mman.h>

namespace halvern::fuzz {

inline std::atomic<int32_t> gTimeInfoAnswer{1};
inline std::atomic<int> gResetRequests{0};

inline int32_t hostMessage(int32_t selector, int32_t, void*, double*) {
    if (selector == kAsioResetRequest)
        gResetRequests.fetch_add(1);
    return selector == kAsioSupportsTimeInfo ? gTimeInfoAnswer.load() : 0;
}
inline void hostSwitch(int32_t, ASIOBool) {}
inline ASIOTime* hostSwitchTime(ASIOTime* t, int32_t, ASIOBool) {
    return t;
}
inline void hostRate(ASIOSampleRate) {}
inline ASIOCallbacks hostCallbacks() {
    return ASIOCallbacks{hostSwitch, hostRate, hostMessage, hostSwitchTime};
}

inline driver::AsioHalvern* newDriver() {
    auto* d = new driver::AsioHalvern(nullptr);
    d->NonDelegatingAddRef();
    return d;
}

inline double hostileRate(FuzzedDataProvider& in) {
    static const double kRates[] = {44100.0,
                                    48000.0,
                                    0.0,
                                    -0.0,
                                    -48000.0,
                                    96000.5,
                                    192000.0,
                                    4294967296.0 * 48000,
                                    std::numeric_limits<double>::quiet_NaN(),
                                    std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity(),
                                    std::numeric_limits<double>::denorm_min(),
                                    std::numeric_limits<double>::max()};
    return in.ConsumeBool() ? in.PickValueInArray(kRates) : in.ConsumeFloatingPoint<double>();
}

// The usual value, one near the edges of the channel range, or any.
inline int32_t hostileInt(FuzzedDataProvider& in, int32_t usual) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return usual;
    case 1:
        return in.ConsumeIntegralInRange(-2, 140);
    default:
        return in.ConsumeIntegral<int32_t>();
    }
}

// A fresh block of exactly one `T`, or null: a write past it is caught.
template <typename T> std::unique_ptr<T> maybe(FuzzedDataProvider& in) {
    return in.ConsumeProbability<float>() < 0.1f ? nullptr : std::make_unique<T>();
}

inline bool isAsioCode(ASIOError e) {
    return e == ASE_OK || e == ASE_NotPresent || e == ASE_HWMalfunction ||
           e == ASE_InvalidParameter || e == ASE_NoClock || e == ASE_InvalidMode;
}

// A sample area of `bytes`, as a memfd the device sends along with its shared-memory reply.
inline int areaFd(std::size_t bytes) {
    int fd = memfd_create("fuzz-area", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(bytes)) != 0)
        std::abort();
    return fd;
}

} // namespace halvern::fuzz
