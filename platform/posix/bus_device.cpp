// The client side of the bus socket: opening the device and control requests.
#include "halvern/platform/bus_device.h"

#include "halvern/platform/clock.h"
#include "halvern/platform/posix/bus_server.h"
#include "halvern/platform/runtime_dir.h"
#include "halvern/protocol/bus_protocol.h"
#include "posix_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace halvern::platform {

using protocol::getLe32;
using protocol::getLe64;
using protocol::putLe32;
using protocol::putLe64;

namespace {

constexpr std::size_t kHeaderSize = 16;
constexpr int kReplyTimeoutMs = 10000;

// How long a request waits for its reply; HALVERN_BUS_REPLY_TIMEOUT_MS shortens it for tests.
int replyTimeoutMs() {
    if (const char* v = std::getenv("HALVERN_BUS_REPLY_TIMEOUT_MS")) {
        int ms = std::atoi(v);
        if (ms > 0 && ms < kReplyTimeoutMs)
            return ms;
    }
    return kReplyTimeoutMs;
}
constexpr const char* kDevicePrefix = "HalvernAudioBus";

// poll() for one descriptor, resumed after signals: > 0 readable, 0 timed out, < 0 failed.
int waitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready;
}

int connectDevice(const std::string& path) {
    int fd = posix::keepAboveStdio(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (fd < 0) {
        setLastError(posix::errorFromErrno(errno));
        return -1;
    }
    posix::UnixAddress addr;
    if (!posix::makeUnixAddress(path, addr) ||
        connect(fd, reinterpret_cast<sockaddr*>(&addr.addr), addr.length) != 0) {
        int err = errno;
        ::close(fd);
        // A missing file, a stale socket or a socket of another kind: no such device.
        bool absent = err == ENOENT || err == ECONNREFUSED || err == EPROTOTYPE || err == ENOTDIR;
        setLastError(absent ? kErrorFileNotFound : posix::errorFromErrno(err));
        return -1;
    }
    if (!posix::peerIsOurUser(fd)) {
        ::close(fd);
        setLastError(kErrorAccessDenied);
        return -1;
    }
    // The device answers every open before any request, as CreateFile returns only once the
    // driver took or refused the handle. A device that hangs up instead is gone.
    uint8_t verdict[posix::kOpenVerdictSize];
    ssize_t n = -1;
    const int ready = waitReadable(fd, replyTimeoutMs());
    if (ready > 0) {
        do {
            n = recv(fd, verdict, sizeof verdict, 0);
        } while (n < 0 && errno == EINTR);
    }
    uint32_t error = kErrorFileNotFound;
    if (n == ssize_t(sizeof verdict) && protocol::getLe32(verdict) == posix::kOpenMagic)
        error = protocol::getLe32(verdict + 4);
    else if (ready == 0)
        error = kErrorTimeout;
    if (error != 0) {
        ::close(fd);
        setLastError(error);
        return -1;
    }
    return fd;
}

// Requests on one handle are serialised, so two threads never read each other's reply.
std::mutex& connectionLock(int fd) {
    static std::mutex stripes[64];
    return stripes[unsigned(fd) % 64];
}

// Sample areas stay mapped while the device hands out the same ones: the host keeps using the
// addresses after the driver closed and reopened the device, which sends the same memfds again.
// A device that sends a new area for a slot (input or output) has restarted and the host has
// been told to make its buffers anew, so the area it replaces is unmapped: a long-lived host
// would otherwise gain two mappings per restart.
struct Mapping {
    std::string device; // the device's socket, so that two devices never share a slot
    int slot;
    dev_t dev;
    ino_t ino;
    void* address;
    std::size_t size;
};

std::string peerPath(int fd) {
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        length <= socklen_t(offsetof(sockaddr_un, sun_path)))
        return std::string();
    return std::string(address.sun_path,
                       strnlen(address.sun_path, length - offsetof(sockaddr_un, sun_path)));
}

// Maps the area behind `fd` for `slot` of the device on `connection` and tells how many of its
// bytes may be touched: the memfd's size now, which the device cannot make larger than what is
// mapped here. What the device says of its areas is never taken for their size.
void* mapSharedArea(int connection, int slot, int fd, std::size_t& bytes) {
    static std::mutex mutex;
    static auto* mappings = new std::vector<Mapping>(); // lives as long as the mappings may
    bytes = 0;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size <= 0)
        return nullptr;
    std::size_t size = std::size_t(st.st_size);
    const std::string device = peerPath(connection);
    std::lock_guard<std::mutex> lock(mutex);
    auto current = std::find_if(mappings->begin(), mappings->end(), [&](const Mapping& m) {
        return m.device == device && m.slot == slot;
    });
    if (current != mappings->end() && current->dev == st.st_dev && current->ino == st.st_ino &&
        current->size >= size) {
        bytes = size;
        return current->address;
    }
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        return nullptr;
    if (current != mappings->end()) {
        munmap(current->address, current->size);
        *current = Mapping{device, slot, st.st_dev, st.st_ino, p, size};
    } else {
        mappings->push_back(Mapping{device, slot, st.st_dev, st.st_ino, p, size});
    }
    bytes = size;
    return p;
}

