// Requests and records of the HalvernAudioBus kernel driver, shared by the ASIO driver, the
// panel and the simulator. Wire bytes are little-endian by construction: every record is a
// byte array with explicit accessors, never a host-order struct copied as is.
#pragma once

#include "halvern/protocol/models.h" // the reply of IOCTL_DEVICE_GET_PID is a model code

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace halvern::protocol {

// CTL_CODE(0xFFDC, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr uint32_t ctlCode(uint32_t function) {
    return (0xFFDCu << 16) | (function << 2);
}

enum IoctlCode : uint32_t {
    IOCTL_ASIO_START = ctlCode(0x800),
    IOCTL_ASIO_STOP = ctlCode(0x801),
    IOCTL_ASIO_SET_EVENTS = ctlCode(0x802),
    IOCTL_ASIO_GET_BUFFER_SIZE = ctlCode(0x805),
    IOCTL_ASIO_GET_CHANNELS = ctlCode(0x806),
    IOCTL_AUDIO_GET_SAMPLE_RATE = ctlCode(0x808),
    IOCTL_ASIO_GET_SHARED_MEMORY = ctlCode(0x80C),
    IOCTL_AUDIO_SET_SAMPLE_RATE = ctlCode(0x80E),
    IOCTL_MIXER_SET_MATRIX = ctlCode(0x810),
    IOCTL_AUDIO_SET_BUFFER_SIZE = ctlCode(0x811),
    IOCTL_AUDIO_GET_BUFFER_SIZE = ctlCode(0x812),
    IOCTL_AUDIO_GET_USB_LATENCY = ctlCode(0x813),
    IOCTL_AUDIO_SET_USB_LATENCY = ctlCode(0x814),
    IOCTL_MIXER_GET_METERS = ctlCode(0x81D),
    IOCTL_AUDIO_STOP = ctlCode(0x81E),
    IOCTL_AUDIO_INIT = ctlCode(0x81F),
    IOCTL_AUDIO_RESTART = ctlCode(0x820),
    IOCTL_DEVICE_GET_PID = ctlCode(0x821),
    IOCTL_AUDIO_SET_WDM_CHANNELS = ctlCode(0x822),
    IOCTL_AUDIO_ENABLE_SLOW_MODE = ctlCode(0x824),
    IOCTL_AUDIO_DISABLE_SLOW_MODE = ctlCode(0x825),
    IOCTL_DEVICE_SEND_COMMAND = ctlCode(0x827),
    IOCTL_DEVICE_QUERY_COMMAND = ctlCode(0x828),
    IOCTL_DEVICE_GET_USB_STATUS = ctlCode(0x830),
};

static_assert(IOCTL_ASIO_START == 0xFFDC2000u);
static_assert(IOCTL_AUDIO_GET_SAMPLE_RATE == 0xFFDC2020u);
static_assert(IOCTL_MIXER_SET_MATRIX == 0xFFDC2040u);
static_assert(IOCTL_DEVICE_QUERY_COMMAND == 0xFFDC20A0u);
static_assert(IOCTL_DEVICE_GET_USB_STATUS == 0xFFDC20C0u);

// Every request code, for tables, round trips and the simulator's journal.
constexpr std::array<uint32_t, 24> kAllRequestCodes = {
    IOCTL_ASIO_START,
    IOCTL_ASIO_STOP,
    IOCTL_ASIO_SET_EVENTS,
    IOCTL_ASIO_GET_BUFFER_SIZE,
    IOCTL_ASIO_GET_CHANNELS,
    IOCTL_AUDIO_GET_SAMPLE_RATE,
    IOCTL_ASIO_GET_SHARED_MEMORY,
    IOCTL_AUDIO_SET_SAMPLE_RATE,
    IOCTL_MIXER_SET_MATRIX,
    IOCTL_AUDIO_SET_BUFFER_SIZE,
    IOCTL_AUDIO_GET_BUFFER_SIZE,
    IOCTL_AUDIO_GET_USB_LATENCY,
    IOCTL_AUDIO_SET_USB_LATENCY,
    IOCTL_MIXER_GET_METERS,
    IOCTL_AUDIO_STOP,
    IOCTL_AUDIO_INIT,
    IOCTL_AUDIO_RESTART,
    IOCTL_DEVICE_GET_PID,
    IOCTL_AUDIO_SET_WDM_CHANNELS,
    IOCTL_AUDIO_ENABLE_SLOW_MODE,
    IOCTL_AUDIO_DISABLE_SLOW_MODE,
    IOCTL_DEVICE_SEND_COMMAND,
    IOCTL_DEVICE_QUERY_COMMAND,
    IOCTL_DEVICE_GET_USB_STATUS,
};

