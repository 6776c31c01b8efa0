// Windows only: the simulated bus device as a named pipe, \\.\pipe\HalvernAudioBusN, served by
// halvern-bus-sim.exe where no HalvernAudioBus device is present. The client side is
// deviceIoControl() in bus_device.h; the server side lives in the simulator.
//
// Message-mode pipe, one message each way, little-endian:
//   open:    on each new connection the device sends first: magic "HBOP" u32, error u32
//            (0: opened; otherwise the error the open fails with, and the connection ends);
//   request: magic "HBRQ" u32, code u32, input length u32, output capacity u32, tag u32,
//            input bytes; the 24 input bytes of IOCTL_ASIO_SET_EVENTS are the three event
//            handles as the client process holds them (the device duplicates them);
//   reply:   magic "HBRP" u32, tag u32 (the request's), success u32 (0/1), error code u32,
//            bytes returned u32, output bytes, then attachments: for
//            IOCTL_ASIO_GET_SHARED_MEMORY the names of the input and output file mappings,
//            each ended by a zero, whose views the client puts in reply bytes 0 to 15.
// The tag lets a client that gave up waiting skip a late reply instead of taking it for the
// answer to its next request. Any malformed message closes that connection and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace halvern::platform::win32 {

constexpr uint32_t kPipeRequestMagic = 0x51524248; // "HBRQ"
constexpr uint32_t kPipeReplyMagic = 0x50524248;   // "HBRP"
constexpr uint32_t kPipeOpenMagic = 0x504F4248;    // "HBOP"
constexpr std::size_t kPipeOpenVerdictSize = 8;
constexpr std::size_t kPipeRequestHeaderSize = 20;
constexpr std::size_t kPipeReplyHeaderSize = 20;
constexpr std::size_t kPipeMaxRequestInput = 0x10300 + 64;
constexpr std::size_t kPipeMaxReplyOutput = 0x10000 + 64;
constexpr std::size_t kPipeMaxAttachments = 512;
constexpr uint32_t kPipeBufferBytes = 0x20000;

constexpr const wchar_t* kSimulatedBusPrefix = L"\\\\.\\pipe\\HalvernAudioBus";
constexpr int kSimulatedBusCount = 16;

inline std::wstring simulatedBusPipeName(int index) {
    return kSimulatedBusPrefix + std::to_wstring(index);
}
// The control pipe of the daemon serving device `index`: text commands, one per connection.
inline std::wstring simulatorControlPipeName(int index) {
    return simulatedBusPipeName(index) + L".ctl";
}
// The file mappings of device `index`: "input", "output" and "timing" (the signal times).
inline std::wstring simulatedBusMappingName(int index, const wchar_t* what) {
    return L"Local\\HalvernAudioBus" + std::to_wstring(index) + L"." + what;
}

} // namespace halvern::platform::win32
