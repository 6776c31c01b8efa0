// The few system calls the simulator makes beyond the platform layer's bus server: waiting on
// several descriptors, a wake-up descriptor, absolute-deadline sleeps and descriptor checks.
#pragma once

#include "halvern/platform/posix/bus_server.h"

#include <cstdint>
#include <string>
#include <vector>

namespace halvern::sim::io {

using platform::posix::BusReply;
using platform::posix::BusRequest;
using platform::posix::MappedFile;
using platform::posix::SharedArea;
using platform::posix::UniqueFd;

// A host's event as the device holds it: the eventfd that came with the registration.
using OwnedEvent = UniqueFd;
using EventRef = int;
constexpr EventRef kNoEvent = -1;
inline bool signalEvent(EventRef e) {
    return platform::posix::signalEventFd(e);
}

// An eventfd that wakes a poll from another thread.
class WakeFd;
using Wake = WakeFd;
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
inline bool isEvent(const OwnedEvent& e) {
    return isEventFd(e.get());
}

// The sample areas go with the shared-memory reply as descriptors.
inline void attachAreas(BusReply& r, const SharedArea& in, const SharedArea& out) {
    r.fds = {in.fd(), out.fd()};
}
inline void detachAreas(BusReply& r) {
    r.fds.clear();
}

// Removes a socket or file; missing is fine.
void removePath(const std::string& path);
// Creates `path` (and parents) with mode 0700; false when it is not then a private folder of
// this user (another user's, a link, or not ours to close).
bool makePrivateDirectory(const std::string& path);

} // namespace halvern::sim::io
