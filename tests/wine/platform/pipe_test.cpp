// Named pipes of the Windows platform layer, on Wine's real pipe implementation.
#include "halvern/platform/clock.h"
#include "halvern/platform/event.h"
#include "halvern/platform/pipe.h"
#include "halvern/platform/thread.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace halvern::platform;

namespace {

std::string uniquePipeName(const char* tag) {
    static std::atomic<int> counter{0};
    return std::string("\\\\.\\pipe\\HalvernWineTest-") + tag + "-" +
           std::to_string(currentThreadId()) + "-" + std::to_string(counter++);
}

std::wstring wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

PipeServerOptions options(PipeMode mode, bool overlapped) {
    PipeServerOptions o;
    o.mode = mode;
    o.overlapped = overlapped;
    o.bufferSize = mode == PipeMode::Message ? 65536 : 1024;
    o.defaultTimeoutMs = mode == PipeMode::Message ? 300 : 1000;
    return o;
}

uint64_t elapsedMs(uint64_t startNs) {
    return (monotonicNs() - startNs) / 1000000;
}

} // namespace

TEST(WinePipe, ByteModeMergesWritesAndCarriesBytesBothWays) {
    const std::string name = uniquePipeName("byte");
    Handle server = createPipeServer(name.c_str(), options(PipeMode::Byte, true));
    ASSERT_TRUE(isValid(server)) << lastError();
    Handle client = openPipeClient(wide(name).c_str());
    ASSERT_TRUE(isValid(client)) << lastError();
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::AlreadyConnected);

    uint32_t count = 0;
    ASSERT_TRUE(writePipe(client, "1", 1, &count));
    EXPECT_EQ(count, 1u);
    ASSERT_TRUE(writePipe(client, "23", 2, &count));
    char buffer[16] = {};
    ASSERT_TRUE(readPipe(server, buffer, sizeof buffer, &count)) << lastError();
    EXPECT_EQ(std::string(buffer, count), "123"); // a byte pipe keeps no boundaries

    ASSERT_TRUE(writePipe(server, "ok", 2, &count)) << lastError();
    ASSERT_TRUE(readPipe(client, buffer, sizeof buffer, &count)) << lastError();
    EXPECT_EQ(std::string(buffer, count), "ok");

    EXPECT_TRUE(closePipeClient(client));
    EXPECT_TRUE(closePipeServer(server));
}

TEST(WinePipe, MessageModeKeepsBoundariesAndReportsOversizedMessages) {
    const std::string name = uniquePipeName("message");
    Handle server = createPipeServer(wide(name).c_str(), options(PipeMode::Message, true));
    ASSERT_TRUE(isValid(server)) << lastError();
    // Opened like the driver opens the panel's pipe: overlapped, written synchronously.
    Handle client = openPipeClient(name.c_str(), true);
    ASSERT_TRUE(isValid(client)) << lastError();
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::AlreadyConnected);

    const uint32_t status[5] = {256, 1024, 44100, 1, 1};
    char big[100];
    for (int i = 0; i < 100; ++i)
        big[i] = static_cast<char>(i);
    uint32_t count = 0;
    ASSERT_TRUE(writePipe(client, status, sizeof status, &count)) << lastError();
    EXPECT_EQ(count, 20u);
    ASSERT_TRUE(writePipe(client, big, sizeof big, &count)) << lastError();
    EXPECT_EQ(count, 100u);

    char buffer[1024] = {};
    ASSERT_TRUE(readPipe(server, buffer, sizeof buffer, &count)) << lastError();
    ASSERT_EQ(count, 20u);
    EXPECT_EQ(std::memcmp(buffer, status, 20), 0);

    // Larger than the buffer: the buffer is filled and the read fails with 234.
    char small[16] = {};
    EXPECT_FALSE(readPipe(server, small, sizeof small, &count));
    EXPECT_EQ(lastError(), kErrorMoreData);
    EXPECT_EQ(count, 16u);
    EXPECT_EQ(std::memcmp(small, big, 16), 0);
    // Windows keeps the rest of the message for the next read.
    ASSERT_TRUE(readPipe(server, buffer, sizeof buffer, &count)) << lastError();
    EXPECT_EQ(count, 84u);
    EXPECT_EQ(std::memcmp(buffer, big + 16, 84), 0);

    // The client end reads message by message too.
    ASSERT_TRUE(writePipe(server, big, 40, &count)) << lastError();
    EXPECT_FALSE(readPipe(client, small, 8, &count));
    EXPECT_EQ(lastError(), kErrorMoreData);
    EXPECT_EQ(count, 8u);

    EXPECT_TRUE(closePipeClient(client));
    EXPECT_TRUE(closePipeServer(server));
}

