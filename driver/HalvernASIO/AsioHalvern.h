// The driver object a host creates: answers the host's queries from the bus device, and holds
// the state streaming and the panel pipes work on.
#pragma once

#include "asio/iasio.h"
#include "com/com_base.h"

#include "halvern/platform/handle.h"
#include "halvern/protocol/bus_protocol.h"

#include <atomic>
#include <cstdint>

namespace halvern::driver {

class AsioHalvern : public IASIO, public com::CUnknown {
public:
    static constexpr int kMaxChannels = 128;
    static constexpr int32_t kMinBufferSize = 32;
    static constexpr int32_t kMaxBufferSize = 2048;
    static constexpr int32_t kBufferGranularity = 16;
    static constexpr double kMaxSampleRate = 192000.0;
    static constexpr std::size_t kErrorTextSize = 128;

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

private:
    // Closes the device handle if one is open and opens the device anew; false (handle empty)
    // when no device can be opened.
    bool reopenDevice();
    void closeDevice();
    // One request on the freshly opened device; false with the system's last error.
    bool request(uint32_t code, void* out, uint32_t outLen, uint32_t* returned = nullptr);

    // Device and streaming events.
    platform::Handle device_ = nullptr;
    platform::Handle events_[3] = {nullptr, nullptr, nullptr};

    bool initialised_ = false;
    std::atomic<bool> running_{false};
    ASIOCallbacks* callbacks_ = nullptr;

    // Panel pipe listener.
    platform::Handle listenerThread_ = nullptr;
    std::atomic<bool> listenerRun_{false};

    // Time.
    double samplePosition_ = 0.0;
    double sampleRate_ = 44100.0;
    ASIOTime asioTime_{};
    ASIOTimeStamp systemTime_{};

    // Buffers handed to the host: for each entry its two half-buffers in the shared areas, and
    // the channel numbers that have buffers.
    void* inputBuffers_[kMaxChannels][2] = {};
    void* outputBuffers_[kMaxChannels][2] = {};
    protocol::SharedMemoryReply sharedMemory_{};
    int32_t inputChannelNumbers_[kMaxChannels] = {};
    int32_t outputChannelNumbers_[kMaxChannels] = {};
    int32_t numInputBuffers_ = 0;
    int32_t numOutputBuffers_ = 0;
    int32_t blockFrames_ = 256;
    int32_t toggle_ = 0;

    bool timeInfoMode_ = false;
    bool timeCodeRead_ = false;

    char errorText_[kErrorTextSize] = {};

    // Channel counts are read from the device once, at the first successful getChannels.
    bool channelsNotCached_ = true;
    int32_t cachedInputs_ = 0;
    int32_t cachedOutputs_ = 0;
};

} // namespace halvern::driver
