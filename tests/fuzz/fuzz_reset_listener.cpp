// The driver's listener for the panel's reset signal: whatever a client writes (nothing, the
// one byte the panel sends, a flood), in whatever pieces and however long it stays, the host
// gets exactly one reset request per listener, and the next listener serves the next client.
// Each run's listener comes from the control-panel call, as the panel's button makes one; a
// start restarts it in the same way but also restarts the stream, at 30 ms a run, so only the
// first run's listener comes from a start (the driver-calls target drives starts).
#include "fuzz_host.h"
#include "fuzz_sim.h"
#include "wait_until.h"

#include "halvern/platform/pipe.h"
#include "halvern/platform/thread.h"
#include "halvern/protocol/pipe_messages.h"

#include <chrono>
#include <thread>

using namespace halvern;
using driver::AsioHalvern;

namespace {

constexpr int kPollUs = 50;

// The panel's end of the status pipe, which the control-panel call needs to find: it takes
// each message and hangs up, as the panel does.
void servePanel() {
    platform::PipeServerOptions o;
    o.mode = platform::PipeMode::Message;
    o.bufferSize = 65536;
    o.defaultTimeoutMs = 300;
    platform::Handle server = platform::createPipeServer(protocol::kAsioToPanelPipe, o);
    FUZZ_CHECK(platform::isValid(server));
    std::thread([server] {
        for (;;) {
            const platform::PipeWait w = platform::waitForPipeClient(server, 1000);
            if (w == platform::PipeWait::TimedOut || w == platform::PipeWait::Cancelled)
                continue;
            uint8_t buffer[1024];
            uint32_t n = 0;
            platform::readPipe(server, buffer, sizeof buffer, &n);
            platform::disconnectPipeClient(server);
        }
    }).detach();
}

// A pause of up to a millisecond, in microseconds: the listener answers in far less.
void pause(FuzzedDataProvider& in) {
    std::this_thread::sleep_for(std::chrono::microseconds(in.ConsumeIntegralInRange(0, 1000)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static AsioHalvern* d = [] {
        fuzz::simulator();
        AsioHalvern* driver = fuzz::newDriver();
        static ASIOBufferInfo infos[1] = {{ASIOFalse, 0, {nullptr, nullptr}}};
        static ASIOCallbacks callbacks = fuzz::hostCallbacks();
        FUZZ_CHECK(driver->init(nullptr) == ASIOTrue);
        FUZZ_CHECK(driver->createBuffers(infos, 1, 256, &callbacks) == ASE_OK);
        servePanel();
        FUZZ_CHECK(driver->start() == ASE_OK);
        return driver;
    }();
    FuzzedDataProvider in(data, size);
    fuzz::gResetRequests.store(0);
    FUZZ_CHECK(d->controlPanel() == ASE_OK); // a new listener

    platform::Handle client = nullptr;
    FUZZ_CHECK(test::waitUntil(
        [&] {
            client = platform::openPipeClient(protocol::kPanelToAsioPipe);
            return platform::isValid(client);
        },
        3000, kPollUs));
    // Only a client that writes is the panel; one that sends nothing gets no reset.
    bool wrote = false;
    for (int piece = in.ConsumeIntegralInRange(0, 4); piece > 0; --piece) {
        std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 32));
        if (in.ConsumeProbability<float>() < 0.05f)
            bytes.resize(in.ConsumeIntegralInRange(1024, 65536), '1');
        uint32_t written = 0;
        if (!bytes.empty())
            wrote |= platform::writePipe(client, bytes.data(), uint32_t(bytes.size()), &written);
        pause(in);
    }
    // A second client meanwhile, as a panel started twice would be.
    platform::Handle second = in.ConsumeProbability<float>() < 0.1f
                                  ? platform::openPipeClient(protocol::kPanelToAsioPipe)
                                  : nullptr;
    if (wrote)
        FUZZ_CHECK(test::waitUntil([] { return fuzz::gResetRequests.load() >= 1; }, 3000, kPollUs));
    platform::closePipeClient(client);
    if (platform::isValid(second))
        platform::closePipeClient(second);
    pause(in);
    FUZZ_CHECK(fuzz::gResetRequests.load() == (wrote ? 1 : 0));
    fuzz::checkNoDescriptorLeak(); // events, areas, pipes and handles all closed
    return 0;
}
