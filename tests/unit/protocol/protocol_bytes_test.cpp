// Wire bytes of the bus device's requests and records.
#include "halvern/protocol/bus_protocol.h"
#include "halvern/protocol/models.h"
#include "halvern/protocol/pipe_messages.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace halvern::protocol;

namespace {

std::vector<uint8_t> bytesOf(const CommandPacket& c) {
    return std::vector<uint8_t>(c.bytes, c.bytes + CommandPacket::kSize);
}
std::vector<uint8_t> expected(std::initializer_list<uint8_t> head) {
    std::vector<uint8_t> v(head);
    v.resize(CommandPacket::kSize, 0);
    return v;
}

TEST(CommandPackets, MatchTheDeviceBytes) {
    // Microphone gain on input 1, knob value 20 (the page sends twice the value).
    EXPECT_EQ(bytesOf(micVolumeCommand(1, 2 * 20)), expected({0x01, 0x07, 0x00, 0x02, 0x01, 0x28}));
    EXPECT_EQ(bytesOf(mic48VCommand(2, 1)), expected({0x01, 0x5B, 0x00, 0x01, 0x02}));
    EXPECT_EQ(bytesOf(firmwareVersionQuery()), expected({0x01, 0x65}));
    EXPECT_EQ(bytesOf(outVolumeCommand(3, 0x1234)),
              expected({0x01, 0x03, 0x00, 0x02, 0x03, 0x34, 0x12}));
    EXPECT_EQ(bytesOf(mic20dBCommand(0, 1)), expected({0x01, 0x5A, 0x00, 0x01, 0x00}));
    EXPECT_EQ(bytesOf(micInstrumentCommand(1, 0)), expected({0x01, 0x64, 0x00, 0x00, 0x01}));
    EXPECT_EQ(bytesOf(otgOnCommand()), expected({0x01, 0x5F}));
    EXPECT_EQ(bytesOf(otgOffCommand()), expected({0x01, 0x5E}));
    EXPECT_EQ(bytesOf(upgradeFirmwareCommand()), expected({0x01, 0x60}));

    auto c = micVolumeCommand(1, 40);
    EXPECT_EQ(c.opcode(), kOpMicVolume);
    EXPECT_EQ(c.param1(), 2);
    EXPECT_EQ(c.param2(), 1);
    EXPECT_EQ(c.value(), 40);
}

TEST(RequestCodes, AreDistinctAndNamed) {
    std::set<uint32_t> seen(kAllRequestCodes.begin(), kAllRequestCodes.end());
    EXPECT_EQ(seen.size(), kAllRequestCodes.size());
    for (uint32_t code : kAllRequestCodes) {
        EXPECT_EQ(code & 0xFFFF0003u, 0xFFDC0000u);
        EXPECT_STRNE(requestName(code), "?");
    }
    EXPECT_EQ(uint32_t(IOCTL_ASIO_GET_SHARED_MEMORY), 0xFFDC2030u);
    EXPECT_EQ(uint32_t(IOCTL_DEVICE_SEND_COMMAND), 0xFFDC209Cu);
    EXPECT_STREQ(requestName(0xFFDC2FFC), "?");
}

TEST(MixerMatrixLayout, CellsAndOutputGainsLandAtTheirOffsets) {
    auto m = std::make_unique<MixerMatrix>();
    m->setCell(7, 31, 31, 1.0);
    m->setCell(2, 3, 5, 0.5);
    m->setOutputGain(0, 1.9952623149688795);
    m->setOutputGain(95, 0.25);
    // Double number 1024 m + 32 r + c at byte 8 times that; 1.0 is 3FF0000000000000.
    std::size_t last = 8 * (1024 * 7 + 32 * 31 + 31);
    EXPECT_EQ(last, 0xFFF8u);
    EXPECT_EQ(m->bytes[last + 7], 0x3F);
    EXPECT_EQ(m->bytes[last + 6], 0xF0);
    std::size_t cell = 8 * (1024 * 2 + 32 * 3 + 5);
    EXPECT_EQ(getLe64(m->bytes + cell), 0x3FE0000000000000ull);
    EXPECT_EQ(getLe64(m->bytes + 0x10000 + 8 * 95), 0x3FD0000000000000ull);
    EXPECT_DOUBLE_EQ(m->outputGain(0), 1.9952623149688795);
    EXPECT_DOUBLE_EQ(m->cell(2, 3, 5), 0.5);
    EXPECT_EQ(MixerMatrix::cellIndex(1, 0, 0), 1024u);
    EXPECT_EQ(getLe64(m->bytes + 8 * MixerMatrix::cellIndex(2, 5, 3)),
              0u); // row/column not swapped
}

TEST(MeterBlockLayout, LevelsAreSignedLittleEndian) {
    MeterBlock b;
    b.setLevel(191, MeterBlock::kFullScale);
    b.setLevel(1, -5);
    EXPECT_EQ(b.bytes[764], 0xFF);
    EXPECT_EQ(b.bytes[767], 0x7F);
    EXPECT_EQ(b.level(1), -5);
    EXPECT_EQ(b.bytes[4], 0xFB);
}

TEST(UsbStatusRecord, WireAndRecordAgree) {
    UsbStatusWire w;
    const uint8_t raw[7] = {0x34, 0x12, 0x56, 0x04, 0x03, 0x02, 0x01};
    std::memcpy(w.bytes, raw, 7);
    UsbStatus s = UsbStatus::fromWire(w);
    EXPECT_EQ(s.field0, 0x1234);
    EXPECT_EQ(s.field1, 0x56);
    EXPECT_EQ(s.errorCount, 0x01020304u);
    UsbStatusWire back = s.toWire();
    EXPECT_EQ(std::memcmp(back.bytes, raw, 7), 0);
}

TEST(StreamingRecords, EventRegistrationAndSharedMemoryOffsets) {
    EventRegistration r;
    r.setHandle(0, 0x1111);
    r.setHandle(1, 0x2222);
    r.setHandle(2, 0x0102030405060708ull);
    EXPECT_EQ(r.bytes[8], 0x22);
    EXPECT_EQ(r.bytes[16], 0x08);
    EXPECT_EQ(r.bytes[23], 0x01);
    EXPECT_EQ(r.handle(2), 0x0102030405060708ull);

    SharedMemoryReply s;
    s.setInputArea(0xAABBCCDD00112233ull);
    s.setOutputArea(0x1);
    EXPECT_EQ(s.bytes[0], 0x33);
    EXPECT_EQ(s.bytes[7], 0xAA);
    EXPECT_EQ(s.bytes[8], 0x01);
    EXPECT_EQ(s.outputArea(), 1u);

    EXPECT_EQ(halfBufferOffset(3, 64, 1), 8u * 64 * 3 + 4 * 64);
    EXPECT_LE(halfBufferOffset(kMaxChannels - 1, kMaxBlockFrames, 1) + 4 * kMaxBlockFrames,
              kSharedAreaBytes);
}

TEST(StatusMessages, FiveLittleEndianWords) {
    StatusMessage m;
    m.bufferSize = 256;
    m.running = 1;
    m.openWindow = 1;
    uint8_t wire[StatusMessage::kSize];
    m.toWire(wire);
    const uint8_t expectedWire[20] = {0x00, 0x01, 0, 0, 0x00, 0x04, 0, 0, 0x44, 0xAC,
                                      0,    0,    1, 0, 0,    0,    1, 0, 0,    0};
    EXPECT_EQ(std::memcmp(wire, expectedWire, 20), 0);
    StatusMessage back = StatusMessage::fromWire(wire);
    EXPECT_EQ(back.constant44100, 44100u);
    EXPECT_EQ(back.openWindow, 1u);
}

} // namespace

