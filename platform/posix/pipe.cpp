// Named pipes on Unix sockets in <runtime>/pipe: stream sockets for byte pipes, seqpacket
// sockets for message pipes. A server handle is a heap record; a client handle is the socket.
#include "halvern/platform/pipe.h"

#include "halvern/platform/event.h"
#include "halvern/platform/posix/bus_server.h"
#include "halvern/platform/runtime_dir.h"
#include "posix_internal.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace halvern::platform {

namespace {

constexpr uint32_t kErrorInvalidName = 123;

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// "\\.\pipe\NAME" -> NAME; empty when the name is not a local pipe name.
std::string pipeLeaf(const std::string& full) {
    static const char prefix[] = "\\\\.\\pipe\\";
    const std::size_t n = sizeof prefix - 1;
    if (full.size() <= n || strncasecmp(full.c_str(), prefix, n) != 0)
        return std::string();
    std::string leaf = full.substr(n);
    if (leaf == "." || leaf == ".." || leaf.find('/') != std::string::npos)
        return std::string();
    return leaf;
}

std::string utf8(const wchar_t* w) {
    std::string s;
    for (; *w; ++w) {
        uint32_t c = uint32_t(*w);
        if (c < 0x80) {
            s.push_back(char(c));
        } else if (c < 0x800) {
            s.push_back(char(0xC0 | (c >> 6)));
            s.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            s.push_back(char(0xE0 | (c >> 12)));
            s.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            s.push_back(char(0x80 | (c & 0x3F)));
        } else {
            s.push_back(char(0xF0 | (c >> 18)));
            s.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            s.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            s.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return s;
}

// The listening socket of one pipe name, shared by the instances this process created (Windows
// allows several instances of a pipe; a connecting client goes to whichever instance waits).
// A lock file held while it lives tells a live server from a socket file left behind, without
// connecting to it (a probe connection would look like a client to the live server).
struct Listener {
    std::string path;
    PipeMode mode = PipeMode::Byte;
    uint32_t maxInstances = 255;
    uint32_t instances = 0; // guarded by listenersMutex
    posix::UniqueFd listenFd;
    posix::UniqueFd lockFd;
    ~Listener() {
        if (listenFd)
            unlink(path.c_str());
    }
};

std::mutex listenersMutex;
std::map<std::string, std::weak_ptr<Listener>> listeners;

int socketType(PipeMode mode) {
    return mode == PipeMode::Message ? SOCK_SEQPACKET : SOCK_STREAM;
}

std::shared_ptr<Listener> openListener(const std::string& path, const PipeServerOptions& o) {
    std::lock_guard<std::mutex> guard(listenersMutex);
    if (auto existing = listeners[path].lock()) {
        if (existing->mode != o.mode || o.firstInstance) {
            setLastError(kErrorAccessDenied);
            return nullptr;
        }
        if (existing->instances >= existing->maxInstances) {
            setLastError(kErrorPipeBusy);
            return nullptr;
        }
        ++existing->instances;
        return existing;
    }
    auto l = std::make_shared<Listener>();
    l->path = path;
    l->mode = o.mode;
    l->maxInstances = o.maxInstances == 0 ? 1 : o.maxInstances;

    auto slash = path.rfind('/');
    std::string lockPath = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".lock";
    l->lockFd.reset(posix::keepAboveStdio(
        ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)));
    if (!l->lockFd) {
        setLastError(posix::errorFromErrno(errno));
        return nullptr;
    }
    if (flock(l->lockFd.get(), LOCK_EX | LOCK_NB) != 0) {
        const bool served = errno == EWOULDBLOCK;
        setLastError(served ? (o.firstInstance ? kErrorAccessDenied : kErrorPipeBusy)
                            : posix::errorFromErrno(errno));
        return nullptr;
    }
    // Nobody serves this name: whatever socket file is there was left behind.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            setLastError(kErrorAccessDenied);
            return nullptr;
        }
        unlink(path.c_str());
    }
    posix::UniqueFd fd(posix::keepAboveStdio(
        socket(AF_UNIX, socketType(o.mode) | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)));
    posix::UnixAddress addr;
    if (!fd || !posix::makeUnixAddress(path, addr) ||
        bind(fd.get(), reinterpret_cast<sockaddr*>(&addr.addr), addr.length) != 0 ||
        listen(fd.get(), 64) != 0) {
        setLastError(posix::errorFromErrno(errno));
        return nullptr;
    }
    l->listenFd = std::move(fd);
    l->instances = 1;
    listeners[path] = l;
    return l;
}

struct PipeState {
    std::shared_ptr<Listener> listener;
    bool overlapped = false;
    uint32_t ioTimeoutMs = 5000;
    std::atomic<int> clientFd{-1};
    posix::UniqueFd cancelFd;

