// Named pipes: both ends are small records around the pipe HANDLE, so that an overlapped
// server can keep one pending connect across waits and another thread can cancel it.
#include "halvern/platform/pipe.h"

#include "halvern/platform/win32/pipe_security.h"

#include <windows.h>
// Needs the types of windows.h.
#include <sddl.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace halvern::platform {

namespace win32 {

namespace {

// The user this process runs as (TOKEN_USER, SID included), or empty.
std::vector<uint8_t> userOf(HANDLE process) {
    std::vector<uint8_t> user;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return user;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user.resize(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size))
        user.clear();
    CloseHandle(token);
    return user;
}

PSID sidOf(std::vector<uint8_t>& user) {
    return reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
}

} // namespace

SECURITY_ATTRIBUTES* ownUserPipeSecurity() {
    static std::once_flag once;
    static SECURITY_ATTRIBUTES attributes{};
    static bool made = false;
    std::call_once(once, [] {
        std::vector<uint8_t> user = userOf(GetCurrentProcess());
        LPWSTR sid = nullptr;
        if (user.empty() || !ConvertSidToStringSidW(sidOf(user), &sid))
            return;
        // Full access for this user and the system, none for anyone else; not inherited.
        const std::wstring sddl = L"D:P(A;;GA;;;" + std::wstring(sid) + L")(A;;GA;;;SY)";
        LocalFree(sid);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  &descriptor, nullptr))
            return;
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = descriptor; // kept for the life of the process
        attributes.bInheritHandle = FALSE;
        made = true;
    });
    return made ? &attributes : nullptr;
}

bool pipeServerIsOurUser(HANDLE client) {
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(client, &pid))
        return false;
    if (pid == GetCurrentProcessId())
        return true;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr)
        return false;
    std::vector<uint8_t> theirs = userOf(process);
    CloseHandle(process);
    std::vector<uint8_t> ours = userOf(GetCurrentProcess());
    return !theirs.empty() && !ours.empty() && EqualSid(sidOf(ours), sidOf(theirs));
}

} // namespace win32

namespace {

// Longest an overlapped read or write may take before it is cancelled, unless the server
// asks otherwise: the peers exchange one short message right after connecting, so this is only
// ever reached by a stuck peer.
constexpr DWORD kPipeIoTimeoutMs = 5000;
// How often a wait for a connected client to hang up looks again.
constexpr DWORD kHangUpPollMs = 10;

struct PipeEnd {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    bool server = false;
    bool overlapped = false;
    DWORD ioTimeoutMs = kPipeIoTimeoutMs;
    HANDLE ioEvent = nullptr; // manual-reset, overlapped reads and writes

