// Threads on pthreads, with a start gate for suspended creation and bounded waits.
#include "halvern/platform/thread.h"

#include "halvern/platform/event.h"
#include "posix_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace halvern::platform {

namespace {

// What the handle and the running thread share; the last of the two to let go frees it.
struct ThreadState {
    std::mutex mutex;
    std::condition_variable changed;
    ThreadProc proc = nullptr;
    void* arg = nullptr;
    bool released = false;  // the start gate is open
    bool abandoned = false; // the handle was closed before the thread ever ran
    bool finished = false;
    uint32_t tid = 0;
    bool tidKnown = false;
    uint32_t exitCode = 0;
};

class ThreadRecord : public posix::Record {
public:
    ThreadRecord() : Record(Kind::Thread) {}
    bool close() override;
    pthread_t thread{};
    std::shared_ptr<ThreadState> state;
};

void* threadMain(void* p) {
    auto* holder = static_cast<std::shared_ptr<ThreadState>*>(p);
    std::shared_ptr<ThreadState> state = std::move(*holder);
    delete holder;
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->tid = uint32_t(syscall(SYS_gettid));
        state->tidKnown = true;
        state->changed.notify_all();
        state->changed.wait(lock, [&] { return state->released || state->abandoned; });
        if (state->abandoned) {
            state->finished = true;
            state->changed.notify_all();
            return nullptr;
        }
    }
    uint32_t code = state->proc(state->arg);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->exitCode = code;
    state->finished = true;
    state->changed.notify_all();
    return nullptr;
}

bool ThreadRecord::close() {
    posix::unregisterRecord(this);
    bool finished;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        // A thread never resumed would wait at its gate forever: let it end without running.
        if (!state->released)
            state->abandoned = true;
        state->changed.notify_all();
        finished = state->finished;
    }
    // Joining a finished thread only reaps it; a running one goes on and frees itself.
    if (finished)
        pthread_join(thread, nullptr);
    else
        pthread_detach(thread);
    delete this;
    return true;
}

ThreadRecord* threadRecord(Handle h) {
    auto* r = static_cast<ThreadRecord*>(posix::findRecord(h, posix::Record::Kind::Thread));
    if (!r)
        setLastError(kErrorInvalidHandle);
    return r;
}

// The pseudo-handle of the calling thread (GetCurrentThread) or a record's thread.
bool pthreadOf(Handle h, pthread_t& out) {
    if (h == currentThread()) {
        out = pthread_self();
        return true;
    }
    ThreadRecord* r = threadRecord(h);
    if (!r)
        return false;
    out = r->thread;
    return true;
}

} // namespace

Handle createThread(ThreadProc proc, void* arg, bool suspended, uint32_t* threadId) {
    if (proc == nullptr) {
        setLastError(kErrorInvalidParameter);
        return invalidHandle();
    }
    auto state = std::make_shared<ThreadState>();
    state->proc = proc;
    state->arg = arg;
    state->released = !suspended;
    auto* record = new ThreadRecord();
    record->state = state;
    auto* holder = new std::shared_ptr<ThreadState>(state);
    // Listed before it starts, so the thread may use its own handle from its first line.
    posix::registerRecord(record);
    int err = pthread_create(&record->thread, nullptr, threadMain, holder);
    if (err != 0) {
        posix::unregisterRecord(record);
        delete holder;
        delete record;
        setLastError(err == EAGAIN ? kErrorNotEnoughMemory : posix::errorFromErrno(err));
        return invalidHandle();
    }
    if (threadId) {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->changed.wait(lock, [&] { return state->tidKnown; });
        *threadId = state->tid;
    }
    return record;
}

bool resumeThread(Handle thread) {
    ThreadRecord* r = threadRecord(thread);
    if (!r)
        return false;
    std::lock_guard<std::mutex> lock(r->state->mutex);
    r->state->released = true;
    r->state->changed.notify_all();
    return true;
}

uint32_t waitThread(Handle thread, uint32_t timeoutMs) {
    ThreadRecord* r = threadRecord(thread);
    if (!r)
        return kWaitFailed;
    if (pthread_equal(r->thread, pthread_self())) {
        // Waiting for oneself can only end by the time-out; an endless one would never end.
        if (timeoutMs == kInfinite) {
            setLastError(kErrorInvalidParameter);
            return kWaitFailed;
        }
        sleepMs(timeoutMs);
        return kWaitTimeout;
    }
    std::shared_ptr<ThreadState> state = r->state;
    std::unique_lock<std::mutex> lock(state->mutex);
    auto done = [&] { return state->finished; };
    if (timeoutMs == kInfinite) {
        state->changed.wait(lock, done);
        return kWaitObject0;
    }
    return state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done) ? kWaitObject0
                                                                                     : kWaitTimeout;
}

