// The simulated device on Windows: the message pipe \\.\pipe\HalvernAudioBusN served by one
// thread for every connection (overlapped I/O), the sample areas and the signal times as named
// file mappings, and the host's events duplicated from the host's process.
#include "simulator_impl.h"

#include "halvern/platform/win32/bus_pipe.h"
#include "halvern/platform/win32/pipe_security.h"

#include <windows.h>

#include <cstring>

namespace halvern::sim {

using namespace detail;
using namespace platform::win32;
using protocol::getLe32;
using protocol::getLe64;
using protocol::putLe32;

namespace {

// Only this user's processes on this machine reach the device (security attributes too).
constexpr DWORD kPipeMode =
    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | kLocalClientsOnly;

// WaitForMultipleObjects takes 64 handles: the wake-up, the listener and the connections.
constexpr std::size_t kMaxConnections = MAXIMUM_WAIT_OBJECTS - 2;

std::string narrow(const std::wstring& w) {
    return std::string(w.begin(), w.end()); // the names are ASCII
}

struct Connection {
    io::OwnedHandle pipe;
    io::OwnedHandle event; // of the pending read
    OVERLAPPED ov{};
    DWORD clientPid = 0;
    std::vector<uint8_t> buffer =
        std::vector<uint8_t>(kPipeRequestHeaderSize + kPipeMaxRequestInput);