TEST(ModelTable, NamesOnlyTheChannelsAModelHas) {
    std::set<uint32_t> codes;
    for (const Model& m : kModels)
        EXPECT_TRUE(codes.insert(m.code).second) << m.name;
    EXPECT_EQ(findModel(0), nullptr);
    EXPECT_EQ(findModel(16), nullptr);

    struct Case {
        uint32_t code;
        bool input;
        int channel;
        const char* name; // null: no name of the model's own
    };
    const Case cases[] = {
        {kModelTern, true, 0, "MIC1"},
        {kModelTern, true, 11, "IN12"},
        {kModelTern, true, 12, nullptr},
        {kModelTern, false, 11, "OUT12"},
        {kModelTern, false, 12, nullptr},
        {kModelWren, false, 13, "OUT14"},
        {kModelWren, false, 14, nullptr},
        {kModelWren, true, -1, nullptr},
        {kModelKite, true, 0, nullptr},
        {kModelKite, false, 0, nullptr},
        {3, true, 0, nullptr},
    };
    for (const Case& c : cases) {
        const char* name = channelName(c.code, c.input, c.channel);
        EXPECT_EQ(std::string(name ? name : "(none)"), std::string(c.name ? c.name : "(none)"))
            << c.code << (c.input ? " in " : " out ") << c.channel;
    }
}
