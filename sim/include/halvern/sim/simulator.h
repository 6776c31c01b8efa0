// halvern-bus-sim: a simulated HalvernAudioBus driver with its USB device, served on
// <runtime>/bus/HalvernAudioBusN. Tests run it in-process through this class; the daemon wraps it.
#pragma once

#include "halvern/protocol/bus_protocol.h"
#include "halvern/protocol/models.h"
#include "halvern/protocol/signal_times.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace halvern::sim {

enum class EngineState { Stopped, Initialised, Running };
// What the host's inputs carry: each input's own signal; what the host played on the output of
// the same number (a digital loopback); or that output as the device plays it, the monitor mix
// of the inputs' signals and the host's playback through the output gain (a cable from each
// output back to its input).
enum class InputSource { TestSignal, Loopback, MonitorLoopback };

// Meter entries: input c at kMeterInputBase + c, output k after the monitor mix (matrix 2 and
// the output gains) at kMeterOutputBase + k, and what the host plays on output k at
// kMeterPlaybackBase + k. Each is the peak magnitude of the last 50 ms.
constexpr uint32_t kMeterInputBase = 0;
constexpr uint32_t kMeterOutputBase = 64;
constexpr uint32_t kMeterPlaybackBase = 128;
constexpr uint32_t kMaxSimChannels = 64; // per direction
// The monitor mix: matrix 2 of the mixer matrix, row = output, column = input.
constexpr uint32_t kMonitorMatrix = 2;
// The test signal: input c carries a sine of kTestToneHz x (c % 16 + 1) at kTestToneDbfs.
constexpr uint32_t kTestToneHz = 440;
constexpr double kTestToneDbfs = -12.0;
// Sample `position` (counted from the start of the stream) of input `channel`'s test signal.
int32_t testToneSample(uint32_t channel, uint64_t position, uint32_t sampleRate);
// The peak of the test signal as a meter value (-12 dBFS of full scale).
int32_t testTonePeak();

// What a simulated input hears before its preamp: by default the test tone above; a tone of
// another level or frequency, deterministic white noise, or nothing can be set per input.
enum class SignalKind { Tone, Noise, Silence };
struct InputSignal {
    SignalKind kind = SignalKind::Tone;
    double levelDbfs = kTestToneDbfs; // peak level with the preamp at 0 dB
    uint32_t hz = 0;                  // tone frequency; 0: the input's test-tone frequency
};
const char* signalKindName(SignalKind kind);

// The microphone preamp of input channel - 1 (the channel as the commands carry it): each step
// of the gain command is half a decibel, from 0 dB at 0 (the mixer pages send twice their knob
// value, so one knob step is 1 dB); the pad takes 20 dB off; the instrument (Hi-Z) input sits
// 6 dB below the microphone input; phantom power leaves the level alone. The result is clipped
// at full scale, as a converter would.
constexpr double kPreampDbPerStep = 0.5;
constexpr double kPadDb = 20.0;
constexpr double kInstrumentDb = -6.0;
struct MicState;
double preampGainDb(const MicState& mic);

// A simulator is a Wren unless told otherwise.
inline constexpr const protocol::Model& kDefaultModel = *protocol::findModel(protocol::kModelWren);

struct ModelProfile {
    uint32_t code = kDefaultModel.code;
    const char* name = kDefaultModel.name;
    uint32_t inputs = kDefaultModel.inputs;
    uint32_t outputs = kDefaultModel.outputs;
};
// The profile of a model of the table of models; any other code gets a generic 8/8 profile.
ModelProfile profileForCode(uint32_t code);
// A model name in any case ("wren", "Kite") or a number; false when the text names no model.
bool parseModel(const std::string& text, ModelProfile& out);

// What the device accepts: rates that are multiples of 44100 or 48000 up to 192000 Hz, and
// buffer sizes of 16 to 2048 samples (the shared areas hold at most 2048).
bool isSupportedSampleRate(uint32_t hz);
bool isSupportedBufferSize(uint32_t samples);
// USB latencies of 1 to 1024 frames.
bool isSupportedUsbLatency(uint32_t frames);

