// Every request of the bus device through the platform's client, against the simulator.
#include "sim_test_util.h"

#include "halvern/platform/handle.h"
#include "halvern/platform/posix/bus_server.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace halvern::sim::test {
namespace {

using namespace protocol;

struct ModelCase {
    uint32_t code;
    uint32_t inputs;
    uint32_t outputs;
};

void PrintTo(const ModelCase& m, std::ostream* os) {
    *os << "model " << m.code;
}

class SimModels : public SimTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(SimModels, ReportsModelCodeAndChannels) {
    SimConfig c = config();
    c.model = GetParam().code;
    startSim(c);
    Client client;
    ASSERT_TRUE(platform::isValid(client.handle)) << client.error;

    EXPECT_EQ(client.get32(IOCTL_DEVICE_GET_PID), GetParam().code);
    EXPECT_EQ(client.returned, 4u);

    uint8_t channels[8] = {};
    ASSERT_TRUE(client.call(IOCTL_ASIO_GET_CHANNELS, nullptr, 0, channels, 8));
    EXPECT_EQ(client.returned, 8u);
    EXPECT_EQ(getLe32(channels), GetParam().inputs);
    EXPECT_EQ(getLe32(channels + 4), GetParam().outputs);
}

INSTANTIATE_TEST_SUITE_P(Profiles, SimModels,
                         ::testing::Values(ModelCase{kModelTern, 12, 12},
                                           ModelCase{kModelWren, 12, 14},
                                           ModelCase{kModelKite, 4, 4}, ModelCase{7, 8, 8}),
                         [](const ::testing::TestParamInfo<ModelCase>& info) {
                             return "Model" + std::to_string(info.param.code);
                         });

TEST(SimProfiles, ParsesModelNamesAndCodes) {
    ModelProfile p;
    EXPECT_TRUE(parseModel("wren", p));
    EXPECT_EQ(p.code, kModelWren);
    EXPECT_TRUE(parseModel("Kite", p));
    EXPECT_EQ(p.code, kModelKite);
    EXPECT_TRUE(parseModel("1", p));
    EXPECT_STREQ(p.name, "Tern");
    EXPECT_TRUE(parseModel("0x20", p));
    EXPECT_EQ(p.code, 32u);
    EXPECT_FALSE(parseModel("heron", p));
    EXPECT_FALSE(parseModel("", p));
}

using SimRequests = SimTest;

// One request of each code with the sizes the callers use: each succeeds, returns the bytes the
// protocol gives it, and is journalled once.
TEST_F(SimRequests, EveryRequestCodeRoundTrips) {
    Simulator& sim = startSim();
    Client client;
    ASSERT_TRUE(platform::isValid(client.handle));
    Host host(client);

    struct Case {
        uint32_t code;
        std::vector<uint8_t> input;
        uint32_t outLen;
        uint32_t expectReturned;
    };
    std::vector<uint8_t> rate(4), size(4), latency(4), wdm(4);
    putLe32(rate.data(), 44100);
    putLe32(size.data(), 128);
    putLe32(latency.data(), 16);
    putLe32(wdm.data(), 4);
    MixerMatrix matrix;
    matrix.setCell(2, 0, 0, 1.0);
    std::vector<uint8_t> matrixBytes(matrix.bytes, matrix.bytes + MixerMatrix::kSize);
    CommandPacket gain = micVolumeCommand(1, 40);
    CommandPacket query = firmwareVersionQuery();
    EventRegistration reg;
    for (int i = 0; i < 3; ++i)
        reg.setHandle(std::size_t(i), reinterpret_cast<uint64_t>(host.events[i]));

    const std::vector<Case> cases = {
        {IOCTL_AUDIO_GET_SAMPLE_RATE, {}, 4, 4},
        {IOCTL_AUDIO_SET_SAMPLE_RATE, rate, 0, 0},
        {IOCTL_MIXER_SET_MATRIX, matrixBytes, 0, 0},
        {IOCTL_AUDIO_STOP, {}, 0, 0},
        {IOCTL_AUDIO_SET_BUFFER_SIZE, size, 0, 0},
        {IOCTL_AUDIO_SET_USB_LATENCY, latency, 0, 0},
        {IOCTL_AUDIO_ENABLE_SLOW_MODE, {}, 0, 0},
        {IOCTL_AUDIO_DISABLE_SLOW_MODE, {}, 0, 0},
        {IOCTL_AUDIO_RESTART, {}, 0, 0},
        {IOCTL_AUDIO_SET_WDM_CHANNELS, wdm, 0, 0},
        {IOCTL_AUDIO_INIT, {}, 0, 0},
        {IOCTL_ASIO_GET_BUFFER_SIZE, {}, 4, 4},
        {IOCTL_AUDIO_GET_BUFFER_SIZE, {}, 4, 4},
        {IOCTL_AUDIO_GET_USB_LATENCY, {}, 4, 4},
        {IOCTL_ASIO_GET_CHANNELS, {}, 8, 8},
        {IOCTL_DEVICE_GET_PID, {}, 4, 4},
        {IOCTL_MIXER_GET_METERS, {}, MeterBlock::kSize, MeterBlock::kSize},
        {IOCTL_DEVICE_SEND_COMMAND, {gain.bytes, gain.bytes + CommandPacket::kSize}, 0, 0},
        {IOCTL_DEVICE_QUERY_COMMAND, {query.bytes, query.bytes + CommandPacket::kSize}, 32, 32},
        {IOCTL_DEVICE_GET_USB_STATUS, {}, 7, 7},
        {IOCTL_ASIO_SET_EVENTS, {reg.bytes, reg.bytes + EventRegistration::kSize}, 1, 1},
        {IOCTL_ASIO_GET_SHARED_MEMORY, {}, 32, 32},
        {IOCTL_ASIO_START, {}, 0, 0},
        {IOCTL_ASIO_STOP, {}, 0, 0},
    };
    ASSERT_EQ(cases.size(), kAllRequestCodes.size());
    for (uint32_t code : kAllRequestCodes) {
        bool found = false;
        for (const auto& c : cases)
            found = found || c.code == code;
        EXPECT_TRUE(found) << requestName(code) << " is not covered";
    }

    sim.clearJournal();
    for (const auto& c : cases) {
        std::vector<uint8_t> out(c.outLen + 1, 0xEE);
        ASSERT_TRUE(client.call(c.code, c.input.empty() ? nullptr : c.input.data(),
                                uint32_t(c.input.size()), c.outLen ? out.data() : nullptr,
                                c.outLen))
            << requestName(c.code) << " error " << client.error;
        EXPECT_EQ(client.returned, c.expectReturned) << requestName(c.code);
        EXPECT_EQ(out[c.outLen], 0xEE) << requestName(c.code) << " wrote past the reply";
    }

    auto journal = sim.journal();
    ASSERT_EQ(journal.size(), cases.size()) << formatJournal(journal);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(journal[i].code, cases[i].code);
        EXPECT_TRUE(journal[i].success);
        EXPECT_EQ(journal[i].bytesReturned, cases[i].expectReturned);
        EXPECT_EQ(journal[i].inputLength, cases[i].input.size());
        EXPECT_EQ(journal[i].input, cases[i].input) << requestName(cases[i].code);
        if (i > 0) {
            EXPECT_GT(journal[i].sequence, journal[i - 1].sequence);
        }
    }
}

