// The panel's device object against the in-process simulator: what reaches the device is
// read from the simulator's journal, never from the object's insides.

#include "device/audio_bus_device.h"

#include "halvern/protocol/bus_protocol.h"
#include "halvern/sim/simulator.h"
#include "panel_support.h"
#include "test_support.h"

#include <QString>
#include <QtGlobal>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace halvern::protocol;
using halvern::sim::JournalEntry;
using halvern::sim::SimConfig;
using halvern::sim::Simulator;
using halvern::test::StdoutCapture;
using halvern::test::TempRuntimeDir;

namespace {

// Collects what is written to std::cerr while alive.
class CerrCapture {
public:
    CerrCapture() : old_(std::cerr.rdbuf(text_.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(old_); }
    std::string text() const { return text_.str(); }

private:
    std::stringstream text_;
    std::streambuf* old_;
};

std::vector<uint8_t> bytesOf(const CommandPacket& p) {
    return std::vector<uint8_t>(p.bytes, p.bytes + CommandPacket::kSize);
}

std::vector<uint8_t> le32(uint32_t v) {
    std::vector<uint8_t> b(4);
    putLe32(b.data(), v);
    return b;
}

std::vector<uint32_t> codes(const std::vector<JournalEntry>& journal) {
    std::vector<uint32_t> out;
    for (const auto& e : journal)
        out.push_back(e.code);
    return out;
}

std::string openLine(int index, const std::string& tail) {
    return "Open device \\\\.\\HalvernAudioBus" + std::to_string(index) + tail + "\n";
}

class PanelDeviceTest : public ::testing::Test {
protected:
    void startSim(int index = 0) {
        SimConfig config;
        config.index = index;
        config.model = kModelWren;
        sim_ = std::make_unique<Simulator>(config);
        ASSERT_TRUE(sim_->start()) << sim_->error();
    }
    void openDevice() {
        StdoutCapture quiet;
        ASSERT_TRUE(device_.open());
        quiet.finish();
        sim_->clearJournal();
    }