bool closeThread(Handle thread) {
    ThreadRecord* r = threadRecord(thread);
    return r ? r->close() : false;
}

bool isCurrentThread(Handle thread) {
    if (thread == currentThread())
        return true;
    auto* r = static_cast<ThreadRecord*>(posix::findRecord(thread, posix::Record::Kind::Thread));
    return r && pthread_equal(r->thread, pthread_self());
}

uint32_t currentThreadId() {
    return uint32_t(syscall(SYS_gettid));
}

namespace {
// Linux has no priority class for a whole process; the audio thread's own SCHED_FIFO is what
// counts. The class is kept as a value, so that callers see what they set and give back.
std::atomic<uint32_t> gPriorityClass{kNormalPriorityClass};
} // namespace

bool setProcessRealtimePriority() {
    gPriorityClass.store(kRealtimePriorityClass);
    return true;
}

uint32_t processPriorityClass() {
    return gPriorityClass.load();
}

bool setProcessPriorityClass(uint32_t priorityClass) {
    gPriorityClass.store(priorityClass);
    return true;
}

bool disableThreadPriorityBoost(Handle thread) {
    pthread_t t;
    return pthreadOf(thread, t); // the Linux schedulers give no boost to switch off
}

namespace {
bool setFifoPriority(Handle thread, int priority) {
    pthread_t t;
    if (!pthreadOf(thread, t))
        return false;
    sched_param param{};
    param.sched_priority = priority;
    int err = pthread_setschedparam(t, SCHED_FIFO, &param);
    if (err != 0) {
        setLastError(err == EPERM ? kErrorAccessDenied : posix::errorFromErrno(err));
        return false;
    }
    return true;
}
} // namespace

// One below the top, which belongs to the device's interrupt (below).
bool setThreadTimeCritical(Handle thread) {
    return setFifoPriority(thread, sched_get_priority_max(SCHED_FIFO) - 1);
}

bool setThreadInterruptPriority(Handle thread) {
    return setFifoPriority(thread, sched_get_priority_max(SCHED_FIFO));
}

bool setThreadAffinity(Handle thread, uint64_t mask) {
    pthread_t t;
    if (!pthreadOf(thread, t))
        return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; ++cpu)
        if (mask & (uint64_t(1) << cpu))
            CPU_SET(cpu, &set);
    if (mask == 0) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    int err = pthread_setaffinity_np(t, sizeof set, &set);
    if (err != 0) {
        setLastError(err == EPERM ? kErrorAccessDenied : kErrorInvalidParameter);
        return false;
    }
    return true;
}

uint32_t processorCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? uint32_t(n) : 1;
}

int deviceSignalProcessor() {
    const int count = int(std::min<uint32_t>(processorCount(), 64));
    if (const char* chosen = std::getenv("HALVERN_DEVICE_CPU")) {
        char* end = nullptr;
        const long cpu = std::strtol(chosen, &end, 10);
        if (end != chosen && *end == 0 && cpu >= 0 && cpu < count)
            return int(cpu);
    }
    // The last this process may use of the first four, where the audio thread's mask lets it
    // run; a container may not grant them all.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return std::min(count, 4) - 1;
    for (int cpu = std::min(count, 4) - 1; cpu >= 0; --cpu)
        if (CPU_ISSET(cpu, &allowed))
            return cpu;
    for (int cpu = count - 1; cpu >= 0; --cpu)
        if (CPU_ISSET(cpu, &allowed))
            return cpu;
    return -1;
}

Handle joinProAudioClass(uint32_t* taskIndex) {
    // No multimedia class scheduler here: a registration that stands for nothing, so that
    // callers follow the same path as on Windows.
    static int registration;
    if (taskIndex)
        *taskIndex = 0;
    return &registration;
}

bool leaveProAudioClass(Handle registration) {
    if (!isValid(registration)) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

bool lockProcessMemory() {
    return mlockall(MCL_CURRENT) == 0;
}

void unlockProcessMemory() {
    munlockall();
}

void sleepMs(uint32_t ms) {
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // namespace halvern::platform
