#include "driver_report.h"

#include <cmath>
#include <cstring>

namespace halvern::host {

namespace {

std::string fixedText(const char* text, std::size_t size) {
    return std::string(text, strnlen(text, size));
}

void printResultLine(std::FILE* out, const char* what, ASIOError e) {
    std::fprintf(out, "%-15s error %s (%d)\n", what, asioErrorName(e), static_cast<int>(e));
}

void printJsonResult(std::FILE* out, const char* key, ASIOError e) {
    std::fprintf(out, "\"%s\":%s", key, jsonString(asioErrorName(e)).c_str());
}

void printJsonChannels(std::FILE* out, const std::vector<ChannelReport>& channels) {
    std::fputc('[', out);
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const ChannelReport& c = channels[i];
        std::fprintf(out, "%s{\"channel\":%d,\"name\":%s,\"result\":%s}", i ? "," : "",
                     static_cast<int>(c.channel), jsonString(c.name).c_str(),
                     jsonString(asioErrorName(c.result)).c_str());
    }
    std::fputc(']', out);
}

} // namespace

const std::vector<double>& standardRates() {
    static const std::vector<double> rates = {8000,  11025, 16000, 22050,  32000,  44100,
                                              48000, 88200, 96000, 176400, 192000, 384000};
    return rates;
}

bool DriverReport::complete() const {
    if (!initialised || channelsResult != ASE_OK || bufferResult != ASE_OK ||
        rateResult != ASE_OK || latencyResult != ASE_OK || clockResult != ASE_OK)
        return false;
    for (const auto* list : {&inputChannels, &outputChannels}) {
        for (const ChannelReport& c : *list) {
            if (c.result != ASE_OK)
                return false;
        }
    }
    return true;
}

const char* asioErrorName(ASIOError e) {
    switch (e) {
    case ASE_OK:
        return "ASE_OK";
    case ASE_NotPresent:
        return "ASE_NotPresent";
    case ASE_HWMalfunction:
        return "ASE_HWMalfunction";
    case ASE_InvalidParameter:
        return "ASE_InvalidParameter";
    case ASE_NoClock:
        return "ASE_NoClock";
    }
    return "unknown";
}

DriverReport queryDriver(IASIO* driver, const std::string& source) {
    DriverReport r;
    r.source = source;
    char name[kAsioDriverNameSize + 1] = {};
    driver->getDriverName(name);
    r.name = fixedText(name, kAsioDriverNameSize);
    r.version = driver->getDriverVersion();

    r.initialised = driver->init(nullptr) != ASIOFalse;
    if (!r.initialised) {
        char message[kAsioErrorMessageSize + 1] = {};
        driver->getErrorMessage(message);
        r.errorMessage = fixedText(message, kAsioErrorMessageSize);
        return r;
    }

    r.channelsResult = driver->getChannels(&r.inputs, &r.outputs);
    if (r.channelsResult == ASE_OK) {
        for (int dir = 0; dir < 2; ++dir) {
            const bool isInput = dir == 0;
            const int32_t count = isInput ? r.inputs : r.outputs;
            auto& list = isInput ? r.inputChannels : r.outputChannels;
            for (int32_t c = 0; c < count && c < kMaxChannelsReported; ++c) {
                ASIOChannelInfo info{};
                info.channel = c;
                info.isInput = isInput ? ASIOTrue : ASIOFalse;
                ChannelReport ch;
                ch.channel = c;
                ch.result = driver->getChannelInfo(&info);
                if (ch.result == ASE_OK)
                    ch.name = fixedText(info.name, sizeof info.name);
                list.push_back(ch);
            }
        }
    }

    r.bufferResult =
        driver->getBufferSize(&r.minSize, &r.maxSize, &r.preferredSize, &r.granularity);
    // The rate first: the driver bases its latencies on the rate it last read.
    r.rateResult = driver->getSampleRate(&r.sampleRate);
    for (double rate : standardRates()) {
        if (driver->canSampleRate(rate) == ASE_OK)
            r.acceptedRates.push_back(rate);
    }
    r.latencyResult = driver->getLatencies(&r.inputLatency, &r.outputLatency);

    ASIOClockSource clocks[8] = {};
    int32_t numClocks = 8;
    r.clockResult = driver->getClockSources(clocks, &numClocks);
    if (r.clockResult == ASE_OK) {
        for (int32_t i = 0; i < numClocks && i < 8; ++i) {
            r.clocks.push_back(ClockReport{clocks[i].index,
                                           fixedText(clocks[i].name, sizeof clocks[i].name),
                                           clocks[i].isCurrentSource != ASIOFalse});
        }
    }
    return r;
}

