// The driver's background threads (an object's audio thread, the pipe listener): how they are
// started, counted while they live, and joined.
#pragma once

#include "com/com_base.h"
#include "halvern/platform/thread.h"

#include <atomic>
#include <cstdint>

namespace halvern::driver {

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

// One background thread's handle. The thread is created suspended, so that its handle is in
// place (and its priorities set) before it runs; its owner asks it to stop through a flag the
// thread polls, then takes the handle and joins it with a bounded wait. The thread's main
// function ends its LiveThreads count last of all.
class BackgroundThread {
public:
    // Null with lastError() (and no count taken) when the thread cannot be created.
    platform::Handle start(LiveThreads& live, platform::ThreadProc main, void* arg,
                           uint32_t* threadId) {
        live.begin();
        platform::Handle thread = platform::createThread(main, arg, true, threadId);
        if (!platform::isValid(thread)) {
            const uint32_t error = platform::lastError();
            live.end();
            platform::setLastError(error);
            return nullptr;
        }
        handle_.store(thread);
        return thread;
    }

    platform::Handle handle() const { return handle_.load(); }
    bool isCurrent() const {
        platform::Handle thread = handle_.load();
        return thread != nullptr && platform::isCurrentThread(thread);
    }
    // The handle given up to the caller, who closes it: null when there is no thread.
    platform::Handle take() { return handle_.exchange(nullptr); }
    // The same, only if the handle is still `thread` (no one else took it meanwhile).
    bool takeIf(platform::Handle thread) {
        return handle_.compare_exchange_strong(thread, nullptr);
    }

    // Waits for a taken thread (bounded; not on the thread itself, which ends as soon as this
    // returns), runs `beforeClose`, and closes the handle. True when the close succeeded.
    template <typename BeforeClose>
    static bool join(platform::Handle thread, uint32_t timeoutMs, BeforeClose beforeClose) {
        if (!platform::isCurrentThread(thread))
            platform::waitThread(thread, timeoutMs);
        beforeClose();
        return platform::closeThread(thread);
    }

private:
    std::atomic<platform::Handle> handle_{nullptr};
};

} // namespace halvern::driver
