// The daemon as a person runs it: start, ctl commands, a second daemon, SIGTERM.
#include "daemon_process.h"
#include "test_support.h"

#include "halvern/platform/bus_device.h"
#include "halvern/protocol/bus_protocol.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string kBinary = HALVERN_BUS_SIM_PATH;

struct Result {
    int exitCode = -1;
    std::string output; // standard output and error together
};

Result run(const std::string& args) {
    Result r;
    FILE* p = popen((kBinary + " " + args + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The simulator daemon started as a person would start it.
class Daemon : public halvern::test::DaemonProcess {
public:
    explicit Daemon(const std::vector<std::string>& args) : DaemonProcess(kBinary, args) {}
};

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

TEST(SimDaemon, ServesAnswersCtlAndStopsCleanly) {
    halvern::test::TempRuntimeDir dir;
    const std::string socket = dir.path() + "/bus/HalvernAudioBus2";
    Daemon d({"--model", "kite", "--index", "2", "--firmware", "3.1.4", "--clock-ppm", "-50"});
    ASSERT_TRUE(d.waitFor("ready")) << d.text();
    EXPECT_TRUE(exists(socket));

    Result status = run("ctl --index 2 status");
    EXPECT_EQ(status.exitCode, 0) << status.output;
    EXPECT_NE(status.output.find("model: Kite (15), 4 inputs, 4 outputs"), std::string::npos)
        << status.output;
    EXPECT_NE(status.output.find("firmware: \"3.1.4     \""), std::string::npos);
    EXPECT_NE(status.output.find("clock: -50 ppm"), std::string::npos);

    // A request from a client shows in the journal; an injected fault reaches the client.
    auto h = halvern::platform::openBusDeviceByName(L"\\\\.\\HalvernAudioBus2");
    ASSERT_TRUE(halvern::platform::isValid(h));
    EXPECT_EQ(run("ctl --index 2 fail IOCTL_AUDIO_GET_SAMPLE_RATE 1167 1").exitCode, 0);
    uint8_t rate[4];
    uint32_t got = 0;
    EXPECT_FALSE(halvern::platform::deviceIoControl(
        h, halvern::protocol::IOCTL_AUDIO_GET_SAMPLE_RATE, nullptr, 0, rate, 4, &got));
    EXPECT_EQ(halvern::platform::lastError(), 1167u);
    EXPECT_TRUE(halvern::platform::deviceIoControl(
        h, halvern::protocol::IOCTL_AUDIO_GET_SAMPLE_RATE, nullptr, 0, rate, 4, &got));
    halvern::platform::closeBusDevice(h);
    Result journal = run("ctl --index 2 journal");
    EXPECT_NE(journal.output.find("IOCTL_AUDIO_GET_SAMPLE_RATE in[0] error 1167"),
              std::string::npos)
        << journal.output;
    EXPECT_NE(journal.output.find("IOCTL_AUDIO_GET_SAMPLE_RATE in[0] ok returned 4"),
              std::string::npos);

    // A second daemon on the same index refuses to start and leaves the first alone.
    Result second = run("--index 2");
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.output.find("another simulator"), std::string::npos) << second.output;
    EXPECT_EQ(run("ctl --index 2 status").exitCode, 0);

    EXPECT_EQ(d.stop(SIGTERM), 0) << d.text();
    EXPECT_FALSE(exists(socket));
    EXPECT_FALSE(exists(dir.path() + "/sim/ctl-2"));
    Result gone = run("ctl --index 2 status");
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_NE(gone.output.find("no simulator runs at index 2"), std::string::npos) << gone.output;
}

// A ctl client that stops reading (stopped with Ctrl+Z, say) must not hold the daemon: other
// commands and SIGTERM still get through.
TEST(SimDaemon, AControlClientThatStopsReadingDoesNotHoldTheDaemon) {
    halvern::test::TempRuntimeDir dir;
    Daemon d({"--index", "4"});
    ASSERT_TRUE(d.waitFor("ready")) << d.text();
    // A journal far larger than what the socket buffers hold.
    auto h = halvern::platform::openBusDeviceByName(L"\\\\.\\HalvernAudioBus4");
    ASSERT_TRUE(halvern::platform::isValid(h));
    uint8_t rate[4];
    for (int i = 0; i < 10000; ++i)
        ASSERT_TRUE(halvern::platform::deviceIoControl(
            h, halvern::protocol::IOCTL_AUDIO_GET_SAMPLE_RATE, nullptr, 0, rate, 4, nullptr));
    halvern::platform::closeBusDevice(h);

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string ctl = dir.path() + "/sim/ctl-4";
    std::strncpy(addr.sun_path, ctl.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const char command[] = "journal\n";
    ASSERT_EQ(send(fd, command, sizeof command - 1, MSG_NOSIGNAL), ssize_t(sizeof command - 1));
    shutdown(fd, SHUT_WR);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    const int exitCode = d.stop(SIGTERM, 15000);
    ::close(fd);
    EXPECT_EQ(exitCode, 0) << "the daemon stayed in the reply to a client that does not read";
}

TEST(SimDaemon, RefusesBadArguments) {
    halvern::test::TempRuntimeDir dir;
    for (const char* args : {"--model heron", "--index 16", "--rate 12345", "--buffer-size 9000",
                             "--firmware 1.2.3.4.5.6", "--clock-ppm fast", "--bogus", "ctl",
                             "ctl fly", "ctl fail NOT_A_CODE", "ctl slow IOCTL_DEVICE_GET_PID"}) {
        Result r = run(args);
        EXPECT_EQ(r.exitCode, 2) << args << "\n" << r.output;
        EXPECT_NE(r.output.find("usage:"), std::string::npos) << args;
    }
}

} // namespace
