// The few system calls the simulator makes beyond the platform layer's bus server: waiting on
// several descriptors, a wake-up descriptor, absolute-deadline sleeps and descriptor checks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvern::sim::io {

// An eventfd that wakes a poll from another thread.
class WakeFd {
public:
    WakeFd();
    ~WakeFd();
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;
    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void signal();
    void drain();

private:
    int fd_ = -1;
};

struct PollItem {
    int fd = -1;
    bool ready = false; // readable, or hung up / in error (a read then tells which)
};
// Waits up to `timeoutMs` for any item; false when the wait itself failed.
bool pollReadable(std::vector<PollItem>& items, int timeoutMs);

// Sleeps until CLOCK_MONOTONIC reaches `deadlineNs` (interrupted sleeps resume).
void sleepUntilNs(uint64_t deadlineNs);

// Bounds how long a send on `fd` may block; false when the socket refused the limit.
bool limitSendTime(int fd, uint32_t ms);

// True when `fd` is an eventfd: the only kind of handle the device will ever write to.
bool isEventFd(int fd);

// Removes a socket or file; missing is fine.
void removePath(const std::string& path);
// Creates `path` (and parents) and restricts it to its owner.
bool makePrivateDirectory(const std::string& path);

} // namespace halvern::sim::io
