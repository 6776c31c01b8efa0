// Events and the wait for any of them.
#include "halvern/platform/clock.h"
#include "halvern/platform/event.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <thread>

using namespace halvern::platform;

namespace {

struct Events {
    explicit Events(std::initializer_list<bool> manual) {
        for (bool m : manual)
            handles[count++] = createEvent(m, false);
    }
    ~Events() {
        for (uint32_t i = 0; i < count; ++i)
            closeHandle(handles[i]);
    }
    Handle handles[8] = {};
    uint32_t count = 0;
};

TEST(Events, AutoResetIsConsumedByTheWaitAndSetsCollapse) {
    Events e{false};
    Handle h = e.handles[0];
    ASSERT_TRUE(isValid(h));
    EXPECT_EQ(waitForOne(h, 0), kWaitTimeout);
    EXPECT_TRUE(setEvent(h));
    EXPECT_TRUE(setEvent(h)); // a second set of a set event changes nothing
    EXPECT_EQ(waitForOne(h, 0), kWaitObject0);
    EXPECT_EQ(waitForOne(h, 0), kWaitTimeout);
    EXPECT_EQ(kWaitTimeout, 258u);
}

TEST(Events, ManualResetStaysSetUntilReset) {
    Events e{true};
    Handle h = e.handles[0];
    EXPECT_TRUE(setEvent(h));
    EXPECT_EQ(waitForOne(h, 0), kWaitObject0);
    EXPECT_EQ(waitForOne(h, 0), kWaitObject0);
    EXPECT_TRUE(resetEvent(h));
    EXPECT_EQ(waitForOne(h, 0), kWaitTimeout);
    EXPECT_TRUE(resetEvent(h)); // resetting a clear event is fine

    Handle initially = createEvent(true, true);
    EXPECT_EQ(waitForOne(initially, 0), kWaitObject0);
    closeHandle(initially);
}

TEST(Events, WaitForAnyReportsTheFirstSetIndex) {
    Events e{false, true, false};
    setEvent(e.handles[2]);
    setEvent(e.handles[1]);
    EXPECT_EQ(waitForAny(e.handles, e.count, 0), kWaitObject0 + 1); // manual one stays set
    EXPECT_EQ(waitForAny(e.handles, e.count, 0), kWaitObject0 + 1);
    resetEvent(e.handles[1]);
    EXPECT_EQ(waitForAny(e.handles, e.count, 0), kWaitObject0 + 2);
    EXPECT_EQ(waitForAny(e.handles, e.count, 0), kWaitTimeout);
}

TEST(Events, WaitWakesOnASetFromAnotherThreadAndTimesOut) {
    Events e{false, false};
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        setEvent(e.handles[1]);
    });
    EXPECT_EQ(waitForAny(e.handles, e.count, 5000), kWaitObject0 + 1);
    setter.join();

    uint64_t start = monotonicNs();
    EXPECT_EQ(waitForAny(e.handles, e.count, 50), kWaitTimeout);
    EXPECT_GE(monotonicNs() - start, 45'000'000u);
}

TEST(Events, BadArgumentsFailWithAnError) {
    Handle bad[1] = {invalidHandle()};
    EXPECT_EQ(waitForAny(bad, 1, 0), kWaitFailed);
    EXPECT_EQ(lastError(), uint32_t(kErrorInvalidHandle));
    EXPECT_EQ(waitForAny(nullptr, 0, 0), kWaitFailed);
    EXPECT_EQ(lastError(), uint32_t(kErrorInvalidParameter));
    EXPECT_FALSE(setEvent(invalidHandle()));
    EXPECT_FALSE(closeHandle(invalidHandle()));
    EXPECT_EQ(lastError(), uint32_t(kErrorInvalidHandle));
}

TEST(Events, ClosedManualEventLeavesNoMarkOnItsNumber) {
    Handle manual = createEvent(true, false);
    closeHandle(manual);
    Handle reused = createEvent(false, true); // most likely the same descriptor number
    EXPECT_EQ(waitForOne(reused, 0), kWaitObject0);
    EXPECT_EQ(waitForOne(reused, 0), kWaitTimeout);
    closeHandle(reused);
}

} // namespace