TEST_F(SimRequests, SettingsAreKeptAndReadBack) {
    SimConfig c = config();
    c.sampleRate = 48000;
    c.bufferSize = 256;
    Simulator& sim = startSim(c);
    Client client;

    EXPECT_EQ(client.get32(IOCTL_AUDIO_GET_SAMPLE_RATE), 48000u);
    EXPECT_TRUE(client.set32(IOCTL_AUDIO_SET_SAMPLE_RATE, 44100));
    EXPECT_EQ(client.get32(IOCTL_AUDIO_GET_SAMPLE_RATE), 44100u);

    EXPECT_TRUE(client.set32(IOCTL_AUDIO_SET_BUFFER_SIZE, 192));
    EXPECT_EQ(client.get32(IOCTL_ASIO_GET_BUFFER_SIZE), 192u);
    EXPECT_EQ(client.get32(IOCTL_AUDIO_GET_BUFFER_SIZE), 192u);

    EXPECT_TRUE(client.set32(IOCTL_AUDIO_SET_USB_LATENCY, 24));
    EXPECT_EQ(client.get32(IOCTL_AUDIO_GET_USB_LATENCY), 24u);

    EXPECT_TRUE(client.set32(IOCTL_AUDIO_SET_WDM_CHANNELS, 4));
    EXPECT_TRUE(client.call(IOCTL_AUDIO_ENABLE_SLOW_MODE));
    Status s = sim.status();
    EXPECT_EQ(s.wdmChannels, 4u);
    EXPECT_TRUE(s.slowMode);
    EXPECT_TRUE(client.call(IOCTL_AUDIO_DISABLE_SLOW_MODE));
    EXPECT_FALSE(sim.status().slowMode);

    EXPECT_EQ(sim.status().engine, EngineState::Running);
    EXPECT_TRUE(client.call(IOCTL_AUDIO_STOP));
    EXPECT_EQ(sim.status().engine, EngineState::Stopped);
    EXPECT_TRUE(client.call(IOCTL_AUDIO_INIT));
    EXPECT_EQ(sim.status().engine, EngineState::Initialised);
    EXPECT_TRUE(client.call(IOCTL_AUDIO_STOP));
    EXPECT_TRUE(client.call(IOCTL_AUDIO_RESTART));
    EXPECT_EQ(sim.status().engine, EngineState::Running);

    // Values the device cannot take are refused and change nothing.
    EXPECT_FALSE(client.set32(IOCTL_AUDIO_SET_SAMPLE_RATE, 12345));
    EXPECT_EQ(client.error, platform::kErrorInvalidParameter);
    EXPECT_FALSE(client.set32(IOCTL_AUDIO_SET_BUFFER_SIZE, 4096));
    EXPECT_EQ(client.error, platform::kErrorInvalidParameter);
    EXPECT_FALSE(client.set32(IOCTL_AUDIO_SET_BUFFER_SIZE, 0));
    EXPECT_EQ(client.get32(IOCTL_AUDIO_GET_SAMPLE_RATE), 44100u);
    EXPECT_EQ(client.get32(IOCTL_AUDIO_GET_BUFFER_SIZE), 192u);
}

