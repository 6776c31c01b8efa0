// The process-wide pointer through which a background thread (the audio thread, the pipe
// listener) reaches the driver it serves, with a count of the threads using it right now. The
// destructor withdraws the pointer and waits until no thread is inside before the object may go;
// a thread that was inside a host callback all that time finds the pointer gone when it comes
// back and leaves without touching the object.
#pragma once

#include "com/com_base.h"
#include "halvern/platform/thread.h"

#include <atomic>
#include <cstdint>

namespace halvern::driver {

class AsioHalvern;

class DriverGate {
public:
    static constexpr int kGates = 2;
    // Each gate has its own slot in the per-thread entry counts.
    explicit constexpr DriverGate(int slot) : slot_(slot) {}

    void serve(AsioHalvern* driver) { driver_.store(driver); }
    AsioHalvern* current() const { return driver_.load(); }

    // Withdraws `driver` if it is the one served, then waits (bounded) until no other thread is
    // inside. True when every thread has left.
    bool withdraw(AsioHalvern* driver, uint32_t timeoutMs) {
        AsioHalvern* expected = driver;
        driver_.compare_exchange_strong(expected, nullptr);
        // The caller may itself be inside (a host that releases the driver from a callback).
        const int own = depth(slot_);
        for (uint32_t waited = 0; inside_.load() > own; ++waited) {
            if (waited >= timeoutMs)
                return false;
            platform::sleepMs(1);
        }
        return true;
    }

    // One use of the driver by a background thread: null when there is none to serve.
    class Entry {
    public:
        explicit Entry(DriverGate& gate) : gate_(gate) {
            gate_.inside_.fetch_add(1);
            ++depth(gate_.slot_);
            driver_ = gate_.driver_.load();
        }
        ~Entry() {
            --depth(gate_.slot_);
            gate_.inside_.fetch_sub(1);
        }
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;
        AsioHalvern* driver() const { return driver_; }
        // After a host callback: is the driver still the one served (and so still alive)?
        bool stillServed() const { return gate_.driver_.load() == driver_; }

    private:
        DriverGate& gate_;
        AsioHalvern* driver_ = nullptr;
    };

    // Touches the calling thread's entry count once, so that the real-time path never meets a
    // first use of thread-local storage.
    static void prepareThread() { depth(0) = 0; }

private:
    static int& depth(int slot) {
        static thread_local int entries[kGates] = {};
        return entries[slot];
    }

    const int slot_;
    std::atomic<AsioHalvern*> driver_{nullptr};
    std::atomic<int> inside_{0};
};

// Background threads of one kind that are still running. A live thread holds the module like a
// server lock: its code must stay loaded until it has returned, even after the host has released
// every object.
class LiveThreads {
public:
    void begin() {
        count_.fetch_add(1);
        com::lockServer(true);
    }
    void end() {
        com::lockServer(false);
        count_.fetch_sub(1);
    }
    int count() const { return count_.load(); }

private:
    std::atomic<int> count_{0};
};

// The driver the audio thread serves (asio_streaming.cpp) and the one the pipe listener serves
// (asio_pipes.cpp).
extern DriverGate gAudioGate;
extern DriverGate gListenerGate;
// The buffer size of the last createBuffers in this process, as the status messages report it.
extern std::atomic<int32_t> gPanelBlockFrames;

} // namespace halvern::driver
