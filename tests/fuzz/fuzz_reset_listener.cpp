// The driver's listener for the panel's reset signal: whatever a client writes (nothing, the
// one byte the panel sends, a flood), in whatever pieces and however long it stays, the host
// gets exactly one reset request per listener, and the listener serves the next start.
#include "fuzz_host.h"
#include "fuzz_sim.h"
#include "wait_until.h"

#include "halvern/platform/pipe.h"
#include "halvern/platform/thread.h"
#include "halvern/protocol/pipe_messages.h"

#include <chrono>

using namespace halvern;
using driver::AsioHalvern;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static AsioHalvern* d = [] {
        fuzz::simulator();
        AsioHalvern* driver = fuzz::newDriver();
        static ASIOBufferInfo infos[1] = {{ASIOFalse, 0, {nullptr, nullptr}}};
        static ASIOCallbacks callbacks = fuzz::hostCallbacks();
        FUZZ_CHECK(driver->init(nullptr) == ASIOTrue);
        FUZZ_CHECK(driver->createBuffers(infos, 1, 256, &callbacks) == ASE_OK);
        return driver;
    }();
    FuzzedDataProvider in(data, size);
    fuzz::gResetRequests.store(0);
    FUZZ_CHECK(d->start() == ASE_OK); // a new listener

    platform::Handle client = nullptr;
    FUZZ_CHECK(test::waitUntil(
        [&] {
            client = platform::openPipeClient(protocol::kPanelToAsioPipe);
            return platform::isValid(client);
        },
        3000));
    for (int piece = in.ConsumeIntegralInRange(0, 4); piece > 0; --piece) {
        std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 32));
        if (in.ConsumeProbability<float>() < 0.05f)
            bytes.resize(in.ConsumeIntegralInRange(1024, 65536), '1');
        uint32_t written = 0;
        if (!bytes.empty())
            platform::writePipe(client, bytes.data(), uint32_t(bytes.size()), &written);
        platform::sleepMs(in.ConsumeIntegralInRange(0, 2));
    }
    // A second client meanwhile, as a panel started twice would be.
    platform::Handle second = in.ConsumeProbability<float>() < 0.1f
                                  ? platform::openPipeClient(protocol::kPanelToAsioPipe)
                                  : nullptr;
    FUZZ_CHECK(test::waitUntil([] { return fuzz::gResetRequests.load() >= 1; }, 3000));
    platform::closePipeClient(client);
    if (platform::isValid(second))
        platform::closePipeClient(second);
    platform::sleepMs(in.ConsumeIntegralInRange(0, 3));
    FUZZ_CHECK(fuzz::gResetRequests.load() == 1);
    return 0;
}
