#include "device/audio_bus_device.h"

#include "halvern/platform/bus_device.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <exception>
#include <iostream>
#include <string>
#include <type_traits>
#include <vector>

namespace platform = halvern::platform;
using namespace halvern::protocol;

static_assert(std::is_same_v<platform::Handle, void*>, "the header keeps the handle as void*");

namespace {

// Shared by every device object, in the order open() tries them.
const wchar_t* const kDeviceNames[16] = {
    L"\\\\.\\HalvernAudioBus0",  L"\\\\.\\HalvernAudioBus1",  L"\\\\.\\HalvernAudioBus2",
    L"\\\\.\\HalvernAudioBus3",  L"\\\\.\\HalvernAudioBus4",  L"\\\\.\\HalvernAudioBus5",
    L"\\\\.\\HalvernAudioBus6",  L"\\\\.\\HalvernAudioBus7",  L"\\\\.\\HalvernAudioBus8",
    L"\\\\.\\HalvernAudioBus9",  L"\\\\.\\HalvernAudioBus10", L"\\\\.\\HalvernAudioBus11",
    L"\\\\.\\HalvernAudioBus12", L"\\\\.\\HalvernAudioBus13", L"\\\\.\\HalvernAudioBus14",
    L"\\\\.\\HalvernAudioBus15",
};

// The open progress goes to the wide standard output. On Windows that is std::wcout; elsewhere
// the text is written as UTF-8 bytes, because a wide write would fix the C stdout stream to wide
// characters for the rest of the process and every later narrow write to it would be lost.
void writeWideLine(const std::wstring& line) {
#ifdef _WIN32
    std::wcout << line << std::endl;
#else
    std::string bytes;
    for (wchar_t wc : line) {
        auto c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            bytes += char(c);
        } else if (c < 0x800) {
            bytes += char(0xC0 | (c >> 6));
            bytes += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes += char(0xE0 | (c >> 12));
            bytes += char(0x80 | ((c >> 6) & 0x3F));
            bytes += char(0x80 | (c & 0x3F));
        } else {
            bytes += char(0xF0 | (c >> 18));
            bytes += char(0x80 | ((c >> 12) & 0x3F));
            bytes += char(0x80 | ((c >> 6) & 0x3F));
            bytes += char(0x80 | (c & 0x3F));
        }
    }
    std::cout << bytes << std::endl;
#endif
}

void reportFailure(const char* prefix, const char* what) {
    std::cerr << prefix << (what && *what ? what : "Unknown error") << std::endl;
}

} // namespace

AudioBusDevice::AudioBusDevice() : handle_(platform::invalidHandle()) {}

AudioBusDevice::~AudioBusDevice() {
    close();
}

bool AudioBusDevice::open() {
    close(); // a second open must not leak the first handle
    for (const wchar_t* name : kDeviceNames) {
        platform::Handle h = platform::openBusDeviceByName(name);
        if (!platform::isValid(h)) {
            writeWideLine(std::wstring(L"Open device ") + name + L" failed, error: " +
                          std::to_wstring(platform::lastError()));
            continue;
        }
        handle_ = h;
        writeWideLine(std::wstring(L"Open device ") + name + L" success!");
        return true;
    }
    return false;
}

void AudioBusDevice::close() {
    if (isOpen())
        platform::closeBusDevice(handle_);
    handle_ = platform::invalidHandle();
}

bool AudioBusDevice::isOpen() const {
    return platform::isValid(handle_);
}

