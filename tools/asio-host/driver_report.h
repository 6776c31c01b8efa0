// What a host learns from a driver before streaming: the answers of the IASIO queries, and
// their text and JSON forms.
#pragma once

#include <halvern/asio/iasio.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace halvern::host {

struct ChannelReport {
    int32_t channel = 0;
    std::string name;
    ASIOError result = ASE_OK;
};

struct ClockReport {
    int32_t index = 0;
    std::string name;
    bool current = false;
};

struct DriverReport {
    std::string source; // registered name or library path
    std::string name;
    int32_t version = 0;

    bool initialised = false;
    std::string errorMessage; // getErrorMessage after a failed init

    ASIOError channelsResult = ASE_OK;
    int32_t inputs = 0;
    int32_t outputs = 0;
    std::vector<ChannelReport> inputChannels;
    std::vector<ChannelReport> outputChannels;

    ASIOError bufferResult = ASE_OK;
    int32_t minSize = 0, maxSize = 0, preferredSize = 0, granularity = 0;

    ASIOError rateResult = ASE_OK;
    double sampleRate = 0.0;
    std::vector<double> acceptedRates;

    ASIOError latencyResult = ASE_OK;
    int32_t inputLatency = 0, outputLatency = 0;

    ASIOError clockResult = ASE_OK;
    std::vector<ClockReport> clocks;

    // True when every query answered ASE_OK.
    bool complete() const;
};

// The standard rates a host offers, the ones canSampleRate is asked about.
const std::vector<double>& standardRates();

// Calls init and, when it succeeds, every query. Channel names are read for at most
// kMaxChannelsReported channels per direction.
constexpr int32_t kMaxChannelsReported = 128;
DriverReport queryDriver(IASIO* driver, const std::string& source);

const char* asioErrorName(ASIOError e);

void printReport(const DriverReport& r, std::FILE* out);
void printReportJson(const DriverReport& r, std::FILE* out);
// A JSON string; bytes that are not UTF-8 (a driver's text in a Windows code page) are escaped
// one by one as the characters 0x80 to 0xFF, so nothing is lost and the JSON stays valid.
std::string jsonString(const std::string& text);
// A JSON number with `decimals` places, or null for a value JSON cannot hold (NaN, infinity).
std::string jsonNumber(double value, int decimals);

} // namespace halvern::host