// The version a real interface reports is printable text in the ten bytes of the reply, padded
// with blanks; the panel shows the ten bytes as they are.
constexpr const char* kDefaultFirmware = "1.0.0";
// `text` padded with blanks to the ten bytes; false (and `out` untouched) when it is longer.
bool firmwareFromText(const std::string& text, uint8_t out[protocol::kFirmwareVersionBytes]);
// The ten bytes as the status shows them: the quoted text when every byte is printable, else
// the numbers joined by dots.
std::string formatFirmware(const uint8_t bytes[protocol::kFirmwareVersionBytes]);

// How far the simulated sample clock may be off, in parts per million (a crystal is within
// about 100; tests exaggerate to show drift in seconds instead of minutes).
constexpr int32_t kMinClockPpm = -100000;
constexpr int32_t kMaxClockPpm = 100000;

struct SimConfig {
    uint32_t model = kDefaultModel.code;
    int index = 0; // serves \\.\HalvernAudioBus<index>
    uint32_t sampleRate = 48000;
    uint32_t bufferSize = 256; // samples per half-buffer
    uint32_t usbLatency = 8;   // frames
    InputSource input = InputSource::TestSignal;
    uint8_t firmware[protocol::kFirmwareVersionBytes] = {'1', '.', '0', '.', '0',
                                                         ' ', ' ', ' ', ' ', ' '};
    std::string runtimeDir; // empty: the platform's runtime directory
    int32_t clockPpm = 0;   // the sample clock's error, kMinClockPpm to kMaxClockPpm
};

struct JournalEntry {
    uint64_t sequence = 0;
    uint64_t timeNs = 0;
    uint32_t code = 0;
    std::vector<uint8_t> input;
    bool success = true;
    uint32_t error = 0;
    uint32_t bytesReturned = 0;
    // Length of the request's input; `input` of older entries may be cut to save memory.
    uint32_t inputLength = 0;
    // A rate, buffer size, latency, WDM or slow-mode change that came while the engine was not
    // stopped; a real interface needs the stop first.
    bool changedWhileRunning = false;
};

// What the device commands set, per channel number as the packets carry it (1 = first).
struct MicState {
    uint8_t channel = 0;
    uint16_t gain = 0;
    bool pad = false;
    bool phantom = false;
    bool instrument = false;
};
struct OutputVolume {
    uint8_t channel = 0;
    uint16_t value = 0;
};
// One cell of the mixer matrix: matrix m, row (output), column (input).
struct MixCell {
    uint8_t matrix = 0;
    uint8_t row = 0;
    uint8_t column = 0;
    double gain = 0.0;
};

struct Status {
    ModelProfile model;
    int index = 0;
    bool plugged = true;
    uint32_t sampleRate = 0;
    uint32_t bufferSize = 0;
    uint32_t usbLatency = 0;
    bool slowMode = false;
    uint32_t wdmChannels = 0;
    EngineState engine = EngineState::Stopped;
    bool otgOn = false;
    bool streaming = false; // events registered and IOCTL_ASIO_START received
    uint64_t periods = 0;   // half-buffer signals since the stream started
    uint32_t usbErrorCount = 0;
    uint32_t connections = 0;
    uint64_t requests = 0;
    InputSource input = InputSource::TestSignal;
    bool eventsRegistered = false;
    bool asioStarted = false; // IOCTL_ASIO_START received and not yet stopped
    bool firmwareUpgradeRequested = false;
    uint64_t lateTicks = 0;     // periods the clock lost to stalls of the machine (it pauses)
    int32_t clockPpm = 0;       // positive: the clock runs fast
    std::vector<MicState> mics; // channels that received a microphone command
    std::vector<OutputVolume> outputVolumes;
    std::vector<InputSignal> inputSignals; // per input of the model
    std::vector<double> inputPreampDb;     // per input of the model
    std::vector<MixCell> monitorCells;     // the non-zero cells of the monitor matrix
    std::vector<double> outputGains;       // per output of the model
    std::vector<uint32_t> pinnedMeters;    // meter entries held by pinMeter
    std::vector<uint8_t> failingCommands;  // opcodes that fail on demand
    uint8_t firmware[protocol::kFirmwareVersionBytes] = {};
};