    ~PipeState() {
        int c = clientFd.exchange(-1);
        if (c >= 0)
            ::close(c);
        // The last instance removes the socket and frees the name under the same lock a new
        // server takes, so a server created right after never meets a half-gone listener.
        std::lock_guard<std::mutex> guard(listenersMutex);
        --listener->instances;
        listener.reset();
    }
};

class PipeServerRecord : public posix::Record {
public:
    PipeServerRecord() : Record(Kind::PipeServer) {}
    bool close() override;
    std::shared_ptr<PipeState> state;
};

bool PipeServerRecord::close() {
    posix::unregisterRecord(this);
    int c = state->clientFd.exchange(-1);
    if (c >= 0)
        ::close(c);
    // A wait still pending in another thread ends now; it keeps the state alive until then.
    posix::signalEventFd(state->cancelFd.get());
    delete this;
    return true;
}

std::shared_ptr<PipeState> serverState(Handle h) {
    std::shared_ptr<PipeState> state;
    posix::withRecord(h, posix::Record::Kind::PipeServer,
                      [&](posix::Record* r) { state = static_cast<PipeServerRecord*>(r)->state; });
    return state;
}

Handle createServer(const std::string& name, const PipeServerOptions& options) {
    std::string leaf = pipeLeaf(name);
    if (leaf.empty()) {
        setLastError(kErrorInvalidName);
        return invalidHandle();
    }
    auto listener = openListener(pipeDirectory() + "/" + leaf, options);
    if (!listener)
        return invalidHandle();
    auto state = std::make_shared<PipeState>();
    state->listener = std::move(listener);
    state->overlapped = options.overlapped;
    state->ioTimeoutMs = options.ioTimeoutMs;
    state->cancelFd.reset(posix::keepAboveStdio(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)));
    if (!state->cancelFd) {
        setLastError(posix::errorFromErrno(errno));
        return invalidHandle();
    }
    auto* record = new PipeServerRecord();
    record->state = std::move(state);
    posix::registerRecord(record);
    return record;
}

// Takes a pending client, if any.
bool tryAccept(PipeState& s) {
    for (;;) {
        int c = accept4(s.listener->listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0 && !posix::peerIsOurUser(c)) {
            ::close(c); // another user's process is never a client
            continue;
        }
        if (c >= 0) {
            s.clientFd.store(posix::keepAboveStdio(c));
            return true;
        }
        if (errno != EINTR && errno != ECONNABORTED)
            return false;
    }
}

bool consumeCancel(PipeState& s) {
    uint64_t v;
    return read(s.cancelFd.get(), &v, sizeof v) == ssize_t(sizeof v);
}

// The socket behind either end, with the pipe's mode; -1 with lastError() when there is none.
int endpoint(Handle pipe, PipeMode& mode, std::shared_ptr<PipeState>& server) {
    if (!isValid(pipe)) {
        setLastError(kErrorInvalidHandle);
        return -1;
    }
    server = serverState(pipe);
    if (server) {
        mode = server->listener->mode;
        int fd = server->clientFd.load();
        if (fd < 0)
            setLastError(kErrorPipeListening);
        return fd;
    }
    int fd = posix::handleToFd(pipe);
    int type = 0;
    socklen_t len = sizeof type;
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 ||
        (type != SOCK_STREAM && type != SOCK_SEQPACKET)) {
        setLastError(kErrorInvalidHandle);
        return -1;
    }
    mode = type == SOCK_SEQPACKET ? PipeMode::Message : PipeMode::Byte;
    return fd;
}

bool peerHungUp(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR));
}

Handle openClient(const std::string& name) {
    std::string leaf = pipeLeaf(name);
    if (leaf.empty()) {
        setLastError(kErrorInvalidName);
        return invalidHandle();
    }
    std::string path = pipeDirectory() + "/" + leaf;
    posix::UnixAddress addr;
    if (!posix::makeUnixAddress(path, addr)) {
        setLastError(kErrorFileNotFound);
        return invalidHandle();
    }
    // The socket's kind is the pipe's mode; a connect of the wrong kind says EPROTOTYPE.
    for (int type : {SOCK_STREAM, SOCK_SEQPACKET}) {
        int fd = posix::keepAboveStdio(socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (fd < 0) {
            setLastError(posix::errorFromErrno(errno));
            return invalidHandle();
        }
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr.addr), addr.length) == 0) {
            if (!posix::peerIsOurUser(fd)) {
                ::close(fd);
                setLastError(kErrorAccessDenied);
                return invalidHandle();
            }
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return posix::fdToHandle(fd);
        }
        int err = errno;
        ::close(fd);
        if (err == EPROTOTYPE)
            continue;
        if (err == EAGAIN)
            setLastError(kErrorPipeBusy); // every queued connection slot is taken
        else if (err == ENOENT || err == ECONNREFUSED || err == ENOTDIR)
            setLastError(kErrorFileNotFound);
        else
            setLastError(posix::errorFromErrno(err));
        return invalidHandle();
    }
    setLastError(kErrorFileNotFound);
    return invalidHandle();
}

} // namespace

