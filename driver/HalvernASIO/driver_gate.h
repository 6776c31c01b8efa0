// The pointer through which a background thread (an object's audio thread, the pipe
// listener) reaches the driver it serves, with a count of the threads using it right now. The
// destructor withdraws the pointer and waits until no thread is inside before the object may go;
// a thread that was inside a host callback all that time finds the pointer gone when it comes
// back and leaves without touching the object.
#pragma once

#include "background_thread.h"

#include "halvern/platform/thread.h"

#include <atomic>
#include <cstdint>

namespace halvern::driver {

class DriverCore;

class DriverGate {
public:
    void serve(DriverCore* driver) { driver_.store(driver); }
    DriverCore* current() const { return driver_.load(); }

    // Withdraws `driver` if it is the one served, then waits (bounded) until no other thread is
    // inside. True when every thread has left.
    bool withdraw(DriverCore* driver, uint32_t timeoutMs) {
        DriverCore* expected = driver;
        driver_.compare_exchange_strong(expected, nullptr);
        // The caller may itself be inside (a host that releases the driver from a callback).
        const int* mine = depth(false);
        const int own = mine != nullptr ? *mine : 0;
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
            if (int* d = gate_.depth(true))
                ++*d;
            driver_ = gate_.driver_.load();
        }
        ~Entry() {
            if (int* d = gate_.depth(false))
                --*d;
            gate_.inside_.fetch_sub(1);
        }
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;
        DriverCore* driver() const { return driver_; }

    private:
        DriverGate& gate_;
        DriverCore* driver_ = nullptr;
    };

    // Touches the calling thread's entry counts once, so that the real-time path never meets a
    // first use of thread-local storage.
    static void prepareThread() { threadSlots()[0].count += 0; }

private:
    // A background thread is inside its own gate only; a host thread inside a callback (which
    // runs on a background thread) may release a driver and so meet a second gate.
    static constexpr int kSlots = 4;
    struct Slot {
        const DriverGate* gate;
        int count;
    };
    // Not "slots": a macro in Qt code that includes this.
    static Slot* threadSlots() {
        static thread_local Slot entries[kSlots] = {};
        return entries;
    }
    // The calling thread's entry count for this gate; with `take`, a free slot is taken for it.
    int* depth(bool take) const {
        Slot* s = threadSlots();
        for (int i = 0; i < kSlots; ++i)
            if (s[i].gate == this && s[i].count > 0)
                return &s[i].count;
        if (!take)
            return nullptr;
        for (int i = 0; i < kSlots; ++i)
            if (s[i].count == 0) {
                s[i].gate = this;
                return &s[i].count;
            }
        return nullptr;
    }

    std::atomic<DriverCore*> driver_{nullptr};
    std::atomic<int> inside_{0};
};

// What a driver object shares with its own audio thread. It outlives the object, for a thread
// still in the host when the object goes; the thread runs while the run token holds its
// generation, so a thread of an earlier stream can neither run on nor stop a later one.
struct AudioLink {
    DriverGate gate;
    std::atomic<uint64_t> runToken{0};
    std::atomic<uint64_t> generations{0};
    BackgroundThread thread;
    std::atomic<uint32_t> taskIndex{0};
};

// The driver the pipe listener serves (asio_pipes.cpp). Each driver object has its own audio
// thread and gate (asio_streaming.cpp).
extern DriverGate gListenerGate;
// The buffer size of the last createBuffers in this process, as the status messages report it.
extern std::atomic<int32_t> gPanelBlockFrames;

} // namespace halvern::driver
