// The bus socket between the client transport and a device built on the server side.
#include "halvern/platform/bus_device.h"
#include "halvern/platform/event.h"
#include "halvern/platform/runtime_dir.h"
#include "halvern/protocol/bus_protocol.h"
#include "test_support.h"
#include "tiny_bus_server.h"

#include <fstream>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace halvern;
using namespace halvern::platform;
using halvern::test::TinyBusServer;
namespace proto = halvern::protocol;

namespace {

class BusTransport : public ::testing::Test {
protected:
    void startServer(TinyBusServer::Handler handler) {
        server = std::make_unique<TinyBusServer>(busDirectory() + "/HalvernAudioBus0",
                                                 std::move(handler));
        ASSERT_TRUE(server->listening());
    }
    Handle open() { return openBusDeviceByName(L"\\\\.\\HalvernAudioBus0"); }

    test::TempRuntimeDir runtime;
    std::unique_ptr<TinyBusServer> server;
};

TEST_F(BusTransport, RequestBytesArriveAndReplyBytesReturn) {
    std::mutex m;
    uint32_t seenCode = 0, seenCapacity = 0;
    std::vector<uint8_t> seenInput;
    startServer([&](posix::BusRequest& r) {
        std::lock_guard<std::mutex> lock(m);
        seenCode = r.code;
        seenCapacity = r.outputCapacity;
        seenInput = r.input;
        posix::BusReply reply;
        reply.output = {0x78, 0x56, 0x34, 0x12};
        return reply;
    });
    Handle h = open();
    ASSERT_TRUE(isValid(h)) << lastError();

    auto cmd = proto::micVolumeCommand(1, 40);
    uint8_t out[4] = {};
    uint32_t returned = 99;
    ASSERT_TRUE(deviceIoControl(h, proto::IOCTL_DEVICE_QUERY_COMMAND, cmd.bytes, sizeof cmd.bytes,
                                out, sizeof out, &returned));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(proto::getLe32(out), 0x12345678u);
    {
        std::lock_guard<std::mutex> lock(m);
        EXPECT_EQ(seenCode, uint32_t(proto::IOCTL_DEVICE_QUERY_COMMAND));
        EXPECT_EQ(seenCapacity, 4u);
        EXPECT_EQ(seenInput, std::vector<uint8_t>(cmd.bytes, cmd.bytes + sizeof cmd.bytes));
    }

    // The largest request, the whole mixer matrix, goes through in one message.
    auto matrix = std::make_unique<proto::MixerMatrix>();
    matrix->setOutputGain(95, 0.5);
    EXPECT_TRUE(deviceIoControl(h, proto::IOCTL_MIXER_SET_MATRIX, matrix->bytes,
                                sizeof matrix->bytes, nullptr, 0, nullptr));
    {
        std::lock_guard<std::mutex> lock(m);
        ASSERT_EQ(seenInput.size(), proto::MixerMatrix::kSize);
        EXPECT_EQ(std::memcmp(seenInput.data(), matrix->bytes, seenInput.size()), 0);
    }
    closeBusDevice(h);
}

TEST_F(BusTransport, ErrorReplySetsLastErrorAndLongReplyNeverOverflows) {
    startServer([](posix::BusRequest& r) {
        posix::BusReply reply;
        if (r.code == proto::IOCTL_AUDIO_INIT) {
            reply.success = false;
            reply.error = 1117;
        } else {
            reply.output.assign(64, 0xAB); // more than the caller asked for
        }
        return reply;
    });
    Handle h = open();
    ASSERT_TRUE(isValid(h));
    setLastError(0);
    EXPECT_FALSE(deviceIoControl(h, proto::IOCTL_AUDIO_INIT, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(lastError(), 1117u);

    uint8_t buffer[8];
    std::memset(buffer, 0x11, sizeof buffer);
    uint32_t returned = 0;
    EXPECT_TRUE(
        deviceIoControl(h, proto::IOCTL_AUDIO_GET_SAMPLE_RATE, nullptr, 0, buffer, 4, &returned));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(buffer[3], 0xAB);
    EXPECT_EQ(buffer[4], 0x11); // untouched beyond the four bytes given
    closeBusDevice(h);
}

TEST_F(BusTransport, EventRegistrationPassesTheHostsOwnEvents) {
    std::mutex m;
    std::vector<posix::UniqueFd> kept;
    startServer([&](posix::BusRequest& r) {
        if (r.code == proto::IOCTL_ASIO_SET_EVENTS) {
            std::lock_guard<std::mutex> lock(m);
            kept = std::move(r.fds);
        }
        posix::BusReply reply;
        reply.output = {0};
        return reply;
    });
    Handle events[3] = {createEvent(false, false), createEvent(false, false),
                        createEvent(false, false)};
    proto::EventRegistration reg;
    for (int i = 0; i < 3; ++i)
        reg.setHandle(i, reinterpret_cast<uint64_t>(events[i]));
    Handle h = open();
    ASSERT_TRUE(isValid(h));
    uint8_t flag = 1;
    ASSERT_TRUE(deviceIoControl(h, proto::IOCTL_ASIO_SET_EVENTS, reg.bytes, sizeof reg.bytes, &flag,
                                1, nullptr));
    {
        std::lock_guard<std::mutex> lock(m);
        ASSERT_EQ(kept.size(), 3u);
        EXPECT_TRUE(posix::signalEventFd(kept[1].get()));
    }
    EXPECT_EQ(waitForAny(events, 3, 2000), kWaitObject0 + 1);
    EXPECT_EQ(waitForAny(events, 3, 0), kWaitTimeout); // auto-reset: consumed
    {
        std::lock_guard<std::mutex> lock(m);
        posix::signalEventFd(kept[2].get());
    }
    EXPECT_EQ(waitForOne(events[2], 2000), kWaitObject0);

    // An event handle that is not open, or null, is refused before anything is sent.
    for (uint64_t bad : {uint64_t(987654), uint64_t(0)}) {
        reg.setHandle(0, bad);
        EXPECT_FALSE(deviceIoControl(h, proto::IOCTL_ASIO_SET_EVENTS, reg.bytes, sizeof reg.bytes,
                                     &flag, 1, nullptr));
        EXPECT_EQ(lastError(), uint32_t(kErrorInvalidHandle));
    }
    closeBusDevice(h);
    for (Handle e : events)
        closeHandle(e);
}

TEST_F(BusTransport, SharedAreasAreMappedAndKeepTheirAddressesAcrossReopen) {
    auto input = posix::SharedArea::create("in", 1 << 16);
    auto output = posix::SharedArea::create("out", 1 << 12);
    ASSERT_TRUE(input && output);
    input->data()[100] = 0x5A;
    startServer([&](posix::BusRequest& r) {
        posix::BusReply reply;
        if (r.code == proto::IOCTL_ASIO_GET_SHARED_MEMORY) {
            proto::SharedMemoryReply sm;
            sm.setInputArea(reinterpret_cast<uint64_t>(input->data())); // server's own address
            sm.setOutputArea(reinterpret_cast<uint64_t>(output->data()));
            // The device claims more than it hands out; only the mappings' sizes count.
            proto::putLe64(sm.bytes + 16, proto::kSharedAreaBytes);
            proto::putLe64(sm.bytes + 24, 0);
            reply.output.assign(sm.bytes, sm.bytes + sizeof sm.bytes);
            reply.fds = {input->fd(), output->fd()};
        }
        return reply;
    });
    auto query = [&](proto::SharedMemoryReply& sm) {
        Handle h = open();
        EXPECT_TRUE(isValid(h));
        bool ok = deviceIoControl(h, proto::IOCTL_ASIO_GET_SHARED_MEMORY, nullptr, 0, sm.bytes,
                                  sizeof sm.bytes, nullptr);
        closeBusDevice(h);
        return ok;
    };
    proto::SharedMemoryReply first, second;
    ASSERT_TRUE(query(first));
    ASSERT_NE(first.inputArea(), 0u);
    ASSERT_NE(first.outputArea(), 0u);
    EXPECT_EQ(first.inputAreaBytes(), uint64_t(1 << 16));
    EXPECT_EQ(first.outputAreaBytes(), uint64_t(1 << 12));

    auto* in = reinterpret_cast<volatile uint8_t*>(first.inputArea());
    auto* out = reinterpret_cast<volatile uint8_t*>(first.outputArea());
    EXPECT_EQ(in[100], 0x5A);
    out[7] = 0xC3;
    EXPECT_EQ(output->data()[7], 0xC3);
    input->data()[101] = 0x77;
    EXPECT_EQ(in[101], 0x77);

    // A device that shrinks an area after it was mapped: the size is what is left of it.
    ASSERT_EQ(ftruncate(input->fd(), 1 << 13), 0);
    ASSERT_TRUE(query(second));
    EXPECT_EQ(second.inputAreaBytes(), uint64_t(1 << 13));
    EXPECT_EQ(second.inputArea(), first.inputArea());
    EXPECT_EQ(second.outputArea(), first.outputArea());
}

// A device that restarts hands out new areas; the ones they replace must not stay mapped in a
// host that lives through many restarts.
TEST_F(BusTransport, AreasReplacedByARestartedDeviceAreUnmapped) {
    std::unique_ptr<posix::SharedArea> areas[2];
    startServer([&](posix::BusRequest& r) {
        posix::BusReply reply;
        if (r.code == proto::IOCTL_ASIO_GET_SHARED_MEMORY) {
            areas[0] = posix::SharedArea::create("restart-in", 1 << 16);
            areas[1] = posix::SharedArea::create("restart-out", 1 << 16);
            reply.output.assign(proto::SharedMemoryReply::kSize, 0);
            reply.fds = {areas[0]->fd(), areas[1]->fd()};
        }
        return reply;
    });
    auto mappedAreas = [] {
        std::ifstream maps("/proc/self/maps");
        int count = 0;
        for (std::string line; std::getline(maps, line);)
            count += line.find("restart-") != std::string::npos;
        return count;
    };
    for (int restart = 0; restart < 5; ++restart) {
        Handle h = open();
        proto::SharedMemoryReply sm;
        ASSERT_TRUE(deviceIoControl(h, proto::IOCTL_ASIO_GET_SHARED_MEMORY, nullptr, 0, sm.bytes,
                                    sizeof sm.bytes, nullptr));
        closeBusDevice(h);
        // The newest areas are mapped and usable; the server's copies are the only others.
        auto* in = reinterpret_cast<volatile uint8_t*>(sm.inputArea());
        in[3] = uint8_t(restart);
        EXPECT_EQ(areas[0]->data()[3], uint8_t(restart));
        EXPECT_EQ(mappedAreas(), 4) << "after restart " << restart;
    }
}

TEST_F(BusTransport, SharedMemoryReplyWithoutAreasGivesNullAddresses) {
    startServer([](posix::BusRequest&) {
        posix::BusReply reply;
        reply.output.assign(32, 0x42); // addresses valid only in the server
        return reply;
    });
    Handle h = open();
    proto::SharedMemoryReply sm;
    ASSERT_TRUE(deviceIoControl(h, proto::IOCTL_ASIO_GET_SHARED_MEMORY, nullptr, 0, sm.bytes,
                                sizeof sm.bytes, nullptr));
    EXPECT_EQ(sm.inputArea(), 0u);
    EXPECT_EQ(sm.outputArea(), 0u);
    EXPECT_EQ(sm.inputAreaBytes(), 0u);
    EXPECT_EQ(sm.outputAreaBytes(), 0u);
    closeBusDevice(h);
}

TEST_F(BusTransport, DeviceGoneAndInvalidHandles) {
    std::atomic<int> requests{0};
    startServer([&](posix::BusRequest&) {
        ++requests;
        return posix::BusReply();
    });
    Handle h = open();
    ASSERT_TRUE(isValid(h));
    ASSERT_TRUE(deviceIoControl(h, proto::IOCTL_ASIO_START, nullptr, 0, nullptr, 0, nullptr));
    server->dropConnections();
    for (int i = 0; i < 500 && server->liveConnections() > 0; ++i)
        usleep(2000);
    EXPECT_FALSE(deviceIoControl(h, proto::IOCTL_ASIO_STOP, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(lastError(), uint32_t(kErrorDeviceNotConnected));
    closeBusDevice(h);

    int before = requests.load();
    EXPECT_FALSE(
        deviceIoControl(invalidHandle(), proto::IOCTL_ASIO_START, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(lastError(), uint32_t(kErrorInvalidHandle));
    EXPECT_FALSE(
        deviceIoControl(nullptr, proto::IOCTL_ASIO_START, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(lastError(), uint32_t(kErrorInvalidHandle));
    EXPECT_EQ(requests.load(), before);
}

TEST_F(BusTransport, AReplyTooLateTimesOutAndEndsTheConnection) {
    setenv("HALVERN_BUS_REPLY_TIMEOUT_MS", "100", 1);
    startServer([](posix::BusRequest& r) {
        if (r.code == proto::IOCTL_AUDIO_RESTART)
            usleep(400000);
        posix::BusReply reply;
        reply.output = {uint8_t(r.code & 0xFF)};
        return reply;
    });
    Handle h = open();
    ASSERT_TRUE(isValid(h));
    EXPECT_FALSE(deviceIoControl(h, proto::IOCTL_AUDIO_RESTART, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(lastError(), uint32_t(kErrorTimeout));
    uint8_t out[1] = {};
    EXPECT_FALSE(deviceIoControl(h, proto::IOCTL_DEVICE_GET_PID, nullptr, 0, out, 1, nullptr));
    EXPECT_EQ(lastError(), uint32_t(kErrorDeviceNotConnected));
    closeBusDevice(h);
    unsetenv("HALVERN_BUS_REPLY_TIMEOUT_MS");
}

TEST_F(BusTransport, MalformedMessageClosesOnlyThatConnection) {
    startServer([](posix::BusRequest&) {
        posix::BusReply reply;
        reply.output = {1, 0, 0, 0};
        return reply;
    });
    Handle good = open();
    ASSERT_TRUE(isValid(good));

    int raw = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = busDirectory() + "/HalvernAudioBus0";
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(connect(raw, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{5, 0};
    setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[64];
    ASSERT_EQ(recv(raw, buf, sizeof buf, 0), ssize_t(posix::kOpenVerdictSize));
    const char garbage[] = "not a request";
    ASSERT_GT(send(raw, garbage, sizeof garbage, MSG_NOSIGNAL), 0);
    EXPECT_EQ(recv(raw, buf, sizeof buf, 0), 0); // the device hung up on it
    close(raw);
    for (int i = 0; i < 500 && server->malformed() == 0; ++i)
        usleep(2000);
    EXPECT_EQ(server->malformed(), 1);

    uint8_t out[4];
    EXPECT_TRUE(deviceIoControl(good, proto::IOCTL_DEVICE_GET_PID, nullptr, 0, out, 4, nullptr));
    EXPECT_EQ(out[0], 1);
    closeBusDevice(good);
}

// A seqpacket message may be empty and still carry descriptors; the receiver owns them then
// too, or every such message from a peer costs the process one for good.
TEST(BusSocketMessage, AnEmptyMessageHandsOverItsDescriptors) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    posix::UniqueFd a(pair[0]), b(pair[1]);
    posix::UniqueFd event(eventfd(0, EFD_CLOEXEC));
    const int fds[1] = {event.get()};
    char none = 0;
    const iovec empty{&none, 0};
    ASSERT_EQ(posix::sendSocketMessage(a.get(), &empty, 1, fds, 1), 0);

    char buffer[16];
    std::vector<posix::UniqueFd> received;
    int flags = 0;
    EXPECT_EQ(posix::receiveSocketMessage(b.get(), buffer, sizeof buffer, received, flags), 0);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_GE(received[0].get(), 0);
}

} // namespace
