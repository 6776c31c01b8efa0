// How long a knob's value change takes to reach the interface: a Wren page against the
// in-process simulator, changes due one every `pace` microseconds as a knob turned by a mouse
// sends them, each timed from when it was due to the simulator's receipt of the request (both
// on the monotonic clock). A change whose handler is still busy with the one before (the request
// and the stored state's write) starts late, and that counts. Prints p50/p99/max over the
// changes, the whole handler's p50 and p99 and the size of each request kind the changes send, then
// the stored state's write alone.
#include "pages/wren.h"
#include "widgets/knob.h"

#include "panel_support.h"

#include "halvern/platform/clock.h"

#include <QApplication>
#include <QSettings>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

using namespace halvern;

namespace {

struct Figures {
    double p50, p99, max;
};

Figures percentiles(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        return v[std::min(v.size() - 1, std::size_t(q * double(v.size())))];
    };
    return {at(0.50), at(0.99), v.back()};
}

// Times `changes` value changes of `knob` and collects the request sizes they caused.
void run(const char* name, Knob* knob, int low, int high, int changes, uint64_t paceNs,
         test::SimulatedInterface& iface) {
    std::vector<double> us;
    std::vector<double> handler;
    std::map<std::string, uint32_t> sizes;
    uint64_t due = platform::monotonicNs();
    for (int i = 0; i < changes; ++i, due += paceNs) {
        iface->clearJournal();
        while (platform::monotonicNs() < due) {
        }
        const uint64_t began = platform::monotonicNs();
        knob->setValue(low + i % (high - low + 1));
        handler.push_back(double(platform::monotonicNs() - began) / 1000.0);
        const auto journal = iface->journal();
        if (journal.empty())
            continue;
        us.push_back(double(journal.front().timeNs - due) / 1000.0);
        for (const auto& e : journal)
            sizes[protocol::requestName(e.code)] = e.inputLength;
    }
    if (us.empty()) {
        std::printf("%-22s no request reached the interface\n", name);
        return;
    }
    const Figures f = percentiles(us);
    const Figures h = percentiles(handler);
    std::printf("%-22s %6zu changes  p50 %7.1f us  p99 %7.1f us  max %8.1f us  handler p50 %7.1f "
                "p99 %7.1f us  sends:",
                name, us.size(), f.p50, f.p99, f.max, h.p50, h.p99);
    for (const auto& [request, bytes] : sizes)
        std::printf(" %s %u B", request.c_str(), bytes);
    std::printf("\n");
}

// The page's stored state written on its own, as each handler ends (the file synced to the disk):
// what a change waits for when the one before it is still being written.
void runStateWrite(QSettings& settings, int writes) {
    std::vector<double> us;
    for (int i = 0; i < writes; ++i) {
        const uint64_t began = platform::monotonicNs();
        settings.setValue(QStringLiteral("Dial/SpeakerValue"), -80 + i % 87);
        settings.sync();
        us.push_back(double(platform::monotonicNs() - began) / 1000.0);
    }
    const Figures f = percentiles(us);
    std::printf("%-22s %6d writes   p50 %7.1f us  p99 %7.1f us  max %8.1f us\n", "State file write",
                writes, f.p50, f.p99, f.max);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int changes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    // 1 ms: a mouse reporting at 1000 Hz, the fastest a knob is turned.
    const uint64_t paceNs = uint64_t(argc > 2 ? std::max(0, std::atoi(argv[2])) : 1000) * 1000;
    test::SimulatedInterface iface;
    if (!iface.started()) {
        std::fprintf(stderr, "bench_knob_latency: the simulator did not start\n");
        return 1;
    }
    test::QtLogCapture quiet; // the page logs every change
    wren page;
    run("MIC1 gain (command)", page.mic1Knob, 0, 60, changes, paceNs, iface);
    run("SPEAKER (mixer write)", page.speakerKnob, -80, 6, changes, paceNs, iface);
    run("Phone to HP (mixer)", page.phoneToHeadphoneKnob, -80, 0, changes, paceNs, iface);
    runStateWrite(*page.settings, changes);
    return 0;
}
