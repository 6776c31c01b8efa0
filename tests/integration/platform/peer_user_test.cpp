// Sockets of another user: a device or pipe server that another user listens on is never
// talked to, and another user's process never gets an open or a connection. Needs root, which
// can act as another user in a child process.
#include "bus_device_loop.h"
#include "halvern/platform/bus_device.h"
#include "halvern/platform/pipe.h"
#include "halvern/platform/runtime_dir.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <linux/securebits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace halvern;
using namespace halvern::platform;

namespace {

constexpr uid_t kOtherUser = 65534;

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    return a;
}

// Runs `act` in a child whose effective user is another one (keeping root's access to the
// folders, so that only the user differs); its result is the child's exit code. `ready` is
// written once the child is set up, for the parent to wait on.
class OtherUser {
public:
    explicit OtherUser(std::function<int(int ready)> act) {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            if (prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP) != 0 || seteuid(kOtherUser) != 0)
                _exit(77);
            _exit(act(fds[1]));
        }
        ::close(fds[1]);
        ready_ = fds[0];
    }
    ~OtherUser() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (ready_ >= 0)
            ::close(ready_);
    }
    bool waitReady() {
        pollfd p{ready_, POLLIN, 0};
        char c;
        return poll(&p, 1, 5000) > 0 && read(ready_, &c, 1) == 1;
    }
    int exitCode() {
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int ready_ = -1;
    bool reaped_ = false;
};

// Binds as root, then listens as the other user (the peer's user is the one that listened) and
// takes connections, answering each with `greeting` until killed.
int serveAsOtherUser(int ready, int type, const std::string& path, const std::string& greeting) {
    int fd = socket(AF_UNIX, type, 0);
    sockaddr_un a = addressOf(path);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return 2;
    if (listen(fd, 8) != 0 || write(ready, "r", 1) != 1)
        return 3;
    for (;;) {
        int c = accept(fd, nullptr, nullptr);
        if (c >= 0 && send(c, greeting.data(), greeting.size(), MSG_NOSIGNAL) < 0)
            return 4;
    }
}

// Connects as the other user and reports whether anything came back within a second (0: the
// connection was dropped or ignored, 1: the server answered).
int connectAsOtherUser(int ready, int type, const std::string& path) {
    int fd = socket(AF_UNIX, type, 0);
    sockaddr_un a = addressOf(path);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return 2;
    if (write(ready, "r", 1) != 1)
        return 3;
    pollfd p{fd, POLLIN, 0};
    char c;
    return poll(&p, 1, 1000) > 0 && recv(fd, &c, 1, 0) == 1 ? 1 : 0;
}

class PeerUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to act as another user";
    }
    test::TempRuntimeDir runtime;
};

TEST_F(PeerUser, AServerOfAnotherUserIsNeverReached) {
    const std::string openVerdict("HBOP\0\0\0\0", 8);
    struct Case {
        const char* what;
        int type;
        std::string path;
        std::function<bool()> open; // leaves the open's error in lastError()
    } cases[] = {
        {"bus device", SOCK_SEQPACKET, busDirectory() + "/HalvernAudioBus0",
         [] {
             Handle h = openBusDeviceByName(L"\\\\.\\HalvernAudioBus0");
             return isValid(h);
         }},
        {"pipe", SOCK_STREAM, pipeDirectory() + "/HalvernPannelToASIO",
         [] {
             Handle h = openPipeClient("\\\\.\\pipe\\HalvernPannelToASIO");
             return isValid(h);
         }},
    };
    for (Case& c : cases) {
        OtherUser server(
            [&](int ready) { return serveAsOtherUser(ready, c.type, c.path, openVerdict); });
        ASSERT_TRUE(server.waitReady()) << c.what;
        setLastError(0);
        EXPECT_FALSE(c.open()) << c.what;
        EXPECT_EQ(lastError(), uint32_t(kErrorAccessDenied)) << c.what;
        unlink(c.path.c_str());
    }
}

TEST_F(PeerUser, AClientOfAnotherUserGetsNoOpenAndNoConnection) {
    std::atomic<int> requests{0};
    test::BusDeviceLoop device(
        busDirectory() + "/HalvernAudioBus0", [](int fd) { return posix::sendOpenVerdict(fd, 0); },
        [&](int, posix::BusRequest&) { return ++requests > 0; });
    ASSERT_TRUE(device.listening());
    PipeServerOptions o;
    o.overlapped = true;
    Handle pipe = createPipeServer("\\\\.\\pipe\\HalvernPannelToASIO", o);
    ASSERT_TRUE(isValid(pipe));

    const std::string busPath = busDirectory() + "/HalvernAudioBus0";
    const std::string pipePath = pipeDirectory() + "/HalvernPannelToASIO";
    OtherUser busClient(
        [&](int ready) { return connectAsOtherUser(ready, SOCK_SEQPACKET, busPath); });
    EXPECT_EQ(busClient.exitCode(), 0) << "the device answered another user's open";

    OtherUser pipeClient(
        [&](int ready) { return connectAsOtherUser(ready, SOCK_STREAM, pipePath); });
    ASSERT_TRUE(pipeClient.waitReady());
    EXPECT_EQ(waitForPipeClient(pipe, 300), PipeWait::TimedOut);
    Handle ours = openPipeClient("\\\\.\\pipe\\HalvernPannelToASIO");
    EXPECT_NE(waitForPipeClient(pipe, 1000), PipeWait::TimedOut);
    closePipeClient(ours);
    closePipeServer(pipe);
}

} // namespace