    // The pending read ends before the buffer and the OVERLAPPED go.
    ~Connection() {
        if (!pipe)
            return;
        DWORD n = 0;
        if (ov.hEvent != nullptr && CancelIoEx(pipe.get(), &ov))
            GetOverlappedResult(pipe.get(), &ov, &n, TRUE);
        DisconnectNamedPipe(pipe.get());
    }
    bool startRead() {
        ResetEvent(event.get());
        ov = OVERLAPPED{};
        ov.hEvent = event.get();
        // Completed at once or pending, the event is set when the message is in.
        return ReadFile(pipe.get(), buffer.data(), DWORD(buffer.size()), nullptr, &ov) ||
               GetLastError() == ERROR_IO_PENDING;
    }
};

// One whole message, waited for at most `timeoutMs`; a client that does not read is dropped.
bool writeMessage(HANDLE pipe, const void* data, std::size_t size, DWORD timeoutMs) {
    io::OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return false;
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    if (!WriteFile(pipe, data, DWORD(size), nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        return false;
    DWORD n = 0;
    if (WaitForSingleObject(event.get(), timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &ov);
        GetOverlappedResult(pipe, &ov, &n, TRUE);
        return false;
    }
    return GetOverlappedResult(pipe, &ov, &n, FALSE) && n == size;
}

bool parseRequest(const uint8_t* m, std::size_t n, BusRequest& rq) {
    if (n < kPipeRequestHeaderSize || getLe32(m) != kPipeRequestMagic)
        return false;
    const uint32_t inputLength = getLe32(m + 8);
    const uint32_t capacity = getLe32(m + 12);
    if (inputLength != n - kPipeRequestHeaderSize || capacity > kPipeMaxReplyOutput)
        return false;
    rq.code = getLe32(m + 4);
    rq.outputCapacity = capacity;
    rq.tag = getLe32(m + 16);
    rq.input.assign(m + kPipeRequestHeaderSize, m + n);
    return true;
}

// The registration's handles are the host's: the device takes its own copies of them. One that
// cannot be copied stays empty and is refused as no event.
void takeEvents(DWORD clientPid, BusRequest& rq) {
    if (rq.code != protocol::IOCTL_ASIO_SET_EVENTS ||
        rq.input.size() != protocol::EventRegistration::kSize)
        return;
    io::OwnedHandle client(clientPid ? OpenProcess(PROCESS_DUP_HANDLE, FALSE, clientPid) : nullptr);
    for (int i = 0; i < 3; ++i) {
        HANDLE copy = nullptr;
        const auto value = reinterpret_cast<HANDLE>(uintptr_t(getLe64(rq.input.data() + 8 * i)));
        if (!client || value == nullptr || value == INVALID_HANDLE_VALUE ||
            !DuplicateHandle(client.get(), value, GetCurrentProcess(), &copy, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            copy = nullptr;
        rq.fds.emplace_back(copy);
    }
}

std::vector<uint8_t> replyMessage(const BusRequest& rq, const BusReply& reply) {
    std::vector<uint8_t> m(kPipeReplyHeaderSize);
    putLe32(m.data(), kPipeReplyMagic);
    putLe32(m.data() + 4, rq.tag);
    putLe32(m.data() + 8, reply.success ? 1 : 0);
    putLe32(m.data() + 12, reply.error);
    putLe32(m.data() + 16, uint32_t(reply.output.size()));
    m.insert(m.end(), reply.output.begin(), reply.output.end());
    if (reply.success)
        m.insert(m.end(), reply.attachments.begin(), reply.attachments.end());
    return m;
}

// The server thread's side of the pipe: the connections, and the listener's pending connect.
class PipeServer {
public:
    explicit PipeServer(Simulator::Impl& s)
        : s_(s), pipeName_(simulatedBusPipeName(s.config.index)),
          connectEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    // Serves until the simulator stops.
    void run() {
        if (connectEvent_)
            listen(false);
        while (serveNext()) {
        }
        finish();
    }

private:
    // Waits for the next event and answers it; false once a stop is asked.
    bool serveNext() {
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        DWORD count = 0;
        handles[count++] = s_.wake.handle();
        const bool listening = bool(s_.listener) && conns_.size() < kMaxConnections;
        if (listening)
            handles[count++] = connectEvent_.get();
        const DWORD firstConn = count;
        for (const auto& c : conns_)
            handles[count++] = c->event.get();
        // Bounded, although the wake-up already ends the wait on every change.
        const DWORD r = WaitForMultipleObjects(count, handles, FALSE, 1000);
        if (r == WAIT_TIMEOUT || r == WAIT_FAILED || r >= WAIT_OBJECT_0 + count)
            return true;
        const DWORD which = r - WAIT_OBJECT_0;
        if (which == 0)
            return takeOps();
        if (listening && which == 1)
            acceptClient();
        else if (which >= firstConn)
            serveConnection(which - firstConn);
        return true;
    }

    // Puts the listener (made anew when missing) in wait for the next client.
    // `first`: no instance is left (after an unplug), and another simulator may have come.
    void listen(bool first) {
        if (!s_.listener) {
            HANDLE h = CreateNamedPipeW(pipeName_.c_str(),
                                        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                            (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                        kPipeMode, PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes,
                                        kPipeBufferBytes, 0, ownUserPipeSecurity());
            if (h == INVALID_HANDLE_VALUE) {
                trace("cannot serve " + s_.socketPath + ": error " +
                      std::to_string(GetLastError()));
                return;
            }
            s_.listener.reset(h);
        }
        ResetEvent(connectEvent_.get());
        connectOv_ = OVERLAPPED{};
        connectOv_.hEvent = connectEvent_.get();
        connectedAtOnce_ = false;
        if (ConnectNamedPipe(s_.listener.get(), &connectOv_))
            connectedAtOnce_ = true;
        else if (GetLastError() == ERROR_PIPE_CONNECTED)
            connectedAtOnce_ = true;
        else if (GetLastError() != ERROR_IO_PENDING)
            s_.listener.reset();
        if (connectedAtOnce_)
            SetEvent(connectEvent_.get());
    }

    void dropListener() {
        if (!s_.listener)
            return;
        DWORD n = 0;
        if (!connectedAtOnce_ && CancelIoEx(s_.listener.get(), &connectOv_))
            GetOverlappedResult(s_.listener.get(), &connectOv_, &n, TRUE);
        s_.listener.reset();
    }

    // The operations other threads asked for (unplug, replug); false for a stop.
    bool takeOps() {
        std::unique_lock<std::mutex> lock(s_.mutex);
        if (s_.stopRequested)
            return false;
        if (s_.unplugPending) {
            s_.unplugPending = false;
            conns_.clear();
            dropListener();
            s_.plugged = false;
        }
        if (s_.replugPending) {
            s_.replugPending = false;
            if (!s_.listener)
                listen(true);
            s_.plugged = bool(s_.listener);
            if (!s_.plugged)
                s_.error = "cannot serve " + s_.socketPath + " again";
        }
        s_.connections.store(uint32_t(conns_.size()));
        s_.opDone = s_.opRequested;
        s_.cv.notify_all();
        return true;
    }

    // A client opened the pipe: it gets its verdict, and its connection is kept if taken.
    void acceptClient() {
        DWORD n = 0;
        const bool ok = connectedAtOnce_ ||
                        GetOverlappedResult(s_.listener.get(), &connectOv_, &n, FALSE) ||
                        GetLastError() == ERROR_PIPE_CONNECTED;
        auto c = std::make_unique<Connection>();
        c->pipe = std::move(s_.listener);
        c->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        listen(false);
        if (!ok || !c->event)
            return; // the client went at once; the connection closes
        GetNamedPipeClientProcessId(c->pipe.get(), &c->clientPid);
        const uint32_t verdict = s_.takeOpenVerdict();
        uint8_t message[kPipeOpenVerdictSize];
        putLe32(message, kPipeOpenMagic);
        putLe32(message + 4, verdict);
        if (writeMessage(c->pipe.get(), message, sizeof message, kReplySendTimeoutMs) &&
            verdict == 0 && c->startRead())
            conns_.push_back(std::move(c));
        else if (verdict != 0)
            c->pipe.reset(); // closed, not disconnected: the verdict stays readable
        s_.connections.store(uint32_t(conns_.size()));
    }

    // A connection's read ended: its request is answered, or the connection dropped.
    void serveConnection(std::size_t ci) {
        Connection& c = *conns_[ci];
        if (answer(c) && c.startRead())
            return;
        conns_.erase(conns_.begin() + std::ptrdiff_t(ci));
        s_.connections.store(uint32_t(conns_.size()));
    }

    // False when the connection is to be closed.
    bool answer(Connection& c) {
        DWORD n = 0;
        if (!GetOverlappedResult(c.pipe.get(), &c.ov, &n, FALSE)) {
            if (GetLastError() == ERROR_MORE_DATA)
                trace("malformed request, connection closed");
            return false;
        }
        BusRequest request;
        BusReply reply;
        if (!parseRequest(c.buffer.data(), n, request)) {
            trace("malformed request, connection closed");
            return false;
        }
        takeEvents(c.clientPid, request);
        if (!s_.process(request, reply))
            return true;
        const std::vector<uint8_t> m = replyMessage(request, reply);
        if (writeMessage(c.pipe.get(), m.data(), m.size(), kReplySendTimeoutMs))
            return true;
        trace("a reply could not be delivered, connection closed");
        return false;
    }

    void finish() {
        conns_.clear();
        s_.connections.store(0);
        dropListener();
        std::lock_guard<std::mutex> lock(s_.mutex);
        s_.opDone = s_.opRequested;
        s_.cv.notify_all();
    }

    Simulator::Impl& s_;
    const std::wstring pipeName_;
    std::vector<std::unique_ptr<Connection>> conns_;
    io::OwnedHandle connectEvent_;
    OVERLAPPED connectOv_{};
    bool connectedAtOnce_ = false;
};

} // namespace

bool Simulator::Impl::openTransport() {
    const std::wstring pipeName = simulatedBusPipeName(config.index);
    socketPath = narrow(pipeName);
    timingPath = narrow(simulatedBusMappingName(config.index, L"timing"));
    // The first instance claims the name: a second simulator at this index is refused (asked
    // first as well, for systems that do not keep the first-instance rule).
    if (WaitNamedPipeW(pipeName.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND) {
        error = "another simulator already serves " + socketPath;
        return false;
    }
    listener.reset(CreateNamedPipeW(
        pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        kPipeMode, PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0,
        ownUserPipeSecurity()));
    if (listener.get() == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        listener.release();
        error = err == ERROR_ACCESS_DENIED || err == ERROR_PIPE_BUSY
                    ? "another simulator already serves " + socketPath
                    : "cannot serve " + socketPath + ": error " + std::to_string(err);
        return false;
    }
    if (!inArea)
        inArea = SharedArea::create(narrow(simulatedBusMappingName(config.index, L"input")),
                                    kSharedAreaBytes);
    if (!outArea)
        outArea = SharedArea::create(narrow(simulatedBusMappingName(config.index, L"output")),
                                     kSharedAreaBytes);
    if (!inArea || !outArea) {
        listener.reset();
        error = "cannot create the shared sample areas";
        return false;
    }
    timing = MappedFile::open(timingPath, sizeof(SignalTimes), true);
    if (!timing)
        trace("cannot create " + timingPath + "; signal times are not published");
    return true;
}

void Simulator::Impl::closeTransport() {
    timing.reset();
}

void Simulator::Impl::closeListener() {
    listener.reset();
}

void Simulator::Impl::serve() {
    PipeServer(*this).run();
}

} // namespace halvern::sim