Handle createPipeServer(const char* name, const PipeServerOptions& options) {
    if (name == nullptr) {
        setLastError(kErrorInvalidName);
        return invalidHandle();
    }
    return createServer(name, options);
}

Handle createPipeServer(const wchar_t* name, const PipeServerOptions& options) {
    if (name == nullptr) {
        setLastError(kErrorInvalidName);
        return invalidHandle();
    }
    return createServer(utf8(name), options);
}

// A cancel is remembered until a wait takes it: when it comes while no wait is pending, the
// next wait reports Cancelled at once. Dropping it instead (as CancelIoEx does with nothing
// pending) would lose a cancel that races just ahead of the wait, and a server without time-out
// would then wait forever; callers treat Cancelled as "check your run flag", never as a client.
PipeWait waitForPipeClient(Handle server, uint32_t timeoutMs) {
    std::shared_ptr<PipeState> s = serverState(server);
    if (!s) {
        setLastError(kErrorInvalidHandle);
        return PipeWait::Failed;
    }
    if (consumeCancel(*s)) {
        setLastError(kErrorOperationAborted);
        return PipeWait::Cancelled;
    }
    int client = s->clientFd.load();
    if (client >= 0) {
        if (peerHungUp(client)) {
            setLastError(kErrorNoData); // the previous client has gone; disconnect first
            return PipeWait::Failed;
        }
        setLastError(kErrorPipeConnected);
        return PipeWait::AlreadyConnected;
    }
    if (tryAccept(*s))
        return PipeWait::ConnectedAtOnce;

    const bool endless = !s->overlapped || timeoutMs == kInfinite;
    const int64_t deadline = endless ? 0 : nowMs() + timeoutMs;
    for (;;) {
        int wait = -1;
        if (!endless) {
            int64_t left = deadline - nowMs();
            wait = left > 0 ? int(left) : 0;
        }
        pollfd fds[2] = {{s->cancelFd.get(), POLLIN, 0}, {s->listener->listenFd.get(), POLLIN, 0}};
        int n = poll(fds, 2, wait);
        if (n < 0 && errno != EINTR) {
            setLastError(posix::errorFromErrno(errno));
            return PipeWait::Failed;
        }
        // A cancel wins over a client arriving in the same instant; that client stays queued
        // for the next wait.
        if ((fds[0].revents & POLLIN) && consumeCancel(*s)) {
            setLastError(kErrorOperationAborted);
            return PipeWait::Cancelled;
        }
        if ((fds[1].revents & POLLIN) && tryAccept(*s))
            return PipeWait::Connected;
        if (!endless && nowMs() >= deadline) {
            setLastError(kErrorIoPending);
            return PipeWait::TimedOut;
        }
    }
}

bool cancelPipeWait(Handle server) {
    std::shared_ptr<PipeState> s = serverState(server);
    if (!s) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    return posix::signalEventFd(s->cancelFd.get());
}

bool waitForPipeClientGone(Handle server, uint32_t timeoutMs) {
    std::shared_ptr<PipeState> s = serverState(server);
    if (!s) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    const int client = s->clientFd.load();
    if (client < 0)
        return true;
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        const int64_t left = deadline - nowMs();
        // Only the hang-up is asked for: unread bytes from the client must not end the wait.
        pollfd fds[2] = {{client, POLLRDHUP, 0}, {s->cancelFd.get(), POLLIN, 0}};
        const int n = poll(fds, 2, left > 0 ? int(left) : 0);
        if (n < 0 && errno != EINTR) {
            setLastError(posix::errorFromErrno(errno));
            return false;
        }
        if (fds[1].revents & POLLIN) {
            setLastError(kErrorOperationAborted);
            return false;
        }
        if (fds[0].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))
            return true;
        if (nowMs() >= deadline) {
            setLastError(kErrorPipeConnected);
            return false;
        }
    }
}

