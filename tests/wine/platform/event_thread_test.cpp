// Events, waits, threads and clocks of the Windows platform layer.
#include "halvern/platform/clock.h"
#include "halvern/platform/event.h"
#include "halvern/platform/thread.h"
#include "halvern/platform/trace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

using namespace halvern::platform;

namespace {

uint64_t elapsedMs(uint64_t startNs) {
    return (monotonicNs() - startNs) / 1000000;
}

} // namespace

TEST(WineEvent, AutoResetEventIsConsumedByOneWait) {
    Handle e = createEvent(false, false);
    ASSERT_TRUE(isValid(e)) << lastError();
    EXPECT_EQ(waitForOne(e, 0), kWaitTimeout);
    EXPECT_TRUE(setEvent(e));
    EXPECT_EQ(waitForOne(e, 0), kWaitObject0);
    EXPECT_EQ(waitForOne(e, 0), kWaitTimeout);
    EXPECT_TRUE(closeHandle(e));
}

TEST(WineEvent, ManualResetEventStaysSetUntilReset) {
    Handle e = createEvent(true, true);
    ASSERT_TRUE(isValid(e)) << lastError();
    EXPECT_EQ(waitForOne(e, 0), kWaitObject0);
    EXPECT_EQ(waitForOne(e, 0), kWaitObject0);
    EXPECT_TRUE(resetEvent(e));
    EXPECT_EQ(waitForOne(e, 0), kWaitTimeout);
    EXPECT_TRUE(closeHandle(e));
}

TEST(WineEvent, WaitForAnyReportsTheFirstSetEvent) {
    Handle events[3] = {createEvent(false, false), createEvent(false, false),
                        createEvent(false, false)};
    for (Handle e : events)
        ASSERT_TRUE(isValid(e)) << lastError();

    EXPECT_TRUE(setEvent(events[2]));
    EXPECT_EQ(waitForAny(events, 3, 1000), kWaitObject0 + 2);
    EXPECT_TRUE(setEvent(events[2]));
    EXPECT_TRUE(setEvent(events[0]));
    EXPECT_EQ(waitForAny(events, 3, 1000), kWaitObject0 + 0);
    EXPECT_EQ(waitForAny(events, 3, 1000), kWaitObject0 + 2);
    EXPECT_EQ(waitForAny(events, 3, 0), kWaitTimeout);

    // Set from another thread while the wait is under way, as the bus driver does.
    Handle setter = createThread(
        [](void* arg) -> uint32_t {
            sleepMs(50);
            setEvent(static_cast<Handle*>(arg)[1]);
            return 0;
        },
        events, false, nullptr);
    ASSERT_TRUE(isValid(setter)) << lastError();
    EXPECT_EQ(waitForAny(events, 3, 5000), kWaitObject0 + 1);
    EXPECT_EQ(waitThread(setter, 5000), kWaitObject0);
    EXPECT_TRUE(closeThread(setter));

    for (Handle e : events)
        EXPECT_TRUE(closeHandle(e));
}

TEST(WineEvent, WaitTimesOutWith258AfterTheTimeout) {
    Handle e = createEvent(false, false);
    ASSERT_TRUE(isValid(e)) << lastError();
    const uint64_t start = monotonicNs();
    EXPECT_EQ(waitForAny(&e, 1, 200), 258u);
    EXPECT_GE(elapsedMs(start), 190u);
    EXPECT_TRUE(closeHandle(e));
}

TEST(WineEvent, WaitOnAClosedHandleFails) {
    Handle e = createEvent(false, false);
    ASSERT_TRUE(isValid(e));
    EXPECT_TRUE(closeHandle(e));
    EXPECT_EQ(waitForOne(e, 0), kWaitFailed);
    EXPECT_EQ(lastError(), kErrorInvalidHandle);
    EXPECT_FALSE(closeHandle(invalidHandle()));
    EXPECT_EQ(lastError(), kErrorInvalidHandle);
}

namespace {

struct ThreadProbe {
    std::atomic<int> runs{0};
    std::atomic<uint32_t> selfWait{0};
    std::atomic<uint64_t> selfWaitMs{0};
    Handle self = nullptr;
};

} // namespace

