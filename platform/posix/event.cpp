// Events on eventfd. An auto-reset event is consumed by the wait that reports it (the read
// clears the counter, so several sets collapse into one as on Windows); a manual-reset event
// stays readable until resetEvent().
#include "halvern/platform/event.h"
#include "halvern/platform/test_seams.h"

#include "posix_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

namespace halvern::platform {

namespace {

// Which fds are manual-reset events. The wait runs on the audio thread, so the common case is
// a lock-free bitmap; descriptors beyond it (rare) fall back to a locked set.
constexpr int kBitmapFds = 65536;
std::atomic<uint64_t> manualBits[kBitmapFds / 64];
std::mutex overflowMutex;
std::set<int> overflowManual;

void markManual(int fd, bool manual) {
    if (fd < kBitmapFds) {
        uint64_t bit = uint64_t(1) << (fd % 64);
        if (manual)
            manualBits[fd / 64].fetch_or(bit, std::memory_order_release);
        else
            manualBits[fd / 64].fetch_and(~bit, std::memory_order_release);
        return;
    }
    std::lock_guard<std::mutex> lock(overflowMutex);
    if (manual)
        overflowManual.insert(fd);
    else
        overflowManual.erase(fd);
}

bool isManual(int fd) {
    if (fd < kBitmapFds)
        return (manualBits[fd / 64].load(std::memory_order_acquire) >> (fd % 64)) & 1;
    std::lock_guard<std::mutex> lock(overflowMutex);
    return overflowManual.count(fd) != 0;
}

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool eventFdOf(Handle h, int& fd) {
    fd = isValid(h) ? posix::handleToFd(h) : -1;
    if (fd < 0) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

// Injected creation faults (test_seams.h).
std::atomic<int> creationsBeforeFault{0};
std::atomic<int> faultyCreations{0};

bool creationFails() {
    if (faultyCreations.load(std::memory_order_relaxed) <= 0)
        return false;
    if (creationsBeforeFault.load() > 0) {
        creationsBeforeFault.fetch_sub(1);
        return false;
    }
    faultyCreations.fetch_sub(1);
    return true;
}

} // namespace

namespace testing {
void failEventCreations(int count, int after) {
    faultyCreations.store(0);
    creationsBeforeFault.store(after);
    faultyCreations.store(count);
}
} // namespace testing

namespace posix {
void forgetEventFd(int fd) {
    if (fd >= 0)
        markManual(fd, false);
}
} // namespace posix

Handle createEvent(bool manualReset, bool initiallySet) {
    if (creationFails()) {
        setLastError(kErrorNotEnoughMemory);
        return invalidHandle();
    }
    int fd = posix::keepAboveStdio(eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (fd < 0) {
        setLastError(posix::errorFromErrno(errno));
        return invalidHandle();
    }
    markManual(fd, manualReset);
    return posix::fdToHandle(fd);
}

bool setEvent(Handle h) {
    int fd;
    if (!eventFdOf(h, fd))
        return false;
    // Publishes the setter's writes to a waiter of a manual event, which only polls (the read
    // of an auto-reset event already orders them); lets the thread sanitizer see it too.
    if (fd < kBitmapFds)
        manualBits[fd / 64].fetch_or(0, std::memory_order_release);
    uint64_t one = 1;
    if (write(fd, &one, sizeof one) == ssize_t(sizeof one) || errno == EAGAIN)
        return true; // EAGAIN: the counter is saturated, the event is set anyway
    setLastError(posix::errorFromErrno(errno));
    return false;
}

bool resetEvent(Handle h) {
    int fd;
    if (!eventFdOf(h, fd))
        return false;
    uint64_t value;
    if (read(fd, &value, sizeof value) == ssize_t(sizeof value) || errno == EAGAIN)
        return true;
    setLastError(posix::errorFromErrno(errno));
    return false;
}

uint32_t waitForAny(const Handle* handles, uint32_t count, uint32_t timeoutMs) {
    constexpr uint32_t kMaxObjects = 64; // MAXIMUM_WAIT_OBJECTS
    if (handles == nullptr || count == 0 || count > kMaxObjects) {
        setLastError(kErrorInvalidParameter);
        return kWaitFailed;
    }
    pollfd fds[kMaxObjects];
    for (uint32_t i = 0; i < count; ++i) {
        int fd;
        if (!eventFdOf(handles[i], fd))
            return kWaitFailed;
        fds[i] = pollfd{fd, POLLIN, 0};
    }
    const bool infinite = timeoutMs == kInfinite;
    const int64_t deadline = infinite ? 0 : nowMs() + timeoutMs;
    for (;;) {
        int wait = -1;
        if (!infinite) {
            int64_t left = deadline - nowMs();
            wait = left > 0 ? int(left) : 0;
        }
        int n = poll(fds, count, wait);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            setLastError(posix::errorFromErrno(errno));
            return kWaitFailed;
        }
        for (uint32_t i = 0; i < count && n > 0; ++i) {
            if (fds[i].revents & POLLNVAL) {
                setLastError(kErrorInvalidHandle);
                return kWaitFailed;
            }
            if (!(fds[i].revents & POLLIN))
                continue;
            if (isManual(fds[i].fd))
                return kWaitObject0 + i;
            uint64_t value;
            // Another waiter may have consumed it first; then look further or wait again.
            if (read(fds[i].fd, &value, sizeof value) == ssize_t(sizeof value))
                return kWaitObject0 + i;
        }
        if (!infinite && nowMs() >= deadline)
            return kWaitTimeout;
    }
}

} // namespace halvern::platform
