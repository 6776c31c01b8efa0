// A host for the driver's streaming and pipe tests: callbacks that record what the driver hands
// them, a simulator to stream from, and a panel that collects the driver's status messages.
#pragma once

#include "AsioHalvern.h"
#include "test_panel.h"
#include "test_support.h"
#include "wait_until.h"

#include "halvern/platform/pipe.h"
#include "halvern/platform/thread.h"
#include "halvern/protocol/bus_protocol.h"
#include "halvern/protocol/pipe_messages.h"
#include "halvern/sim/simulator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace halvern::driver {
// Reaches what no host can: the events the audio thread waits on.
struct AsioHalvernTestAccess {
    static platform::Handle swapEvent(AsioHalvern& d, int index, platform::Handle h) {
        return d.core_.stream_.events_[index].exchange(h);
    }
    static uint64_t skippedHalves(const AsioHalvern& d) {
        return d.core_.stream_.skippedHalves.load();
    }
    static bool running(const AsioHalvern& d) { return d.core_.stream_.running.load(); }
};
} // namespace halvern::driver

namespace halvern::test {

using driver::AsioHalvern;
using driver::AsioHalvernTestAccess;

struct DriverDeleter {
    void operator()(AsioHalvern* d) const { d->NonDelegatingRelease(); }
};
using DriverPtr = std::unique_ptr<AsioHalvern, DriverDeleter>;

inline DriverPtr makeDriver() {
    auto* d = new AsioHalvern(nullptr);
    d->NonDelegatingAddRef();
    return DriverPtr(d);
}

// What the host's callbacks saw. One recorder per test, reached through a global because the
// callbacks are plain functions.
struct HostRecord {
    struct Switch {
        int32_t index;
        ASIOBool direct;
        uint64_t position; // getSamplePosition inside the callback
        uint64_t stamp;    // its time stamp
        uint64_t given;    // signals the device had given when the callback ran (0: unknown)
        bool timeInfo;
        ASIOTime time;
    };
    std::mutex mutex;
    std::vector<Switch> switches;
    std::vector<int32_t> messages; // asioMessage selectors, in order
    std::vector<double> rateChanges;
    std::atomic<int32_t> timeInfoAnswer{0};
    // The callback of switch number stallAt (0-based) takes stallMs: a host that falls behind.
    std::atomic<int> stallAt{-1};
    std::atomic<int> stallMs{0};
    // Every callback takes holdUs: a host that keeps up with little to spare.
    std::atomic<int> holdUs{0};
    // The device's count of signals given (the simulator's signal-times record), if mapped.
    std::atomic<const uint64_t*> deviceCount{nullptr};
    std::atomic<AsioHalvern*> driver{nullptr};

    std::size_t switchCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return switches.size();
    }
    std::vector<Switch> switchesCopy() {
        std::lock_guard<std::mutex> lock(mutex);
        return switches;
    }
    int count(int32_t selector) {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (int32_t s : messages)
            n += s == selector ? 1 : 0;
        return n;
    }
};

inline HostRecord*& currentHost() {
    static HostRecord* host = nullptr;
    return host;
}

inline void recordSwitch(int32_t index, ASIOBool direct, ASIOTime* time) {
    HostRecord* h = currentHost();
    if (h == nullptr)
        return;
    const uint64_t* given = h->deviceCount.load();
    HostRecord::Switch s{
        index,           direct, 0, 0, given ? __atomic_load_n(given, __ATOMIC_ACQUIRE) : 0,
        time != nullptr, {}};
    if (time != nullptr)
        s.time = *time;
    if (AsioHalvern* d = h->driver.load()) {
        ASIOSamples pos{};
        ASIOTimeStamp stamp{};
        d->getSamplePosition(&pos, &stamp);
        s.position = uint64_t(pos.hi) << 32 | pos.lo;
        s.stamp = uint64_t(stamp.hi) << 32 | stamp.lo;
    }
    std::size_t number = 0;
    {
        std::lock_guard<std::mutex> lock(h->mutex);
        number = h->switches.size();
        h->switches.push_back(s);
    }
    if (int(number) == h->stallAt.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(h->stallMs.load()));
    if (const int us = h->holdUs.load())
        std::this_thread::sleep_for(std::chrono::microseconds(us));
}

