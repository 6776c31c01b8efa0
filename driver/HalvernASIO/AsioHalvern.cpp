#include "AsioHalvern.h"

#include "channel_names.h"
#include "driver_gate.h"
#include "driver_ids.h"
#include "driver_trace.h"

#include "halvern/platform/bus_device.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

namespace halvern::driver {

using namespace protocol;

namespace {

// How long the destructor lets a background thread finish a host callback.
constexpr uint32_t kThreadLeaveWaitMs = 2000;

ASIOError toAsioError(Outcome outcome) {
    switch (outcome) {
    case Outcome::Ok:
        return ASE_OK;
    case Outcome::NotPresent:
        return ASE_NotPresent;
    case Outcome::HardwareFault:
        return ASE_HWMalfunction;
    case Outcome::InvalidParameter:
        return ASE_InvalidParameter;
    case Outcome::InvalidMode:
        return ASE_InvalidMode;
    case Outcome::NoClock:
        return ASE_NoClock;
    }
    return ASE_HWMalfunction;
}

} // namespace

DriverCore::DriverCore() {
    audio_->gate.serve(this);
}

DriverCore::~DriverCore() {
    hostTrace("asio destructor called.\n");
    stop();
    disposeBuffers();
    sendStatus(0, 0, true);
    // The listener is ended, not only told to end: it reads this object.
    listenerRun_.store(false);
    listenerClose();
    callbacks_.clear();
    // The audio thread and the listener reach the object through the process-wide pointers:
    // withdraw them and let any thread still inside leave before the memory goes.
    if (!audio_->gate.withdraw(this, kThreadLeaveWaitMs))
        hostTrace("asio destructor: the audio thread is still in the host.\n");
    if (!gListenerGate.withdraw(this, kThreadLeaveWaitMs))
        hostTrace("asio destructor: the pipe listener is still in the host.\n");
    std::lock_guard<std::recursive_mutex> lock(deviceMutex_);
    closeDevice();
}

AsioHalvern::AsioHalvern(IUnknown* outer) : com::CUnknown(kDriverObjectName, outer) {}

// The core ends the stream, the listener and the device as it goes.
AsioHalvern::~AsioHalvern() = default;

com::CUnknown* AsioHalvern::create(IUnknown* outer, HRESULT* /*result*/) {
    // The object's audio link is allocated with it: a failure is a null object, as the
    // factory expects, never an exception across the interface.
    try {
        return new (std::nothrow) AsioHalvern(outer);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

HRESULT AsioHalvern::QueryInterface(REFIID riid, void** ppv) {
    return ownerQueryInterface(riid, ppv);
}
ULONG AsioHalvern::AddRef() {
    return ownerAddRef();
}
ULONG AsioHalvern::Release() {
    return ownerRelease();
}

HRESULT AsioHalvern::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    // ASIO asks for the driver interface under the driver's own class identifier.
    if (IsEqualGUID(riid, kHalvernAsioClsid))
        return getInterface(static_cast<IASIO*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

// ---------------------------------------------------------------------------------------------
// IASIO: each call is the core's

ASIOBool AsioHalvern::init(void* sysHandle) {
    return core_.init(sysHandle);
}

void AsioHalvern::getDriverName(char* name) {
    core_.getDriverName(name);
}

int32_t AsioHalvern::getDriverVersion() {
    return core_.getDriverVersion();
}

void AsioHalvern::getErrorMessage(char* string) {
    core_.getErrorMessage(string);
}

ASIOError AsioHalvern::start() {
    return toAsioError(core_.start());
}

ASIOError AsioHalvern::stop() {
    return toAsioError(core_.stop());
}

ASIOError AsioHalvern::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    return toAsioError(core_.getChannels(numInputChannels, numOutputChannels));
}

ASIOError AsioHalvern::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
    return toAsioError(core_.getLatencies(inputLatency, outputLatency));
}

ASIOError AsioHalvern::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                     int32_t* granularity) {
    return toAsioError(core_.getBufferSize(minSize, maxSize, preferredSize, granularity));
}

ASIOError AsioHalvern::canSampleRate(ASIOSampleRate sampleRate) {
    return toAsioError(core_.canSampleRate(sampleRate));
}

ASIOError AsioHalvern::getSampleRate(ASIOSampleRate* sampleRate) {
    return toAsioError(core_.getSampleRate(sampleRate));
}

ASIOError AsioHalvern::setSampleRate(ASIOSampleRate sampleRate) {
    return toAsioError(core_.setSampleRate(sampleRate));
}

ASIOError AsioHalvern::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
    return toAsioError(core_.getClockSources(clocks, numSources));
}

