// The wake-up floor of a Windows system for a stream: one process sets an auto-reset event once
// a period, as a device's kernel driver does, and another waits for it, each at the priorities
// the driver asks for (real-time class, time-critical, "Pro Audio"). Prints, as one JSON object,
// how late the waiter woke (p50, p99, max in microseconds), how many wake-ups came a period or
// more late and how many signals the waiter never saw.
//
//   halvern-wake-floor PERIOD_US SECONDS [--look]
//
// --look: a wait of no time before each blocking one, as the driver's audio thread makes to tell
// a host that fell behind, so that what the look costs under Wine shows against the plain floor.
#include "halvern/platform/clock.h"
#include "halvern/platform/thread.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace halvern;

// What the setter publishes before each signal, in memory both processes map.
struct Shared {
    std::atomic<uint64_t> sequence;
    std::atomic<uint64_t> signalNs;
    std::atomic<uint32_t> stop;
};

using DelayFn = LONG(WINAPI*)(BOOLEAN, PLARGE_INTEGER);

// Sleeps to an absolute deadline the way the simulated device's clock does.
void sleepUntilNs(uint64_t deadlineNs) {
    static const DelayFn delay = reinterpret_cast<DelayFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDelayExecution")));
    for (uint64_t now = platform::monotonicNs(); now < deadlineNs; now = platform::monotonicNs()) {
        LARGE_INTEGER relative;
        relative.QuadPart = -LONGLONG((deadlineNs - now + 99) / 100);
        if (delay != nullptr)
            delay(FALSE, &relative);
        else
            Sleep(DWORD((deadlineNs - now + 999'999) / 1'000'000));
    }
}

void askRealtime() {
    if (!platform::setProcessRealtimePriority())
        std::fprintf(stderr, "wake-floor: no real-time class (%lu)\n", GetLastError());
    if (!platform::setThreadTimeCritical(platform::currentThread()))
        std::fprintf(stderr, "wake-floor: no time-critical priority (%lu)\n", GetLastError());
}

int runSetter(HANDLE event, Shared* shared, uint64_t periodNs) {
    askRealtime();
    uint64_t deadline = platform::monotonicNs() + periodNs;
    for (uint64_t n = 1; shared->stop.load() == 0; ++n) {
        sleepUntilNs(deadline);
        deadline += periodNs;
        shared->signalNs.store(platform::monotonicNs(), std::memory_order_relaxed);
        shared->sequence.store(n, std::memory_order_release);
        SetEvent(event);
    }
    return 0;
}

double percentile(const std::vector<double>& sorted, double q) {
    return sorted[std::min(sorted.size() - 1, std::size_t(q * double(sorted.size())))];
}

int runWaiter(const char* self, uint64_t periodNs, double seconds, bool look) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE event = CreateEventA(&inherit, FALSE, FALSE, nullptr);
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                        sizeof(Shared), nullptr);
    auto* shared = section ? static_cast<Shared*>(
                                 MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)))
                           : nullptr;
    if (event == nullptr || shared == nullptr) {
        std::fprintf(stderr, "wake-floor: no event or shared memory (%lu)\n", GetLastError());
        return 1;
    }
    askRealtime();
    uint32_t task = 0;
    if (!platform::isValid(platform::joinProAudioClass(&task)))
        std::fprintf(stderr, "wake-floor: not in the Pro Audio class (%lu)\n", GetLastError());

    std::string command = std::string("\"") + self + "\" --set " +
                          std::to_string(uintptr_t(event)) + " " +
                          std::to_string(uintptr_t(section)) + " " + std::to_string(periodNs);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION setter{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &setter)) {
        std::fprintf(stderr, "wake-floor: the setter did not start (%lu)\n", GetLastError());
        return 1;
    }

    const auto wanted = std::size_t(seconds * 1e9 / double(periodNs));
    std::vector<double> late;
    late.reserve(wanted);
    uint64_t seen = 0, unseen = 0, periodLate = 0;
    while (late.size() < wanted) {
        const bool found = look && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
        if (!found && WaitForSingleObject(event, 2000) != WAIT_OBJECT_0)
            break;
        const uint64_t now = platform::monotonicNs();
        const uint64_t n = shared->sequence.load(std::memory_order_acquire);
        const uint64_t at = shared->signalNs.load(std::memory_order_relaxed);
        if (seen != 0 && n > seen + 1)
            unseen += n - seen - 1;
        seen = n;
        const double us = now > at ? double(now - at) / 1000.0 : 0.0;
        periodLate += us * 1000.0 >= double(periodNs) ? 1 : 0;
        late.push_back(us);
    }
    shared->stop.store(1);
    WaitForSingleObject(setter.hProcess, 5000);
    if (late.empty()) {
        std::fprintf(stderr, "wake-floor: no signal arrived\n");
        return 1;
    }
    std::sort(late.begin(), late.end());
    std::printf("{\"period_us\":%.1f,\"samples\":%zu,\"p50\":%.1f,\"p99\":%.1f,\"max\":%.1f,"
                "\"late\":%llu,\"missed\":%llu}\n",
                double(periodNs) / 1000.0, late.size(), percentile(late, 0.5),
                percentile(late, 0.99), late.back(), (unsigned long long)periodLate,
                (unsigned long long)unseen);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--set") {
        auto* event = reinterpret_cast<HANDLE>(std::strtoull(argv[2], nullptr, 10));
        auto* section = reinterpret_cast<HANDLE>(std::strtoull(argv[3], nullptr, 10));
        auto* shared =
            static_cast<Shared*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)));
        return shared ? runSetter(event, shared, std::strtoull(argv[4], nullptr, 10)) : 1;
    }
    const bool look = argc == 4 && std::string(argv[3]) == "--look";
    const bool fits = argc == 3 || look;
    const double periodUs = fits ? std::atof(argv[1]) : 0;
    const double seconds = fits ? std::atof(argv[2]) : 0;
    if (periodUs < 50 || seconds <= 0) {
        std::fprintf(stderr, "usage: halvern-wake-floor PERIOD_US SECONDS [--look]\n");
        return 2;
    }
    return runWaiter(argv[0], uint64_t(periodUs * 1000.0), seconds, look);
}
