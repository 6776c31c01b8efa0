// Threads: suspended start, bounded waits, closing, real-time refusals; module paths and
// loaded libraries.
#include "halvern/platform/event.h"
#include "halvern/platform/module.h"
#include "halvern/platform/thread.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace halvern::platform;

namespace {

std::atomic<int> runs{0};

uint32_t countRun(void*) {
    ++runs;
    return 7;
}

TEST(Threads, SuspendedThreadRunsNothingUntilResumed) {
    runs = 0;
    uint32_t id = 0;
    Handle t = createThread(countRun, nullptr, true, &id);
    ASSERT_TRUE(isValid(t));
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, currentThreadId());
    EXPECT_EQ(waitThread(t, 50), kWaitTimeout);
    EXPECT_EQ(runs.load(), 0);
    EXPECT_TRUE(resumeThread(t));
    EXPECT_EQ(waitThread(t, 5000), kWaitObject0);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(waitThread(t, 0), kWaitObject0); // stays signalled
    EXPECT_TRUE(closeThread(t));
}

TEST(Threads, ClosingANeverResumedThreadNeverRunsIt) {
    runs = 0;
    Handle t = createThread(countRun, nullptr, true, nullptr);
    ASSERT_TRUE(isValid(t));
    EXPECT_TRUE(closeThread(t));
    usleep(20000);
    EXPECT_EQ(runs.load(), 0);
    EXPECT_FALSE(closeThread(t)); // the handle is gone
    EXPECT_EQ(lastError(), uint32_t(kErrorInvalidHandle));
}

struct SelfWait {
    Handle self = nullptr;
    Handle ready = nullptr;
    std::atomic<uint32_t> result{0};
    std::atomic<bool> current{false};
};

uint32_t waitForMyself(void* p) {
    auto* s = static_cast<SelfWait*>(p);
    waitForOne(s->ready, 5000);
    s->current = isCurrentThread(s->self);
    s->result = waitThread(s->self, 30);
    return 0;
}

TEST(Threads, AThreadWaitingForItselfTimesOut) {
    SelfWait s;
    s.ready = createEvent(true, false);
    s.self = createThread(waitForMyself, &s, false, nullptr);
    ASSERT_TRUE(isValid(s.self));
    EXPECT_FALSE(isCurrentThread(s.self));
    setEvent(s.ready);
    ASSERT_EQ(waitThread(s.self, 5000), kWaitObject0);
    EXPECT_EQ(s.result.load(), kWaitTimeout);
    EXPECT_TRUE(s.current.load());
    closeThread(s.self);
    closeHandle(s.ready);
}

uint32_t waitForStop(void* p) {
    waitForOne(static_cast<Handle>(p), 5000);
    return 0;
}

TEST(Threads, ClosingARunningThreadLetsItFinish) {
    Handle stop = createEvent(true, false);
    Handle t = createThread(waitForStop, stop, false, nullptr);
    ASSERT_TRUE(isValid(t));
    EXPECT_TRUE(closeHandle(t)); // the generic close knows thread handles too
    setEvent(stop);
    usleep(20000);
    closeHandle(stop);
}

TEST(Threads, RealtimeSetupReportsRefusalsWithoutHarm) {
    Handle t = createThread(countRun, nullptr, true, nullptr);
    ASSERT_TRUE(isValid(t));
    EXPECT_TRUE(setProcessRealtimePriority());
    EXPECT_TRUE(disableThreadPriorityBoost(t));
    if (!setThreadTimeCritical(t)) {
        EXPECT_EQ(lastError(), uint32_t(kErrorAccessDenied)); // no rights for SCHED_FIFO here
    }
    EXPECT_TRUE(setThreadAffinity(currentThread(), 1));
    EXPECT_FALSE(setThreadAffinity(t, 0));
    EXPECT_EQ(lastError(), uint32_t(kErrorInvalidParameter));
    EXPECT_GE(processorCount(), 1u);
    uint32_t task = 99;
    Handle reg = joinProAudioClass(&task);
    EXPECT_TRUE(isValid(reg));
    EXPECT_TRUE(leaveProAudioClass(reg));
    resumeThread(t);
    EXPECT_EQ(waitThread(t, 5000), kWaitObject0);
    closeThread(t);
    EXPECT_FALSE(setThreadTimeCritical(invalidHandle()));
    EXPECT_EQ(lastError(), uint32_t(kErrorInvalidHandle));
    // restore: the test process should not stay pinned to one processor
    setThreadAffinity(currentThread(), ~uint64_t(0) >> (64 - processorCount()));
}

TEST(Module, PathsOfTheRunningProgram) {
    void* m = moduleHandle("test", reinterpret_cast<const void*>(&countRun));
    ASSERT_NE(m, nullptr);
    char path[4096];
    uint32_t n = moduleFileName(m, path, sizeof path);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(path[0], '/');
    EXPECT_NE(std::string(path).find("integration_platform"), std::string::npos);

    char dir[4096];
    ASSERT_TRUE(executableDirectory(dir, sizeof dir));
    EXPECT_EQ(std::string(path).rfind(dir, 0), 0u);
    EXPECT_NE(dir[std::strlen(dir) - 1], '/');

    char tiny[5];
    EXPECT_EQ(moduleFileName(m, tiny, sizeof tiny), 4u);
    EXPECT_EQ(std::strlen(tiny), 4u);
    EXPECT_FALSE(executableDirectory(tiny, sizeof tiny));
    EXPECT_EQ(moduleHandle("", reinterpret_cast<const void*>(&countRun)), nullptr);
}

TEST(Module, LibrariesAreLoadedByPathOrSayWhyNot) {
    // The C library, found by a function inside it, stands for a driver.
    char libc[4096];
    ASSERT_GT(moduleFileName(moduleHandle("libc", reinterpret_cast<const void*>(&::strlen)), libc,
                             sizeof libc),
              0u);
    std::string error;
    void* library = openLibrary(libc, error);
    ASSERT_NE(library, nullptr) << error;
    EXPECT_NE(libraryEntry(library, "strlen"), nullptr);
    EXPECT_EQ(libraryEntry(library, "DllGetClassObject"), nullptr);
    closeLibrary(library);

    halvern::test::TempRuntimeDir dir;
    const std::string text = dir.path() + "/not-a-library.so";
    std::ofstream(text) << "text";
    const std::string missing = dir.path() + "/missing.so";
    for (const std::string& path : {text, missing}) {
        error.clear();
        EXPECT_EQ(openLibrary(path, error), nullptr);
        EXPECT_EQ(error.rfind("cannot load " + path + ": ", 0), 0u) << error;
    }
    EXPECT_EQ(error, "cannot load " + missing + ": no such file");
}

} // namespace
