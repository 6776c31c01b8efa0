// The transport's reading of device replies: whatever a device sends back (short, long, wrong
// magic, lengths that disagree, stray or missing descriptors), deviceIoControl hands the caller
// no more than its buffer holds and reports failure for what is not a reply.
#include "fuzz_support.h"

#include "halvern/platform/bus_device.h"
#include "halvern/protocol/bus_protocol.h"

#include <fcntl.h>
#include <sys/mman.h>

using namespace halvern;
using platform::posix::UniqueFd;

namespace {

constexpr uint32_t kCodes[] = {protocol::IOCTL_ASIO_GET_SHARED_MEMORY,
                               protocol::IOCTL_ASIO_GET_BUFFER_SIZE,
                               protocol::IOCTL_ASIO_GET_CHANNELS, protocol::IOCTL_DEVICE_GET_PID,
                               protocol::IOCTL_MIXER_GET_METERS};

int memfdOf(std::size_t bytes) {
    int fd = memfd_create("fuzz-area", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(bytes)) != 0)
        std::abort();
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int areas[2] = {memfdOf(4096), memfdOf(8192)};
    FuzzedDataProvider in(data, size);
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        std::abort();
    UniqueFd device(pair[1]);
    // A socketpair may hand out 0 to 2 when the standard streams are closed: keep them apart.
    UniqueFd client(fcntl(pair[0], F_DUPFD_CLOEXEC, 3));
    ::close(pair[0]);

    const uint32_t code =
        in.ConsumeBool() ? in.PickValueInArray(kCodes) : in.ConsumeIntegral<uint32_t>();
    const uint32_t outLen = in.ConsumeIntegralInRange<uint32_t>(0, 1024);
    const int fdCount = in.ConsumeIntegralInRange(0, 3);
    std::vector<uint8_t> reply;
    if (in.ConsumeBool()) {
        // A reply with a true header, so the fuzzer reaches what follows it.
        const bool success = in.ConsumeBool();
        const uint32_t error = in.ConsumeIntegral<uint32_t>();
        reply = fuzz::replyBytes(success, error,
                                 in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 2048)));
    }
    std::vector<uint8_t> rest = in.ConsumeRemainingBytes<uint8_t>();
    reply.insert(reply.end(), rest.begin(), rest.end());

    // The reply is waiting before the request leaves, as if the device answered at once. An
    // empty one with descriptors is a message all the same; without, the device is gone.
    if (!reply.empty() || fdCount > 0) {
        std::vector<int> fds;
        for (int i = 0; i < fdCount; ++i)
            fds.push_back(areas[i % 2]);
        FUZZ_CHECK(fuzz::sendMessage(device.get(), reply, fds));
    } else {
        device.reset(); // the device is gone
    }

    // An exact heap block: a byte written past outLen is an overflow the sanitizer reports.
    std::vector<uint8_t> out(outLen);
    uint32_t returned = 0xdeadbeef;
    const bool ok =
        platform::deviceIoControl(reinterpret_cast<platform::Handle>(intptr_t(client.get())), code,
                                  nullptr, 0, out.data(), outLen, &returned);
    FUZZ_CHECK(returned <= outLen);
    if (!ok)
        FUZZ_CHECK(returned == 0 && platform::lastError() != 0);
    else if (reply.size() >= 16)
        FUZZ_CHECK(reply[4] | reply[5] | reply[6] | reply[7]); // success was claimed
    fuzz::checkNoDescriptorLeak(); // the descriptors of a reply it refused are closed
    return 0;
}