// Name of a request code for journals and traces; "?" for an unknown code.
constexpr const char* requestName(uint32_t code) {
    switch (code) {
    case IOCTL_ASIO_START:
        return "IOCTL_ASIO_START";
    case IOCTL_ASIO_STOP:
        return "IOCTL_ASIO_STOP";
    case IOCTL_ASIO_SET_EVENTS:
        return "IOCTL_ASIO_SET_EVENTS";
    case IOCTL_ASIO_GET_BUFFER_SIZE:
        return "IOCTL_ASIO_GET_BUFFER_SIZE";
    case IOCTL_ASIO_GET_CHANNELS:
        return "IOCTL_ASIO_GET_CHANNELS";
    case IOCTL_AUDIO_GET_SAMPLE_RATE:
        return "IOCTL_AUDIO_GET_SAMPLE_RATE";
    case IOCTL_ASIO_GET_SHARED_MEMORY:
        return "IOCTL_ASIO_GET_SHARED_MEMORY";
    case IOCTL_AUDIO_SET_SAMPLE_RATE:
        return "IOCTL_AUDIO_SET_SAMPLE_RATE";
    case IOCTL_MIXER_SET_MATRIX:
        return "IOCTL_MIXER_SET_MATRIX";
    case IOCTL_AUDIO_SET_BUFFER_SIZE:
        return "IOCTL_AUDIO_SET_BUFFER_SIZE";
    case IOCTL_AUDIO_GET_BUFFER_SIZE:
        return "IOCTL_AUDIO_GET_BUFFER_SIZE";
    case IOCTL_AUDIO_GET_USB_LATENCY:
        return "IOCTL_AUDIO_GET_USB_LATENCY";
    case IOCTL_AUDIO_SET_USB_LATENCY:
        return "IOCTL_AUDIO_SET_USB_LATENCY";
    case IOCTL_MIXER_GET_METERS:
        return "IOCTL_MIXER_GET_METERS";
    case IOCTL_AUDIO_STOP:
        return "IOCTL_AUDIO_STOP";
    case IOCTL_AUDIO_INIT:
        return "IOCTL_AUDIO_INIT";
    case IOCTL_AUDIO_RESTART:
        return "IOCTL_AUDIO_RESTART";
    case IOCTL_DEVICE_GET_PID:
        return "IOCTL_DEVICE_GET_PID";
    case IOCTL_AUDIO_SET_WDM_CHANNELS:
        return "IOCTL_AUDIO_SET_WDM_CHANNELS";
    case IOCTL_AUDIO_ENABLE_SLOW_MODE:
        return "IOCTL_AUDIO_ENABLE_SLOW_MODE";
    case IOCTL_AUDIO_DISABLE_SLOW_MODE:
        return "IOCTL_AUDIO_DISABLE_SLOW_MODE";
    case IOCTL_DEVICE_SEND_COMMAND:
        return "IOCTL_DEVICE_SEND_COMMAND";
    case IOCTL_DEVICE_QUERY_COMMAND:
        return "IOCTL_DEVICE_QUERY_COMMAND";
    case IOCTL_DEVICE_GET_USB_STATUS:
        return "IOCTL_DEVICE_GET_USB_STATUS";
    }
    return "?";
}

// Little-endian helpers; used for every multi-byte field on the wire.
inline void putLe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
inline void putLe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
inline uint16_t getLe16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t getLe32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t getLe64(const uint8_t* p) {
    return uint64_t(getLe32(p)) | (uint64_t(getLe32(p + 4)) << 32);
}

// ---------------------------------------------------------------------------------------------
// Device commands (IOCTL_DEVICE_SEND_COMMAND / IOCTL_DEVICE_QUERY_COMMAND)