void printReport(const DriverReport& r, std::FILE* out) {
    std::fprintf(out, "%-15s %s\n", "Source:", r.source.c_str());
    std::fprintf(out, "%-15s %s\n", "Driver:", r.name.c_str());
    std::fprintf(out, "%-15s %d\n", "Version:", static_cast<int>(r.version));
    if (!r.initialised) {
        std::fprintf(out, "%-15s failed: %s\n", "Init:",
                     r.errorMessage.empty() ? "(no error message)" : r.errorMessage.c_str());
        return;
    }
    std::fprintf(out, "%-15s ok\n", "Init:");

    if (r.channelsResult != ASE_OK) {
        printResultLine(out, "Channels:", r.channelsResult);
    } else {
        for (int dir = 0; dir < 2; ++dir) {
            const bool isInput = dir == 0;
            std::fprintf(out, "%-15s %d\n", isInput ? "Inputs:" : "Outputs:",
                         static_cast<int>(isInput ? r.inputs : r.outputs));
            for (const ChannelReport& c : isInput ? r.inputChannels : r.outputChannels) {
                if (c.result == ASE_OK)
                    std::fprintf(out, "  %3d  %s\n", static_cast<int>(c.channel), c.name.c_str());
                else
                    std::fprintf(out, "  %3d  error %s (%d)\n", static_cast<int>(c.channel),
                                 asioErrorName(c.result), static_cast<int>(c.result));
            }
        }
    }

    if (r.bufferResult != ASE_OK)
        printResultLine(out, "Buffer sizes:", r.bufferResult);
    else
        std::fprintf(out, "%-15s min %d, max %d, preferred %d, granularity %d\n",
                     "Buffer sizes:", static_cast<int>(r.minSize), static_cast<int>(r.maxSize),
                     static_cast<int>(r.preferredSize), static_cast<int>(r.granularity));

    if (r.rateResult != ASE_OK)
        printResultLine(out, "Sample rate:", r.rateResult);
    else
        std::fprintf(out, "%-15s %.0f Hz\n", "Sample rate:", r.sampleRate);
    std::fprintf(out, "%-15s", "Accepted rates:");
    for (double rate : r.acceptedRates)
        std::fprintf(out, " %.0f", rate);
    std::fprintf(out, "%s\n", r.acceptedRates.empty() ? " none" : "");

    if (r.latencyResult != ASE_OK)
        printResultLine(out, "Latencies:", r.latencyResult);
    else
        std::fprintf(out, "%-15s input %d, output %d samples\n",
                     "Latencies:", static_cast<int>(r.inputLatency),
                     static_cast<int>(r.outputLatency));

    if (r.clockResult != ASE_OK) {
        printResultLine(out, "Clock sources:", r.clockResult);
    } else {
        std::fprintf(out, "%-15s %zu\n", "Clock sources:", r.clocks.size());
        for (const ClockReport& c : r.clocks)
            std::fprintf(out, "  %3d  %s%s\n", static_cast<int>(c.index), c.name.c_str(),
                         c.current ? " (current)" : "");
    }
}

void printReportJson(const DriverReport& r, std::FILE* out) {
    std::fprintf(out, "{\"source\":%s,\"name\":%s,\"version\":%d,\"init\":%s",
                 jsonString(r.source).c_str(), jsonString(r.name).c_str(),
                 static_cast<int>(r.version), r.initialised ? "true" : "false");
    if (!r.initialised) {
        std::fprintf(out, ",\"error\":%s}\n", jsonString(r.errorMessage).c_str());
        return;
    }
    std::fputc(',', out);
    printJsonResult(out, "channelsResult", r.channelsResult);
    std::fprintf(out,
                 ",\"inputs\":%d,\"outputs\":%d,\"inputChannels\":", static_cast<int>(r.inputs),
                 static_cast<int>(r.outputs));
    printJsonChannels(out, r.inputChannels);
    std::fprintf(out, ",\"outputChannels\":");
    printJsonChannels(out, r.outputChannels);
    std::fputc(',', out);
    printJsonResult(out, "bufferSizeResult", r.bufferResult);
    std::fprintf(out,
                 ",\"bufferSize\":{\"min\":%d,\"max\":%d,\"preferred\":%d,\"granularity\":%d},",
                 static_cast<int>(r.minSize), static_cast<int>(r.maxSize),
                 static_cast<int>(r.preferredSize), static_cast<int>(r.granularity));
    printJsonResult(out, "sampleRateResult", r.rateResult);
    std::fprintf(out, ",\"sampleRate\":%s,\"acceptedRates\":[",
                 jsonNumber(r.sampleRate, 0).c_str());
    for (std::size_t i = 0; i < r.acceptedRates.size(); ++i)
        std::fprintf(out, "%s%s", i ? "," : "", jsonNumber(r.acceptedRates[i], 0).c_str());
    std::fprintf(out, "],");
    printJsonResult(out, "latencyResult", r.latencyResult);
    std::fprintf(out, ",\"latency\":{\"input\":%d,\"output\":%d},",
                 static_cast<int>(r.inputLatency), static_cast<int>(r.outputLatency));
    printJsonResult(out, "clockSourcesResult", r.clockResult);
    std::fprintf(out, ",\"clockSources\":[");
    for (std::size_t i = 0; i < r.clocks.size(); ++i)
        std::fprintf(out, "%s{\"index\":%d,\"name\":%s,\"current\":%s}", i ? "," : "",
                     static_cast<int>(r.clocks[i].index), jsonString(r.clocks[i].name).c_str(),
                     r.clocks[i].current ? "true" : "false");
    std::fprintf(out, "]}\n");
}

namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0 when the byte there starts none
// (overlong forms, surrogates and values beyond U+10FFFF included).
std::size_t utf8Length(const std::string& text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = at(i);
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (i + n > text.size() || at(i + 1) < low || at(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if ((at(i + k) & 0xC0) != 0x80)
            return 0;
    }
    return n;
}

} // namespace

std::string jsonNumber(double value, int decimals) {
    if (!std::isfinite(value))
        return "null";
    char text[512];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string jsonString(const std::string& text) {
    std::string s = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t n = utf8Length(text, i);
            if (n == 0) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                s += esc;
            } else {
                s.append(text, i, n);
                i += n - 1;
            }
            continue;
        }
        switch (c) {
        case '"':
            s += "\\\"";
            break;
        case '\\':
            s += "\\\\";
            break;
        case '\n':
            s += "\\n";
            break;
        case '\r':
            s += "\\r";
            break;
        case '\t':
            s += "\\t";
            break;
        default:
            if (c < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                s += esc;
            } else {
                s += static_cast<char>(c);
            }
        }
    }
    return s + "\"";
}

} // namespace halvern::host
