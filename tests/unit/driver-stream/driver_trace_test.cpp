// The driver's two trace formatters: printf rules, cut at 1023 characters, each on its own.
#include "driver_trace.h"
#include "test_support.h"

#include "halvern/platform/trace.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace halvern::driver;

TEST(DriverTrace, BothFormattersFormatAndCutAt1023Characters) {
    const std::string longText(2000, 'x');
    for (auto* trace : {&hostTrace, &audioTrace}) {
        halvern::test::TraceCapture traces;
        ASSERT_TRUE(halvern::platform::traceEnabled());
        trace("Halvern Device PID is: %d\n", 2);
        trace("%s", longText.c_str());
        const auto lines = traces.lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], "Halvern Device PID is: 2\n");
        EXPECT_EQ(lines[1], longText.substr(0, kTraceBufferSize - 1));
    }
}

} // namespace
