// Named pipes in both modes, and the server's wait for a client.
#include "halvern/platform/pipe.h"
#include "halvern/platform/runtime_dir.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace halvern;
using namespace halvern::platform;

namespace {

constexpr const char* kName = "\\\\.\\pipe\\HalvernTestPipe";

PipeServerOptions options(PipeMode mode, bool overlapped = true) {
    PipeServerOptions o;
    o.mode = mode;
    o.overlapped = overlapped;
    return o;
}

bool writeAll(Handle h, const std::string& text) {
    uint32_t written = 0;
    return writePipe(h, text.data(), uint32_t(text.size()), &written) && written == text.size();
}

class Pipes : public ::testing::Test {
protected:
    test::TempRuntimeDir runtime;
};

TEST_F(Pipes, BytePipeCarriesBytesBothWays) {
    Handle server = createPipeServer(kName, options(PipeMode::Byte));
    ASSERT_TRUE(isValid(server)) << lastError();
    Handle client = openPipeClient(kName);
    ASSERT_TRUE(isValid(client)) << lastError();
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::ConnectedAtOnce);

    ASSERT_TRUE(writeAll(client, "1"));
    char buffer[16] = {};
    uint32_t got = 0;
    ASSERT_TRUE(readPipe(server, buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "1");

    ASSERT_TRUE(writeAll(server, "hello"));
    ASSERT_TRUE(readPipe(client, buffer, 3, &got)); // a byte pipe has no message bounds
    EXPECT_EQ(std::string(buffer, got), "hel");
    ASSERT_TRUE(readPipe(client, buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "lo");

    closePipeClient(client);
    EXPECT_FALSE(readPipe(server, buffer, sizeof buffer, &got));
    EXPECT_EQ(lastError(), uint32_t(kErrorBrokenPipe));
    EXPECT_FALSE(writeAll(server, "x"));
    EXPECT_EQ(lastError(), uint32_t(kErrorBrokenPipe));
    closePipeServer(server);
}

TEST_F(Pipes, MessagePipeKeepsMessagesWholeAndReportsOversizedOnes) {
    const wchar_t* wide = L"\\\\.\\pipe\\HalvernTestPipe";
    Handle server = createPipeServer(wide, options(PipeMode::Message, false));
    ASSERT_TRUE(isValid(server)) << lastError();
    Handle client = openPipeClient(kName, true);
    ASSERT_TRUE(isValid(client));
    EXPECT_EQ(waitForPipeClient(server, 0), PipeWait::ConnectedAtOnce);

    std::string status(20, '\0');
    status[16] = 1;
    ASSERT_TRUE(writeAll(client, status));
    ASSERT_TRUE(writeAll(client, "second"));
    std::string big(2000, 'B');
    big[1024] = 'X';
    ASSERT_TRUE(writeAll(client, big));
    ASSERT_TRUE(writeAll(client, "after"));

    char buffer[1024];
    uint32_t got = 0;
    ASSERT_TRUE(readPipe(server, buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), status);
    ASSERT_TRUE(readPipe(server, buffer, sizeof buffer, &got));
    EXPECT_EQ(std::string(buffer, got), "second");

    EXPECT_FALSE(readPipe(server, buffer, sizeof buffer, &got));
    EXPECT_EQ(lastError(), uint32_t(kErrorMoreData));
    EXPECT_EQ(got, 1024u);
    EXPECT_EQ(buffer[1023], 'B');
    ASSERT_TRUE(readPipe(server, buffer, sizeof buffer, &got)); // the rest was dropped
    EXPECT_EQ(std::string(buffer, got), "after");

    EXPECT_TRUE(writeAll(client, "")); // an empty message is a message, not an end
    ASSERT_TRUE(readPipe(server, buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u);
    closePipeClient(client);
    EXPECT_FALSE(readPipe(server, buffer, sizeof buffer, &got));
    EXPECT_EQ(lastError(), uint32_t(kErrorBrokenPipe));
    closePipeServer(server);
}

TEST_F(Pipes, ClientWithoutServerFindsNothing) {
    EXPECT_FALSE(isValid(openPipeClient(kName)));
    EXPECT_EQ(lastError(), uint32_t(kErrorFileNotFound));
    EXPECT_FALSE(isValid(openPipeClient(L"\\\\.\\pipe\\HalvernASIOToPannel")));
    EXPECT_EQ(lastError(), uint32_t(kErrorFileNotFound));

    Handle server = createPipeServer(kName, options(PipeMode::Byte));
    ASSERT_TRUE(isValid(server));
    closePipeServer(server);
    EXPECT_FALSE(isValid(openPipeClient(kName))); // gone with its server
    EXPECT_EQ(lastError(), uint32_t(kErrorFileNotFound));

    char buffer[4];
    EXPECT_FALSE(readPipe(invalidHandle(), buffer, 4, nullptr));
    EXPECT_EQ(lastError(), uint32_t(kErrorInvalidHandle));
}

TEST_F(Pipes, WaitTimesOutThenReportsAClientThatCameMeanwhile) {
    Handle server = createPipeServer(kName, options(PipeMode::Byte));
    ASSERT_TRUE(isValid(server));
    EXPECT_EQ(waitForPipeClient(server, 30), PipeWait::TimedOut);
    Handle client = openPipeClient(kName);
    EXPECT_EQ(waitForPipeClient(server, 30), PipeWait::ConnectedAtOnce);
    closePipeClient(client);

    disconnectPipeClient(server);
    std::thread late([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        closePipeClient(openPipeClient(kName));
    });
    EXPECT_EQ(waitForPipeClient(server, 5000), PipeWait::Connected);
    late.join();
    closePipeServer(server);
}

TEST_F(Pipes, CancelEndsTheWaitAndIsNeverAConnection) {
    for (bool overlapped : {true, false}) {
        Handle server = createPipeServer(kName, options(PipeMode::Message, overlapped));
        ASSERT_TRUE(isValid(server));
        std::atomic<int> result{-1};
        std::thread waiter([&] { result = int(waitForPipeClient(server, 10000)); });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_TRUE(cancelPipeWait(server));
        waiter.join();
        EXPECT_EQ(result.load(), int(PipeWait::Cancelled)) << "overlapped " << overlapped;

        // A cancel that comes before the wait is not lost: the next wait ends at once...
        EXPECT_TRUE(cancelPipeWait(server));
        EXPECT_EQ(waitForPipeClient(server, 10000), PipeWait::Cancelled);
        // ...and only that one.
        if (overlapped) {
            EXPECT_EQ(waitForPipeClient(server, 20), PipeWait::TimedOut);
        }
        closePipeServer(server);
    }
}

TEST_F(Pipes, ACancelWinsOverAClientArrivingTogetherAndEndsAStuckRead) {
    Handle server = createPipeServer(kName, options(PipeMode::Message, false));
    ASSERT_TRUE(isValid(server));
    Handle client = openPipeClient(kName);
    ASSERT_TRUE(isValid(client));
    cancelPipeWait(server);
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::Cancelled);
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::ConnectedAtOnce); // the client waited

    // The client never writes: a cancel from another thread ends the server's read.
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        cancelPipeWait(server);
    });
    char buffer[1024];
    uint32_t got = 0;
    EXPECT_FALSE(readPipe(server, buffer, sizeof buffer, &got));
    EXPECT_EQ(lastError(), uint32_t(kErrorOperationAborted));
    canceller.join();
    disconnectPipeClient(server);
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::Cancelled); // still meant for the loop
    closePipeClient(client);
    closePipeServer(server);
}

