// The control commands of halvern-bus-sim ("ctl status", "ctl fail ..."): parsed on the client
// side to reject bad arguments early, and run against a Simulator by the daemon.
#pragma once

#include "halvern/sim/simulator.h"

#include <cstdint>
#include <string>
#include <vector>

namespace halvern::sim {

struct ControlCommand {
    enum Kind {
        Status,
        Journal,
        ClearJournal,
        Unplug,
        Replug,
        Fail,
        Slow,
        ClearFaults,
        UsbErrors,
        UsbLatency,
        StopStream,
        StallClock,
        ClockPpm,
        Loopback,
        Commands,
        Signal,
        Meters,
        PinMeter,
        ClearMeters,
        Matrix,
        FailCommand,
        RestoreCommand,
        Model,
        Firmware,
        FailOpens,
    };
    Kind kind = Status;
    uint32_t code = 0;    // fail, slow: request code, 0 for any
    uint32_t error = 0;   // fail
    uint32_t count = 0;   // fail: how many (0 until cleared); journal: last N (0 all); usb-errors,
                          // usb-latency
    uint32_t delayMs = 0; // slow, stall-clock; fail-opens: opens that succeed first
    bool on = false;      // loopback
    bool monitor = false; // loopback monitor
    uint32_t index = 0;   // signal: input; meters set: entry
    int32_t value = 0;    // meters set; clock-ppm
    InputSignal signal;   // signal
    uint8_t opcode = 0;   // fail-command, restore-command
    ModelProfile model;   // model
    uint8_t firmware[protocol::kFirmwareVersionBytes] = {}; // firmware
};

// Parses the words after "ctl"; false with a message for unknown commands or bad arguments.
bool parseControlCommand(const std::vector<std::string>& words, ControlCommand& out,
                         std::string& error);
// Runs a command; the reply text ends with a newline. `ok` is false when it could not be done.
std::string runControlCommand(Simulator& sim, const ControlCommand& command, bool& ok);
// The usage text of the control commands.
const char* controlUsage();

// A request code given as a number (0xFFDC2020, decimal) or by name (IOCTL_AUDIO_GET_SAMPLE_RATE);
// "any" and 0 stand for every request.
bool parseRequestCode(const std::string& text, uint32_t& code);
// An unsigned number in decimal or 0x-hexadecimal.
bool parseUnsigned(const std::string& text, uint32_t& value);
// A clock error in ppm: a signed decimal number from kMinClockPpm to kMaxClockPpm.
bool parseClockPpm(const std::string& text, int32_t& ppm);

// Where the daemon listens for control commands: <runtime>/sim/ctl-<index>.
std::string controlSocketPath(const std::string& runtimeDir, int index);

} // namespace halvern::sim
