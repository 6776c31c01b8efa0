#include "control_socket.h"

#include "halvern/platform/runtime_dir.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace halvern::sim::daemon {

namespace {
constexpr std::size_t kMaxCommand = 4096;
constexpr int kIoTimeoutMs = 5000;

bool makeAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int connectTo(const std::string& path) {
    sockaddr_un addr;
    if (!makeAddress(path, addr))
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Reads until the peer shuts its side, `limit` bytes or the deadline.
bool readAll(int fd, std::string& out, std::size_t limit) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIoTimeoutMs);
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, int(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (out.size() + std::size_t(n) > limit)
            return false;
        out.append(buf, std::size_t(n));
    }
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}
} // namespace

bool makePrivateFolder(const std::string& path) {
    return platform::makePrivateFolder(path);
}

ControlServer::~ControlServer() {
    close();
}

bool ControlServer::listen(const std::string& path, std::string& error) {
    sockaddr_un addr;
    if (!makeAddress(path, addr)) {
        error = "control socket path too long: " + path;
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot create the control socket: ") + std::strerror(errno);
        return false;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno == EADDRINUSE) {
        // A socket file left by a daemon that died is replaced; a live one is not.
        int probe = connectTo(path);
        if (probe >= 0) {
            ::close(probe);
            ::close(fd);
            error = "another simulator answers on " + path;
            return false;
        }
        unlink(path.c_str());
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            error = "cannot bind " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
    }
    if (::listen(fd, 8) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    path_ = path;
    return true;
}

void ControlServer::serveOnce(int timeoutMs,
                              const std::function<std::string(const std::string&)>& handler) {
    if (fd_ < 0)
        return;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return;
    int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0)
        return;
    // Commands come from our own user only.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(c, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != geteuid()) {
        ::close(c);
        return;
    }
    // A client that stops reading (stopped in a terminal, say) gets its reply cut short rather
    // than holding the daemon, its other clients and its shutdown.
    timeval sendLimit{kIoTimeoutMs / 1000, (kIoTimeoutMs % 1000) * 1000};
    setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    std::string command;
    if (readAll(c, command, kMaxCommand))
        writeAll(c, handler(command));
    else
        writeAll(c, "error: incomplete or oversized command\n");
    ::close(c);
}

void ControlServer::close() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
    unlink(path_.c_str());
}

ClientResult sendControlCommand(const std::string& path, const std::string& command,
                                std::string& reply, std::string& error) {
    int fd = connectTo(path);
    if (fd < 0) {
        if (errno == ENOENT || errno == ECONNREFUSED)
            return ClientResult::NoServer;
        error = "cannot reach " + path + ": " + std::strerror(errno);
        return ClientResult::Failed;
    }
    bool ok = writeAll(fd, command) && shutdown(fd, SHUT_WR) == 0 &&
              readAll(fd, reply, std::size_t(64) << 20);
    ::close(fd);
    if (!ok) {
        error = "no complete reply from " + path;
        return ClientResult::Failed;
    }
    return ClientResult::Ok;
}

} // namespace halvern::sim::daemon
