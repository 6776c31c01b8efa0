// POSIX only: the device side of the bus socket, for halvern-bus-sim, and the shared memory it
// hands out. The client side is deviceIoControl() in bus_device.h.
//
// Wire (one seqpacket message each way, little-endian):
//   open:    on each new connection the device sends first: magic "HBOP" u32, error u32
//            (0: opened; otherwise the error the open fails with, and the connection ends);
//   request: magic "HBRQ" u32, code u32, input length u32, output capacity u32, input bytes;
//            SCM_RIGHTS: the three eventfds of IOCTL_ASIO_SET_EVENTS.
//   reply:   magic "HBRP" u32, success u32 (0/1), error code u32, bytes returned u32, output;
//            SCM_RIGHTS: the two memfd sample areas of IOCTL_ASIO_GET_SHARED_MEMORY.
// Any malformed message closes that connection and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <sys/uio.h>
#include <vector>

namespace halvern::platform::posix {

constexpr uint32_t kRequestMagic = 0x51524248; // "HBRQ"
constexpr uint32_t kReplyMagic = 0x50524248;   // "HBRP"
constexpr uint32_t kOpenMagic = 0x504F4248;    // "HBOP"
constexpr std::size_t kOpenVerdictSize = 8;
constexpr std::size_t kMaxRequestInput = 0x10300 + 64;
constexpr std::size_t kMaxReplyOutput = 0x10000 + 64;
// The most descriptors one message carries; a message with more arrives cut short (MSG_CTRUNC).
constexpr std::size_t kMaxFdsPerMessage = 8;

// A file descriptor owned by exactly one object.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();
    int get() const { return fd_; }
    int release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

struct BusRequest {
    uint32_t code = 0;
    uint32_t outputCapacity = 0;
    std::vector<uint8_t> input;
    std::vector<UniqueFd> fds; // received handles (eventfds), owned
};

struct BusReply {
    bool success = true;
    uint32_t error = 0;
    std::vector<uint8_t> output; // never longer than the request's output capacity
    std::vector<int> fds;        // sent as SCM_RIGHTS, still owned by the caller
};

// One seqpacket message made of `parts`, with `fdCount` descriptors (at most
// kMaxFdsPerMessage) as SCM_RIGHTS: sendmsg's result, retried after a signal.
ssize_t sendSocketMessage(int fd, const iovec* parts, std::size_t partCount, const int* fds,
                          std::size_t fdCount);
// The next message into `buffer`: recvmsg's result (with MSG_TRUNC, the message's whole
// length), retried after a signal, and its flags. Every descriptor that came along is added
// to `fds`, owned, so that none leaks whatever the message turns out to be.
ssize_t receiveSocketMessage(int fd, void* buffer, std::size_t size, std::vector<UniqueFd>& fds,
                             int& flags);

// A listening seqpacket socket at `path` (the parent folder must exist). A stale socket file
// with no listener behind it is replaced; a live one makes this fail with errno EADDRINUSE.
UniqueFd listenBusSocket(const std::string& path);
// Accepts one connection; -1 when none is pending (the listener is non-blocking).
UniqueFd acceptBusConnection(int listenFd);
// The device's answer to an open, sent once right after the accept; an `error` other than 0
// refuses it (the caller then closes the connection).
bool sendOpenVerdict(int connFd, uint32_t error);

enum class ReceiveResult { Request, Closed, Malformed };
// Blocks until a whole request arrived on `connFd` (poll it first to avoid blocking).
ReceiveResult receiveBusRequest(int connFd, BusRequest& request);
bool sendBusReply(int connFd, const BusReply& reply);

// Anonymous shared memory (memfd) of `bytes`, zeroed, and its mapping in this process.
class SharedArea {
public:
    static std::unique_ptr<SharedArea> create(const char* name, std::size_t bytes);
    ~SharedArea();
    int fd() const { return fd_.get(); }
    uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    SharedArea() = default;
    UniqueFd fd_;
    uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// A small file in shared memory that other processes map by path (the simulator publishes its
// signal times this way). Created zeroed when `create`, else opened read-only.
class MappedFile {
public:
    static std::unique_ptr<MappedFile> open(const std::string& path, std::size_t bytes,
                                            bool create);
    ~MappedFile();
    void* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    MappedFile() = default;
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

// Sets an eventfd received from a client (SetEvent on the host's event).
bool signalEventFd(int fd);

} // namespace halvern::platform::posix
