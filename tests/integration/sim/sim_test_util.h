// A simulator in a private runtime folder and a host-side handle on it, as the driver and the
// panel see the device: through the platform's bus client.
#pragma once

#include "test_support.h"

#include "halvern/platform/bus_device.h"
#include "halvern/platform/event.h"
#include "halvern/protocol/bus_protocol.h"
#include "halvern/sim/simulator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace halvern::sim::test {

inline std::wstring deviceName(int index) {
    return L"\\\\.\\HalvernAudioBus" + std::to_wstring(index);
}

// One open handle and the result of its last request.
struct Client {
    platform::Handle handle = platform::invalidHandle();
    uint32_t returned = 0;
    uint32_t error = 0;

    explicit Client(int index = 0) { open(index); }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool open(int index = 0) {
        close();
        handle = platform::openBusDeviceByName(deviceName(index).c_str());
        error = platform::isValid(handle) ? 0 : platform::lastError();
        return platform::isValid(handle);
    }
    void close() {
        if (platform::isValid(handle))
            platform::closeBusDevice(handle);
        handle = platform::invalidHandle();
    }
    bool call(uint32_t code, const void* in = nullptr, uint32_t inLen = 0, void* out = nullptr,
              uint32_t outLen = 0) {
        returned = 0xFFFFFFFFu;
        bool ok = platform::deviceIoControl(handle, code, in, inLen, out, outLen, &returned);
        error = ok ? 0 : platform::lastError();
        return ok;
    }
    // A request without input whose reply is one uint32; 0xFFFFFFFF when it failed.
    uint32_t get32(uint32_t code) {
        uint8_t out[4] = {};
        if (!call(code, nullptr, 0, out, 4))
            return 0xFFFFFFFFu;
        return protocol::getLe32(out);
    }
    bool set32(uint32_t code, uint32_t value) {
        uint8_t in[4];
        protocol::putLe32(in, value);
        return call(code, in, 4);
    }
};

// The host's side of a stream: three events, the shared areas and the start.
struct Host {
    Client& client;
    platform::Handle events[3] = {};
    uint8_t* inputArea = nullptr;
    uint8_t* outputArea = nullptr;

    explicit Host(Client& c) : client(c) {
        for (auto& e : events)
            e = platform::createEvent(false, false);
    }
    ~Host() {
        for (auto& e : events)
            if (platform::isValid(e))
                platform::closeHandle(e);
    }
    bool registerEvents() {
        protocol::EventRegistration reg;
        for (int i = 0; i < 3; ++i)
            reg.setHandle(std::size_t(i), reinterpret_cast<uint64_t>(events[i]));
        uint8_t reply = 1;
        return client.call(protocol::IOCTL_ASIO_SET_EVENTS, reg.bytes, sizeof reg.bytes, &reply, 1);
    }
    bool mapAreas() {
        protocol::SharedMemoryReply reply;
        if (!client.call(protocol::IOCTL_ASIO_GET_SHARED_MEMORY, nullptr, 0, reply.bytes,
                         sizeof reply.bytes))
            return false;
        inputArea = reinterpret_cast<uint8_t*>(reply.inputArea());
        outputArea = reinterpret_cast<uint8_t*>(reply.outputArea());
        return inputArea && outputArea;
    }
    bool start() {
        return registerEvents() && mapAreas() && client.call(protocol::IOCTL_ASIO_START);
    }
    bool stop() {
        uint8_t reply = 0;
        client.call(protocol::IOCTL_ASIO_SET_EVENTS, nullptr, 0, &reply, 1);
        return client.call(protocol::IOCTL_ASIO_STOP);
    }
    // Index of the event that came (0, 1, 2), or -1 on time-out.
    int wait(uint32_t timeoutMs) {
        uint32_t r = platform::waitForAny(events, 3, timeoutMs);
        return r < 3 ? int(r) : -1;
    }
    int32_t* input(uint32_t channel, uint32_t frames, uint32_t half) {
        return reinterpret_cast<int32_t*>(inputArea +
                                          protocol::halfBufferOffset(channel, frames, half));
    }
    int32_t* output(uint32_t channel, uint32_t frames, uint32_t half) {
        return reinterpret_cast<int32_t*>(outputArea +
                                          protocol::halfBufferOffset(channel, frames, half));
    }
};

// A started simulator in its own runtime folder.
class SimTest : public ::testing::Test {
protected:
    SimConfig config() const {
        SimConfig c;
        c.runtimeDir = dir.path();
        return c;
    }
    Simulator& startSim(const SimConfig& c) {
        sims.push_back(std::make_unique<Simulator>(c));
        EXPECT_TRUE(sims.back()->start()) << sims.back()->error();
        return *sims.back();
    }
    Simulator& startSim() { return startSim(config()); }

    halvern::test::TempRuntimeDir dir;
    std::vector<std::unique_ptr<Simulator>> sims;
};

} // namespace halvern::sim::test