bool AudioBusDevice::request(uint32_t code, const void* in, uint32_t inLen, void* out,
                             uint32_t outLen) {
    if (!isOpen())
        return false;
    return platform::deviceIoControl(handle_, code, in, inLen, out, outLen, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Plain requests

bool AudioBusDevice::setSampleRate(uint32_t hz) {
    uint8_t in[4];
    putLe32(in, hz);
    return request(IOCTL_AUDIO_SET_SAMPLE_RATE, in, sizeof in, nullptr, 0);
}

uint32_t AudioBusDevice::sampleRate() {
    uint8_t out[4] = {};
    if (!request(IOCTL_AUDIO_GET_SAMPLE_RATE, nullptr, 0, out, sizeof out))
        return 0;
    return getLe32(out);
}

bool AudioBusDevice::setBufferSize(uint32_t samples) {
    uint8_t in[4];
    putLe32(in, samples);
    return request(IOCTL_AUDIO_SET_BUFFER_SIZE, in, sizeof in, nullptr, 0);
}

bool AudioBusDevice::getBufferSize(uint32_t& samples) {
    uint8_t out[4] = {};
    if (!request(IOCTL_AUDIO_GET_BUFFER_SIZE, nullptr, 0, out, sizeof out))
        return false;
    samples = getLe32(out);
    qDebug() << "Buffer size:" << samples;
    return true;
}

bool AudioBusDevice::setUsbLatency(uint32_t frames) {
    uint8_t in[4];
    putLe32(in, frames);
    return request(IOCTL_AUDIO_SET_USB_LATENCY, in, sizeof in, nullptr, 0);
}

bool AudioBusDevice::getUsbLatency(uint32_t& frames) {
    uint8_t out[4] = {};
    if (!request(IOCTL_AUDIO_GET_USB_LATENCY, nullptr, 0, out, sizeof out))
        return false;
    frames = getLe32(out);
    return true;
}

bool AudioBusDevice::getDevicePid(uint32_t& code) {
    uint8_t out[4] = {};
    if (!request(IOCTL_DEVICE_GET_PID, nullptr, 0, out, sizeof out))
        return false;
    code = getLe32(out);
    return true;
}

bool AudioBusDevice::readMeters(MeterBlock& block) {
    MeterBlock reply;
    if (!request(IOCTL_MIXER_GET_METERS, nullptr, 0, reply.bytes, MeterBlock::kSize))
        return false;
    block = reply;
    return true;
}

bool AudioBusDevice::writeMixerMatrix(const MixerMatrix& m) {
    return request(IOCTL_MIXER_SET_MATRIX, m.bytes, MixerMatrix::kSize, nullptr, 0);
}

bool AudioBusDevice::setWdmChannels(uint32_t count) {
    uint8_t in[4];
    putLe32(in, count);
    return request(IOCTL_AUDIO_SET_WDM_CHANNELS, in, sizeof in, nullptr, 0);
}

bool AudioBusDevice::initAudio() {
    return request(IOCTL_AUDIO_INIT, nullptr, 0, nullptr, 0);
}

bool AudioBusDevice::stopAudio() {
    return request(IOCTL_AUDIO_STOP, nullptr, 0, nullptr, 0);
}

bool AudioBusDevice::restartAudio() {
    return request(IOCTL_AUDIO_RESTART, nullptr, 0, nullptr, 0);
}

bool AudioBusDevice::enableSlowMode() {
    return request(IOCTL_AUDIO_ENABLE_SLOW_MODE, nullptr, 0, nullptr, 0);
}

bool AudioBusDevice::disableSlowMode() {
    return request(IOCTL_AUDIO_DISABLE_SLOW_MODE, nullptr, 0, nullptr, 0);
}

bool AudioBusDevice::readUsbStatus(UsbStatus& out) {
    if (!isOpen())
        return false;
    // The object's own record is the reply buffer; the caller always gets its latest contents.
    const bool ok =
        request(IOCTL_DEVICE_GET_USB_STATUS, nullptr, 0, status_.bytes, UsbStatusWire::kSize);
    const UsbStatus copy = UsbStatus::fromWire(status_);
    out.field0 = copy.field0;
    out.field1 = copy.field1;
    out.errorCount = copy.errorCount;
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Device commands

bool AudioBusDevice::sendCommand(const CommandPacket& packet) {
    // A command the interface refused, or one lost with the cable, is not done: callers show
    // and store only what the device took.
    return request(IOCTL_DEVICE_SEND_COMMAND, packet.bytes, CommandPacket::kSize, nullptr, 0);
}

template <typename Build> bool AudioBusDevice::command(const char* failurePrefix, Build build) {
    try {
        const CommandPacket packet = build();
        if (!isOpen())
            return false; // nothing was sent, so nothing was done
        return sendCommand(packet);
    } catch (const std::exception& e) {
        reportFailure(failurePrefix, e.what());
    } catch (...) {
        reportFailure(failurePrefix, nullptr);
    }
    return false;
}

bool AudioBusDevice::setMicVolume(uint8_t channel, uint16_t value) {
    return command("Failed to set mic volume: ", [&] { return micVolumeCommand(channel, value); });
}

bool AudioBusDevice::setOutVolume(uint8_t channel, uint16_t value) {
    return command("Failed to set out volume: ", [&] { return outVolumeCommand(channel, value); });
}

bool AudioBusDevice::switchMicInstrument(uint8_t channel, uint8_t on) {
    return command("Failed to switch mic instruction: ",
                   [&] { return micInstrumentCommand(channel, on); });
}

bool AudioBusDevice::setMic20dB(uint8_t channel, uint8_t on) {
    return command("Failed to set mic 20dB: ", [&] { return mic20dBCommand(channel, on); });
}

bool AudioBusDevice::setMic48V(uint8_t channel, uint8_t on) {
    return command("Failed to set mic 48V: ", [&] { return mic48VCommand(channel, on); });
}

bool AudioBusDevice::setOtgOn() {
    return command("Failed to set OTG On: ", [] { return otgOnCommand(); });
}

bool AudioBusDevice::setOtgOff() {
    return command("Failed to set OTG Off: ", [] { return otgOffCommand(); });
}

bool AudioBusDevice::upgradeFirmware() {
    return command("Failed to upgrade firmware: ", [] { return upgradeFirmwareCommand(); });
}

bool AudioBusDevice::getFirmwareVersion(uint8_t* out, uint32_t len) {
    const char* const prefix = "Failed to get firmware version: ";
    if (!out && len > 0) {
        reportFailure(prefix, "no buffer for the version");
        return false;
    }
    try {
        const CommandPacket query = firmwareVersionQuery();
        std::vector<uint8_t> reply(kQueryReplySize, 0);
        if (!request(IOCTL_DEVICE_QUERY_COMMAND, query.bytes, CommandPacket::kSize, reply.data(),
                     uint32_t(reply.size()))) {
            std::cerr << "Failed to read firmware version from device." << std::endl;
            return false;
        }
        const uint32_t n = std::min<uint32_t>(len, kFirmwareVersionBytes);
        std::copy_n(reply.begin(), n, out);
        return true;
    } catch (const std::exception& e) {
        reportFailure(prefix, e.what());
    } catch (...) {
        reportFailure(prefix, nullptr);
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Level and gain helpers

double AudioBusDevice::dbToGain(double dB) {
    if (std::isnan(dB) || dB <= -80.0)
        return 0.0; // nothing sensible to play at an undefined level: silence
    if (dB > 6.0)
        return 1.9952623149688795;
    return std::pow(10.0, dB / 20.0);
}

double AudioBusDevice::sampleToDb(int32_t v) {
    // In double, |INT32_MIN| is exact; in int32 it would overflow.
    return 20.0 * std::log10(std::fabs(double(v)) / 2147483647.0);
}
