// The daemon's control pipe on Windows. A command is one line; the reply is its length (u32,
// little-endian) and its text, after which the client closes and the next client is served.
#include "control_socket.h"

#include "halvern/platform/win32/pipe_security.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace halvern::sim::daemon {

namespace {
constexpr std::size_t kMaxCommand = 4096;
constexpr DWORD kIoTimeoutMs = 5000;
constexpr std::size_t kMaxReply = std::size_t(64) << 20;

// One overlapped read or write on `h`, waited for at most `timeoutMs`, cancelled after that.
bool transfer(HANDLE h, bool write, void* data, DWORD size, DWORD timeoutMs, DWORD& done) {
    done = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr)
        return false;
    BOOL ok =
        write ? WriteFile(h, data, size, nullptr, &ov) : ReadFile(h, data, size, nullptr, &ov);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0)
            CancelIoEx(h, &ov);
        ok = GetOverlappedResult(h, &ov, &done, TRUE);
    }
    CloseHandle(ov.hEvent);
    return ok != FALSE;
}

bool writeAll(HANDLE h, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        DWORD n = 0;
        const DWORD chunk = DWORD(std::min<std::size_t>(text.size() - sent, 1 << 16));
        if (!transfer(h, true, const_cast<char*>(text.data() + sent), chunk, kIoTimeoutMs, n) ||
            n == 0)
            return false;
        sent += n;
    }
    return true;
}

bool readExactly(HANDLE h, char* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        DWORD n = 0;
        const DWORD chunk = DWORD(std::min<std::size_t>(size - got, 1 << 16));
        if (!transfer(h, false, data + got, chunk, kIoTimeoutMs, n) || n == 0)
            return false;
        got += n;
    }
    return true;
}

std::string framed(const std::string& reply) {
    std::string m(4, '\0');
    const uint32_t n = uint32_t(reply.size());
    for (int i = 0; i < 4; ++i)
        m[std::size_t(i)] = char((n >> (8 * i)) & 0xFF);
    return m + reply;
}
} // namespace

bool makePrivateFolder(const std::string&) {
    return true; // pipes need no folder
}

ControlServer::~ControlServer() {
    close();
}

bool ControlServer::listen(const std::string& path, std::string& error) {
    // Commands come from this user's processes on this machine only.
    HANDLE h = CreateNamedPipeA(
        path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | platform::win32::kLocalClientsOnly, 1,
        1 << 16, 1 << 16, 0, platform::win32::ownUserPipeSecurity());
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        error = err == ERROR_ACCESS_DENIED || err == ERROR_PIPE_BUSY
                    ? "another simulator answers on " + path
                    : "cannot create " + path + ": error " + std::to_string(err);
        return false;
    }
    pipe_ = h;
    connectEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    connectOverlapped_ = new OVERLAPPED{};
    path_ = path;
    connected_ = false;
    return connectEvent_ != nullptr;
}

void ControlServer::serveOnce(int timeoutMs,
                              const std::function<std::string(const std::string&)>& handler) {
    if (pipe_ == nullptr)
        return;
    auto* ov = static_cast<OVERLAPPED*>(connectOverlapped_);
    if (!connected_ && ov->hEvent == nullptr) {
        *ov = OVERLAPPED{};
        ov->hEvent = connectEvent_;
        ResetEvent(connectEvent_);
        if (ConnectNamedPipe(pipe_, ov) || GetLastError() == ERROR_PIPE_CONNECTED) {
            connected_ = true;
            ov->hEvent = nullptr;
        } else if (GetLastError() != ERROR_IO_PENDING) {
            ov->hEvent = nullptr;
            Sleep(DWORD(timeoutMs));
            return;
        }
    }
    if (!connected_) {
        if (WaitForSingleObject(connectEvent_, DWORD(timeoutMs)) != WAIT_OBJECT_0)
            return;
        DWORD n = 0;
        connected_ = GetOverlappedResult(pipe_, ov, &n, FALSE) != FALSE;
        ov->hEvent = nullptr;
        if (!connected_) {
            DisconnectNamedPipe(pipe_);
            return;
        }
    }
    std::string command;
    char c = 0;
    bool complete = false;
    while (command.size() < kMaxCommand && readExactly(pipe_, &c, 1)) {
        if (c == '\n') {
            complete = true;
            break;
        }
        command.push_back(c);
    }
    if (writeAll(pipe_, framed(complete ? handler(command)
                                        : "error: incomplete or oversized command\n"))) {
        // Unread bytes die with the disconnect: wait (bounded) until the client has closed.
        DWORD n = 0;
        transfer(pipe_, false, &c, 1, kIoTimeoutMs, n);
    }
    DisconnectNamedPipe(pipe_);
    connected_ = false;
}

void ControlServer::close() {
    if (pipe_ == nullptr)
        return;
    auto* ov = static_cast<OVERLAPPED*>(connectOverlapped_);
    DWORD n = 0;
    if (ov->hEvent != nullptr && CancelIoEx(pipe_, ov))
        GetOverlappedResult(pipe_, ov, &n, TRUE);
    CloseHandle(pipe_);
    CloseHandle(connectEvent_);
    delete ov;
    pipe_ = nullptr;
    connectEvent_ = nullptr;
    connectOverlapped_ = nullptr;
}

ClientResult sendControlCommand(const std::string& path, const std::string& command,
                                std::string& reply, std::string& error) {
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 3 && h == INVALID_HANDLE_VALUE; ++attempt) {
        h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | platform::win32::kIdentifyOnly, nullptr);
        if (h != INVALID_HANDLE_VALUE && !platform::win32::pipeServerIsOurUser(h)) {
            CloseHandle(h);
            error = path + " is served by a process of another user";
            return ClientResult::Failed;
        }
        if (h != INVALID_HANDLE_VALUE)
            break;
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND)
            return ClientResult::NoServer;
        if (err != ERROR_PIPE_BUSY) {
            error = "cannot reach " + path + ": error " + std::to_string(err);
            return ClientResult::Failed;
        }
        WaitNamedPipeA(path.c_str(), kIoTimeoutMs); // another client is being served
    }
    if (h == INVALID_HANDLE_VALUE) {
        error = "cannot reach " + path + ": busy";
        return ClientResult::Failed;
    }
    char size[4];
    bool ok = writeAll(h, command) && readExactly(h, size, 4);
    if (ok) {
        uint32_t n = 0;
        for (int i = 3; i >= 0; --i)
            n = (n << 8) | uint8_t(size[i]);
        ok = n <= kMaxReply;
        if (ok) {
            reply.resize(n);
            ok = n == 0 || readExactly(h, &reply[0], n);
        }
    }
    CloseHandle(h);
    if (!ok) {
        error = "no complete reply from " + path;
        return ClientResult::Failed;
    }
    return ClientResult::Ok;
}

} // namespace halvern::sim::daemon