TEST(WinePipe, CancelledWaitIsReportedAsCancelledNeverAsAConnection) {
    const std::string name = uniquePipeName("cancel");
    Handle server = createPipeServer(name.c_str(), options(PipeMode::Byte, true));
    ASSERT_TRUE(isValid(server)) << lastError();

    std::thread canceller([server] {
        sleepMs(100);
        cancelPipeWait(server);
    });
    const uint64_t start = monotonicNs();
    const PipeWait result = waitForPipeClient(server, 5000);
    const uint64_t waited = elapsedMs(start);
    canceller.join();
    EXPECT_EQ(result, PipeWait::Cancelled);
    EXPECT_LT(waited, 4000u);

    // The server is still usable: the next client is reported as a connection.
    Handle client = openPipeClient(name.c_str());
    ASSERT_TRUE(isValid(client)) << lastError();
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::AlreadyConnected);
    EXPECT_TRUE(closePipeClient(client));
    EXPECT_TRUE(closePipeServer(server));
}

TEST(WinePipe, CancelBeforeTheWaitEndsTheNextWaitOnly) {
    const std::string name = uniquePipeName("early-cancel");
    Handle server = createPipeServer(name.c_str(), options(PipeMode::Byte, true));
    ASSERT_TRUE(isValid(server)) << lastError();

    EXPECT_TRUE(cancelPipeWait(server));
    const uint64_t start = monotonicNs();
    EXPECT_EQ(waitForPipeClient(server, 5000), PipeWait::Cancelled);
    EXPECT_LT(elapsedMs(start), 4000u);
    EXPECT_EQ(waitForPipeClient(server, 50), PipeWait::TimedOut);
    EXPECT_TRUE(closePipeServer(server));
}

TEST(WinePipe, TimedOutWaitIsResumedByTheNextWait) {
    const std::string name = uniquePipeName("resume");
    Handle server = createPipeServer(name.c_str(), options(PipeMode::Message, true));
    ASSERT_TRUE(isValid(server)) << lastError();

    const uint64_t start = monotonicNs();
    EXPECT_EQ(waitForPipeClient(server, 100), PipeWait::TimedOut);
    EXPECT_GE(elapsedMs(start), 90u);

    Handle client = openPipeClient(name.c_str(), true);
    ASSERT_TRUE(isValid(client)) << lastError();
    // The pending connect completes; a restarted one would see ERROR_PIPE_CONNECTED instead.
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::Connected);

    uint32_t count = 0;
    ASSERT_TRUE(writePipe(client, "1", 1, &count)) << lastError();
    char byte = 0;
    ASSERT_TRUE(readPipe(server, &byte, 1, &count)) << lastError();
    EXPECT_EQ(byte, '1');
    EXPECT_TRUE(closePipeClient(client));
    EXPECT_TRUE(closePipeServer(server));
}

TEST(WinePipe, ClientWithoutServerGetsFileNotFound) {
    const std::string name = uniquePipeName("absent");
    setLastError(0);
    EXPECT_FALSE(isValid(openPipeClient(name.c_str())));
    EXPECT_EQ(lastError(), kErrorFileNotFound);
    setLastError(0);
    EXPECT_FALSE(isValid(openPipeClient(wide(name).c_str(), true)));
    EXPECT_EQ(lastError(), kErrorFileNotFound);
}

