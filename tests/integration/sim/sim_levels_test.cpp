// What the simulated inputs hear and report: signals, the preamp the mic commands set, pinned
// meters and device commands that fail on demand, and the control commands for each.
#include "sim_test_util.h"

#include "halvern/sim/control.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace halvern::sim::test {
namespace {

using namespace protocol;

double dbfs(int32_t v) {
    return 20.0 * std::log10(std::fabs(double(v)) / 2147483647.0);
}

class SimLevels : public SimTest {
protected:
    MeterBlock read(Client& client) {
        MeterBlock m;
        EXPECT_TRUE(client.call(IOCTL_MIXER_GET_METERS, nullptr, 0, m.bytes, MeterBlock::kSize));
        return m;
    }
    bool send(Client& client, const CommandPacket& p) {
        return client.call(IOCTL_DEVICE_SEND_COMMAND, p.bytes, CommandPacket::kSize);
    }
};

TEST_F(SimLevels, MicCommandsSetThePreampOfTheirInput) {
    Simulator& sim = startSim();
    Client client;
    InputSignal quiet;
    quiet.levelDbfs = -60.0;
    ASSERT_TRUE(sim.setInputSignal(0, quiet));
    EXPECT_NEAR(dbfs(read(client).level(0)), -60.0, 0.05);

    struct Step {
        CommandPacket command;
        double expected; // input 0 in dBFS afterwards
    };
    const Step steps[] = {
        {micVolumeCommand(1, 112), -60.0 + 56.0},            // half a dB per step
        {mic48VCommand(1, 1), -4.0},                         // phantom power: no change
        {mic20dBCommand(1, 1), -24.0},                       // the pad
        {micInstrumentCommand(1, 1), -24.0 + kInstrumentDb}, // the Hi-Z input
        {micVolumeCommand(1, 40), -60.0 + 20.0 - 20.0 + kInstrumentDb},
    };
    for (const Step& s : steps) {
        ASSERT_TRUE(send(client, s.command));
        const MeterBlock m = read(client);
        EXPECT_NEAR(dbfs(m.level(0)), s.expected, 0.05) << int(s.command.opcode());
        EXPECT_NEAR(dbfs(m.level(1)), kTestToneDbfs, 0.05); // MIC2 untouched
    }
    // Too much gain clips at full scale instead of wrapping.
    ASSERT_TRUE(send(client, mic20dBCommand(1, 0)));
    ASSERT_TRUE(send(client, micInstrumentCommand(1, 0)));
    quiet.levelDbfs = -3.0;
    sim.setInputSignal(0, quiet);
    EXPECT_EQ(read(client).level(0), MeterBlock::kFullScale);
    EXPECT_DOUBLE_EQ(sim.status().inputPreampDb.at(0), 20.0);
}

TEST_F(SimLevels, SignalsAndPinnedMeters) {
    Simulator& sim = startSim();
    Client client;
    InputSignal noise;
    noise.kind = SignalKind::Noise;
    noise.levelDbfs = -20.0;
    sim.setInputSignal(2, noise);
    InputSignal off;
    off.kind = SignalKind::Silence;
    sim.setInputSignal(3, off);
    MeterBlock m = read(client);
    EXPECT_NEAR(dbfs(m.level(2)), -20.0, 0.1);
    EXPECT_EQ(m.level(3), 0);

    ASSERT_TRUE(sim.pinMeter(2, 0x40000000));
    ASSERT_TRUE(sim.pinMeter(3, -1000000));
    EXPECT_FALSE(sim.pinMeter(MeterBlock::kCount, 1));
    m = read(client);
    EXPECT_EQ(m.level(2), 0x40000000);
    EXPECT_EQ(m.level(3), -1000000);
    EXPECT_EQ(sim.meters().level(3), -1000000);
    EXPECT_EQ(sim.status().pinnedMeters, (std::vector<uint32_t>{2, 3}));
    sim.clearPinnedMeters();
    EXPECT_EQ(read(client).level(3), 0);
}

TEST_F(SimLevels, DeviceCommandsFailOnDemand) {
    Simulator& sim = startSim();
    Client client;
    sim.failCommands(kOpMicVolume, 0, 1);
    EXPECT_FALSE(send(client, micVolumeCommand(1, 20)));
    EXPECT_EQ(client.error, 31u);
    EXPECT_TRUE(sim.status().mics.empty());             // refused, so not carried out
    EXPECT_EQ(sim.commands().size(), 1u);               // but received
    EXPECT_TRUE(send(client, micVolumeCommand(1, 20))); // the count ran out

    sim.failCommands(kOpMic48V, 1167);
    EXPECT_FALSE(send(client, mic48VCommand(1, 1)));
    EXPECT_EQ(client.error, 1167u);
    EXPECT_TRUE(send(client, mic20dBCommand(1, 1))); // other opcodes pass
    EXPECT_EQ(sim.status().failingCommands, std::vector<uint8_t>{kOpMic48V});
    sim.restoreCommands(kOpMic48V);
    EXPECT_TRUE(send(client, mic48VCommand(1, 1)));
    EXPECT_TRUE(sim.status().mics.at(0).phantom);
}

// Each output cabled back to its input: the host hears the monitor mix through the gains.
TEST_F(SimLevels, MonitorLoopbackCarriesTheMixAsPlayed) {
    SimConfig c = config();
    c.input = InputSource::MonitorLoopback;
    Simulator& sim = startSim(c);
    Client client;
    MixerMatrix matrix;
    matrix.setCell(kMonitorMatrix, 0, 1, 1.0); // MIC2 to output 0
    matrix.setOutputGain(0, 0.5);
    matrix.setOutputGain(1, 1.0);
    ASSERT_TRUE(client.call(IOCTL_MIXER_SET_MATRIX, matrix.bytes, MixerMatrix::kSize));
    const double half = testTonePeak() * 0.5;
    MeterBlock m = read(client);
    EXPECT_NEAR(m.level(0), half, half * 0.01);
    EXPECT_EQ(m.level(1), 0); // nothing routed to output 1

    Host host(client);
    ASSERT_TRUE(host.start());
    ASSERT_TRUE(sim.waitForPeriods(8, 2000));
    int32_t peak = 0;
    for (uint32_t h = 0; h < 2; ++h)
        for (uint32_t i = 0; i < c.bufferSize; ++i)
            peak = std::max(peak, std::abs(host.input(0, c.bufferSize, h)[i]));
    EXPECT_NEAR(peak, half, half * 0.02);
    EXPECT_EQ(host.input(1, c.bufferSize, 0)[10], 0);
    host.stop();
}

TEST_F(SimLevels, ControlCommands) {
    Simulator& sim = startSim();
    Client client;
    auto run = [&](std::vector<std::string> words) {
        ControlCommand c;
        std::string error;
        EXPECT_TRUE(parseControlCommand(words, c, error)) << error;
        bool ok = false;
        std::string text = runControlCommand(sim, c, ok);
        EXPECT_TRUE(ok);
        return text;
    };
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"signal", "0", "hum"},
                                                {"signal", "64", "tone"},
                                                {"signal", "0", "tone", "loud"},
                                                {"meters", "set", "192", "1"},
                                                {"meters", "set", "0", "2147483648"},
                                                {"meters", "reset"},
                                                {"loopback", "mix"},
                                                {"fail-command", "mic-gain"},
                                                {"restore-command"}}) {
        ControlCommand c;
        std::string error;
        EXPECT_FALSE(parseControlCommand(bad, c, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }

    run({"loopback", "monitor"});
    EXPECT_EQ(sim.status().input, InputSource::MonitorLoopback);
    run({"loopback", "off"});
    run({"signal", "0", "tone", "-40", "1000"});
    EXPECT_EQ(sim.status().inputSignals.at(0).hz, 1000u);
    run({"meters", "set", "1", "-2147483648"});
    run({"meters", "set", "2", "0x40000000"});
    EXPECT_EQ(sim.meters().level(1), INT32_MIN);
    const std::string meters = run({"meters"});
    EXPECT_NE(meters.find("input 0 [0]: "), std::string::npos) << meters;
    EXPECT_NE(meters.find("input 2 [2]: 1073741824 (-6.0 dBFS) pinned"), std::string::npos);
    run({"meters", "clear"});
    EXPECT_TRUE(sim.status().pinnedMeters.empty());

    run({"fail-command", "mic-volume", "31", "1"});
    EXPECT_FALSE(send(client, micVolumeCommand(1, 10)));
    run({"fail-command", "0x5b"});
    run({"restore-command", "mic-48v"});
    EXPECT_TRUE(send(client, mic48VCommand(1, 1)));
    EXPECT_TRUE(send(client, micVolumeCommand(1, 10)));

    MixerMatrix matrix;
    matrix.setCell(kMonitorMatrix, 4, 1, 1.0);
    matrix.setCell(0, 11, 7, 0.5);
    for (std::size_t k = 0; k < MixerMatrix::kOutputGains; ++k)
        matrix.setOutputGain(k, k < 2 ? 0.1 : 1.0);
    ASSERT_TRUE(client.call(IOCTL_MIXER_SET_MATRIX, matrix.bytes, MixerMatrix::kSize));
    const std::string status = run({"status"});
    for (const char* line :
         {"mic 1: gain 10, 20dB pad off, 48V on, instrument off\n",
          "input 0: tone 1000 Hz at -40.0 dBFS, preamp 5.0 dB\n",
          "monitor mix (matrix 2, output <- input): 4<-1 1.0000\n",
          "output gain 0-1: 0.1000 (-20.0 dB)\n", "output gain 2-13: 1.0000 (0.0 dB)\n"})
        EXPECT_NE(status.find(line), std::string::npos) << line << status;
    const std::string cells = run({"matrix"});
    EXPECT_NE(cells.find("matrix 0 (output <- input): 11<-7 0.5000\n"), std::string::npos);
    EXPECT_NE(cells.find("output gain 2-95: 1.0000 (0.0 dB)\n"), std::string::npos) << cells;
}

} // namespace
} // namespace halvern::sim::test
