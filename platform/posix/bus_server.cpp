// The device side of the bus socket and the shared memory it hands out.
#include "halvern/platform/posix/bus_server.h"

#include "halvern/protocol/bus_protocol.h"
#include "posix_internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace halvern::platform::posix {

using protocol::getLe32;
using protocol::putLe32;

namespace {
constexpr std::size_t kHeaderSize = 16;
} // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
    if (this != &o)
        reset(o.release());
    return *this;
}

UniqueFd::~UniqueFd() {
    reset();
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd)
        ::close(fd_);
    fd_ = fd;
}

UniqueFd listenBusSocket(const std::string& path) {
    UniqueFd fd(keepAboveStdio(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)));
    if (!fd)
        return UniqueFd();
    UnixAddress addr;
    if (!makeUnixAddress(path, addr))
        return UniqueFd();
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr.addr), addr.length) != 0) {
        if (errno != EADDRINUSE)
            return UniqueFd();
        // Someone left a socket file behind: replace it only when nobody answers there.
        UniqueFd probe(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        if (probe &&
            connect(probe.get(), reinterpret_cast<sockaddr*>(&addr.addr), addr.length) == 0) {
            errno = EADDRINUSE;
            return UniqueFd();
        }
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
            errno = EADDRINUSE;
            return UniqueFd();
        }
        unlink(path.c_str());
        if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr.addr), addr.length) != 0)
            return UniqueFd();
    }
    if (listen(fd.get(), 16) != 0)
        return UniqueFd();
    return fd;
}

UniqueFd acceptBusConnection(int listenFd) {
    for (;;) {
        int c = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0 && !peerIsOurUser(c)) {
            ::close(c); // another user's process: no open, no verdict
            continue;
        }
        if (c >= 0)
            return UniqueFd(keepAboveStdio(c));
        if (errno != EINTR && errno != ECONNABORTED)
            return UniqueFd();
    }
}

bool sendOpenVerdict(int connFd, uint32_t error) {
    uint8_t message[kOpenVerdictSize];
    putLe32(message, kOpenMagic);
    putLe32(message + 4, error);
    ssize_t n;
    do {
        n = send(connFd, message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n == ssize_t(sizeof message);
}

ssize_t sendSocketMessage(int fd, const iovec* parts, std::size_t partCount, const int* fds,
                          std::size_t fdCount) {
    if (fdCount > kMaxFdsPerMessage) {
        errno = EINVAL;
        return -1;
    }
    msghdr msg{};
    msg.msg_iov = const_cast<iovec*>(parts);
    msg.msg_iovlen = partCount;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFdsPerMessage)];
    if (fdCount) {
        const std::size_t bytes = sizeof(int) * fdCount;
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(bytes);
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(bytes);
        std::memcpy(CMSG_DATA(c), fds, bytes);
    }
    ssize_t n;
    do {
        n = sendmsg(fd, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t receiveSocketMessage(int fd, void* buffer, std::size_t size, std::vector<UniqueFd>& fds,
                             int& flags) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFdsPerMessage)];
    iovec iov{buffer, size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    flags = n < 0 ? 0 : msg.msg_flags;
    // An empty message may carry descriptors too: they are the caller's to close like any.
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n >= 0 && c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
            fds.emplace_back(received);
        }
    }
    return n;
}

