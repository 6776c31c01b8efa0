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
    const std::wstring pipeName = simulatedBusPipeName(config.index);
    std::vector<std::unique_ptr<Connection>> conns;
    io::OwnedHandle connectEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED connectOv{};
    bool connectedAtOnce = false;

    // Puts the listener (made anew when missing) in wait for the next client.
    // `first`: no instance is left (after an unplug), and another simulator may have come.
    auto listen = [&](bool first) {
        if (!listener) {
            HANDLE h = CreateNamedPipeW(pipeName.c_str(),
                                        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                            (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                        kPipeMode, PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes,
                                        kPipeBufferBytes, 0, ownUserPipeSecurity());
            if (h == INVALID_HANDLE_VALUE) {
                trace("cannot serve " + socketPath + ": error " + std::to_string(GetLastError()));
                return;
            }
            listener.reset(h);
        }
        ResetEvent(connectEvent.get());
        connectOv = OVERLAPPED{};
        connectOv.hEvent = connectEvent.get();
        connectedAtOnce = false;
        if (ConnectNamedPipe(listener.get(), &connectOv))
            connectedAtOnce = true;
        else if (GetLastError() == ERROR_PIPE_CONNECTED)
            connectedAtOnce = true;
        else if (GetLastError() != ERROR_IO_PENDING)
            listener.reset();
        if (connectedAtOnce)
            SetEvent(connectEvent.get());
    };
    auto dropListener = [&]() {
        if (!listener)
            return;
        DWORD n = 0;
        if (!connectedAtOnce && CancelIoEx(listener.get(), &connectOv))
            GetOverlappedResult(listener.get(), &connectOv, &n, TRUE);
        listener.reset();
    };
    if (connectEvent)
        listen(false);

    for (;;) {
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        DWORD count = 0;
        handles[count++] = wake.handle();
        const bool listening = bool(listener) && conns.size() < kMaxConnections;
        if (listening)
            handles[count++] = connectEvent.get();
        const DWORD firstConn = count;
        for (const auto& c : conns)
            handles[count++] = c->event.get();
        // Bounded, although the wake-up already ends the wait on every change.
        const DWORD r = WaitForMultipleObjects(count, handles, FALSE, 1000);
        if (r == WAIT_TIMEOUT || r == WAIT_FAILED || r >= WAIT_OBJECT_0 + count)
            continue;
        const DWORD which = r - WAIT_OBJECT_0;

        if (which == 0) {
            std::unique_lock<std::mutex> lock(mutex);
            if (stopRequested)
                break;
            if (unplugPending) {
                unplugPending = false;
                conns.clear();
                dropListener();
                plugged = false;
            }
            if (replugPending) {
                replugPending = false;
                if (!listener)
                    listen(true);
                plugged = bool(listener);
                if (!plugged)
                    error = "cannot serve " + socketPath + " again";
            }
            connections.store(uint32_t(conns.size()));
            opDone = opRequested;
            cv.notify_all();
            continue;
        }

        if (listening && which == 1) {
            DWORD n = 0;
            const bool ok = connectedAtOnce ||
                            GetOverlappedResult(listener.get(), &connectOv, &n, FALSE) ||
                            GetLastError() == ERROR_PIPE_CONNECTED;
            auto c = std::make_unique<Connection>();
            c->pipe = std::move(listener);
            c->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            listen(false);
            if (!ok || !c->event)
                continue; // the client went at once; the connection closes
            GetNamedPipeClientProcessId(c->pipe.get(), &c->clientPid);
            const uint32_t verdict = takeOpenVerdict();
            uint8_t message[kPipeOpenVerdictSize];
            putLe32(message, kPipeOpenMagic);
            putLe32(message + 4, verdict);
            if (writeMessage(c->pipe.get(), message, sizeof message, kReplySendTimeoutMs) &&
                verdict == 0 && c->startRead())
                conns.push_back(std::move(c));
            else if (verdict != 0)
                c->pipe.reset(); // closed, not disconnected: the verdict stays readable
            connections.store(uint32_t(conns.size()));
            continue;
        }

        if (which < firstConn)
            continue;
        const std::size_t ci = which - firstConn;
        Connection& c = *conns[ci];
        DWORD n = 0;
        bool keep = false;
        if (GetOverlappedResult(c.pipe.get(), &c.ov, &n, FALSE)) {
            BusRequest request;
            BusReply reply;
            if (parseRequest(c.buffer.data(), n, request)) {
                takeEvents(c.clientPid, request);
                keep = true;
                if (process(request, reply)) {
                    const std::vector<uint8_t> m = replyMessage(request, reply);
                    keep = writeMessage(c.pipe.get(), m.data(), m.size(), kReplySendTimeoutMs);
                    if (!keep)
                        trace("a reply could not be delivered, connection closed");
                }
            } else {
                trace("malformed request, connection closed");
            }
        } else if (GetLastError() == ERROR_MORE_DATA) {
            trace("malformed request, connection closed");
        }
        if (keep && c.startRead())
            continue;
        conns.erase(conns.begin() + std::ptrdiff_t(ci));
        connections.store(uint32_t(conns.size()));
    }
    conns.clear();
    connections.store(0);
    dropListener();
    std::lock_guard<std::mutex> lock(mutex);
    opDone = opRequested;
    cv.notify_all();
}

} // namespace halvern::sim
