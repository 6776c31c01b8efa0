// The simulator's reading of bus socket requests: every message a client may send (true and
// false headers, lengths that disagree with the bytes, inputs short and long, stray
// descriptors) gets a well-formed reply within the caller's capacity, or ends that connection
// and nothing else.
#include "fuzz_sim.h"

#include "halvern/protocol/bus_protocol.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/un.h>

using namespace halvern;
using platform::posix::UniqueFd;

namespace {

constexpr std::size_t kHeader = 16;

UniqueFd connectDevice() {
    UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = fuzz::runtime().path() + "/bus/HalvernAudioBus0";
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    FUZZ_CHECK(connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    const std::vector<uint8_t> verdict = fuzz::receiveMessage(fd.get(), 8, 5000);
    FUZZ_CHECK(verdict.size() == 8 && verdict[4] == 0);
    return fd;
}

void put32(std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
    protocol::putLe32(b.data() + at, v);
}
using protocol::getLe32;

std::vector<uint8_t> receiveReply(int fd) {
    return fuzz::receiveMessage(fd, kHeader + platform::posix::kMaxReplyOutput + 1, 5000);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static sim::Simulator* device = fuzz::simulator();
    static const int eventFd = eventfd(0, EFD_CLOEXEC);
    static const int otherFd = open("/dev/null", O_RDONLY | O_CLOEXEC);

    FuzzedDataProvider in(data, size);
    UniqueFd conn = connectDevice();
    bool open = true;
    for (int message = 0; open && message < 8 && in.remaining_bytes() > 0; ++message) {
        const uint32_t code = in.ConsumeBool() ? in.PickValueInArray(protocol::kAllRequestCodes)
                                               : in.ConsumeIntegral<uint32_t>();
        uint32_t capacity = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 1024)
                                             : in.ConsumeIntegral<uint32_t>();
        std::vector<uint8_t> input = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 64));
        // Long inputs: up to just past the largest request the device takes.
        if (in.ConsumeProbability<float>() < 0.1f)
            input.resize(
                in.ConsumeIntegralInRange<std::size_t>(0, platform::posix::kMaxRequestInput + 8));
        const bool trueMagic = in.ConsumeProbability<float>() < 0.95f;
        const bool trueLength = in.ConsumeProbability<float>() < 0.9f;
        const uint32_t claimed =
            trueLength ? uint32_t(input.size()) : in.ConsumeIntegral<uint32_t>();
        std::vector<uint8_t> bytes(kHeader);
        put32(bytes, 0,
              trueMagic ? platform::posix::kRequestMagic : in.ConsumeIntegral<uint32_t>());
        put32(bytes, 4, code);
        put32(bytes, 8, claimed);
        put32(bytes, 12, capacity);
        bytes.insert(bytes.end(), input.begin(), input.end());
        if (in.ConsumeProbability<float>() < 0.05f)
            bytes.resize(in.ConsumeIntegralInRange<std::size_t>(0, kHeader)); // short
        std::vector<int> fds(in.ConsumeIntegralInRange(0, 4), in.ConsumeBool() ? eventFd : otherFd);

        const bool wellFormed = bytes.size() >= kHeader && trueMagic &&
                                claimed == bytes.size() - kHeader &&
                                capacity <= platform::posix::kMaxReplyOutput;
        if (!fuzz::sendMessage(conn.get(), bytes, fds)) {
            FUZZ_CHECK(bytes.size() > kHeader + platform::posix::kMaxRequestInput);
            break;
        }
        const std::vector<uint8_t> reply = receiveReply(conn.get());
        if (reply.empty()) {
            FUZZ_CHECK(!wellFormed || bytes.size() > kHeader + platform::posix::kMaxRequestInput);
            open = false;
            break;
        }
        FUZZ_CHECK(wellFormed);
        FUZZ_CHECK(reply.size() >= kHeader &&
                   getLe32(reply.data()) == platform::posix::kReplyMagic);
        const uint32_t success = getLe32(reply.data() + 4);
        const uint32_t returned = getLe32(reply.data() + 12);
        FUZZ_CHECK(success <= 1 && returned == reply.size() - kHeader && returned <= capacity);
        FUZZ_CHECK(success == 1 || (returned == 0 && getLe32(reply.data() + 8) != 0));
    }
    conn.reset();

    // Nothing else was lost: a new connection is served, and the stream is back to rest.
    UniqueFd probe = connectDevice();
    for (uint32_t code : {protocol::IOCTL_ASIO_STOP, protocol::IOCTL_AUDIO_STOP,
                          protocol::IOCTL_ASIO_SET_EVENTS, protocol::IOCTL_DEVICE_GET_PID}) {
        std::vector<uint8_t> bytes(kHeader);
        put32(bytes, 0, platform::posix::kRequestMagic);
        put32(bytes, 4, code);
        put32(bytes, 8, 0);
        put32(bytes, 12, 4);
        FUZZ_CHECK(fuzz::sendMessage(probe.get(), bytes, {}));
        const std::vector<uint8_t> reply = receiveReply(probe.get());
        FUZZ_CHECK(reply.size() >= kHeader && getLe32(reply.data() + 4) == 1);
    }
    device->clearJournal();
    // Nor a descriptor: the device closes whatever a request brought along.
    fuzz::checkNoDescriptorLeak();
    return 0;
}
