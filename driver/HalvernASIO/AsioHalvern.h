// The driver object a host creates: a thin COM shell over the driver's core, which answers the
// host's queries from the bus device and holds the state streaming and the panel pipes work on.
#pragma once

#include "com/com_base.h"
#include "driver_gate.h"
#include "host_callbacks.h"
#include "signal_tracker.h"
#include "stream_states.h"

#include <halvern/asio/iasio.h>

#include "halvern/platform/handle.h"
#include "halvern/protocol/bus_protocol.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace halvern::driver {

// What a host call came to. The core speaks of outcomes; the COM shell alone turns them into
// the interface's error codes.
enum class Outcome { Ok, NotPresent, HardwareFault, InvalidParameter, InvalidMode, NoClock };

// The driver without COM: the host interface's calls as plain member functions, on the
// interface's own records.
class DriverCore {
public:
    static constexpr int kMaxChannels = PreparedBuffers::kMaxChannels;
    // The largest half-buffer the shared areas hold for every channel.
    static constexpr int32_t kMaxBufferSize = 2048;
    static constexpr std::size_t kErrorTextSize = 128;

    DriverCore();
    ~DriverCore();
    DriverCore(const DriverCore&) = delete;
    DriverCore& operator=(const DriverCore&) = delete;

    ASIOBool init(void* sysHandle);
    void getDriverName(char* name);
    int32_t getDriverVersion();
    void getErrorMessage(char* string);
    Outcome start();
    Outcome stop();
    Outcome getChannels(int32_t* numInputChannels, int32_t* numOutputChannels);
    Outcome getLatencies(int32_t* inputLatency, int32_t* outputLatency);
    Outcome getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                          int32_t* granularity);
    Outcome canSampleRate(ASIOSampleRate sampleRate);
    Outcome getSampleRate(ASIOSampleRate* sampleRate);
    Outcome setSampleRate(ASIOSampleRate sampleRate);
    Outcome getClockSources(ASIOClockSource* clocks, int32_t* numSources);
    Outcome setClockSource(int32_t reference);
    Outcome getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp);
    Outcome getChannelInfo(ASIOChannelInfo* info);
    Outcome createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                          ASIOCallbacks* callbacks);
    Outcome disposeBuffers();
    Outcome controlPanel();
    Outcome future(int32_t selector, void* opt);
    Outcome outputReady();

    // Threads that are alive now (created and not yet returned), for tests and diagnostics.
    static int liveAudioThreads();
    static int liveListenerThreads();

