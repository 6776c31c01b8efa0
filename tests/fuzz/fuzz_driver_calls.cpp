// The driver's entry points under a hostile host: null pointers, channel numbers and sizes of
// any value, rates that are NaN or infinite, calls in any order, the device failing or going
// away between them, and the object released at any point. Each call returns one of the
// interface's codes and writes only where the host pointed.
#include "fuzz_host.h"
#include "fuzz_sim.h"

#include "halvern/protocol/bus_protocol.h"

using namespace halvern;
using namespace halvern::fuzz;
using driver::AsioHalvern;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static sim::Simulator* device = fuzz::simulator();
    FuzzedDataProvider in(data, size);
    AsioHalvern* d = newDriver();
    std::vector<ASIOBufferInfo> infos;
    ASIOCallbacks callbacks = hostCallbacks();

    for (int call = 0; call < 24 && in.remaining_bytes() > 0; ++call) {
        ASIOError e = ASE_OK;
        switch (in.ConsumeIntegralInRange(0, 19)) {
        case 0:
            d->init(in.ConsumeBool() ? nullptr : &infos);
            break;
        case 1: {
            auto name = std::make_unique<char[]>(kAsioDriverNameSize);
            d->getDriverName(in.ConsumeBool() ? nullptr : name.get());
            auto text = std::make_unique<char[]>(kAsioErrorMessageSize);
            d->getErrorMessage(in.ConsumeBool() ? nullptr : text.get());
            break;
        }
        case 2: {
            auto a = maybe<int32_t>(in), b = maybe<int32_t>(in);
            e = d->getChannels(a.get(), b.get());
            if (e == ASE_OK)
                FUZZ_CHECK(*a >= 0 && *b >= 0 && *a <= AsioHalvern::kMaxChannels);
            break;
        }
        case 3: {
            auto a = maybe<int32_t>(in), b = maybe<int32_t>(in);
            e = d->getLatencies(a.get(), b.get());
            break;
        }
        case 4: {
            auto a = maybe<int32_t>(in), b = maybe<int32_t>(in), c = maybe<int32_t>(in),
                 g = maybe<int32_t>(in);
            e = d->getBufferSize(a.get(), b.get(), c.get(), g.get());
            break;
        }
        case 5:
            e = d->canSampleRate(hostileRate(in));
            break;
        case 6: {
            auto r = maybe<ASIOSampleRate>(in);
            e = d->getSampleRate(r.get());
            break;
        }
        case 7:
            e = d->setSampleRate(hostileRate(in));
            break;
        case 8: {
            // The count is the room the host gave, any value; the array has exactly that.
            auto n = maybe<int32_t>(in);
            const int32_t room = n ? in.ConsumeIntegralInRange<int32_t>(-2, 2) : 1;
            if (n)
                *n = room;
            std::unique_ptr<ASIOClockSource[]> clocks;
            if (room > 0 && in.ConsumeBool())
                clocks = std::make_unique<ASIOClockSource[]>(std::size_t(room));
            e = d->getClockSources(clocks.get(), n.get());
            e = d->setClockSource(hostileInt(in, 0));
            break;
        }
        case 9: {
            auto p = maybe<ASIOSamples>(in);
            auto t = maybe<ASIOTimeStamp>(in);
            e = d->getSamplePosition(p.get(), t.get());
            break;
        }
        case 10: {
            auto info = maybe<ASIOChannelInfo>(in);
            if (info) {
                info->channel = hostileInt(in, 0);
                info->isInput = hostileInt(in, 1);
            }
            e = d->getChannelInfo(info.get());
            if (e == ASE_OK)
                FUZZ_CHECK(strnlen(info->name, sizeof info->name) < sizeof info->name);
            break;
        }
        case 11: {
            // The host's table holds exactly the entries it says (or it says a negative count).
            const int32_t n = in.ConsumeIntegralInRange(0, 8);
            infos.assign(std::size_t(n), ASIOBufferInfo{});
            for (auto& info : infos) {
                info.isInput = hostileInt(in, in.ConsumeBool());
                info.channelNum = hostileInt(in, in.ConsumeIntegralInRange(0, 3));
            }
            const int32_t count =
                in.ConsumeProbability<float>() < 0.1f ? -in.ConsumeIntegralInRange(1, 1 << 30) : n;
            const int32_t frames = hostileInt(in, 256);
            gTimeInfoAnswer.store(in.ConsumeBool());
            e = d->createBuffers(in.ConsumeBool() && n ? infos.data() : nullptr, count, frames,
                                 in.ConsumeProbability<float>() < 0.1f ? nullptr : &callbacks);
            if (e == ASE_OK)
                for (const auto& info : infos)
                    for (void* half : info.buffers)
                        std::memset(half, 0, std::size_t(frames) * 4);
            break;
        }
        case 12:
            e = d->disposeBuffers();
            break;
        case 13:
            e = d->start();
            break;
        case 14:
            e = d->stop();
            break;
        case 15:
            e = d->controlPanel();
            break;
        case 16:
            e = d->future(hostileInt(in, 1), in.ConsumeBool() ? nullptr : &infos);
            FUZZ_CHECK(e == ASE_OK || e == ASE_NotPresent || e == ASE_InvalidParameter);
            break;
        case 17:
            e = d->outputReady();
            break;
        case 18: // the device fails the next request of a kind, or all of one for a while
            device->failRequests(in.PickValueInArray(protocol::kAllRequestCodes),
                                 in.ConsumeIntegral<uint8_t>() + 1u,
                                 in.ConsumeIntegralInRange(0, 3));
            break;
        case 19:
            switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0:
                device->unplug();
                break;
            case 1:
                device->replug();
                break;
            case 2:
                device->hardwareStop();
                break;
            default:
                device->setBufferSize(in.PickValueInArray({64u, 256u, 2048u}));
            }
            break;
        }
        FUZZ_CHECK(isAsioCode(e));
    }
    d->NonDelegatingRelease();
    device->clearFaults();
    device->replug();
    device->setBufferSize(256);
    device->clearJournal();
    fuzz::checkNoDescriptorLeak(); // events, areas, pipes and handles all closed
    return 0;
}