TEST(WineThread, SuspendedThreadRunsOnlyAfterResume) {
    ThreadProbe probe;
    uint32_t id = 0;
    Handle t = createThread(
        [](void* arg) -> uint32_t {
            static_cast<ThreadProbe*>(arg)->runs++;
            return 7;
        },
        &probe, true, &id);
    ASSERT_TRUE(isValid(t)) << lastError();
    EXPECT_NE(id, 0u);
    EXPECT_FALSE(isCurrentThread(t));
    EXPECT_EQ(waitThread(t, 100), kWaitTimeout);
    EXPECT_EQ(probe.runs.load(), 0);
    EXPECT_TRUE(resumeThread(t));
    EXPECT_EQ(waitThread(t, 5000), kWaitObject0);
    EXPECT_EQ(probe.runs.load(), 1);
    EXPECT_TRUE(closeThread(t));
}

TEST(WineThread, ThreadWaitingForItselfTimesOut) {
    ThreadProbe probe;
    Handle t = createThread(
        [](void* arg) -> uint32_t {
            auto* p = static_cast<ThreadProbe*>(arg);
            const uint64_t start = monotonicNs();
            p->selfWait = waitThread(p->self, 100);
            p->selfWaitMs = (monotonicNs() - start) / 1000000;
            // An endless wait on oneself could never end: it is refused.
            if (waitThread(p->self, kInfinite) == kWaitFailed &&
                lastError() == kErrorInvalidParameter)
                p->runs++;
            return 0;
        },
        &probe, true, nullptr);
    ASSERT_TRUE(isValid(t)) << lastError();
    probe.self = t;
    EXPECT_TRUE(resumeThread(t));
    ASSERT_EQ(waitThread(t, 5000), kWaitObject0);
    EXPECT_EQ(probe.selfWait.load(), kWaitTimeout);
    EXPECT_GE(probe.selfWaitMs.load(), 90u);
    EXPECT_EQ(probe.runs.load(), 1);
    EXPECT_TRUE(closeThread(t));
}

TEST(WineThread, RealtimeSetUpOfAnAudioThread) {
    // The calls the audio thread's start makes; Wine grants or refuses them, and either way the
    // answer must be a clear bool, never a crash.
    Handle t = createThread(
        [](void*) -> uint32_t {
            uint32_t task = 0;
            Handle registration = joinProAudioClass(&task);
            if (registration != nullptr)
                leaveProAudioClass(registration);
            return 0;
        },
        nullptr, true, nullptr);
    ASSERT_TRUE(isValid(t)) << lastError();
    const uint32_t processors = processorCount();
    EXPECT_GE(processors, 1u);
    const uint64_t mask = processors > 3 ? 0xF : (uint64_t{1} << processors) - 1;
    EXPECT_TRUE(setThreadAffinity(t, mask)) << lastError();
    EXPECT_TRUE(setThreadTimeCritical(t)) << lastError();
    EXPECT_TRUE(disableThreadPriorityBoost(t)) << lastError();
    EXPECT_TRUE(resumeThread(t));
    EXPECT_EQ(waitThread(t, 5000), kWaitObject0);
    EXPECT_TRUE(closeThread(t));
    EXPECT_FALSE(leaveProAudioClass(nullptr));
}

TEST(WineClock, ClocksAdvanceWithSleep) {
    const uint32_t ms = systemTimeMs();
    const uint64_t ns = monotonicNs();
    sleepMs(100);
    const uint32_t msLater = systemTimeMs();
    const uint64_t nsLater = monotonicNs();
    EXPECT_GE(static_cast<uint32_t>(msLater - ms), 80u);
    EXPECT_GE(nsLater - ns, 90000000u);
    EXPECT_LT(nsLater - ns, 5000000000u);
}

TEST(WineTrace, HookReceivesEveryTraceWhileInstalled) {
    static std::vector<std::string> seen;
    seen.clear();
    setTraceHook([](const char* text, void*) { seen.emplace_back(text); }, nullptr);
    outputDebugString("first\n");
    outputDebugString("second\n");
    setTraceHook(nullptr, nullptr);
    outputDebugString("to the debugger\n");
    EXPECT_EQ(seen, (std::vector<std::string>{"first\n", "second\n"}));
}