bool takeClientByte(Handle server, uint32_t timeoutMs) {
    std::shared_ptr<PipeState> s = serverState(server);
    if (!s) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    const int client = s->clientFd.load();
    if (client < 0) {
        setLastError(kErrorPipeNotConnected);
        return false;
    }
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        const int64_t left = deadline - nowMs();
        pollfd fds[2] = {{client, POLLIN, 0}, {s->cancelFd.get(), POLLIN, 0}};
        const int n = poll(fds, 2, left > 0 ? int(left) : 0);
        if (n < 0 && errno != EINTR) {
            setLastError(posix::errorFromErrno(errno));
            return false;
        }
        if (fds[1].revents & POLLIN) {
            setLastError(kErrorOperationAborted); // the cancel stays for the next wait
            return false;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            uint8_t byte = 0;
            const ssize_t got = recv(client, &byte, 1, MSG_DONTWAIT);
            if (got == 1)
                return true;
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            setLastError(kErrorBrokenPipe);
            return false;
        }
        if (nowMs() >= deadline) {
            setLastError(kErrorTimeout);
            return false;
        }
    }
}

bool disconnectPipeClient(Handle server) {
    std::shared_ptr<PipeState> s = serverState(server);
    if (!s) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    int c = s->clientFd.exchange(-1);
    if (c >= 0)
        ::close(c); // unread data is discarded, as DisconnectNamedPipe does
    return true;
}

bool closePipeServer(Handle server) {
    auto* r = posix::findRecord(server, posix::Record::Kind::PipeServer);
    if (!r) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    return r->close();
}

Handle openPipeClient(const char* name, bool /*overlapped*/) {
    if (name == nullptr) {
        setLastError(kErrorInvalidName);
        return invalidHandle();
    }
    return openClient(name);
}

Handle openPipeClient(const wchar_t* name, bool /*overlapped*/) {
    if (name == nullptr) {
        setLastError(kErrorInvalidName);
        return invalidHandle();
    }
    return openClient(utf8(name));
}

bool closePipeClient(Handle client) {
    return closeHandle(client);
}

bool readPipe(Handle pipe, void* buffer, uint32_t size, uint32_t* read) {
    if (read)
        *read = 0;
    PipeMode mode;
    std::shared_ptr<PipeState> server;
    int fd = endpoint(pipe, mode, server);
    if (fd < 0)
        return false;
    if (size > 0 && buffer == nullptr) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    if (server) {
        // On the server end a cancel also ends a read that waits for a client that never writes.
        // The cancel is left for the next wait to take.
        // An overlapped server's read gives up after its time-out, as on Windows, so a client
        // that connects and never writes cannot hold the server for ever.
        const bool bounded = server->overlapped;
        const int64_t deadline = nowMs() + server->ioTimeoutMs;
        pollfd fds[2] = {{fd, POLLIN, 0}, {server->cancelFd.get(), POLLIN, 0}};
        for (;;) {
            const int64_t left = deadline - nowMs();
            int n = poll(fds, 2, bounded ? (left > 0 ? int(left) : 0) : -1);
            if (n > 0 || (n < 0 && errno != EINTR))
                break;
            if (n == 0 && bounded && nowMs() >= deadline) {
                setLastError(kErrorTimeout);
                return false;
            }
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && (fds[1].revents & POLLIN)) {
            setLastError(kErrorOperationAborted);
            return false;
        }
    }
    if (mode == PipeMode::Byte && size == 0)
        return true;
    ssize_t n;
    do {
        n = recv(fd, buffer, size, mode == PipeMode::Message ? MSG_TRUNC : 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        bool gone = errno == ECONNRESET || errno == EPIPE || errno == ENOTCONN;
        setLastError(gone ? kErrorBrokenPipe : posix::errorFromErrno(errno));
        return false;
    }
    if (n == 0 && (mode == PipeMode::Byte || peerHungUp(fd))) {
        setLastError(kErrorBrokenPipe);
        return false;
    }
    if (std::size_t(n) > size) {
        // The buffer holds the start of the message; the rest is gone.
        if (read)
            *read = size;
        setLastError(kErrorMoreData);
        return false;
    }
    if (read)
        *read = uint32_t(n);
    return true;
}

bool writePipe(Handle pipe, const void* data, uint32_t size, uint32_t* written) {
    if (written)
        *written = 0;
    PipeMode mode;
    std::shared_ptr<PipeState> server;
    int fd = endpoint(pipe, mode, server);
    if (fd < 0)
        return false;
    if (size > 0 && data == nullptr) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    do {
        ssize_t n = send(fd, p + done, size - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            bool gone = errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN;
            setLastError(gone ? kErrorBrokenPipe : posix::errorFromErrno(errno));
            return false;
        }
        done += uint32_t(n);
        if (written)
            *written = done;
    } while (done < size && mode == PipeMode::Byte);
    return true;
}

} // namespace halvern::platform