inline void hostBufferSwitch(int32_t index, ASIOBool direct) {
    recordSwitch(index, direct, nullptr);
}
inline ASIOTime* hostBufferSwitchTimeInfo(ASIOTime* time, int32_t index, ASIOBool direct) {
    recordSwitch(index, direct, time);
    return time;
}
inline void hostSampleRateDidChange(ASIOSampleRate rate) {
    if (HostRecord* h = currentHost()) {
        std::lock_guard<std::mutex> lock(h->mutex);
        h->rateChanges.push_back(rate);
    }
}
inline int32_t hostAsioMessage(int32_t selector, int32_t, void*, double*) {
    HostRecord* h = currentHost();
    if (h == nullptr)
        return 0;
    {
        std::lock_guard<std::mutex> lock(h->mutex);
        h->messages.push_back(selector);
    }
    return selector == kAsioSupportsTimeInfo ? h->timeInfoAnswer.load() : 0;
}

inline ASIOCallbacks hostCallbacks() {
    return ASIOCallbacks{&hostBufferSwitch, &hostSampleRateDidChange, &hostAsioMessage,
                         &hostBufferSwitchTimeInfo};
}

// Connects to the driver's listener as the panel's settings dialog does: open, write, close.
// The listener creates its pipe on its own thread, so the first tries may find no pipe yet.
inline bool signalDriver(const std::string& payload) {
    platform::Handle client = nullptr;
    waitUntil([&] {
        client = platform::openPipeClient(protocol::kPanelToAsioPipe);
        return platform::isValid(client);
    });
    if (!platform::isValid(client))
        return false;
    uint32_t written = 0;
    if (!payload.empty())
        platform::writePipe(client, payload.data(), uint32_t(payload.size()), &written);
    return platform::closePipeClient(client);
}

class StreamingTest : public ::testing::Test {
protected:
    void SetUp() override { currentHost() = &host; }
    void TearDown() override {
        driver.reset();
        // Every thread the driver started has ended with it.
        EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveAudioThreads() == 0; }));
        EXPECT_TRUE(waitUntil([] { return AsioHalvern::liveListenerThreads() == 0; }));
        sim.reset();
        currentHost() = nullptr;
    }

    sim::Simulator& startSim(uint32_t bufferSize = 256) {
        sim::SimConfig c;
        c.runtimeDir = dir.path();
        c.bufferSize = bufferSize;
        sim = std::make_unique<sim::Simulator>(c);
        EXPECT_TRUE(sim->start()) << sim->error();
        return *sim;
    }

    AsioHalvern& newDriver() {
        driver = makeDriver();
        host.driver = driver.get();
        return *driver;
    }

    // Buffers for inputs 0 and 1 and output 0.
    ASIOError createThree(int32_t bufferSize = 256) {
        infos[0] = ASIOBufferInfo{ASIOTrue, 0, {nullptr, nullptr}};
        infos[1] = ASIOBufferInfo{ASIOTrue, 1, {nullptr, nullptr}};
        infos[2] = ASIOBufferInfo{ASIOFalse, 0, {nullptr, nullptr}};
        callbacks = hostCallbacks();
        return driver->createBuffers(infos, 3, bufferSize, &callbacks);
    }

    std::size_t countRequests(uint32_t code) {
        std::size_t n = 0;
        for (const auto& e : sim->journal())
            n += e.code == code ? 1 : 0;
        return n;
    }

    TempRuntimeDir dir;
    HostRecord host;
    std::unique_ptr<sim::Simulator> sim;
    DriverPtr driver;
    ASIOBufferInfo infos[3] = {};
    ASIOCallbacks callbacks{};
};

} // namespace halvern::test