ASIOError AsioHalvern::setClockSource(int32_t reference) {
    return toAsioError(core_.setClockSource(reference));
}

ASIOError AsioHalvern::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
    return toAsioError(core_.getSamplePosition(sPos, tStamp));
}

ASIOError AsioHalvern::getChannelInfo(ASIOChannelInfo* info) {
    return toAsioError(core_.getChannelInfo(info));
}

ASIOError AsioHalvern::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                     int32_t bufferSize, ASIOCallbacks* callbacks) {
    return toAsioError(core_.createBuffers(bufferInfos, numChannels, bufferSize, callbacks));
}

ASIOError AsioHalvern::disposeBuffers() {
    return toAsioError(core_.disposeBuffers());
}

ASIOError AsioHalvern::controlPanel() {
    return toAsioError(core_.controlPanel());
}

ASIOError AsioHalvern::future(int32_t selector, void* opt) {
    return toAsioError(core_.future(selector, opt));
}

ASIOError AsioHalvern::outputReady() {
    return toAsioError(core_.outputReady());
}

// ---------------------------------------------------------------------------------------------
// Device access

void DriverCore::closeDevice() {
    if (platform::isValid(device_))
        platform::closeBusDevice(device_);
    device_ = nullptr;
}

bool DriverCore::reopenDevice() {
    closeDevice();
    platform::Handle h = platform::openBusDeviceByInterface();
    if (!platform::isValid(h))
        return false;
    device_ = h;
    return true;
}

bool DriverCore::request(uint32_t code, void* out, uint32_t outLen, uint32_t* returned) {
    return platform::deviceIoControl(device_, code, nullptr, 0, out, outLen, returned);
}

// ---------------------------------------------------------------------------------------------
// Identity and set-up

ASIOBool DriverCore::init(void* /*sysHandle*/) {
    hostTrace("asio init.\n");
    listenerRun_.store(true);
    if (initialised_)
        return ASIOTrue;
    stop();
    std::lock_guard<std::recursive_mutex> lock(deviceMutex_);
    if (!reopenDevice()) {
        hostTrace("无法打开HALVERN 声卡设备\n");
        // The host shows this text when it reports the failure to the user.
        std::snprintf(errorText_, sizeof errorText_, "No Halvern audio device is present.");
        return ASIOFalse;
    }
    errorText_[0] = '\0';
    initialised_ = true;
    hostTrace("Init Ok!\n");
    return ASIOTrue;
}

void DriverCore::getDriverName(char* name) {
    if (name == nullptr)
        return;
    std::snprintf(name, kAsioDriverNameSize, "%s", kDriverName);
}

int32_t DriverCore::getDriverVersion() {
    return kDriverVersion;
}

void DriverCore::getErrorMessage(char* string) {
    if (string == nullptr)
        return;
    // The host's buffer holds 124 bytes, less than our text field: cut to fit.
    const std::size_t n = strnlen(errorText_, kAsioErrorMessageSize - 1);
    std::memcpy(string, errorText_, n);
    string[n] = '\0';
}

// ---------------------------------------------------------------------------------------------
// Channels, buffer sizes, latencies

Outcome DriverCore::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    hostTrace("get Channels.\n");
    if (numInputChannels == nullptr || numOutputChannels == nullptr)
        return Outcome::InvalidParameter;
    if (!channelsNotCached_) {
        *numInputChannels = cachedInputs_;
        *numOutputChannels = cachedOutputs_;
        return Outcome::Ok;
    }
    channelsNotCached_ = true;
    std::lock_guard<std::recursive_mutex> lock(deviceMutex_);
    if (!reopenDevice()) {
        hostTrace("getChannels Halvern Handle is Failed....");
        return Outcome::HardwareFault;
    }
    uint8_t reply[8] = {};
    uint32_t returned = 0;
    if (!request(IOCTL_ASIO_GET_CHANNELS, reply, sizeof reply, &returned)) {
        hostTrace("send IOCTL_ASIO_GET_CHANNELS failed!!!!! 0x%x\n", platform::lastError());
        return Outcome::HardwareFault;
    }
    if (returned == 0)
        return Outcome::HardwareFault;
    // A host sizes its buffer tables by these counts; the driver serves at most kMaxChannels.
    const uint32_t inputs = getLe32(reply);
    const uint32_t outputs = getLe32(reply + 4);
    if (inputs > uint32_t(kMaxChannels) || outputs > uint32_t(kMaxChannels)) {
        hostTrace("getChannels: the device reports %u inputs and %u outputs\n", inputs, outputs);
        return Outcome::HardwareFault;
    }
    cachedInputs_ = static_cast<int32_t>(inputs);
    cachedOutputs_ = static_cast<int32_t>(outputs);
    channelsNotCached_ = false;
    *numInputChannels = cachedInputs_;
    *numOutputChannels = cachedOutputs_;
    return Outcome::Ok;
}

