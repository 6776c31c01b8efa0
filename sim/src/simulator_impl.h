// The simulator's inside, shared by its parts: the request server (requests.cpp), the stream
// and the public interface (simulator.cpp).
#pragma once

#include "halvern/sim/simulator.h"

#include "sim_io.h"
#include "sim_signal.h"
#include "stream_clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace halvern::sim {

using io::BusReply;
using io::BusRequest;
using io::MappedFile;
using io::OwnedEvent;
using io::SharedArea;
using namespace protocol;

namespace detail {
inline constexpr std::size_t kJournalLimit = 10000;
// Inputs are kept whole for the newest requests (a test may want the matrix of each
// transfer); past this budget the oldest are cut to kJournalKeptInput bytes.
inline constexpr std::size_t kJournalInputBudget = std::size_t(32) << 20;
inline constexpr std::size_t kJournalKeptInput = 64;
inline constexpr std::size_t kCommandLimit = 10000;
inline constexpr uint32_t kErrorInvalidFunction = 1; // an unknown request code
inline constexpr uint32_t kMaxUsbLatency = 1024;
inline constexpr auto kServerOpTimeout = std::chrono::seconds(5);
// A client that stops reading its replies would otherwise hold the server thread, and with it
// every other client and the shutdown; its connection is dropped instead.
inline constexpr uint32_t kReplySendTimeoutMs = 2000;

ModelProfile clampProfile(ModelProfile p);
void trace(const std::string& text);
} // namespace detail

struct Simulator::Impl {
    explicit Impl(const SimConfig& c);

    // The transport (posix_server.cpp, win32_server.cpp): the device's name, its sample areas
    // and signal times, and the server thread that serves its connections.
    bool openTransport();  // under `mutex`; false with `error` set
    void closeTransport(); // after the server thread ended
    void serve();
    void closeListener();

    // Request handling (server thread).
    bool process(BusRequest& request, BusReply& reply); // false: no reply is sent
    void dispatch(BusRequest& rq, BusReply& reply);
    void applyCommand(const CommandPacket& c);
    bool waitSlow(uint32_t ms);
    void record(const BusRequest& rq, uint64_t timeNs, const BusReply& reply);

    // Streaming; all under `mutex`.
    void updateStreamLocked();
    void endStreamLocked(bool hardwareStop);
    void dropEventsLocked();

    // Server-thread operations requested by other threads.
    bool requestServerOp(std::unique_lock<std::mutex>& lock);
    // The answer to one new connection: 0, or the error of a refused open (ctl fail-opens).
    uint32_t takeOpenVerdict();

    SimConfig config;
    std::string runtime;
    std::string socketPath;
    std::string timingPath;

    mutable std::mutex mutex;
    std::condition_variable cv;

    // Device state.
    ModelProfile profile;
    uint32_t sampleRate;
    uint32_t bufferSize;
    uint32_t usbLatency;
    uint32_t wdmChannels = 0;
    bool slowMode = false;
    bool otgOn = true;
    bool upgradeRequested = false;
    EngineState engine = EngineState::Running;
    uint8_t firmware[kFirmwareVersionBytes] = {};
    int32_t clockPpm = 0;
    std::unique_ptr<MixerMatrix> matrix = std::make_unique<MixerMatrix>();
    std::deque<CommandPacket> commands;
    std::map<uint8_t, MicState> mics;
    std::map<uint8_t, uint16_t> outVolumes;
    uint32_t usbErrors = 0;

    // Journal.
    std::deque<JournalEntry> journal;
    std::size_t journalInputBytes = 0;
    std::size_t journalCutUpTo = 0; // entries before this index are already cut
    uint64_t nextSequence = 1;
    uint64_t requestCount = 0;

    // Faults.
    struct FailRule {
        uint32_t code;
        uint32_t error;
        uint32_t remaining; // 0: until cleared
    };
    std::vector<FailRule> failRules;
    std::map<uint32_t, uint32_t> slowRules; // code (0 any) -> ms
    uint32_t openRefusals = 0;              // the next opens that fail, with openRefusalError
    uint32_t openRefusalError = 31;
    uint32_t openRefusalsAfter = 0; // opens that still succeed before the refusals begin
    // Device commands that fail on demand, by opcode (the rule's code is not used).
    std::map<uint8_t, FailRule> commandFailRules;

    // Streaming.
    OwnedEvent events[3];
    bool eventsRegistered = false;
    bool asioStarted = false;
    StreamClock clock;
    std::atomic<int> inputSource;
    MixSnapshot mix;
    MeterLevels meters;
    uint64_t lastPeriods = 0;
    uint64_t lastLateTicks = 0;
    std::unique_ptr<SharedArea> inArea;
    std::unique_ptr<SharedArea> outArea;
    std::unique_ptr<MappedFile> timing;

    // Server.
    bool started = false;
    bool plugged = false;
    bool stopRequested = false;
    bool unplugPending = false;
    bool replugPending = false;
    uint64_t opRequested = 0;
    uint64_t opDone = 0;
    std::thread server;
    io::Wake wake;
#if defined(_WIN32)
    io::OwnedHandle listener; // the pipe instance that waits for the next open
#else
    io::UniqueFd listener; // owned by the server thread while it runs
#endif
    std::atomic<uint32_t> connections{0};
    std::string error;
};

} // namespace halvern::sim
