#include "posix_io.h"

#include "halvern/platform/runtime_dir.h"

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace halvern::sim::io {

WakeFd::WakeFd() {
    fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

WakeFd::~WakeFd() {
    if (fd_ >= 0)
        ::close(fd_);
}

void WakeFd::signal() {
    uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(fd_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void WakeFd::drain() {
    uint64_t value;
    ssize_t n;
    do {
        n = ::read(fd_, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
}

bool pollReadable(std::vector<PollItem>& items, int timeoutMs) {
    std::vector<pollfd> fds(items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        fds[i] = pollfd{items[i].fd, POLLIN, 0};
    int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n < 0 && errno != EINTR)
        return false;
    for (std::size_t i = 0; i < items.size(); ++i)
        items[i].ready = n > 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL));
    return true;
}

void sleepUntilNs(uint64_t deadlineNs) {
    timespec ts;
    ts.tv_sec = time_t(deadlineNs / 1000000000ull);
    ts.tv_nsec = long(deadlineNs % 1000000000ull);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

bool limitSendTime(int fd, uint32_t ms) {
    timeval tv{};
    tv.tv_sec = time_t(ms / 1000);
    tv.tv_usec = suseconds_t(ms % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool isEventFd(int fd) {
    if (fd < 0)
        return false;
    char target[64];
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = 0;
    return std::string(target) == "anon_inode:[eventfd]";
}

void removePath(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

bool makePrivateDirectory(const std::string& path) {
    // The device's sockets are reached through this folder: it must be ours and closed to
    // others, as the host side checks it too.
    return platform::makePrivateFolder(path);
}

} // namespace halvern::sim::io