    // Server only: the connect that a timed-out wait leaves pending, resumed by the next wait.
    HANDLE connectEvent = nullptr; // manual-reset
    OVERLAPPED connect{};
    bool connectPending = false;
    // Set by cancelPipeWait(); consumed by the wait it ends. A cancel that finds no pending
    // connect ends the next wait, so a cancel racing with the start of a wait is never lost.
    std::atomic<bool> cancelRequested{false};
};

PipeEnd* endOf(Handle h) {
    return isValid(h) ? static_cast<PipeEnd*>(h) : nullptr;
}

// Frees a record whose pipe has no operation pending any more.
void destroy(PipeEnd* end) {
    if (end->pipe != INVALID_HANDLE_VALUE)
        CloseHandle(end->pipe);
    if (end->ioEvent != nullptr)
        CloseHandle(end->ioEvent);
    if (end->connectEvent != nullptr)
        CloseHandle(end->connectEvent);
    delete end;
}

// Wraps a freshly opened pipe HANDLE; closes it and fails when the record cannot be made.
Handle wrap(HANDLE pipe, bool server, bool overlapped, DWORD ioTimeoutMs = kPipeIoTimeoutMs) {
    if (pipe == INVALID_HANDLE_VALUE)
        return invalidHandle();
    auto* end = new (std::nothrow) PipeEnd;
    if (end == nullptr) {
        CloseHandle(pipe);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return invalidHandle();
    }
    end->pipe = pipe;
    end->server = server;
    end->overlapped = overlapped;
    end->ioTimeoutMs = ioTimeoutMs;
    if (overlapped) {
        end->ioEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (server)
            end->connectEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (end->ioEvent == nullptr || (server && end->connectEvent == nullptr)) {
            const DWORD error = GetLastError();
            destroy(end);
            SetLastError(error);
            return invalidHandle();
        }
    }
    return end;
}

DWORD openMode(const PipeServerOptions& options) {
    return PIPE_ACCESS_DUPLEX | (options.overlapped ? FILE_FLAG_OVERLAPPED : 0) |
           (options.firstInstance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
}

DWORD pipeMode(const PipeServerOptions& options) {
    return win32::kLocalClientsOnly | (options.mode == PipeMode::Message
                                           ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT
                                           : PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT);
}

// Whether some process serves `name` already. Asked as well as FILE_FLAG_FIRST_PIPE_INSTANCE,
// which not every system keeps (Wine makes a further instance).
template <typename Char, typename Wait> bool nameServed(const Char* name, Wait wait) {
    return wait(name, 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

// Without the security attributes a pipe would take the default ones, open to other users.
bool securityReady() {
    if (win32::ownUserPipeSecurity() != nullptr)
        return true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

// A client reads a message pipe message by message, as the server does; a client handle
// starts in byte read mode whatever the pipe's type.
void readMessagesIfMessagePipe(HANDLE pipe) {
    DWORD flags = 0;
    if (GetNamedPipeInfo(pipe, &flags, nullptr, nullptr, nullptr) && (flags & PIPE_TYPE_MESSAGE)) {
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    }
}

Handle finishClientOpen(HANDLE pipe, bool overlapped) {
    if (pipe == INVALID_HANDLE_VALUE)
        return invalidHandle();
    // A pipe another user serves (made before ours) is not the peer we mean to talk to.
    if (!win32::pipeServerIsOurUser(pipe)) {
        CloseHandle(pipe);
        SetLastError(ERROR_ACCESS_DENIED);
        return invalidHandle();
    }
    readMessagesIfMessagePipe(pipe);
    return wrap(pipe, false, overlapped);
}

// One overlapped read or write, waited for synchronously within kPipeIoTimeoutMs.
template <typename Start> bool overlappedIo(PipeEnd* end, Start start, uint32_t* transferred) {
    OVERLAPPED ov{};
    ov.hEvent = end->ioEvent;
    ResetEvent(end->ioEvent);
    if (!start(&ov)) {
        const DWORD error = GetLastError();
        // ERROR_MORE_DATA completes the read at once; its count comes from the result below.
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) {
            SetLastError(error);
            return false;
        }
        if (error == ERROR_IO_PENDING &&
            WaitForSingleObject(end->ioEvent, end->ioTimeoutMs) != WAIT_OBJECT_0) {
            // Cancellation completes at once; `ov` must outlive the operation.
            CancelIoEx(end->pipe, &ov);
            DWORD ignored = 0;
            GetOverlappedResult(end->pipe, &ov, &ignored, TRUE);
            DWORD bytes = 0;
            if (GetOverlappedResult(end->pipe, &ov, &bytes, FALSE)) {
                *transferred = bytes; // finished just before the cancel
                return true;
            }
            *transferred = bytes;
            SetLastError(ERROR_TIMEOUT);
            return false;
        }
    }
    DWORD bytes = 0;
    const BOOL ok = GetOverlappedResult(end->pipe, &ov, &bytes, FALSE);
    const DWORD error = GetLastError();
    *transferred = bytes;
    if (!ok)
        SetLastError(error);
    return ok != FALSE;
}

} // namespace

namespace {

// The narrow and the wide name take the same steps through their own pair of calls.
template <typename Char, typename Create, typename Wait>
Handle createServer(const Char* name, const PipeServerOptions& options, Create create,
                    Wait waitNamed) {
    if (!securityReady())
        return invalidHandle();
    if (options.firstInstance && nameServed(name, waitNamed)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return invalidHandle();
    }
    HANDLE pipe =
        create(name, openMode(options), pipeMode(options), options.maxInstances, options.bufferSize,
               options.bufferSize, options.defaultTimeoutMs, win32::ownUserPipeSecurity());
    return wrap(pipe, true, options.overlapped, options.ioTimeoutMs);
}

} // namespace

Handle createPipeServer(const char* name, const PipeServerOptions& options) {
    return createServer(name, options, CreateNamedPipeA, WaitNamedPipeA);
}

Handle createPipeServer(const wchar_t* name, const PipeServerOptions& options) {
    return createServer(name, options, CreateNamedPipeW, WaitNamedPipeW);
}

PipeWait waitForPipeClient(Handle server, uint32_t timeoutMs) {
    PipeEnd* end = endOf(server);
    if (end == nullptr || !end->server) {
        SetLastError(ERROR_INVALID_HANDLE);
        return PipeWait::Failed;
    }
    auto cancelled = [end] {
        end->cancelRequested.store(false);
        SetLastError(ERROR_OPERATION_ABORTED);
        return PipeWait::Cancelled;
    };

    if (!end->overlapped) {
        if (end->cancelRequested.load())
            return cancelled();
        if (ConnectNamedPipe(end->pipe, nullptr))
            return PipeWait::Connected;
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED)
            return PipeWait::AlreadyConnected;
        if (error == ERROR_OPERATION_ABORTED)
            return cancelled();
        SetLastError(error);
        return PipeWait::Failed;
    }

    if (!end->connectPending) {
        if (end->cancelRequested.load())
            return cancelled();
        end->connect = OVERLAPPED{};
        end->connect.hEvent = end->connectEvent;
        ResetEvent(end->connectEvent);
        if (ConnectNamedPipe(end->pipe, &end->connect))
            return PipeWait::ConnectedAtOnce;
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED)
            return PipeWait::AlreadyConnected;
        if (error != ERROR_IO_PENDING) {
            SetLastError(error);
            return PipeWait::Failed;
        }
        end->connectPending = true;
    }
    // A cancel that came while the connect was being started found nothing to cancel.
    if (end->cancelRequested.load())
        CancelIoEx(end->pipe, &end->connect);

    const DWORD wait = WaitForSingleObject(end->connectEvent, timeoutMs);
    if (wait == WAIT_TIMEOUT) {
        SetLastError(ERROR_IO_PENDING); // the connect stays pending for the next wait
        return PipeWait::TimedOut;
    }
    if (wait != WAIT_OBJECT_0)
        return PipeWait::Failed;

    end->connectPending = false;
    DWORD unused = 0;
    if (GetOverlappedResult(end->pipe, &end->connect, &unused, FALSE))
        return PipeWait::Connected;
    const DWORD error = GetLastError();
    if (error == ERROR_OPERATION_ABORTED)
        return cancelled();
    if (error == ERROR_PIPE_CONNECTED)
        return PipeWait::AlreadyConnected;
    SetLastError(error);
    return PipeWait::Failed;
}

bool cancelPipeWait(Handle server) {
    PipeEnd* end = endOf(server);
    if (end == nullptr || !end->server) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    end->cancelRequested.store(true);
    // Ends the pending connect, and a read that waits for a client that never writes; the
    // cancel stays recorded until a wait takes it.
    if (!CancelIoEx(end->pipe, nullptr) && GetLastError() != ERROR_NOT_FOUND)
        return false;
    return true;
}

bool waitForPipeClientGone(Handle server, uint32_t timeoutMs) {
    PipeEnd* end = endOf(server);
    if (end == nullptr || !end->server) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // No event tells a server that its client closed without reading from the pipe, which the
    // callers never do: look at the pipe's state at a short interval instead.
    const DWORD start = GetTickCount();
    for (;;) {
        if (end->cancelRequested.load()) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        }
        DWORD available = 0;
        if (!PeekNamedPipe(end->pipe, nullptr, 0, nullptr, &available, nullptr)) {
            const DWORD error = GetLastError();
            // Broken: the client has gone; listening or not connected: there was none.
            if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_LISTENING ||
                error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA)
                return true;
            SetLastError(error);
            return false;
        }
        if (GetTickCount() - start >= timeoutMs) {
            SetLastError(ERROR_PIPE_CONNECTED);
            return false;
        }
        Sleep(kHangUpPollMs);
    }
}