TEST_F(Pipes, AlreadyConnectedUntilTheClientHangsUp) {
    Handle server = createPipeServer(kName, options(PipeMode::Byte));
    ASSERT_TRUE(isValid(server));
    Handle client = openPipeClient(kName);
    ASSERT_EQ(waitForPipeClient(server, 1000), PipeWait::ConnectedAtOnce);
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::AlreadyConnected);
    EXPECT_EQ(lastError(), uint32_t(kErrorPipeConnected));
    writeAll(client, "1");
    closePipeClient(client);
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::Failed);
    EXPECT_EQ(lastError(), uint32_t(kErrorNoData));
    EXPECT_TRUE(disconnectPipeClient(server));
    EXPECT_EQ(waitForPipeClient(server, 20), PipeWait::TimedOut);
    closePipeServer(server);
}

// A client that connects and then says nothing, or keeps its end open, holds no wait for ever:
// the read gives up after the server's time-out, and the hang-up wait sees it leave.
TEST_F(Pipes, ASilentOrLingeringClientHoldsNoWaitForEver) {
    PipeServerOptions o = options(PipeMode::Byte);
    o.ioTimeoutMs = 100;
    Handle server = createPipeServer(kName, o);
    ASSERT_TRUE(isValid(server));
    Handle client = openPipeClient(kName);
    ASSERT_EQ(waitForPipeClient(server, 1000), PipeWait::ConnectedAtOnce);
    char buffer[16];
    uint32_t got = 0;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(readPipe(server, buffer, sizeof buffer, &got));
    EXPECT_EQ(lastError(), uint32_t(kErrorTimeout));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));

    // Unread bytes are not a hang-up; the close is.
    writeAll(client, "1");
    EXPECT_FALSE(waitForPipeClientGone(server, 30));
    EXPECT_EQ(lastError(), uint32_t(kErrorPipeConnected));
    std::thread leaver([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        closePipeClient(client);
    });
    EXPECT_TRUE(waitForPipeClientGone(server, 5000));
    leaver.join();
    // A cancel ends the hang-up wait and stays for the next wait for a client.
    disconnectPipeClient(server);
    client = openPipeClient(kName);
    ASSERT_EQ(waitForPipeClient(server, 1000), PipeWait::ConnectedAtOnce);
    cancelPipeWait(server);
    EXPECT_FALSE(waitForPipeClientGone(server, 5000));
    EXPECT_EQ(lastError(), uint32_t(kErrorOperationAborted));
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::Cancelled);
    closePipeClient(client);
    closePipeServer(server);
}