    // The simulator notices connections and hang-ups on its own thread; bounded wait.
    bool connectionsBecome(uint32_t n) {
        for (int i = 0; i < 200; ++i) {
            if (sim_->status().connections == n)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    TempRuntimeDir runtime_;
    std::unique_ptr<Simulator> sim_;
    AudioBusDevice device_; // destroyed before the simulator
};

} // namespace

TEST_F(PanelDeviceTest, OpenReportsEachNameAndKeepsTheFirstThatOpens) {
    startSim(3);
    StdoutCapture out;
    EXPECT_TRUE(device_.open());
    const std::string text = out.finish();
    EXPECT_EQ(text, openLine(0, " failed, error: 2") + openLine(1, " failed, error: 2") +
                        openLine(2, " failed, error: 2") + openLine(3, " success!"));

    // The kept handle reaches the simulator that serves name 3.
    uint32_t model = 0;
    EXPECT_TRUE(device_.getDevicePid(model));
    EXPECT_EQ(model, uint32_t(kModelWren));
    ASSERT_EQ(sim_->journal().size(), 1u);
}

TEST_F(PanelDeviceTest, OpenWithoutDeviceTriesAllSixteenNames) {
    StdoutCapture out;
    EXPECT_FALSE(device_.open());
    std::string expected;
    for (int i = 0; i < 16; ++i)
        expected += openLine(i, " failed, error: 2");
    EXPECT_EQ(out.finish(), expected);
    EXPECT_FALSE(device_.isOpen());
}

// A process whose first output is the open report (the panel at start) can still write plain
// text to its standard output afterwards.
TEST_F(PanelDeviceTest, NarrowOutputStillWorksAfterTheOpenReport) {
    const std::string file = runtime_.path() + "/stdout.txt";
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A fresh stream with no orientation yet, as at the start of a process.
        if (std::freopen(file.c_str(), "w", stdout) == nullptr)
            _exit(2);
        AudioBusDevice device;
        device.open();
        std::printf("plain text after the report\n");
        std::cout << "and through cout" << std::endl;
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    std::string expected;
    for (int i = 0; i < 16; ++i)
        expected += openLine(i, " failed, error: 2");
    EXPECT_EQ(text.str(), expected + "plain text after the report\nand through cout\n");
}

TEST_F(PanelDeviceTest, ReopenAndCloseKeepOneHandle) {
    startSim();
    openDevice();
    openDevice(); // the first handle is released, not leaked
    uint32_t model = 0;
    EXPECT_TRUE(device_.getDevicePid(model)); // the simulator has seen the second connection
    EXPECT_TRUE(connectionsBecome(1));
    sim_->clearJournal();
    device_.close();
    EXPECT_TRUE(connectionsBecome(0));
    device_.close();
    EXPECT_FALSE(device_.isOpen());
    EXPECT_EQ(device_.sampleRate(), 0u);
    EXPECT_TRUE(sim_->journal().empty());
}

TEST_F(PanelDeviceTest, CommandsSendTheirPackets) {
    startSim();
    openDevice();
    CerrCapture err;
    EXPECT_TRUE(device_.setMicVolume(1, 40));
    EXPECT_TRUE(device_.setOutVolume(3, 0x1234));
    EXPECT_TRUE(device_.switchMicInstrument(1, 1));
    EXPECT_TRUE(device_.setMic20dB(2, 0));
    EXPECT_TRUE(device_.setMic48V(2, 1));
    EXPECT_TRUE(device_.setOtgOn());
    EXPECT_TRUE(device_.setOtgOff());
    EXPECT_TRUE(device_.upgradeFirmware());
    EXPECT_EQ(err.text(), "");

    const auto journal = sim_->journal();
    ASSERT_EQ(journal.size(), 8u);
    for (const auto& e : journal) {
        EXPECT_EQ(e.code, uint32_t(IOCTL_DEVICE_SEND_COMMAND));
        EXPECT_EQ(e.input.size(), CommandPacket::kSize);
    }
    // Gain on input 1, knob value 20 sent doubled: 01 07 00 02 01 28 00, then zeros.
    std::vector<uint8_t> gain(37, 0);
    gain[0] = 0x01, gain[1] = 0x07, gain[3] = 0x02, gain[4] = 0x01, gain[5] = 0x28;
    EXPECT_EQ(journal[0].input, gain);
    EXPECT_EQ(journal[1].input, bytesOf(outVolumeCommand(3, 0x1234)));
    EXPECT_EQ(journal[1].input[5], 0x34);
    EXPECT_EQ(journal[1].input[6], 0x12);
    EXPECT_EQ(journal[2].input, bytesOf(micInstrumentCommand(1, 1)));
    EXPECT_EQ(journal[3].input, bytesOf(mic20dBCommand(2, 0)));
    // 48 V on input 2: 01 5B 00 01 02, then zeros.
    std::vector<uint8_t> phantom(37, 0);
    phantom[0] = 0x01, phantom[1] = 0x5B, phantom[3] = 0x01, phantom[4] = 0x02;
    EXPECT_EQ(journal[4].input, phantom);
    EXPECT_EQ(journal[5].input, bytesOf(otgOnCommand()));
    EXPECT_EQ(journal[6].input, bytesOf(otgOffCommand()));
    EXPECT_EQ(journal[7].input, bytesOf(upgradeFirmwareCommand()));
    EXPECT_TRUE(sim_->status().firmwareUpgradeRequested);
}

TEST_F(PanelDeviceTest, CommandsReportWhatTheDeviceSays) {
    startSim();
    openDevice();
    sim_->failRequests(IOCTL_DEVICE_SEND_COMMAND, 31, 2);
    EXPECT_FALSE(device_.setMicVolume(1, 10));
    EXPECT_FALSE(device_.upgradeFirmware());
    EXPECT_TRUE(device_.setMicVolume(1, 10));
    const auto journal = sim_->journal();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_FALSE(journal[0].success);
    EXPECT_TRUE(journal[2].success);
}

TEST_F(PanelDeviceTest, ClosedObjectSendsNothing) {
    startSim();
    CerrCapture err;
    // Nothing was sent, so no command may read as done.
    EXPECT_FALSE(device_.setMic48V(2, 1));
    EXPECT_FALSE(device_.setMicVolume(1, 1));
    EXPECT_FALSE(device_.setOtgOn());
    EXPECT_FALSE(device_.upgradeFirmware());
    EXPECT_EQ(err.text(), ""); // silent

    uint32_t v = 77;
    EXPECT_FALSE(device_.getBufferSize(v));
    EXPECT_FALSE(device_.getUsbLatency(v));
    EXPECT_FALSE(device_.getDevicePid(v));
    EXPECT_EQ(v, 77u);
    EXPECT_EQ(device_.sampleRate(), 0u);
    EXPECT_FALSE(device_.setSampleRate(48000));
    EXPECT_FALSE(device_.initAudio());
    EXPECT_FALSE(device_.writeMixerMatrix(MixerMatrix{}));

    UsbStatus status;
    status.errorCount = 42;
    EXPECT_FALSE(device_.readUsbStatus(status));
    EXPECT_EQ(status.errorCount, 42u);

    uint8_t version[10] = {};
    EXPECT_FALSE(device_.getFirmwareVersion(version, 10));
    EXPECT_EQ(err.text(), "Failed to read firmware version from device.\n");
    EXPECT_TRUE(sim_->journal().empty());
}

TEST_F(PanelDeviceTest, PlainRequestsReachTheDevice) {
    startSim();
    openDevice();
    halvern::test::QtLogCapture debug;

    EXPECT_TRUE(device_.setSampleRate(44100));
    EXPECT_EQ(device_.sampleRate(), 44100u);
    EXPECT_TRUE(device_.setBufferSize(128));
    uint32_t samples = 0;
    EXPECT_TRUE(device_.getBufferSize(samples));
    EXPECT_EQ(samples, 128u);
    EXPECT_TRUE(device_.setUsbLatency(6));
    uint32_t frames = 0;
    EXPECT_TRUE(device_.getUsbLatency(frames));
    EXPECT_EQ(frames, 6u);
    uint32_t model = 0;
    EXPECT_TRUE(device_.getDevicePid(model));
    EXPECT_EQ(model, uint32_t(kModelWren));
    EXPECT_TRUE(device_.setWdmChannels(4));
    EXPECT_TRUE(device_.stopAudio());
    EXPECT_TRUE(device_.initAudio());
    EXPECT_TRUE(device_.restartAudio());
    EXPECT_TRUE(device_.enableSlowMode());
    EXPECT_TRUE(sim_->status().slowMode);
    EXPECT_TRUE(device_.disableSlowMode());
    EXPECT_FALSE(sim_->status().slowMode);

    MixerMatrix matrix;
    matrix.setCell(2, 0, 2, 1.0);
    matrix.setOutputGain(1, AudioBusDevice::dbToGain(-6.0));
    EXPECT_TRUE(device_.writeMixerMatrix(matrix));
    const MixerMatrix seen = sim_->mixerMatrix();
    EXPECT_EQ(std::vector<uint8_t>(seen.bytes, seen.bytes + MixerMatrix::kSize),
              std::vector<uint8_t>(matrix.bytes, matrix.bytes + MixerMatrix::kSize));
    MeterBlock meters;
    EXPECT_TRUE(device_.readMeters(meters));

    const auto journal = sim_->journal();
    EXPECT_EQ(codes(journal),
              (std::vector<uint32_t>{IOCTL_AUDIO_SET_SAMPLE_RATE, IOCTL_AUDIO_GET_SAMPLE_RATE,
                                     IOCTL_AUDIO_SET_BUFFER_SIZE, IOCTL_AUDIO_GET_BUFFER_SIZE,
                                     IOCTL_AUDIO_SET_USB_LATENCY, IOCTL_AUDIO_GET_USB_LATENCY,
                                     IOCTL_DEVICE_GET_PID, IOCTL_AUDIO_SET_WDM_CHANNELS,
                                     IOCTL_AUDIO_STOP, IOCTL_AUDIO_INIT, IOCTL_AUDIO_RESTART,
                                     IOCTL_AUDIO_ENABLE_SLOW_MODE, IOCTL_AUDIO_DISABLE_SLOW_MODE,
                                     IOCTL_MIXER_SET_MATRIX, IOCTL_MIXER_GET_METERS}));
    EXPECT_EQ(journal[0].input, le32(44100));
    EXPECT_EQ(journal[2].input, le32(128));
    EXPECT_EQ(journal[4].input, le32(6));
    EXPECT_EQ(journal[7].input, le32(4));
    EXPECT_EQ(sim_->status().wdmChannels, 4u);
    EXPECT_EQ(debug.lines(), QStringList{"Buffer size: 128"});
}

TEST_F(PanelDeviceTest, FailedGetsLeaveTheirArgumentsAlone) {
    startSim();
    openDevice();
    sim_->failRequests(0, 31); // every request
    uint32_t v = 77;
    EXPECT_FALSE(device_.getBufferSize(v));
    EXPECT_FALSE(device_.getUsbLatency(v));
    EXPECT_FALSE(device_.getDevicePid(v));
    EXPECT_EQ(v, 77u);
    EXPECT_EQ(device_.sampleRate(), 0u);
    MeterBlock meters;
    meters.setLevel(0, 1234);
    EXPECT_FALSE(device_.readMeters(meters));
    EXPECT_EQ(meters.level(0), 1234);
    EXPECT_FALSE(device_.setBufferSize(64));
    EXPECT_FALSE(device_.stopAudio());
}

TEST_F(PanelDeviceTest, UsbStatusIsRefreshedFromTheLastReplyEvenAfterAFailure) {
    startSim();
    openDevice();
    sim_->setUsbErrorCount(5);
    UsbStatus first;
    EXPECT_TRUE(device_.readUsbStatus(first));
    EXPECT_EQ(first.errorCount, 5u);

    sim_->setUsbErrorCount(9);
    sim_->failRequests(IOCTL_DEVICE_GET_USB_STATUS, 31, 1);
    UsbStatus second;
    second.field0 = 0xAAAA;
    second.field1 = 0xBB;
    second.errorCount = 0xCCCC;
    EXPECT_FALSE(device_.readUsbStatus(second));
    EXPECT_EQ(second.field0, first.field0);
    EXPECT_EQ(second.field1, first.field1);
    EXPECT_EQ(second.errorCount, 5u);

    UsbStatus third;
    EXPECT_TRUE(device_.readUsbStatus(third));
    EXPECT_EQ(third.errorCount, 9u);
    const auto journal = sim_->journal();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[0].code, uint32_t(IOCTL_DEVICE_GET_USB_STATUS));
}

TEST_F(PanelDeviceTest, FirmwareVersionCopiesAtMostTenBytes) {
    startSim();
    const uint8_t firmware[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    sim_->setFirmware(firmware);
    openDevice();

    uint8_t out[20];
    std::fill(std::begin(out), std::end(out), 0xEE);
    EXPECT_TRUE(device_.getFirmwareVersion(out, 4));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 20),
              (std::vector<uint8_t>{1,    2,    3,    4,    0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                                    0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    std::fill(std::begin(out), std::end(out), 0xEE);
    EXPECT_TRUE(device_.getFirmwareVersion(out, 20));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 20),
              (std::vector<uint8_t>{1,    2,    3,    4,    5,    6,    7,    8,    9,    10,
                                    0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));

    const auto journal = sim_->journal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0].code, uint32_t(IOCTL_DEVICE_QUERY_COMMAND));
    std::vector<uint8_t> query(37, 0); // 01 65, then zeros
    query[0] = 0x01, query[1] = 0x65;
    EXPECT_EQ(journal[0].input, query);
}

TEST_F(PanelDeviceTest, FirmwareVersionFailures) {
    startSim();
    openDevice();
    uint8_t out[10];
    std::fill(std::begin(out), std::end(out), 0xEE);
    {
        CerrCapture err;
        sim_->failRequests(IOCTL_DEVICE_QUERY_COMMAND, 31, 1);
        EXPECT_FALSE(device_.getFirmwareVersion(out, 10));
        EXPECT_EQ(err.text(), "Failed to read firmware version from device.\n");
        EXPECT_EQ(out[0], 0xEE);
    }
    {
        CerrCapture err;
        sim_->clearJournal();
        EXPECT_FALSE(device_.getFirmwareVersion(nullptr, 10));
        EXPECT_EQ(err.text(), "Failed to get firmware version: no buffer for the version\n");
        EXPECT_TRUE(sim_->journal().empty());
    }
    EXPECT_TRUE(device_.getFirmwareVersion(nullptr, 0)); // nothing asked, nothing copied
}

TEST(PanelDeviceLevels, DbToGainBounds) {
    EXPECT_EQ(AudioBusDevice::dbToGain(-80.0), 0.0);
    EXPECT_EQ(AudioBusDevice::dbToGain(-200.0), 0.0);
    EXPECT_GT(AudioBusDevice::dbToGain(-79.0), 0.0);
    EXPECT_EQ(AudioBusDevice::dbToGain(0.0), 1.0);
    EXPECT_DOUBLE_EQ(AudioBusDevice::dbToGain(-20.0), 0.1);
    EXPECT_DOUBLE_EQ(AudioBusDevice::dbToGain(6.0), 1.9952623149688795);
    EXPECT_EQ(AudioBusDevice::dbToGain(6.5), 1.9952623149688795);
    EXPECT_EQ(AudioBusDevice::dbToGain(12.0), 1.9952623149688795);
    EXPECT_EQ(AudioBusDevice::dbToGain(std::numeric_limits<double>::quiet_NaN()), 0.0);
}

TEST(PanelDeviceLevels, SampleToDbBounds) {
    EXPECT_EQ(AudioBusDevice::sampleToDb(0), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(AudioBusDevice::sampleToDb(2147483647), 0.0);
    EXPECT_EQ(AudioBusDevice::sampleToDb(-2147483647), 0.0);
    const double lowest = AudioBusDevice::sampleToDb(std::numeric_limits<int32_t>::min());
    EXPECT_TRUE(std::isfinite(lowest));
    EXPECT_NEAR(lowest, 0.0, 1e-6);
    EXPECT_NEAR(AudioBusDevice::sampleToDb(1), -186.64, 0.01);
    EXPECT_NEAR(AudioBusDevice::sampleToDb(0x40000000), -6.02, 0.01);
    EXPECT_NEAR(AudioBusDevice::sampleToDb(-0x40000000), -6.02, 0.01);
}