bool takeClientByte(Handle server, uint32_t timeoutMs) {
    PipeEnd* end = endOf(server);
    if (end == nullptr || !end->server) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (end->cancelRequested.load()) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return false;
    }
    uint8_t byte = 0;
    if (!end->overlapped) {
        const DWORD start = GetTickCount();
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(end->pipe, nullptr, 0, nullptr, &available, nullptr))
                return false;
            DWORD got = 0;
            if (available > 0)
                return ReadFile(end->pipe, &byte, 1, &got, nullptr) ||
                       GetLastError() == ERROR_MORE_DATA;
            if (GetTickCount() - start >= timeoutMs) {
                SetLastError(ERROR_TIMEOUT);
                return false;
            }
            Sleep(kHangUpPollMs);
        }
    }
    const DWORD usual = end->ioTimeoutMs;
    end->ioTimeoutMs = timeoutMs;
    uint32_t got = 0;
    const bool ok = overlappedIo(
        end, [&](OVERLAPPED* ov) { return ReadFile(end->pipe, &byte, 1, nullptr, ov) != FALSE; },
        &got);
    const DWORD error = GetLastError();
    end->ioTimeoutMs = usual;
    // A longer message than the one byte asked for has come all the same.
    if ((ok && got == 1) || (!ok && error == ERROR_MORE_DATA))
        return true;
    SetLastError(ok ? ERROR_BROKEN_PIPE : error);
    return false;
}