Outcome DriverCore::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
    hostTrace("getLatencies.\n");
    if (inputLatency == nullptr || outputLatency == nullptr)
        return Outcome::InvalidParameter;
    // The stored rate is never negative and at most a device's 32-bit rate, so these fit.
    const int32_t half = blockFrames_.load() / 2;
    const double rate = sampleRate_.load();
    *inputLatency = static_cast<int32_t>(rate * 2 / 1000 + half);
    *outputLatency = static_cast<int32_t>(rate * 3 / 1000 + half);
    return Outcome::Ok;
}

bool DriverCore::readDeviceBufferSize(int32_t& frames, const char* noDeviceTrace) {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex_);
    if (!reopenDevice()) {
        hostTrace("%s", noDeviceTrace);
        return false;
    }
    uint8_t reply[4] = {};
    if (!request(IOCTL_ASIO_GET_BUFFER_SIZE, reply, sizeof reply)) {
        hostTrace("Failed to get buffer size Failed: %d\n",
                  static_cast<int>(platform::lastError()));
        return false;
    }
    // A size the shared areas cannot hold is no size a host can use.
    const uint32_t size = getLe32(reply);
    if (size == 0 || size > uint32_t(kMaxBufferSize)) {
        hostTrace("The device reports a buffer size of %u\n", size);
        return false;
    }
    frames = static_cast<int32_t>(size);
    return true;
}

Outcome DriverCore::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                  int32_t* granularity) {
    hostTrace("getBufferSize.\n");
    if (minSize == nullptr || maxSize == nullptr || preferredSize == nullptr ||
        granularity == nullptr)
        return Outcome::InvalidParameter;
    int32_t frames = 0;
    if (!readDeviceBufferSize(frames))
        return Outcome::HardwareFault;
    // The device streams at the size the panel set and nothing else: offering a range would
    // let the host lay out its halves at a size the device never plays. Granularity 0 is the
    // interface's word for a fixed size.
    *minSize = frames;
    *maxSize = frames;
    *preferredSize = frames;
    *granularity = 0;
    return Outcome::Ok;
}

// ---------------------------------------------------------------------------------------------
// Sample rates and clocks

bool DriverCore::readDeviceSampleRate(double& rate) {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex_);
    if (!reopenDevice()) {
        hostTrace("句柄无效！！！！\n");
        return false;
    }
    uint8_t reply[4] = {};
    if (!request(IOCTL_AUDIO_GET_SAMPLE_RATE, reply, sizeof reply)) {
        hostTrace("Failed to get  Samplerate Failed: %d\n",
                  static_cast<int>(platform::lastError()));
        return false;
    }
    rate = static_cast<double>(getLe32(reply));
    sampleRate_.store(rate);
    return true;
}

Outcome DriverCore::acceptDeviceRate(ASIOSampleRate sampleRate) {
    // The device's clock is the only one there is and the panel sets it: any other rate would
    // be a promise the stream does not keep. A device reporting 0 has no rate to accept.
    double deviceRate = 0.0;
    if (!readDeviceSampleRate(deviceRate))
        return Outcome::HardwareFault;
    return deviceRate > 0.0 && sampleRate == deviceRate ? Outcome::Ok : Outcome::NoClock;
}

Outcome DriverCore::canSampleRate(ASIOSampleRate sampleRate) {
    return acceptDeviceRate(sampleRate);
}

Outcome DriverCore::getSampleRate(ASIOSampleRate* sampleRate) {
    hostTrace("getSampleRate.\n");
    if (sampleRate == nullptr)
        return Outcome::InvalidParameter;
    double rate = 0.0;
    if (!readDeviceSampleRate(rate))
        return Outcome::HardwareFault;
    *sampleRate = rate;
    return Outcome::Ok;
}