// The record of the signals' times (halvern/protocol/signal_times.h), which the clock writes to
// <runtime>/bus/HalvernAudioBus<index>.timing.
using SignalTimes = protocol::SignalTimes;
std::string signalTimesPath(const std::string& runtimeDir, int index);

class Simulator {
public:
    explicit Simulator(const SimConfig& config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Creates the bus socket and starts serving; false (with a message in error()) when the
    // name is taken by a live simulator.
    bool start();
    void shutdown();
    std::string error() const;

    // Faults.
    void unplug(); // socket removed, connections closed, a running stream gets event 2
    void replug();
    // The next `count` requests with `code` fail with `error` (count 0: until cleared;
    // code 0: any request).
    void failRequests(uint32_t code, uint32_t error, uint32_t count = 0);
    void slowRequests(uint32_t code, uint32_t delayMs); // delay 0 clears
    // After `after` more opens that succeed, the next `count` opens of the device fail with
    // `error`, as an open the driver refuses.
    void failOpens(uint32_t count, uint32_t error = 31, uint32_t after = 0);
    void clearFaults();
    void setUsbErrorCount(uint32_t count);
    void hardwareStop(); // sets event 2 and ends the stream
    // Holds the stream's clock for `ms` once, as a stalled machine would; the clock then goes
    // on from where it stopped (counted in Status::lateTicks). False when no stream runs.
    bool stallClock(uint32_t ms);
    // The sample clock runs fast (positive) or slow by `ppm`, from its next tick on; false when
    // out of range.
    bool setClockPpm(int32_t ppm);
    void setInputSource(InputSource source);
    // What input `input` (0 = the first microphone) hears; false for an input out of range.
    bool setInputSignal(uint32_t input, const InputSignal& signal);
    // Meter entry `index` reports `value` until clearPinnedMeters(); false when out of range.
    bool pinMeter(uint32_t index, int32_t value);
    void clearPinnedMeters();
    // Device commands with `opcode` are refused with `error` (default 31) the next `count` times
    // (0: until restored or clearFaults()); the command log still keeps them.
    void failCommands(uint8_t opcode, uint32_t error = 0, uint32_t count = 0);
    void restoreCommands(uint8_t opcode);

    // Observation.
    Status status() const;
    std::vector<JournalEntry> journal() const;
    void clearJournal();
    std::vector<protocol::CommandPacket> commands() const; // every device command received
    protocol::MixerMatrix mixerMatrix() const;
    protocol::MeterBlock meters() const;
    std::string runtimeDir() const;

    // Configuration that the panel normally changes through requests.
    void setModel(uint32_t code);
    void setChannels(uint32_t inputs, uint32_t outputs);
    void setSampleRate(uint32_t hz);
    void setBufferSize(uint32_t samples);
    void setUsbLatency(uint32_t frames);
    void setFirmware(const uint8_t bytes[protocol::kFirmwareVersionBytes]);
    bool setFirmwareText(const std::string& text); // as firmwareFromText; false when too long

    // Waits (bounded) until the stream has produced `periods` signals; false on time-out.
    bool waitForPeriods(uint64_t periods, uint32_t timeoutMs) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Text forms used by the daemon's ctl commands and by test failure messages.
std::string formatStatus(const Status& s);
std::string formatJournal(const std::vector<JournalEntry>& journal);
// The meter entries in use (inputs, outputs after the mix, playback), with dBFS.
std::string formatMeters(const protocol::MeterBlock& meters, const Status& s);
// Every non-zero cell of the eight matrices and the output gains, equal neighbours joined.
std::string formatMatrix(const protocol::MixerMatrix& matrix);
// "mic-volume" and the like for the opcodes the device knows, else "0x.."; parse takes either.
std::string commandName(uint8_t opcode);
bool parseCommandOpcode(const std::string& text, uint8_t& opcode);
const char* engineStateName(EngineState s);

} // namespace halvern::sim