TEST(WinePipe, BlockingServerServesOneMessagePerConnection) {
    const std::string name = uniquePipeName("blocking");
    Handle server = createPipeServer(wide(name).c_str(), options(PipeMode::Message, false));
    ASSERT_TRUE(isValid(server)) << lastError();

    for (int round = 0; round < 2; ++round) {
        std::atomic<bool> sent{false};
        std::thread client([&] {
            sleepMs(50);
            Handle h = openPipeClient(name.c_str(), true);
            uint32_t count = 0;
            if (isValid(h)) {
                sent = writePipe(h, "hello", 5, &count) && count == 5;
                closePipeClient(h);
            }
        });
        const PipeWait result = waitForPipeClient(server, kInfinite);
        EXPECT_TRUE(result == PipeWait::Connected || result == PipeWait::AlreadyConnected)
            << static_cast<int>(result);
        char buffer[1024];
        uint32_t count = 0;
        EXPECT_TRUE(readPipe(server, buffer, sizeof buffer, &count)) << lastError();
        EXPECT_EQ(std::string(buffer, count), "hello");
        client.join();
        EXPECT_TRUE(sent);
        EXPECT_TRUE(disconnectPipeClient(server)) << lastError();
    }
    EXPECT_TRUE(closePipeServer(server));
}

TEST(WinePipe, GoneClientBreaksThePipeUntilTheServerDisconnects) {
    const std::string name = uniquePipeName("gone");
    Handle server = createPipeServer(name.c_str(), options(PipeMode::Byte, true));
    ASSERT_TRUE(isValid(server)) << lastError();
    Handle client = openPipeClient(name.c_str());
    ASSERT_TRUE(isValid(client)) << lastError();
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::AlreadyConnected);
    EXPECT_TRUE(closePipeClient(client));

    char buffer[4];
    uint32_t count = 0;
    EXPECT_FALSE(readPipe(server, buffer, sizeof buffer, &count));
    EXPECT_EQ(lastError(), kErrorBrokenPipe);
    EXPECT_EQ(waitForPipeClient(server, 100), PipeWait::Failed);
    EXPECT_EQ(lastError(), kErrorNoData);

    EXPECT_TRUE(disconnectPipeClient(server)) << lastError();
    EXPECT_EQ(waitForPipeClient(server, 50), PipeWait::TimedOut);
    client = openPipeClient(name.c_str());
    ASSERT_TRUE(isValid(client)) << lastError();
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::Connected);
    EXPECT_TRUE(closePipeClient(client));
    EXPECT_TRUE(closePipeServer(server));
}

TEST(WinePipe, ServerClosedWithAPendingWaitIsGone) {
    const std::string name = uniquePipeName("close-pending");
    Handle server = createPipeServer(name.c_str(), options(PipeMode::Byte, true));
    ASSERT_TRUE(isValid(server)) << lastError();
    EXPECT_EQ(waitForPipeClient(server, 10), PipeWait::TimedOut);
    EXPECT_TRUE(closePipeServer(server)) << lastError();
    EXPECT_FALSE(isValid(openPipeClient(name.c_str())));
    EXPECT_EQ(lastError(), kErrorFileNotFound);
}

TEST(WinePipe, InvalidHandlesAreRefused) {
    uint32_t count = 7;
    char byte = 0;
    EXPECT_FALSE(readPipe(invalidHandle(), &byte, 1, &count));
    EXPECT_EQ(lastError(), kErrorInvalidHandle);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(waitForPipeClient(nullptr, 10), PipeWait::Failed);
    EXPECT_EQ(lastError(), kErrorInvalidHandle);
    EXPECT_FALSE(cancelPipeWait(invalidHandle()));
}

TEST(WinePipe, CancelEndsABlockingServersWait) {
    const std::string name = uniquePipeName("blocking-cancel");
    Handle server = createPipeServer(name.c_str(), options(PipeMode::Message, false));
    ASSERT_TRUE(isValid(server)) << lastError();
    std::atomic<bool> waitEnded{false};
    std::thread helper([&] {
        sleepMs(100);
        cancelPipeWait(server);
        // Should the cancel not reach a blocking connect, a client ends the wait instead.
        for (int i = 0; i < 40 && !waitEnded; ++i)
            sleepMs(50);
        if (!waitEnded) {
            Handle h = openPipeClient(name.c_str());
            if (isValid(h))
                closePipeClient(h);
        }
    });
    const PipeWait result = waitForPipeClient(server, kInfinite);
    waitEnded = true;
    helper.join();
    EXPECT_EQ(result, PipeWait::Cancelled);
    EXPECT_TRUE(closePipeServer(server));
}