TEST_F(SimRequests, FirmwareQueryRepliesWithConfiguredVersion) {
    SimConfig c = config();
    const uint8_t version[kFirmwareVersionBytes] = {2, 7, 1, 8, 2, 8, 1, 8, 2, 8};
    std::memcpy(c.firmware, version, sizeof version);
    startSim(c);
    Client client;

    CommandPacket q = firmwareVersionQuery();
    uint8_t reply[32];
    std::memset(reply, 0xAA, sizeof reply);
    ASSERT_TRUE(client.call(IOCTL_DEVICE_QUERY_COMMAND, q.bytes, CommandPacket::kSize, reply, 32));
    EXPECT_EQ(client.returned, 32u);
    EXPECT_EQ(0, std::memcmp(reply, version, sizeof version));
    for (std::size_t i = kFirmwareVersionBytes; i < 32; ++i)
        EXPECT_EQ(reply[i], 0) << i;

    // The reply needs the caller's 32 bytes; other opcodes have no reply.
    EXPECT_FALSE(client.call(IOCTL_DEVICE_QUERY_COMMAND, q.bytes, CommandPacket::kSize, reply, 10));
    EXPECT_EQ(client.error, platform::kErrorInsufficientBuffer);
    CommandPacket other = mic48VCommand(1, 1);
    EXPECT_FALSE(
        client.call(IOCTL_DEVICE_QUERY_COMMAND, other.bytes, CommandPacket::kSize, reply, 32));
    EXPECT_EQ(client.error, platform::kErrorInvalidParameter);
}

