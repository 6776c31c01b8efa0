// The driver's handling of what the device answers: opens refused or garbled, failed requests,
// buffer sizes, rates and channel counts of any value, shared-memory records with and without
// their areas, areas of any real size. Whatever comes back, the host gets an error code or values
// it can use.
#include "fuzz_host.h"

#include "halvern/protocol/bus_protocol.h"

#include <mutex>

using namespace halvern;
using driver::AsioHalvern;

namespace {

constexpr std::size_t kAreaBytes = 2 * AsioHalvern::kMaxBufferSize * AsioHalvern::kMaxChannels * 4;

// What the device answers, read from the input's tail as the requests come.
std::mutex gScriptMutex;
FuzzedDataProvider* gScript = nullptr;

std::vector<uint8_t> verdict() {
    std::lock_guard<std::mutex> lock(gScriptMutex);
    std::vector<uint8_t> v = {'H', 'B', 'O', 'P', 0, 0, 0, 0};
    if (gScript == nullptr || gScript->ConsumeProbability<float>() < 0.9f)
        return v;
    switch (gScript->ConsumeIntegralInRange(0, 2)) {
    case 0: // refused with an error
        v[4] = gScript->ConsumeIntegral<uint8_t>();
        return v;
    case 1: // garbled or short
        return gScript->ConsumeBytes<uint8_t>(gScript->ConsumeIntegralInRange(1, 12));
    default: // hangs up
        return {};
    }
}

fuzz::ScriptedDevice::Answer answer(const platform::posix::BusRequest& rq) {
    static const int areas[2] = {fuzz::areaFd(kAreaBytes), fuzz::areaFd(kAreaBytes)};
    std::lock_guard<std::mutex> lock(gScriptMutex);
    fuzz::ScriptedDevice::Answer a;
    if (gScript == nullptr) {
        a.bytes = fuzz::replyBytes(false, platform::kErrorGenFailure, {});
        return a;
    }
    FuzzedDataProvider& s = *gScript;
    switch (s.ConsumeIntegralInRange(0, 7)) {
    case 0: // refused
        a.bytes = fuzz::replyBytes(false, s.ConsumeIntegral<uint32_t>(), {});
        break;
    case 1: // raw bytes
        a.bytes = s.ConsumeBytes<uint8_t>(s.ConsumeIntegralInRange(0, 48));
        break;
    default: { // a reply of any length and content
        std::vector<uint8_t> out = s.ConsumeBytes<uint8_t>(s.ConsumeIntegralInRange(0, 40));
        if (out.size() > rq.outputCapacity && s.ConsumeBool())
            out.resize(rq.outputCapacity);
        a.bytes = fuzz::replyBytes(true, 0, out);
        // The areas come in any real size, whatever the reply says of them: the driver must
        // hand out only halves that lie inside what is there.
        if (rq.code == protocol::IOCTL_ASIO_GET_SHARED_MEMORY)
            for (int i = s.ConsumeIntegralInRange(0, 2); i > 0; --i) {
                const std::size_t bytes =
                    s.ConsumeBool() ? kAreaBytes
                                    : s.ConsumeIntegralInRange<std::size_t>(1, kAreaBytes);
                if (ftruncate(areas[i - 1], off_t(bytes)) != 0)
                    std::abort();
                a.fds.push_back(areas[i - 1]);
            }
    }
    }
    return a;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::ScriptedDevice* device = [] {
        fuzz::silenceStdout();
        return new fuzz::ScriptedDevice("HalvernAudioBus0", verdict, answer);
    }();
    (void)device;
    if (size < 2)
        return 0;
    // The head chooses the host's calls, the tail the device's answers.
    const std::size_t split = std::min<std::size_t>(size - 2, std::size_t(data[0]) | data[1] << 8);
    FuzzedDataProvider host(data + 2, split);
    FuzzedDataProvider script(data + 2 + split, size - 2 - split);
    {
        std::lock_guard<std::mutex> lock(gScriptMutex);
        gScript = &script;
    }

    AsioHalvern* d = fuzz::newDriver();
    d->init(nullptr);
    int32_t frames = 256;
    while (host.remaining_bytes() > 0) {
        switch (host.ConsumeIntegralInRange(0, 6)) {
        case 0: {
            int32_t in = -1, out = -1;
            if (d->getChannels(&in, &out) == ASE_OK)
                FUZZ_CHECK(in >= 0 && out >= 0 && in <= AsioHalvern::kMaxChannels &&
                           out <= AsioHalvern::kMaxChannels);
            break;
        }
        case 1: {
            int32_t mn = 0, mx = 0, pref = 0, gran = 0;
            if (d->getBufferSize(&mn, &mx, &pref, &gran) == ASE_OK) {
                FUZZ_CHECK(mn >= 1 && mn <= pref && pref <= mx &&
                           mx <= AsioHalvern::kMaxBufferSize);
                frames = pref;
            }
            break;
        }
        case 2: {
            ASIOSampleRate rate = -1;
            if (d->getSampleRate(&rate) == ASE_OK)
                FUZZ_CHECK(rate >= 0);
            d->canSampleRate(rate);
            break;
        }
        case 3: {
            ASIOChannelInfo info{};
            info.channel = host.ConsumeIntegralInRange(0, AsioHalvern::kMaxChannels - 1);
            info.isInput = host.ConsumeBool();
            if (d->getChannelInfo(&info) == ASE_OK)
                FUZZ_CHECK(strnlen(info.name, sizeof info.name) < sizeof info.name);
            break;
        }
        case 4: {
            ASIOBufferInfo infos[4];
            for (int i = 0; i < 4; ++i)
                infos[i] = ASIOBufferInfo{i < 2, i % 2, {nullptr, nullptr}};
            ASIOCallbacks callbacks = fuzz::hostCallbacks();
            if (d->createBuffers(infos, 4, frames, &callbacks) == ASE_OK) {
                // Every half handed out is the host's to write, the whole of it.
                for (auto& info : infos)
                    for (void* half : info.buffers)
                        std::memset(half, 0x5a, std::size_t(frames) * 4);
            }
            break;
        }
        case 5: {
            int32_t in = 0, out = 0;
            FUZZ_CHECK(d->getLatencies(&in, &out) == ASE_OK && in >= 0 && out >= 0);
            break;
        }
        case 6:
            if (host.ConsumeProbability<float>() < 0.2f) {
                d->start();
                d->stop();
            } else {
                d->disposeBuffers();
            }
            break;
        }
    }
    d->NonDelegatingRelease();
    {
        std::lock_guard<std::mutex> lock(gScriptMutex);
        gScript = nullptr;
    }
    fuzz::checkNoDescriptorLeak(); // events, areas, pipes and handles all closed
    return 0;
}