TEST(WinePipe, CancelEndsAServerReadThatWaitsForAClientsBytes) {
    const std::string name = uniquePipeName("read-cancel");
    Handle server = createPipeServer(name.c_str(), options(PipeMode::Byte, true));
    ASSERT_TRUE(isValid(server)) << lastError();
    Handle client = openPipeClient(name.c_str());
    ASSERT_TRUE(isValid(client)) << lastError();
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::AlreadyConnected);

    std::thread canceller([server] {
        sleepMs(100);
        cancelPipeWait(server);
    });
    char byte = 0;
    uint32_t count = 0;
    const uint64_t start = monotonicNs();
    EXPECT_FALSE(readPipe(server, &byte, 1, &count));
    EXPECT_EQ(lastError(), kErrorOperationAborted);
    EXPECT_LT(elapsedMs(start), 4000u);
    canceller.join();

    // Bytes already there are still read; the cancel is left for the next wait.
    ASSERT_TRUE(writePipe(client, "1", 1, &count));
    EXPECT_TRUE(readPipe(server, &byte, 1, &count)) << lastError();
    EXPECT_EQ(byte, '1');
    EXPECT_FALSE(readPipe(server, &byte, 1, &count));
    EXPECT_EQ(lastError(), kErrorOperationAborted);
    EXPECT_TRUE(disconnectPipeClient(server));
    EXPECT_EQ(waitForPipeClient(server, 1000), PipeWait::Cancelled);
    EXPECT_TRUE(closePipeClient(client));
    EXPECT_TRUE(closePipeServer(server));
}

// Pipes made by someone else first, clients that can only read, and what our pipes are made
// with. (Wine runs every process as one user, so another user's server cannot be staged here.)
TEST(WinePipe, ASquatterIsNoticedAndAReadOnlyClientSendsNothing) {
    for (PipeMode mode : {PipeMode::Byte, PipeMode::Message}) {
        const std::string name = uniquePipeName("squat");
        const DWORD type = mode == PipeMode::Message ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE
                                                     : PIPE_TYPE_BYTE | PIPE_READMODE_BYTE;
        HANDLE squatter =
            CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, type, 255, 1024, 1024, 0, nullptr);
        ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
        PipeServerOptions o = options(mode, true);
        o.firstInstance = true;
        EXPECT_FALSE(isValid(createPipeServer(name.c_str(), o)));
        EXPECT_EQ(lastError(), uint32_t(ERROR_ACCESS_DENIED));
        CloseHandle(squatter);

        Handle server = createPipeServer(wide(name).c_str(), o);
        ASSERT_TRUE(isValid(server)) << lastError();
        HANDLE reader =
            CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_NE(waitForPipeClient(server, 1000), PipeWait::TimedOut);
        EXPECT_FALSE(takeClientByte(server, 200));
        disconnectPipeClient(server);
        CloseHandle(reader);

        // The panel's way: open, write, close before the server looks; the byte still counts.
        EXPECT_EQ(waitForPipeClient(server, 10), PipeWait::TimedOut); // listening again
        Handle client = openPipeClient(name.c_str());
        ASSERT_TRUE(isValid(client)) << lastError();
        uint32_t written = 0;
        ASSERT_TRUE(writePipe(client, "1", 1, &written));
        closePipeClient(client);
        waitForPipeClient(server, 1000);
        EXPECT_TRUE(takeClientByte(server, 1000)) << lastError();
        closePipeServer(server);
    }
}

TEST(WinePipe, OnlyThisUserAndTheSystemAreLetIn) {
    const std::string name = uniquePipeName("dacl");
    Handle server = createPipeServer(name.c_str(), options(PipeMode::Byte, true));
    ASSERT_TRUE(isValid(server)) << lastError();
    // The client's end reaches the same pipe object, and its security.
    HANDLE raw = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(raw, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD size = 0;
    GetKernelObjectSecurity(raw, DACL_SECURITY_INFORMATION, nullptr, 0, &size);
    std::vector<uint8_t> sd(size ? size : 1);
    ASSERT_TRUE(GetKernelObjectSecurity(raw, DACL_SECURITY_INFORMATION, sd.data(), size, &size))
        << GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd.data(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr);
    EXPECT_EQ(dacl->AceCount, 2u);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(
        AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_FALSE(EqualSid(&ace->SidStart, everyone)) << i;
    }
    FreeSid(everyone);
    CloseHandle(raw);
    closePipeServer(server);
}