TEST_F(SimRequests, CommandsAreLoggedAndApplied) {
    Simulator& sim = startSim();
    Client client;
    const std::vector<CommandPacket> sent = {micVolumeCommand(1, 40),  mic48VCommand(2, 1),
                                             mic20dBCommand(1, 1),     micInstrumentCommand(1, 1),
                                             outVolumeCommand(5, 100), otgOffCommand(),
                                             upgradeFirmwareCommand()};
    for (const auto& p : sent)
        ASSERT_TRUE(client.call(IOCTL_DEVICE_SEND_COMMAND, p.bytes, CommandPacket::kSize));

    auto log = sim.commands();
    ASSERT_EQ(log.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(0, std::memcmp(log[i].bytes, sent[i].bytes, CommandPacket::kSize)) << i;
    // The byte form of the gain command as the panel sends it for knob value 20.
    const uint8_t gainBytes[7] = {0x01, 0x07, 0x00, 0x02, 0x01, 0x28, 0x00};
    EXPECT_EQ(0, std::memcmp(log[0].bytes, gainBytes, 7));

    Status s = sim.status();
    ASSERT_EQ(s.mics.size(), 2u);
    EXPECT_EQ(s.mics[0].channel, 1);
    EXPECT_EQ(s.mics[0].gain, 40);
    EXPECT_TRUE(s.mics[0].pad);
    EXPECT_TRUE(s.mics[0].instrument);
    EXPECT_FALSE(s.mics[0].phantom);
    EXPECT_EQ(s.mics[1].channel, 2);
    EXPECT_TRUE(s.mics[1].phantom);
    ASSERT_EQ(s.outputVolumes.size(), 1u);
    EXPECT_EQ(s.outputVolumes[0].channel, 5);
    EXPECT_EQ(s.outputVolumes[0].value, 100);
    EXPECT_FALSE(s.otgOn);
    EXPECT_TRUE(s.firmwareUpgradeRequested);

    ASSERT_TRUE(client.call(IOCTL_DEVICE_SEND_COMMAND, otgOnCommand().bytes, CommandPacket::kSize));
    EXPECT_TRUE(sim.status().otgOn);
    std::string text = formatStatus(sim.status());
    EXPECT_NE(text.find("mic 2: gain 0, 20dB pad off, 48V on"), std::string::npos) << text;
}

TEST_F(SimRequests, WrongSizesAreRefusedAndJournalled) {
    Simulator& sim = startSim();
    Client client;
    std::vector<uint8_t> big(MixerMatrix::kSize + 8, 0);
    uint8_t out[MeterBlock::kSize] = {};

    EXPECT_FALSE(client.call(IOCTL_MIXER_SET_MATRIX, big.data(), 100));
    EXPECT_EQ(client.error, platform::kErrorInvalidParameter);
    EXPECT_FALSE(client.call(IOCTL_MIXER_SET_MATRIX, big.data(), uint32_t(big.size())));
    EXPECT_EQ(client.error, platform::kErrorInvalidParameter);
    EXPECT_FALSE(client.call(IOCTL_DEVICE_SEND_COMMAND, big.data(), 10));
    EXPECT_EQ(client.error, platform::kErrorInvalidParameter);
    EXPECT_FALSE(client.call(IOCTL_AUDIO_SET_SAMPLE_RATE, big.data(), 2));
    EXPECT_EQ(client.error, platform::kErrorInvalidParameter);
    EXPECT_FALSE(client.call(IOCTL_ASIO_SET_EVENTS, big.data(), 12, out, 1));
    EXPECT_EQ(client.error, platform::kErrorInvalidParameter);
    EXPECT_FALSE(client.call(IOCTL_MIXER_GET_METERS, nullptr, 0, out, 100));
    EXPECT_EQ(client.error, platform::kErrorInsufficientBuffer);
    EXPECT_FALSE(client.call(IOCTL_ASIO_GET_CHANNELS, nullptr, 0, out, 4));
    EXPECT_EQ(client.error, platform::kErrorInsufficientBuffer);
    EXPECT_FALSE(client.call(IOCTL_DEVICE_GET_USB_STATUS, nullptr, 0, out, 6));
    EXPECT_EQ(client.error, platform::kErrorInsufficientBuffer);
    EXPECT_FALSE(client.call(IOCTL_ASIO_GET_SHARED_MEMORY, nullptr, 0, out, 16));
    EXPECT_EQ(client.error, platform::kErrorInsufficientBuffer);
    EXPECT_FALSE(client.call(0xFFDC2FFCu));
    EXPECT_EQ(client.error, 1u);

    // The matrix was never replaced, and the device still answers.
    EXPECT_EQ(sim.mixerMatrix().cell(2, 0, 0), 0.0);
    EXPECT_EQ(client.get32(IOCTL_DEVICE_GET_PID), kModelWren);

    auto journal = sim.journal();
    ASSERT_GE(journal.size(), 10u);
    EXPECT_FALSE(journal[0].success);
    EXPECT_EQ(journal[0].error, platform::kErrorInvalidParameter);
    EXPECT_EQ(journal[0].inputLength, 100u);
    std::string text = formatJournal(journal);
    EXPECT_NE(text.find("IOCTL_MIXER_SET_MATRIX in[100]="), std::string::npos) << text;
    EXPECT_NE(text.find("error 87"), std::string::npos);
    EXPECT_NE(text.find("0xFFDC2FFC in[0] error 1"), std::string::npos) << text;
    EXPECT_NE(text.find("IOCTL_DEVICE_GET_PID in[0] ok returned 4"), std::string::npos) << text;
}

// A message that is not a request ends that connection only.
TEST_F(SimRequests, MalformedMessageClosesOnlyItsConnection) {
    startSim();
    Client good;
    ASSERT_TRUE(platform::isValid(good.handle));

    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = dir.path() + "/bus/HalvernAudioBus0";
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    char buf[64];
    ASSERT_EQ(recv(fd, buf, sizeof buf, 0), ssize_t(platform::posix::kOpenVerdictSize));
    const char junk[] = "not a request at all";
    ASSERT_GT(send(fd, junk, sizeof junk, MSG_NOSIGNAL), 0);
    EXPECT_EQ(recv(fd, buf, sizeof buf, 0), 0); // closed, no reply
    ::close(fd);

    EXPECT_EQ(good.get32(IOCTL_DEVICE_GET_PID), kModelWren);
}

// A client that sends requests and never reads the replies must not hold up the device for
// the others, nor its shutdown.
TEST_F(SimRequests, AClientThatNeverReadsDoesNotStallTheDevice) {
    Simulator& sim = startSim();
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = dir.path() + "/bus/HalvernAudioBus0";
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    uint8_t request[16];
    putLe32(request, platform::posix::kRequestMagic);
    putLe32(request + 4, IOCTL_MIXER_GET_METERS);
    putLe32(request + 8, 0);
    putLe32(request + 12, MeterBlock::kSize);
    // Keep the requests coming until the replies no longer fit anywhere.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < until)
        if (send(fd, request, sizeof request, MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
            usleep(1000);

    auto done = std::async(std::launch::async, [&] {
        Client other;
        uint32_t pid = other.get32(IOCTL_DEVICE_GET_PID);
        sim.shutdown();
        return pid;
    });
    const bool finished = done.wait_for(std::chrono::seconds(8)) == std::future_status::ready;
    ::close(fd); // frees a stalled server, so that the test itself ends
    EXPECT_TRUE(finished) << "the simulator stalled on a client that does not read";
    EXPECT_EQ(done.get(), kModelWren);
}

TEST_F(SimRequests, UsbStatusCarriesErrorCount) {
    Simulator& sim = startSim();
    Client client;
    sim.setUsbErrorCount(0x01020304);
    UsbStatusWire wire;
    ASSERT_TRUE(client.call(IOCTL_DEVICE_GET_USB_STATUS, nullptr, 0, wire.bytes, 7));
    EXPECT_EQ(client.returned, 7u);
    EXPECT_EQ(wire.bytes[3], 0x04);
    EXPECT_EQ(wire.bytes[6], 0x01);
    EXPECT_EQ(UsbStatus::fromWire(wire).errorCount, 0x01020304u);
}

// Meters: inputs carry the test signal; the outputs follow matrix 2 and the output gains.
TEST_F(SimRequests, MetersFollowInputsAndMonitorMix) {
    Simulator& sim = startSim();
    Client client;
    auto read = [&] {
        MeterBlock m;
        EXPECT_TRUE(client.call(IOCTL_MIXER_GET_METERS, nullptr, 0, m.bytes, MeterBlock::kSize));
        return m;
    };
    const double peak = testTonePeak();
    MeterBlock m = read();
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(m.level(kMeterInputBase + std::size_t(c)), peak, peak * 0.001) << c;
    EXPECT_NEAR(20 * std::log10(m.level(0) / 2147483647.0), -12.0, 0.05);
    EXPECT_EQ(m.level(kMeterOutputBase), 0); // nothing routed yet

    MixerMatrix matrix;
    matrix.setCell(kMonitorMatrix, 0, 0, 1.0); // MIC1 to speaker left
    matrix.setOutputGain(0, 0.5);              // at half gain
    matrix.setCell(kMonitorMatrix, 4, 1, 1.0); // MIC2 to headphone left
    matrix.setOutputGain(4, 1.0);
    ASSERT_TRUE(client.call(IOCTL_MIXER_SET_MATRIX, matrix.bytes, MixerMatrix::kSize));
    m = read();
    EXPECT_NEAR(m.level(kMeterOutputBase + 0), peak * 0.5, peak * 0.002);
    EXPECT_NEAR(m.level(kMeterOutputBase + 4), peak, peak * 0.002);
    EXPECT_EQ(m.level(kMeterOutputBase + 1), 0);

    matrix.setOutputGain(0, 0.0); // muted
    ASSERT_TRUE(client.call(IOCTL_MIXER_SET_MATRIX, matrix.bytes, MixerMatrix::kSize));
    EXPECT_EQ(read().level(kMeterOutputBase + 0), 0);
    EXPECT_EQ(sim.mixerMatrix().outputGain(4), 1.0);

    // In loopback nothing plays while no host streams, so the inputs are silent.
    sim.setInputSource(InputSource::Loopback);
    EXPECT_EQ(read().level(0), 0);
}

TEST_F(SimRequests, TwoSimulatorsAtDifferentIndices) {
    SimConfig a = config();
    SimConfig b = config();
    b.index = 3;
    b.model = kModelKite;
    startSim(a);
    startSim(b);
    Client first(0);
    Client second(3);
    EXPECT_EQ(first.get32(IOCTL_DEVICE_GET_PID), kModelWren);
    EXPECT_EQ(second.get32(IOCTL_DEVICE_GET_PID), kModelKite);

    // The same index twice is refused with a reason, and the first keeps serving.
    Simulator again(a);
    EXPECT_FALSE(again.start());
    EXPECT_NE(again.error().find("another simulator"), std::string::npos) << again.error();
    EXPECT_EQ(first.get32(IOCTL_DEVICE_GET_PID), kModelWren);
}

TEST_F(SimRequests, ShutdownRemovesTheDevice) {
    Simulator& sim = startSim();
    std::string socket = dir.path() + "/bus/HalvernAudioBus0";
    EXPECT_EQ(access(socket.c_str(), F_OK), 0);
    EXPECT_EQ(access(signalTimesPath(dir.path(), 0).c_str(), F_OK), 0);
    sim.shutdown();
    EXPECT_NE(access(socket.c_str(), F_OK), 0);
    EXPECT_NE(access(signalTimesPath(dir.path(), 0).c_str(), F_OK), 0);
    Client client;
    EXPECT_FALSE(platform::isValid(client.handle));
    EXPECT_EQ(client.error, platform::kErrorFileNotFound);
}

} // namespace
} // namespace halvern::sim::test
