// What one wake-up through an eventfd costs on this machine, with the waker and the waiter on
// the same processor and on two: a SCHED_FIFO thread sets the eventfd once a period (on an
// absolute clock, as the simulated device's clock does) and another SCHED_FIFO thread waits in
// poll. Prints one line per placement: p50 / p99 / max in microseconds from the set to the
// waiter running. The gap between the two lines is what an inter-processor wake-up adds.
//
//   bench_cross_cpu_wake PERIOD_US SECONDS
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

uint64_t nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1'000'000'000ull + uint64_t(t.tv_nsec);
}

bool place(int cpu, int priority) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_param p{};
    p.sched_priority = priority;
    const bool pinned = pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0 && pinned;
}

struct Run {
    int wakerCpu = 0, waiterCpu = 0;
    uint64_t periodNs = 0;
    std::size_t periods = 0;
    int fd = -1;
    std::atomic<uint64_t> setAt{0};
    std::atomic<bool> done{false};
    std::vector<double> us;
    bool realtime = true;
};

void waker(Run& r) {
    // One above the waiter, as the device's clock is above the audio thread.
    r.realtime = place(r.wakerCpu, sched_get_priority_max(SCHED_FIFO)) && r.realtime;
    uint64_t next = nowNs() + r.periodNs;
    for (std::size_t i = 0; i < r.periods; ++i, next += r.periodNs) {
        const timespec ts{time_t(next / 1'000'000'000ull), long(next % 1'000'000'000ull)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        r.setAt.store(nowNs());
        const uint64_t one = 1;
        if (write(r.fd, &one, sizeof one) != ssize_t(sizeof one))
            break;
    }
    r.done.store(true);
}

void waiter(Run& r) {
    r.realtime = place(r.waiterCpu, sched_get_priority_max(SCHED_FIFO) - 1) && r.realtime;
    while (!r.done.load()) {
        pollfd p{r.fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        const uint64_t woke = nowNs();
        uint64_t value;
        if (read(r.fd, &value, sizeof value) == ssize_t(sizeof value))
            r.us.push_back(double(woke - r.setAt.load()) / 1000.0);
    }
}

void measure(const char* label, int wakerCpu, int waiterCpu, uint64_t periodNs, double seconds) {
    Run r;
    r.wakerCpu = wakerCpu;
    r.waiterCpu = waiterCpu;
    r.periodNs = periodNs;
    r.periods = std::size_t(seconds * 1e9 / double(periodNs));
    r.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    r.us.reserve(r.periods);
    std::thread w([&] { waiter(r); });
    usleep(10000);
    std::thread k([&] { waker(r); });
    k.join();
    w.join();
    close(r.fd);
    if (r.us.empty()) {
        std::printf("%-16s no wake-ups\n", label);
        return;
    }
    std::sort(r.us.begin(), r.us.end());
    auto at = [&](double q) {
        return r.us[std::min(r.us.size() - 1, std::size_t(q * r.us.size()))];
    };
    std::printf("%-16s processors %d,%d  p50 %.1f / p99 %.1f / max %.1f us%s\n", label, wakerCpu,
                waiterCpu, at(0.5), at(0.99), r.us.back(),
                r.realtime ? "" : "  (real-time scheduling refused)");
}

} // namespace

int main(int argc, char** argv) {
    const double periodUs = argc > 1 ? std::atof(argv[1]) : 5333.3;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 5;
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    if (periodUs < 50 || seconds <= 0) {
        std::fprintf(stderr, "usage: bench_cross_cpu_wake PERIOD_US SECONDS\n");
        return 2;
    }
    const auto periodNs = uint64_t(periodUs * 1000.0);
    const int last = int(cpus) - 1;
    measure("same processor", last, last, periodNs, seconds);
    if (cpus > 1)
        measure("two processors", 0, last, periodNs, seconds);
    return 0;
}