enum CommandOpcode : uint8_t {
    kOpOutVolume = 0x03,
    kOpMicVolume = 0x07,
    kOpMic20dB = 0x5A,
    kOpMic48V = 0x5B,
    kOpOtgOff = 0x5E,
    kOpOtgOn = 0x5F,
    kOpUpgradeFirmware = 0x60,
    kOpMicInstrument = 0x64,
    kOpFirmwareVersion = 0x65,
};

struct CommandPacket {
    static constexpr std::size_t kSize = 37;
    uint8_t bytes[kSize] = {};

    uint8_t opcode() const { return bytes[1]; }
    uint8_t param1() const { return bytes[3]; }
    uint8_t param2() const { return bytes[4]; }
    uint16_t value() const { return getLe16(bytes + 5); }

    static CommandPacket make(uint8_t opcode, uint8_t p1 = 0, uint8_t p2 = 0, uint16_t value = 0) {
        CommandPacket c;
        c.bytes[0] = 0x01;
        c.bytes[1] = opcode;
        c.bytes[3] = p1;
        c.bytes[4] = p2;
        putLe16(c.bytes + 5, value);
        return c;
    }
};
static_assert(sizeof(CommandPacket) == 37);

// One builder per opcode.
inline CommandPacket outVolumeCommand(uint8_t channel, uint16_t value) {
    return CommandPacket::make(kOpOutVolume, 2, channel, value);
}
inline CommandPacket micVolumeCommand(uint8_t channel, uint16_t value) {
    return CommandPacket::make(kOpMicVolume, 2, channel, value);
}
inline CommandPacket mic20dBCommand(uint8_t channel, uint8_t on) {
    return CommandPacket::make(kOpMic20dB, on, channel);
}
inline CommandPacket mic48VCommand(uint8_t channel, uint8_t on) {
    return CommandPacket::make(kOpMic48V, on, channel);
}
inline CommandPacket micInstrumentCommand(uint8_t channel, uint8_t on) {
    return CommandPacket::make(kOpMicInstrument, on, channel);
}
inline CommandPacket otgOnCommand() {
    return CommandPacket::make(kOpOtgOn);
}
inline CommandPacket otgOffCommand() {
    return CommandPacket::make(kOpOtgOff);
}
inline CommandPacket upgradeFirmwareCommand() {
    return CommandPacket::make(kOpUpgradeFirmware);
}
inline CommandPacket firmwareVersionQuery() {
    return CommandPacket::make(kOpFirmwareVersion);
}

// The caller's reply buffer of IOCTL_DEVICE_QUERY_COMMAND; the first 10 bytes of the
// firmware-version reply are the version.
constexpr std::size_t kQueryReplySize = 32;
constexpr std::size_t kFirmwareVersionBytes = 10;

// ---------------------------------------------------------------------------------------------
// Mixer matrix: eight 32 x 32 matrices of linear gains and 96 output gains, all doubles.

struct MixerMatrix {
    static constexpr std::size_t kMatrices = 8;
    static constexpr std::size_t kDim = 32;
    static constexpr std::size_t kOutputGains = 96;
    static constexpr std::size_t kDoubles = kMatrices * kDim * kDim + kOutputGains; // 8288
    static constexpr std::size_t kSize = kDoubles * 8;                              // 0x10300
    static constexpr std::size_t kOutputGainBase = kMatrices * kDim * kDim;         // 8192

    uint8_t bytes[kSize] = {};

    static constexpr std::size_t cellIndex(std::size_t m, std::size_t r, std::size_t c) {
        return 1024 * m + 32 * r + c;
    }
    double at(std::size_t index) const {
        uint64_t bits = getLe64(bytes + 8 * index);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    void setAt(std::size_t index, double value) {
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        putLe64(bytes + 8 * index, bits);
    }
    // Matrix m, row r (destination output), column c (source input).
    double cell(std::size_t m, std::size_t r, std::size_t c) const {
        return at(cellIndex(m, r, c));
    }
    void setCell(std::size_t m, std::size_t r, std::size_t c, double gain) {
        setAt(cellIndex(m, r, c), gain);
    }
    // Output gain k (0..95), double number 8192 + k.
    double outputGain(std::size_t k) const { return at(kOutputGainBase + k); }
    void setOutputGain(std::size_t k, double gain) { setAt(kOutputGainBase + k, gain); }
};
static_assert(MixerMatrix::kSize == 0x10300);
static_assert(sizeof(MixerMatrix) == 0x10300);

// ---------------------------------------------------------------------------------------------
// Level meters: 192 signed 32-bit levels, 2147483647 is full scale.

struct MeterBlock {
    static constexpr std::size_t kCount = 192;
    static constexpr std::size_t kSize = kCount * 4;
    static constexpr int32_t kFullScale = 2147483647;