bool disconnectPipeClient(Handle server) {
    PipeEnd* end = endOf(server);
    if (end == nullptr || !end->server) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return DisconnectNamedPipe(end->pipe) != FALSE;
}

bool closePipeServer(Handle server) {
    PipeEnd* end = endOf(server);
    if (end == nullptr || !end->server) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (end->connectPending) {
        // The system writes into the record's OVERLAPPED until the connect completes.
        CancelIoEx(end->pipe, &end->connect);
        DWORD ignored = 0;
        GetOverlappedResult(end->pipe, &end->connect, &ignored, TRUE);
        end->connectPending = false;
    }
    const BOOL closed = CloseHandle(end->pipe);
    const DWORD error = GetLastError();
    end->pipe = INVALID_HANDLE_VALUE;
    destroy(end);
    if (!closed)
        SetLastError(error);
    return closed != FALSE;
}

Handle openPipeClient(const char* name, bool overlapped) {
    HANDLE pipe =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    (overlapped ? FILE_FLAG_OVERLAPPED : 0) | win32::kIdentifyOnly, nullptr);
    return finishClientOpen(pipe, overlapped);
}

Handle openPipeClient(const wchar_t* name, bool overlapped) {
    HANDLE pipe =
        CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    (overlapped ? FILE_FLAG_OVERLAPPED : 0) | win32::kIdentifyOnly, nullptr);
    return finishClientOpen(pipe, overlapped);
}

bool closePipeClient(Handle client) {
    PipeEnd* end = endOf(client);
    if (end == nullptr || end->server) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    const BOOL closed = CloseHandle(end->pipe);
    const DWORD error = GetLastError();
    end->pipe = INVALID_HANDLE_VALUE;
    destroy(end);
    if (!closed)
        SetLastError(error);
    return closed != FALSE;
}

bool readPipe(Handle pipe, void* buffer, uint32_t size, uint32_t* read) {
    uint32_t local = 0;
    uint32_t* count = read != nullptr ? read : &local;
    *count = 0;
    PipeEnd* end = endOf(pipe);
    if (end == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // A server that was told to stop does not start waiting for a client's bytes.
    if (end->server && end->cancelRequested.load()) {
        DWORD available = 0;
        if (PeekNamedPipe(end->pipe, nullptr, 0, nullptr, &available, nullptr) && available == 0) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        }
    }
    if (end->overlapped) {
        return overlappedIo(
            end,
            [&](OVERLAPPED* ov) { return ReadFile(end->pipe, buffer, size, nullptr, ov) != FALSE; },
            count);
    }
    DWORD bytes = 0;
    const BOOL ok = ReadFile(end->pipe, buffer, size, &bytes, nullptr);
    *count = bytes;
    return ok != FALSE;
}

bool writePipe(Handle pipe, const void* data, uint32_t size, uint32_t* written) {
    uint32_t local = 0;
    uint32_t* count = written != nullptr ? written : &local;
    *count = 0;
    PipeEnd* end = endOf(pipe);
    if (end == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (end->overlapped) {
        return overlappedIo(
            end,
            [&](OVERLAPPED* ov) { return WriteFile(end->pipe, data, size, nullptr, ov) != FALSE; },
            count);
    }
    DWORD bytes = 0;
    const BOOL ok = WriteFile(end->pipe, data, size, &bytes, nullptr);
    *count = bytes;
    return ok != FALSE;
}

} // namespace halvern::platform