private:
    // Tests reach what no host can: callbacks without a device, the events the thread waits on.
    friend struct AsioHalvernTestAccess;

    // Closes the device handle if one is open and opens the device anew; false (handle empty)
    // when no device can be opened. Callers hold deviceMutex_ from the reopen to the last
    // request on the handle.
    bool reopenDevice();
    void closeDevice();
    // One request on the freshly opened device; false with the system's last error.
    bool request(uint32_t code, void* out, uint32_t outLen, uint32_t* returned = nullptr);
    // The size and rate the device streams at, read fresh (failures traced); the rate is also
    // kept as the driver's record.
    bool readDeviceBufferSize(int32_t& frames, const char* noDeviceTrace = "句柄无效！！！！\n");
    bool readDeviceSampleRate(double& rate);
    // Ok for exactly the rate the device runs at, NoClock for any other.
    Outcome acceptDeviceRate(ASIOSampleRate sampleRate);

    using AsioMessageFn = HostCallbacks::AsioMessageFn;

    // Streaming (asio_streaming.cpp).
    Outcome stopStreaming(bool onAudioThread);
    void timerOn();
    void timerOff();
    // `gate` is the thread's: after the host's callback it tells whether the object still lives.
    // `signal` is the device's number of the half's signal since start.
    void bufferSwitch(int32_t index, int64_t signal, ASIOTime* handed, const DriverGate& gate);
    double periodNs() const;
    void hardwareStop();
    static uint32_t audioThreadMain(void* arg);
    // What the audio thread keeps from one wait to the next, and what one wait ended with.
    struct AudioLoop {
        SignalTracker tracker;
        // The record handed to bufferSwitchTimeInfo: on the thread's stack, so that it stays
        // valid for the whole callback whatever happens to the driver object meanwhile.
        ASIOTime handed{};
        int failedWaits = 0;
        int failedProbes = 0;
        int quietWaits = 0;
        bool quietResetAsked = false;
    };
    struct AudioWake {
        int32_t next = 0; // the half the wait looked for first
        uint32_t result = 0;
        bool alreadySet = false; // found set by the look before the wait
        uint64_t began = 0;
        uint64_t ended = 0;
    };
    bool answerWake(AudioLoop& loop, const AudioWake& wake, const DriverGate& gate);

    // Panel pipes (asio_pipes.cpp).
    enum class StatusResult { NoPanel, Sent, WriteFailed, CloseFailed };
    StatusResult sendStatus(uint32_t running, uint32_t openWindow, bool traceConnected);
    void listenerStart();
    void listenerClose();
    void listenerCloseSelf();
    bool ownsListener() const;
    static uint32_t listenerThreadMain(void* arg);
    static void serveListenerPipe(platform::Handle pipe);
    static DriverCore* listenerOwner(DriverGate::Entry& entry);

    // This object's audio thread and what it shares with it.
    std::shared_ptr<AudioLink> audio_ = std::make_shared<AudioLink>();

    platform::Handle device_ = nullptr;
    // Two host threads may query at once: one closing the handle under the other's request
    // would take its reply. Never taken by the audio thread.
    std::recursive_mutex deviceMutex_;

    bool initialised_ = false;

    // The host's callbacks, copied by createBuffers; read by the audio thread and the listener.
    HostCallbacks callbacks_;

    // Panel pipe listener.
    BackgroundThread listener_;
    std::atomic<bool> listenerRun_{false};

    std::atomic<double> sampleRate_{44100.0};
    // The time-info record's rate and flags; the record itself is built on the audio thread
    // for each buffer switch from these.
    std::atomic<double> timeSampleRate_{0.0};
    std::atomic<uint32_t> timeFlags_{0};

    // Buffers handed to the host. A hardware stop empties them on the audio thread.
    PreparedBuffers buffers_;
    std::atomic<int32_t> blockFrames_{256};
    // The stream the device signals; its events are read by the audio thread while the host's
    // thread (or a hardware stop) may close them.
    RunningStream stream_;

    std::atomic<bool> timeInfoMode_{false};
    std::atomic<bool> timeCodeRead_{false};

    char errorText_[kErrorTextSize] = {};

    // Channel counts are read from the device once, at the first successful getChannels.
    bool channelsNotCached_ = true;
    int32_t cachedInputs_ = 0;
    int32_t cachedOutputs_ = 0;
};

// The COM object: the identity, the interfaces and the error codes, over the core.
class AsioHalvern : public IASIO, public com::CUnknown {
public:
    static constexpr int kMaxChannels = DriverCore::kMaxChannels;
    static constexpr int32_t kMaxBufferSize = DriverCore::kMaxBufferSize;
    static constexpr std::size_t kErrorTextSize = DriverCore::kErrorTextSize;

    explicit AsioHalvern(IUnknown* outer);
    ~AsioHalvern() override;

    // The factory table's creation function.
    static com::CUnknown* create(IUnknown* outer, HRESULT* result);

    // IUnknown: every face forwards to the owner.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IASIO
    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    int32_t getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
    ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override;
    ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) override;
    ASIOError setClockSource(int32_t reference) override;
    ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(int32_t selector, void* opt) override;
    ASIOError outputReady() override;

    static int liveAudioThreads() { return DriverCore::liveAudioThreads(); }
    static int liveListenerThreads() { return DriverCore::liveListenerThreads(); }

private:
    friend struct AsioHalvernTestAccess;
    DriverCore core_;
};

} // namespace halvern::driver
