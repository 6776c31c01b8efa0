// Messages between the panel and the ASIO driver, defined once for both deliverables.
#pragma once

#include "halvern/protocol/bus_protocol.h"

namespace halvern::protocol {

constexpr const char kPanelToAsioPipe[] = "\\\\.\\pipe\\HalvernPannelToASIO";
constexpr const wchar_t kPanelToAsioPipeW[] = L"\\\\.\\pipe\\HalvernPannelToASIO";
constexpr const char kAsioToPanelPipe[] = "\\\\.\\pipe\\HalvernASIOToPannel";
constexpr const wchar_t kAsioToPanelPipeW[] = L"\\\\.\\pipe\\HalvernASIOToPannel";

// The panel's reset signal: one byte; the connection itself is what the driver acts on.
constexpr uint8_t kResetSignal = '1';

// Driver to panel: five unsigned 32-bit little-endian fields.
struct StatusMessage {
    static constexpr std::size_t kSize = 20;
    uint32_t bufferSize = 0;
    uint32_t constant1024 = 1024;
    uint32_t constant44100 = 44100;
    uint32_t running = 0;
    uint32_t openWindow = 0;

    void toWire(uint8_t out[kSize]) const {
        putLe32(out, bufferSize);
        putLe32(out + 4, constant1024);
        putLe32(out + 8, constant44100);
        putLe32(out + 12, running);
        putLe32(out + 16, openWindow);
    }
    static StatusMessage fromWire(const uint8_t in[kSize]) {
        StatusMessage m;
        m.bufferSize = getLe32(in);
        m.constant1024 = getLe32(in + 4);
        m.constant44100 = getLe32(in + 8);
        m.running = getLe32(in + 12);
        m.openWindow = getLe32(in + 16);
        return m;
    }
};

} // namespace halvern::protocol