    uint8_t bytes[kSize] = {};

    int32_t level(std::size_t i) const { return int32_t(getLe32(bytes + 4 * i)); }
    void setLevel(std::size_t i, int32_t v) { putLe32(bytes + 4 * i, uint32_t(v)); }
};
static_assert(sizeof(MeterBlock) == 768);

// ---------------------------------------------------------------------------------------------
// USB status: the packed 7-byte reply, and the record the callers keep.

struct UsbStatusWire {
    static constexpr std::size_t kSize = 7;
    uint8_t bytes[kSize] = {};
};
static_assert(sizeof(UsbStatusWire) == 7);

struct UsbStatus {
    uint16_t field0 = 0;
    uint8_t field1 = 0;
    uint32_t errorCount = 0;

    static UsbStatus fromWire(const UsbStatusWire& w) {
        UsbStatus s;
        s.field0 = getLe16(w.bytes);
        s.field1 = w.bytes[2];
        s.errorCount = getLe32(w.bytes + 3);
        return s;
    }
    UsbStatusWire toWire() const {
        UsbStatusWire w;
        putLe16(w.bytes, field0);
        w.bytes[2] = field1;
        putLe32(w.bytes + 3, errorCount);
        return w;
    }
};

// ---------------------------------------------------------------------------------------------
// Streaming set-up records.

// Input of IOCTL_ASIO_SET_EVENTS: three 64-bit event handles (half 0, half 1, hardware stop).
struct EventRegistration {
    static constexpr std::size_t kSize = 24;
    uint8_t bytes[kSize] = {};

    uint64_t handle(std::size_t i) const { return getLe64(bytes + 8 * i); }
    void setHandle(std::size_t i, uint64_t h) { putLe64(bytes + 8 * i, h); }
};
static_assert(sizeof(EventRegistration) == 24);

// Reply of IOCTL_ASIO_GET_SHARED_MEMORY: the addresses of the input and output sample areas
// in the calling process. Bytes 16..31, as the caller receives them, are the transport's: the
// bytes really mapped at each address (input, then output), whatever the device put there.
struct SharedMemoryReply {
    static constexpr std::size_t kSize = 32;
    uint8_t bytes[kSize] = {};

    uint64_t inputArea() const { return getLe64(bytes); }
    uint64_t outputArea() const { return getLe64(bytes + 8); }
    uint64_t inputAreaBytes() const { return getLe64(bytes + 16); }
    uint64_t outputAreaBytes() const { return getLe64(bytes + 24); }
    void setInputArea(uint64_t a) { putLe64(bytes, a); }
    void setOutputArea(uint64_t a) { putLe64(bytes + 8, a); }
};
static_assert(sizeof(SharedMemoryReply) == 32);

// Shared sample areas: 32-bit samples; channel c owns 2 x N samples from sample 2 x N x c,
// half 0 first. The areas are sized for the largest block and channel number.
constexpr uint32_t kMaxChannels = 128;
constexpr uint32_t kMaxBlockFrames = 2048;
constexpr std::size_t kSharedAreaBytes = std::size_t(kMaxChannels) * 2 * kMaxBlockFrames * 4;

constexpr std::size_t halfBufferOffset(uint32_t channel, uint32_t blockFrames, uint32_t half) {
    return std::size_t(8) * blockFrames * channel + std::size_t(4) * blockFrames * half;
}
static_assert(halfBufferOffset(1, 256, 0) == 2048);
static_assert(halfBufferOffset(1, 256, 1) == 3072);
static_assert(halfBufferOffset(0, 256, 1) == 1024);

} // namespace halvern::protocol