ReceiveResult receiveBusRequest(int connFd, BusRequest& request) {
    request = BusRequest();
    // One buffer per serving thread, as the client keeps one for its replies, instead of a
    // zeroed 66 KB block for every request.
    thread_local std::vector<uint8_t> buffer(kHeaderSize + kMaxRequestInput);
    int flags = 0;
    // The handles are the request's from here, so that a bad message leaks none.
    const ssize_t n =
        receiveSocketMessage(connFd, buffer.data(), buffer.size(), request.fds, flags);
    if (n == 0 || (n < 0 && (errno == ECONNRESET || errno == ENOTCONN)))
        return ReceiveResult::Closed;

    bool ok = n >= ssize_t(kHeaderSize) && std::size_t(n) <= buffer.size() &&
              !(flags & (MSG_TRUNC | MSG_CTRUNC));
    if (ok) {
        uint32_t magic = getLe32(buffer.data());
        uint32_t inputLength = getLe32(buffer.data() + 8);
        uint32_t capacity = getLe32(buffer.data() + 12);
        ok = magic == kRequestMagic && inputLength == std::size_t(n) - kHeaderSize &&
             capacity <= kMaxReplyOutput;
        if (ok) {
            request.code = getLe32(buffer.data() + 4);
            request.outputCapacity = capacity;
            request.input.assign(buffer.begin() + kHeaderSize, buffer.begin() + n);
        }
    }
    if (!ok) {
        // The peer sees its connection end; the caller drops its side.
        request = BusRequest();
        shutdown(connFd, SHUT_RDWR);
        return ReceiveResult::Malformed;
    }
    return ReceiveResult::Request;
}

bool sendBusReply(int connFd, const BusReply& reply) {
    if (reply.output.size() > kMaxReplyOutput || reply.fds.size() > kMaxFdsPerMessage)
        return false;
    uint8_t header[kHeaderSize];
    putLe32(header, kReplyMagic);
    putLe32(header + 4, reply.success ? 1 : 0);
    putLe32(header + 8, reply.error);
    putLe32(header + 12, uint32_t(reply.output.size()));
    const iovec iov[2] = {{header, kHeaderSize},
                          {const_cast<uint8_t*>(reply.output.data()), reply.output.size()}};
    return sendSocketMessage(connFd, iov, reply.output.empty() ? 1 : 2, reply.fds.data(),
                             reply.fds.size()) == ssize_t(kHeaderSize + reply.output.size());
}

std::unique_ptr<SharedArea> SharedArea::create(const char* name, std::size_t bytes) {
    if (bytes == 0)
        return nullptr;
    UniqueFd fd(keepAboveStdio(memfd_create(name ? name : "halvern-area", MFD_CLOEXEC)));
    if (!fd || ftruncate(fd.get(), off_t(bytes)) != 0)
        return nullptr;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (p == MAP_FAILED)
        return nullptr;
    std::unique_ptr<SharedArea> area(new SharedArea());
    area->fd_ = std::move(fd);
    area->data_ = static_cast<uint8_t*>(p);
    area->size_ = bytes;
    return area;
}

SharedArea::~SharedArea() {
    if (data_)
        munmap(data_, size_);
}

std::unique_ptr<MappedFile> MappedFile::open(const std::string& path, std::size_t bytes,
                                             bool create) {
    if (bytes == 0)
        return nullptr;
    UniqueFd fd(::open(
        path.c_str(), create ? (O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW) : (O_RDONLY | O_CLOEXEC),
        0600));
    if (!fd)
        return nullptr;
    if (create) {
        if (ftruncate(fd.get(), 0) != 0 || ftruncate(fd.get(), off_t(bytes)) != 0)
            return nullptr;
    } else {
        // A shorter file would fault on access past its end.
        struct stat st {};
        if (fstat(fd.get(), &st) != 0 || std::size_t(st.st_size) < bytes)
            return nullptr;
    }
    void* p = mmap(nullptr, bytes, create ? (PROT_READ | PROT_WRITE) : PROT_READ, MAP_SHARED,
                   fd.get(), 0);
    if (p == MAP_FAILED)
        return nullptr;
    std::unique_ptr<MappedFile> file(new MappedFile());
    file->data_ = p;
    file->size_ = bytes;
    return file;
}

MappedFile::~MappedFile() {
    if (data_)
        munmap(data_, size_);
}

bool signalEventFd(int fd) {
    uint64_t one = 1;
    ssize_t n;
    do {
        n = write(fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    return n == ssize_t(sizeof one) || errno == EAGAIN;
}

} // namespace halvern::platform::posix
