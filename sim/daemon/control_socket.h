// The daemon's control socket: <runtime>/sim/ctl-<index>, a Unix stream socket that takes one
// text command per connection and answers with text before closing. On Windows it is the pipe
// \\.\pipe\HalvernAudioBus<index>.ctl (control_pipe.cpp), with the same commands.
#pragma once

#include <functional>
#include <string>

namespace halvern::sim::daemon {

class ControlServer {
public:
    ~ControlServer();
    // False with a message when the socket cannot be made or another daemon answers there.
    bool listen(const std::string& path, std::string& error);
    // Waits up to `timeoutMs` for one client and serves it with `handler` (command -> reply).
    void serveOnce(int timeoutMs, const std::function<std::string(const std::string&)>& handler);
    void close();

private:
#if defined(_WIN32)
    void* pipe_ = nullptr;
    void* connectEvent_ = nullptr;
    void* connectOverlapped_ = nullptr;
    bool connected_ = false;
#else
    int fd_ = -1;
#endif
    std::string path_;
};

// Creates `path` with mode 0700 when missing; true when it is a private folder of this user
// (POSIX; always true on Windows, where pipes need no folder).
bool makePrivateFolder(const std::string& path);

enum class ClientResult { Ok, NoServer, Failed };
// Sends `command` and collects the whole reply.
ClientResult sendControlCommand(const std::string& path, const std::string& command,
                                std::string& reply, std::string& error);

} // namespace halvern::sim::daemon