void dropConnection(int fd) {
    shutdown(fd, SHUT_RDWR);
}

bool fail(uint32_t code, uint32_t* returned) {
    if (returned)
        *returned = 0;
    setLastError(code);
    return false;
}

std::string narrow(const wchar_t* w) {
    std::string s;
    for (; *w; ++w) {
        if (*w < 0x20 || *w > 0x7e)
            return std::string();
        s.push_back(char(*w));
    }
    return s;
}

// An event registration's handles, as the descriptors they are (they travel with the request).
bool eventDescriptors(uint32_t code, const void* in, uint32_t inLen, int (&fds)[3],
                      std::size_t& count, uint32_t& error) {
    if (code != protocol::IOCTL_ASIO_SET_EVENTS || inLen != protocol::EventRegistration::kSize)
        return true;
    const auto* bytes = static_cast<const uint8_t*>(in);
    for (int i = 0; i < 3; ++i) {
        Handle event = reinterpret_cast<Handle>(getLe64(bytes + 8 * i));
        int efd = isValid(event) ? posix::handleToFd(event) : -1;
        if (efd < 0 || fcntl(efd, F_GETFD) < 0) {
            error = kErrorInvalidHandle;
            return false;
        }
        fds[count++] = efd;
    }
    return true;
}

bool sendRequest(int fd, uint32_t code, const void* in, uint32_t inLen, uint32_t outLen,
                 const int* fds, std::size_t fdCount, uint32_t& error) {
    uint8_t header[kHeaderSize];
    putLe32(header, posix::kRequestMagic);
    putLe32(header + 4, code);
    putLe32(header + 8, inLen);
    putLe32(header + 12, uint32_t(std::min<std::size_t>(outLen, posix::kMaxReplyOutput)));
    const iovec iov[2] = {{header, kHeaderSize}, {const_cast<void*>(in), inLen}};
    if (posix::sendSocketMessage(fd, iov, inLen ? 2 : 1, fds, fdCount) >= 0)
        return true;
    bool gone = errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN;
    error = gone ? kErrorDeviceNotConnected : posix::errorFromErrno(errno);
    return false;
}

// The whole receive is bounded: a readable wake-up with no message behind it (the descriptor
// closed and reused under the wait) waits again, within the same bound, instead of blocking in
// the receive.
bool waitForReply(int fd, uint32_t& error) {
    const uint64_t deadline = monotonicNs() / 1000000u + uint64_t(replyTimeoutMs());
    for (;;) {
        const uint64_t now = monotonicNs() / 1000000u;
        const int left = now < deadline ? int(deadline - now) : 0;
        const int ready = left > 0 ? waitReadable(fd, left) : 0;
        if (ready == 0) {
            // A late reply must never be taken for the answer to a later request.
            dropConnection(fd);
            error = kErrorTimeout;
            return false;
        }
        if (ready < 0) {
            error = kErrorDeviceNotConnected;
            return false;
        }
        char probe;
        const ssize_t peeked = recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        // A message, the end of the connection or its failure: the receive says which.
        if (peeked >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return true;
    }
}

// The server's addresses mean nothing here: replace them with ours, or with zeros (which the
// driver refuses) when the areas did not come along; the sizes are the mappings' own.
bool adoptSharedAreas(int fd, const std::vector<posix::UniqueFd>& received, uint8_t* payload,
                      std::size_t& payloadSize, uint32_t& error) {
    void* areas[2] = {nullptr, nullptr};
    std::size_t sizes[2] = {0, 0};
    if (received.size() == 2) {
        areas[0] = mapSharedArea(fd, 0, received[0].get(), sizes[0]);
        areas[1] = mapSharedArea(fd, 1, received[1].get(), sizes[1]);
        if (!areas[0] || !areas[1]) {
            error = kErrorNotEnoughMemory;
            return false;
        }
    }
    if (payloadSize < protocol::SharedMemoryReply::kSize) {
        std::memset(payload + payloadSize, 0, protocol::SharedMemoryReply::kSize - payloadSize);
        payloadSize = protocol::SharedMemoryReply::kSize;
    }
    putLe64(payload, reinterpret_cast<uint64_t>(areas[0]));
    putLe64(payload + 8, reinterpret_cast<uint64_t>(areas[1]));
    putLe64(payload + 16, sizes[0]);
    putLe64(payload + 24, sizes[1]);
    return true;
}

} // namespace

