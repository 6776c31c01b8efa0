// When the device signalled each half-buffer: the simulated interface publishes the monotonic
// time of every signal in <runtime>/bus/HalvernAudioBus<index>.timing (on Windows the mapping
// Local\HalvernAudioBus<index>.timing), which lets the host
// measure its wake-up latency. A real device publishes nothing; then latency is unavailable.
#pragma once

#include "halvern/protocol/signal_times.h"

#include <cstdint>
#include <string>

namespace halvern::host {

class SignalTimesReader {
public:
    SignalTimesReader() = default;
    ~SignalTimesReader();
    SignalTimesReader(const SignalTimesReader&) = delete;
    SignalTimesReader& operator=(const SignalTimesReader&) = delete;

    // Maps the record of the device the driver opens (the first in <runtime>/bus by name, as
    // the driver's discovery takes it). False, with the reason in `why`, when there is none.
    bool openForDriverDevice(std::string& why);
    bool open(const std::string& path, std::string& why);
    void close();
    bool available() const { return times_ != nullptr; }
    const std::string& path() const { return path_; }

    // The newest signal for half `half` (signal n is for half n % 2): its number and time.
    // False when none is there yet or the slot is being rewritten. Real-time safe.
    bool latestFor(uint32_t half, uint64_t& number, uint64_t& timeNs) const;

private:
    const protocol::SignalTimes* times_ = nullptr;
    std::string path_;
};

} // namespace halvern::host