Outcome DriverCore::setSampleRate(ASIOSampleRate sampleRate) {
    // NaN, infinities and negative rates never reach the conversion for the trace.
    if (!(sampleRate >= 0.0 && sampleRate <= 2147483647.0)) {
        hostTrace("ASIO  set Samplerate refused: %g\n", sampleRate);
        return Outcome::NoClock;
    }
    hostTrace("ASIO  set Samplerate:  %d", static_cast<int32_t>(sampleRate));
    // Only a rate other than the one in force is a change: a host that resets on the
    // notification and sets the same rate again would otherwise never settle.
    const double before = sampleRate_.load();
    const Outcome accepted = acceptDeviceRate(sampleRate);
    if (accepted != Outcome::Ok)
        return accepted;
    if (sampleRate == before)
        return Outcome::Ok;
    // The rate before the flag: a buffer switch that sees the change sees the new rate.
    sampleRate_.store(sampleRate);
    timeSampleRate_.store(sampleRate);
    timeFlags_.fetch_or(kSampleRateChanged, std::memory_order_release);
    if (callbacks_.present()) {
        if (auto* changed = callbacks_.sampleRateDidChange())
            changed(sampleRate);
    }
    return Outcome::Ok;
}

Outcome DriverCore::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
    hostTrace("getClockSources.\n");
    if (clocks == nullptr || numSources == nullptr)
        return Outcome::InvalidParameter;
    // The host's count is the room it gave: with none, the entry would land outside its array.
    if (*numSources < 1)
        return Outcome::InvalidParameter;
    clocks[0].index = 0;
    clocks[0].associatedChannel = -1;
    clocks[0].associatedGroup = -1;
    clocks[0].isCurrentSource = ASIOTrue;
    std::memset(clocks[0].name, 0, sizeof clocks[0].name);
    std::snprintf(clocks[0].name, sizeof clocks[0].name, "Internal");
    *numSources = 1;
    return Outcome::Ok;
}

Outcome DriverCore::setClockSource(int32_t reference) {
    hostTrace("setClockSource.\n");
    if (reference != 0)
        return Outcome::NotPresent;
    timeFlags_.fetch_or(kClockSourceChanged);
    return Outcome::Ok;
}

// ---------------------------------------------------------------------------------------------
// Channel information

Outcome DriverCore::getChannelInfo(ASIOChannelInfo* info) {
    hostTrace("getChannelInfo.\n");
    if (info == nullptr || info->channel < 0 || info->channel >= kMaxChannels)
        return Outcome::InvalidParameter;
    info->type = ASIOSTInt32LSB;
    uint32_t model = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(deviceMutex_);
        if (!reopenDevice()) {
            hostTrace("句柄无效！！！！\n");
            return Outcome::HardwareFault;
        }
        uint8_t reply[4] = {};
        if (!request(IOCTL_DEVICE_GET_PID, reply, sizeof reply)) {
            hostTrace("Failed to get  PID Failed: %d\n", static_cast<int>(platform::lastError()));
            return Outcome::HardwareFault;
        }
        model = getLe32(reply);
    }
    hostTrace("Halvern Device PID is: %d\n", static_cast<int>(model));

    const bool isInput = info->isInput != ASIOFalse;
    info->isActive = ASIOFalse;
    info->channelGroup = 0;
    info->isActive = buffers_.isActive(isInput, info->channel) ? ASIOTrue : ASIOFalse;
    channelName(model, isInput, info->channel, info->name, sizeof info->name);
    return Outcome::Ok;
}

// ---------------------------------------------------------------------------------------------
// Miscellaneous

Outcome DriverCore::future(int32_t selector, void* /*opt*/) {
    if (selector == kAsioEnableTimeCodeRead) {
        timeCodeRead_.store(true);
        return Outcome::NotPresent;
    }
    if (selector == kAsioDisableTimeCodeRead) {
        timeCodeRead_.store(false);
        return Outcome::NotPresent;
    }
    for (int32_t s : kFutureNotPresentSelectors) {
        if (s == selector)
            return Outcome::NotPresent;
    }
    return Outcome::InvalidParameter;
}

Outcome DriverCore::outputReady() {
    return Outcome::Ok;
}

} // namespace halvern::driver