Handle openBusDeviceByName(const wchar_t* name) {
    if (name == nullptr) {
        setLastError(kErrorInvalidParameter);
        return invalidHandle();
    }
    std::string n = narrow(name);
    const std::string prefix = "\\\\.\\";
    if (n.size() <= prefix.size() || n.compare(0, prefix.size(), prefix) != 0 ||
        n.find_first_of("/\\", prefix.size()) != std::string::npos) {
        setLastError(kErrorFileNotFound);
        return invalidHandle();
    }
    int fd = connectDevice(busDirectory() + "/" + n.substr(prefix.size()));
    return fd < 0 ? invalidHandle() : posix::fdToHandle(fd);
}

Handle openBusDeviceByInterface() {
    std::vector<std::string> paths;
    std::string dir = busDirectory();
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (std::strncmp(e->d_name, kDevicePrefix, std::strlen(kDevicePrefix)) != 0)
                continue;
            std::string path = dir + "/" + e->d_name;
            struct stat st {};
            if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
                paths.push_back(path);
        }
        closedir(d);
    }
    std::sort(paths.begin(), paths.end());

    // The interface list is a sequence of zero-terminated paths ending with an empty one.
    std::size_t listSize = 1;
    for (const auto& p : paths)
        listSize += p.size() + 1;
    if (listSize <= 1) {
        std::printf("Error: No active device interfaces found.\n Is the sample driver loaded?");
        std::fflush(stdout);
        setLastError(kErrorFileNotFound);
        return invalidHandle();
    }
    if (paths.size() > 1)
        std::printf("Warning: More than one device interface instance found. \n"
                    "Selecting first matching device.\n\n");

    constexpr std::size_t kDeviceNameChars = 256;
    const std::string& path = paths.front();
    if (path.size() >= kDeviceNameChars) {
        std::printf("Error: StringCchCopy failed with HRESULT 0x%x", 0x8007007Au);
        std::fflush(stdout);
        setLastError(kErrorInsufficientBuffer);
        return invalidHandle();
    }
    std::printf("DeviceName = (%s)\n", path.c_str());
    int fd = connectDevice(path);
    if (fd < 0) {
        std::printf("Failed to open the device, error - %d", int(lastError()));
        std::fflush(stdout);
        return invalidHandle();
    }
    std::printf("Opened the device successfully.\n");
    std::fflush(stdout);
    return posix::fdToHandle(fd);
}

void closeBusDevice(Handle h) {
    if (isValid(h))
        closeHandle(h);
}

bool deviceIoControl(Handle h, uint32_t code, const void* in, uint32_t inLen, void* out,
                     uint32_t outLen, uint32_t* returned) {
    int fd = isValid(h) ? posix::handleToFd(h) : -1;
    if (fd < 0 || fcntl(fd, F_GETFD) < 0)
        return fail(kErrorInvalidHandle, returned);
    if ((inLen > 0 && in == nullptr) || (outLen > 0 && out == nullptr) ||
        inLen > posix::kMaxRequestInput)
        return fail(kErrorInvalidParameter, returned);

    uint32_t error = 0;
    int eventFds[3];
    std::size_t fdCount = 0;
    if (!eventDescriptors(code, in, inLen, eventFds, fdCount, error))
        return fail(error, returned);

    std::lock_guard<std::mutex> lock(connectionLock(fd));
    if (!sendRequest(fd, code, in, inLen, outLen, eventFds, fdCount, error) ||
        !waitForReply(fd, error))
        return fail(error, returned);

    thread_local std::vector<uint8_t> reply(kHeaderSize + posix::kMaxReplyOutput);
    std::vector<posix::UniqueFd> received;
    int flags = 0;
    const ssize_t n = posix::receiveSocketMessage(fd, reply.data(), reply.size(), received, flags);
    if (n <= 0)
        return fail(kErrorDeviceNotConnected, returned);

    std::size_t length = std::size_t(n);
    if (length < kHeaderSize || length > reply.size() || (flags & MSG_CTRUNC) ||
        getLe32(reply.data()) != posix::kReplyMagic ||
        getLe32(reply.data() + 12) != length - kHeaderSize) {
        dropConnection(fd);
        return fail(kErrorGenFailure, returned);
    }
    bool success = getLe32(reply.data() + 4) != 0;
    error = getLe32(reply.data() + 8);
    if (!success)
        return fail(error ? error : kErrorGenFailure, returned);

    uint8_t* payload = reply.data() + kHeaderSize;
    std::size_t payloadSize = length - kHeaderSize;
    if (code == protocol::IOCTL_ASIO_GET_SHARED_MEMORY &&
        !adoptSharedAreas(fd, received, payload, payloadSize, error))
        return fail(error, returned);
    std::size_t copied = std::min<std::size_t>(payloadSize, outLen);
    if (copied)
        std::memcpy(out, payload, copied);
    if (returned)
        *returned = uint32_t(copied);
    setLastError(kErrorSuccess);
    return true;
}

} // namespace halvern::platform