TEST_F(Pipes, ClosingTheServerEndsAWaitInAnotherThread) {
    Handle server = createPipeServer(kName, options(PipeMode::Message, false));
    ASSERT_TRUE(isValid(server));
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = int(waitForPipeClient(server, 0xFFFFFFFFu)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(closePipeServer(server));
    waiter.join();
    EXPECT_EQ(result.load(), int(PipeWait::Cancelled));
    EXPECT_FALSE(cancelPipeWait(server));
}

TEST_F(Pipes, InstancesInOneProcessShareTheName) {
    Handle a = createPipeServer(kName, options(PipeMode::Message));
    Handle b = createPipeServer(kName, options(PipeMode::Message));
    ASSERT_TRUE(isValid(a));
    ASSERT_TRUE(isValid(b));
    EXPECT_FALSE(isValid(createPipeServer(kName, options(PipeMode::Byte))));
    PipeServerOptions first = options(PipeMode::Message);
    first.firstInstance = true; // the name is served already: noticed, not shared
    EXPECT_FALSE(isValid(createPipeServer(kName, first)));
    EXPECT_EQ(lastError(), uint32_t(kErrorAccessDenied));
    closePipeServer(a);
    Handle client = openPipeClient(kName); // b still serves the name
    ASSERT_TRUE(isValid(client));
    EXPECT_EQ(waitForPipeClient(b, 1000), PipeWait::ConnectedAtOnce);
    closePipeClient(client);
    closePipeServer(b);
}

TEST_F(Pipes, AnotherProcessesLiveServerMakesTheNameBusyButAStaleFileDoesNot) {
    // A socket file with nobody behind it is replaced.
    std::string path = pipeDirectory() + "/HalvernTestPipe";
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(stale);
    Handle server = createPipeServer(kName, options(PipeMode::Byte));
    ASSERT_TRUE(isValid(server)) << lastError();
    closePipeServer(server);

    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    if (child == 0) {
        Handle h = createPipeServer(kName, options(PipeMode::Byte));
        char c = isValid(h) ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_FALSE(isValid(createPipeServer(kName, options(PipeMode::Byte))));
    EXPECT_EQ(lastError(), uint32_t(kErrorPipeBusy));
    (void)!write(done[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    server = createPipeServer(kName, options(PipeMode::Byte)); // free again after its end
    EXPECT_TRUE(isValid(server));
    closePipeServer(server);
    for (int fd : {ready[0], ready[1], done[0], done[1]})
        close(fd);
}

} // namespace
