// The host's JSON reports stay valid JSON whatever a driver answers: a rate that is not a
// number, text that is not UTF-8.
#include "driver_report.h"
#include "stream_session.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace halvern::host;

template <typename Print> std::string capture(Print print) {
    std::FILE* f = std::tmpfile();
    if (f == nullptr)
        return std::string();
    print(f);
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;)
        text.push_back(static_cast<char>(c));
    std::fclose(f);
    return text;
}

// JSON has no literal for a number that is not finite.
void expectNoBareNonFinite(const std::string& json) {
    for (const char* bad : {"nan", "inf", "NaN", "INF"}) {
        for (std::size_t at = json.find(bad); at != std::string::npos;
             at = json.find(bad, at + 1)) {
            // Inside a string it is text, not a number: only a value after ':' , ',' or '[' is.
            const char before = at > 0 ? json[at - 1] : ' ';
            const bool afterSign = before == '-' && at > 1;
            const char value = afterSign ? json[at - 2] : before;
            EXPECT_TRUE(value != ':' && value != ',' && value != '[') << json;
        }
    }
}

TEST(ReportJson, RatesThatAreNotFiniteBecomeNull) {
    DriverReport r;
    r.initialised = true;
    r.sampleRate = std::numeric_limits<double>::quiet_NaN();
    const std::string info = capture([&](std::FILE* f) { printReportJson(r, f); });
    expectNoBareNonFinite(info);
    EXPECT_NE(info.find("\"sampleRate\":null"), std::string::npos) << info;

    StreamResult s;
    s.started = true;
    s.bufferSize = 48;
    s.sampleRate = std::numeric_limits<double>::infinity();
    const std::string stream = capture([&](std::FILE* f) { printStreamJson(s, f); });
    expectNoBareNonFinite(stream);
    EXPECT_NE(stream.find("\"sample_rate\":null"), std::string::npos) << stream;

    s.sampleRate = 1e-310; // a period no double holds
    const std::string tiny = capture([&](std::FILE* f) { printStreamJson(s, f); });
    expectNoBareNonFinite(tiny);
}

TEST(ReportJson, TextThatIsNotUtf8IsEscapedByteForByte) {
    // A driver name in a Windows code page: each byte that is not UTF-8 keeps its value.
    EXPECT_EQ(jsonString("Caf\xe9 \xff"), "\"Caf\\u00e9 \\u00ff\"");
    // A lead byte without its continuation, and a continuation without its lead.
    EXPECT_EQ(jsonString("\xc3"
                         "A\x80"),
              "\"\\u00c3A\\u0080\"");
    // Overlong forms and encoded surrogates are not UTF-8 either.
    EXPECT_EQ(jsonString("\xc0\xaf"), "\"\\u00c0\\u00af\"");
    EXPECT_EQ(jsonString("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");
    // Valid UTF-8 passes as it is.
    EXPECT_EQ(jsonString("\xc3\xa9\xe4\xb8\xad\xf0\x9f\x8e\xb5"),
              "\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x8e\xb5\"");
    EXPECT_EQ(jsonString("a\"b\\c\x01\x7f"), "\"a\\\"b\\\\c\\u0001\x7f\"");
}

} // namespace

// The verdict holds the switches against the time streamed: a stream that stops part-way fails
// even when every half it did deliver came back intact.
TEST(StreamVerdict, TooFewSwitchesForTheTimeStreamedFail) {
    struct Case {
        std::vector<double> seconds;
        uint64_t switches;
        bool passed;
    };
    const Case cases[] = {
        {{6.0}, 1125, true}, // 256 samples at 48000 Hz: 187.5 switches a second
        {{6.0}, 900, true},  // a late start on a loaded machine
        {{6.0}, 374, false}, // stopped two seconds in
        {{3.0, 2.5}, 1000, true}, {{3.0, 2.5}, 600, false},
    };
    for (const Case& c : cases) {
        StreamResult r;
        r.started = true;
        r.bufferSize = 256;
        r.sampleRate = 48000.0;
        r.segmentSeconds = c.seconds;
        r.segmentBufferSizes.assign(c.seconds.size(), 256);
        r.segmentSampleRates.assign(c.seconds.size(), 48000.0);
        r.stats.switches = c.switches;
        r.intact = c.switches;
        EXPECT_EQ(r.passed(), c.passed) << c.switches;
        const std::string text = capture([&](std::FILE* f) { printStreamReport(r, f); });
        EXPECT_NE(text.find(c.passed ? "PASS" : "FAIL"), std::string::npos) << text;
        const std::string json = capture([&](std::FILE* f) { printStreamJson(r, f); });
        const double expected = 187.5 * (c.seconds.size() == 1 ? 6.0 : 5.5);
        EXPECT_NE(json.find("\"expected_switches\":" + std::to_string(uint64_t(expected))),
                  std::string::npos)
            << json;
    }
}
