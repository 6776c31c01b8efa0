// The stream report in its text and JSON forms.
#include "driver_report.h"
#include "stream_session.h"

namespace halvern::host {

namespace {

void jsonDistribution(std::FILE* out, const char* key, const Distribution& d, bool available) {
    if (!available) {
        std::fprintf(out, "\"%s\":{\"available\":false,\"p50\":null,\"p99\":null,\"max\":null}",
                     key);
        return;
    }
    std::fprintf(out,
                 "\"%s\":{\"available\":true,\"samples\":%zu,\"mean\":%s,\"p50\":%s,"
                 "\"p99\":%s,\"max\":%s}",
                 key, d.samples, jsonNumber(d.mean, 1).c_str(), jsonNumber(d.p50, 1).c_str(),
                 jsonNumber(d.p99, 1).c_str(), jsonNumber(d.max, 1).c_str());
}

} // namespace

void printStreamReport(const StreamResult& r, std::FILE* out) {
    if (!r.started) {
        std::fprintf(out, "Stream:          could not start: %s\n", r.error.c_str());
        return;
    }
    const StreamStats& s = r.stats;
    std::fprintf(out, "Driver:          %s\n", r.driverName.c_str());
    std::fprintf(out, "Channels:        %d inputs, %d outputs; %d checked in loopback\n", r.inputs,
                 r.outputs, r.checked);
    std::fprintf(out, "Buffer:          %d samples at %.0f Hz, period %.1f us", r.bufferSize,
                 r.sampleRate, r.periodUs());
    if (r.preferredSize != r.bufferSize)
        std::fprintf(out, " (the driver prefers %d)", r.preferredSize);
    std::fprintf(out, "\nTime info:       %s%s\n", r.timeInfo ? "on" : "off",
                 r.timeInfoAsked ? "" : " (the driver did not ask)");
    if (!r.memoryLocked)
        std::fprintf(out, "Memory:          not locked (page faults may reach the callback)\n");
    if (r.slowCallbackUs)
        std::fprintf(out, "Slow callback:   %u us per switch\n", r.slowCallbackUs);
    std::fprintf(out, "Streamed:        %.1f s, %zu stream(s), %llu reset(s) on %llu request(s)\n",
                 r.seconds, r.segmentSwitches.size(), static_cast<unsigned long long>(r.resets),
                 static_cast<unsigned long long>(r.resetRequests));
    if (r.segmentBufferSizes.size() > 1) {
        std::fprintf(out, "Streams:        ");
        for (std::size_t i = 0; i < r.segmentBufferSizes.size(); ++i)
            std::fprintf(out, "%s %d samples at %.0f Hz", i ? "," : "", r.segmentBufferSizes[i],
                         r.segmentSampleRates[i]);
        std::fprintf(out, "\n");
    }
    if (r.controlPanelCalled)
        std::fprintf(out, "Control panel:   %s\n", asioErrorName(r.controlPanelResult));
    std::fprintf(out,
                 "Buffer switches: %llu of %llu expected (%llu with time info, %llu without)\n",
                 static_cast<unsigned long long>(s.switches),
                 static_cast<unsigned long long>(r.expectedSwitches()),
                 static_cast<unsigned long long>(r.timeInfoSwitches),
                 static_cast<unsigned long long>(r.plainSwitches));
    std::fprintf(out,
                 "Halves:          %llu intact, %llu lost, %llu repeated, %llu corrupted "
                 "(%llu while the loop filled)\n",
                 static_cast<unsigned long long>(r.intact), static_cast<unsigned long long>(r.lost),
                 static_cast<unsigned long long>(r.repeated),
                 static_cast<unsigned long long>(r.corrupted),
                 static_cast<unsigned long long>(r.priming));
    if (r.loopDelay >= 0)
        std::fprintf(out, "Loop delay:      %lld halves\n", static_cast<long long>(r.loopDelay));
    else if (r.checked > 0)
        std::fprintf(out, "Loop delay:      nothing came back intact (is the device in loopback, "
                          "at this buffer size?)\n");
    std::fprintf(out, "Period:          mean %.1f us, jitter %.1f us, max %.1f us\n",
                 s.periodUs.mean, s.jitterUs, s.periodUs.max);
    if (s.latencyAvailable)
        std::fprintf(out, "Wake-up latency: p50 %.1f us, p99 %.1f us, max %.1f us\n",
                     s.latencyUs.p50, s.latencyUs.p99, s.latencyUs.max);
    else
        std::fprintf(out, "Wake-up latency: unavailable (%s)\n", r.latencyNote.c_str());
    std::fprintf(out, "Missed periods:  %llu%s\n", static_cast<unsigned long long>(s.missed),
                 s.missedFromSignals ? "" : " (estimated from the intervals)");
    std::fprintf(out, "Callback time:   mean %.1f us, max %.1f us\n", s.callbackUs.mean,
                 s.callbackUs.max);
    if (r.badIndex)
        std::fprintf(out, "Bad half index:  %llu switches\n",
                     static_cast<unsigned long long>(r.badIndex));
    if (r.positionErrors)
        std::fprintf(out, "Sample position: %llu switches moved it by other than whole buffers\n",
                     static_cast<unsigned long long>(r.positionErrors));
    if (r.positionSkips)
        std::fprintf(out,
                     "Sample position: %llu switches skipped whole buffers the device played "
                     "while the host was held\n",
                     static_cast<unsigned long long>(r.positionSkips));
    if (double(s.switches) < kMinSwitchShare * double(r.expectedSwitches()))
        std::fprintf(out,
                     "Stream stalled:  too few switches for the time streamed; none in its "
                     "last %.1f s\n",
                     r.silentTailSeconds);
    if (!r.error.empty())
        std::fprintf(out, "Error:           %s\n", r.error.c_str());
    std::fprintf(out, "Result:          %s\n", r.passed() ? "PASS" : "FAIL");
}

void printStreamJson(const StreamResult& r, std::FILE* out) {
    const StreamStats& s = r.stats;
    auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::fprintf(out, "{\"started\":%s,\"passed\":%s", r.started ? "true" : "false",
                 r.passed() ? "true" : "false");
    if (!r.error.empty())
        std::fprintf(out, ",\"error\":%s", jsonString(r.error).c_str());
    std::fprintf(
        out,
        ",\"driver\":%s,\"inputs\":%d,\"outputs\":%d,\"channels\":%d,"
        "\"buffer_size\":%d,\"preferred_size\":%d,\"sample_rate\":%s,"
        "\"time_info\":%s,\"time_info_asked\":%s,\"memory_locked\":%s,\"slow_callback_us\":%u,"
        "\"seconds\":%s",
        jsonString(r.driverName).c_str(), r.inputs, r.outputs, r.checked, r.bufferSize,
        r.preferredSize, jsonNumber(r.sampleRate, 0).c_str(), r.timeInfo ? "true" : "false",
        r.timeInfoAsked ? "true" : "false", r.memoryLocked ? "true" : "false", r.slowCallbackUs,
        jsonNumber(r.seconds, 3).c_str());
    std::fprintf(out,
                 ",\"switches\":%llu,\"time_info_switches\":%llu,\"plain_switches\":%llu,"
                 "\"intact\":%llu,\"priming\":%llu,\"lost\":%llu,\"repeated\":%llu,"
                 "\"corrupted\":%llu,\"loop_delay_halves\":%lld,\"missed\":%llu,"
                 "\"missed_from_signals\":%s,\"resets\":%llu,\"expected_switches\":%llu,"
                 "\"silent_tail_s\":%s",
                 u(s.switches), u(r.timeInfoSwitches), u(r.plainSwitches), u(r.intact),
                 u(r.priming), u(r.lost), u(r.repeated), u(r.corrupted),
                 static_cast<long long>(r.loopDelay), u(s.missed),
                 s.missedFromSignals ? "true" : "false", u(r.resets), u(r.expectedSwitches()),
                 jsonNumber(r.silentTailSeconds, 3).c_str());
    std::fputs(",\"segment_switches\":[", out);
    for (std::size_t i = 0; i < r.segmentSwitches.size(); ++i)
        std::fprintf(out, "%s%llu", i ? "," : "", u(r.segmentSwitches[i]));
    std::fprintf(out, "],\"reset_requests\":%llu,\"segment_buffer_sizes\":[", u(r.resetRequests));
    for (std::size_t i = 0; i < r.segmentBufferSizes.size(); ++i)
        std::fprintf(out, "%s%d", i ? "," : "", r.segmentBufferSizes[i]);
    std::fputs("],\"segment_sample_rates\":[", out);
    for (std::size_t i = 0; i < r.segmentSampleRates.size(); ++i)
        std::fprintf(out, "%s%s", i ? "," : "", jsonNumber(r.segmentSampleRates[i], 0).c_str());
    std::fputs("],", out);
    if (r.controlPanelCalled)
        std::fprintf(out, "\"control_panel\":%d,", r.controlPanelResult);
    jsonDistribution(out, "latency_us", s.latencyUs, s.latencyAvailable);
    if (!s.latencyAvailable)
        std::fprintf(out, ",\"latency_note\":%s", jsonString(r.latencyNote).c_str());
    std::fprintf(out,
                 ",\"period_us\":{\"expected\":%s,\"mean\":%s,\"jitter\":%s,\"max\":%s},"
                 "\"callback_us\":{\"mean\":%s,\"max\":%s},\"unmatched\":%llu,"
                 "\"bad_index\":%llu,\"position_errors\":%llu,\"position_skips\":%llu,"
                 "\"rate_changes\":%llu,"
                 "\"unrecorded\":%llu}\n",
                 jsonNumber(r.periodUs(), 1).c_str(), jsonNumber(s.periodUs.mean, 1).c_str(),
                 jsonNumber(s.jitterUs, 1).c_str(), jsonNumber(s.periodUs.max, 1).c_str(),
                 jsonNumber(s.callbackUs.mean, 1).c_str(), jsonNumber(s.callbackUs.max, 1).c_str(),
                 u(s.unmatched), u(r.badIndex), u(r.positionErrors), u(r.positionSkips),
                 u(r.rateChanges), u(r.unrecorded));
}

} // namespace halvern::host
