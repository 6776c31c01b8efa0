// Streaming through a driver as a host does: create buffers for the channels, start, play the
// loopback pattern and check what comes back, answer the driver's messages, and on a reset
// request stop, dispose, create the driver anew and go on.
#pragma once

#include "stream_stats.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace halvern::host {

struct StreamOptions {
    double seconds = 10.0;
    int32_t channels = 0; // per direction; 0: every channel the driver has
    bool timeInfo = true; // the answer to kAsioSupportsTimeInfo
    uint32_t slowCallbackUs = 0;
    int32_t bufferSize = 0;    // 0: the driver's preferred size; after a reset always preferred
    bool controlPanel = false; // call the driver's controlPanel() once while streaming
    std::string driverPath;    // empty: the registered driver `driverName`
    std::string driverName;
    std::string clsid;
};

struct StreamResult {
    bool started = false; // the first stream started
    std::string error;    // why it did not start, or did not start again after a reset

    std::string driverName;
    int32_t deviceInputs = 0, deviceOutputs = 0;
    int32_t inputs = 0, outputs = 0; // channels with buffers
    int32_t checked = 0;             // channels that loop back and are checked
    int32_t bufferSize = 0;
    int32_t preferredSize = 0;
    double sampleRate = 0.0;
    double seconds = 0.0; // how long it streamed
    bool timeInfo = false;
    bool timeInfoAsked = false; // the driver asked kAsioSupportsTimeInfo
    uint32_t slowCallbackUs = 0;
    bool memoryLocked = false; // the process's pages were locked for the stream

    uint64_t timeInfoSwitches = 0, plainSwitches = 0;
    uint64_t intact = 0, priming = 0, lost = 0, repeated = 0, corrupted = 0;
    int64_t loopDelay = -1;                // halves from what was written to what came back
    uint64_t resets = 0;                   // stop, dispose, initialise, create and start again
    uint64_t resetRequests = 0;            // kAsioResetRequest calls; those during a reset join it
    std::vector<uint64_t> segmentSwitches; // switches of each stream, one more after each reset
    std::vector<int32_t> segmentBufferSizes; // size and rate each stream ran at
    std::vector<double> segmentSampleRates;
    std::vector<double> segmentSeconds; // how long each stream ran, from its start to its stop
    double silentTailSeconds = 0.0;     // the last stream's time from its last switch to its stop
    bool controlPanelCalled = false;
    int32_t controlPanelResult = 0; // ASIOError of controlPanel(), when called
    uint64_t badIndex = 0;          // switches with a half index other than 0 or 1
    uint64_t positionErrors = 0;    // time info whose sample position did not advance
    uint64_t positionSkips = 0;     // positions ahead by whole buffers (the device went on)
    uint64_t rateChanges = 0;       // sampleRateDidChange calls
    uint64_t unrecorded = 0;        // switches beyond the record array (still checked)
    std::string latencyNote;        // why latency is unavailable
    StreamStats stats;

    double periodUs() const { return sampleRate > 0 ? bufferSize * 1e6 / sampleRate : 0.0; }
    // The switches the streams' time was worth at their sizes and rates.
    uint64_t expectedSwitches() const;
    // Streamed for its time (a stream that stops delivers too few switches), and every half
    // came back intact and in order.
    bool passed() const;
};

// The share of the expected switches a stream must deliver: a stream that stops part-way falls
// short of it, a loaded machine that starts a callback late does not.
constexpr double kMinSwitchShare = 0.75;

// When --control-panel calls the driver's control panel: this long after the stream started.
constexpr double kControlPanelAfterSeconds = 1.0;

// Streams until `options.seconds` have passed. `progress` (may be null) gets a line when each
// stream starts and on each reset.
StreamResult runStream(const StreamOptions& options, std::FILE* progress);

void printStreamReport(const StreamResult& r, std::FILE* out);
void printStreamJson(const StreamResult& r, std::FILE* out);

} // namespace halvern::host
