#include "protocol/records.h"

#include <cstring>

#include <gtest/gtest.h>

namespace tarnlink {
namespace {

VELA_CAN_TRANSMIT CanFrame(uint32_t id, uint32_t transmit_type) {
  VELA_CAN_TRANSMIT f{};
  f.id = id;
  f.len = 8;
  for (uint8_t i = 0; i < 8; ++i) f.data[i] = static_cast<uint8_t>(0xA0 + i);
  f.transmit_type = transmit_type;
  return f;
}

std::vector<uint8_t> Bytes(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

// Every packet the builder hands out, kept.
template <typename Frame>
std::vector<Packet> Built(uint32_t (*build)(uint8_t, const Frame*, uint32_t, bool, Packet&), uint8_t channel,
                          const Frame* frames, uint32_t count, bool option) {
  std::vector<Packet> packets;
  Packet out;
  const uint32_t sent = BuildPackets(build, channel, frames, count, option, out, [&](const Packet& p) {
    packets.push_back(p);
    return true;
  });
  EXPECT_EQ(sent, frames != nullptr ? count : 0u);
  return packets;
}

PacketView ViewOf(const Packet& p) { return PacketView{p.data(), p.size()}; }

TEST(CanRecordTest, IdentifierFlagsAndTransmitTypeOnTheWire) {
  const VELA_CAN_TRANSMIT frame = CanFrame(0x80000123u, 2);
  uint8_t wire[24];
  WriteCanRecord(wire, EncodeCanRecord(frame, 1, false));
  EXPECT_EQ(Bytes(wire + 8, 6), (std::vector<uint8_t>{0x00, 0x00, 0x01, 0x23, 0x00, 0x42}));
  EXPECT_EQ(wire[14], 1);
  EXPECT_EQ(wire[15], 8);
  EXPECT_EQ(Bytes(wire + 16, 8), Bytes(frame.data, 8));
  EXPECT_EQ(EncodeCanRecord(frame, 1, true).flags, 0x004A);
}

TEST(CanRecordTest, DroppedAndCarriedBits) {
  VELA_CAN_TRANSMIT frame = CanFrame(0x60000007u, 6);  // bit 29 and remote set
  frame.flags = 0x80 | 0x7F;
  const _tagPacketDataCAN r = EncodeCanRecord(frame, 0, false);
  EXPECT_EQ(r.id, 0x7u);
  EXPECT_EQ(r.flags, kFlagRemote | kFlagByte5 | 0x2);
}

TEST(CanRecordTest, StampBytesBecomeLowTimeStampBytes) {
  VELA_CAN_TRANSMIT frame = CanFrame(1, 0);
  uint8_t raw[sizeof(frame)];
  std::memcpy(raw, &frame, sizeof(frame));
  raw[6] = 0x34;  // the record is little-endian: byte 6 is the low byte
  raw[7] = 0x12;
  std::memcpy(&frame, raw, sizeof(frame));
  uint8_t wire[24];
  WriteCanRecord(wire, EncodeCanRecord(frame, 0, false));
  EXPECT_EQ(Bytes(wire, 8), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0x12, 0x34}));
}

TEST(CanFdRecordTest, BitRateSwitchSetsFdAndBrs) {
  VELA_CANFD_TRANSMIT frame{};
  frame.flags = 0x01 | 0x02;  // ESI is never sent
  frame.len = 15;
  const _tagPacketDataCANFD r = EncodeCanFdRecord(frame, 0, false);
  EXPECT_EQ(r.flags, 0x0110);
  frame.flags = 0;
  EXPECT_EQ(EncodeCanFdRecord(frame, 0, false).flags, kFlagFd);
}

TEST(PacketBuilderTest, FramesSplitAtRecordLimits) {
  std::vector<VELA_CAN_TRANSMIT> can(61, CanFrame(0x100, 0));
  auto packets = Built(&BuildCanPacket, 0, can.data(), 61, false);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].size(), 6u + 1440 + 1);
  EXPECT_EQ(DecodeCanPacket(ViewOf(packets[0])).size(), 60u);
  EXPECT_EQ(DecodeCanPacket(ViewOf(packets[1])).size(), 1u);
  EXPECT_TRUE(Built(&BuildCanPacket, 0, can.data(), 0, false).empty());
  EXPECT_TRUE(Built<VELA_CAN_TRANSMIT>(&BuildCanPacket, 0, nullptr, 5, false).empty());

  std::vector<VELA_CANFD_TRANSMIT> fd(19);
  packets = Built(&BuildCanFdPacket, 0, fd.data(), 18, false);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(PayloadLengthOf(ViewOf(packets[0])), 1440);
  packets = Built(&BuildCanFdPacket, 0, fd.data(), 19, false);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(DecodeCanFdPacket(ViewOf(packets[1])).size(), 1u);

  std::vector<AutoSendElement> list(11);
  list[10].fd = true;
  packets = BuildAutoSendPackets(0, list, false);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(PayloadLengthOf(ViewOf(packets[0])), 880);
  EXPECT_EQ(PayloadLengthOf(ViewOf(packets[1])), 88);
  for (const Packet& p : packets) EXPECT_EQ(PacketChecksum(p.data(), p.size() - 1), p.back());
}

TEST(PacketBuilderTest, ReusedPacketIsResizedAndCapped) {
  std::vector<VELA_CAN_TRANSMIT> can(70, CanFrame(0x1, 0));
  Packet out(5000, 0xEE);
  EXPECT_EQ(BuildCanPacket(3, can.data(), 2, false, out), 2u);
  EXPECT_EQ(out.size(), 6u + 48 + 1);
  EXPECT_EQ(PacketChecksum(out.data(), out.size() - 1), out.back());
  EXPECT_EQ(BuildCanPacket(3, can.data(), 70, false, out), 60u);
  EXPECT_EQ(out.size(), 6u + 1440 + 1);
}

TEST(AutoSendEntryTest, ClassicEntryLayoutWithZeroTail) {
  VELA_CAN_AUTOSEND object{};
  object.enable = 0x0101;
  object.index = 0x0107;
  object.period = 0x00012345;
  object.frame = CanFrame(0x80000123u, 1);
  const Packet p = BuildAutoSendPacket(2, object, true);
  ASSERT_EQ(p.size(), 6u + 88 + 1);
  const uint8_t* e = p.data() + 6;
  EXPECT_EQ(Bytes(e, 8), (std::vector<uint8_t>{0x07, 0x01, 0x23, 0x45, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(LoadBe16(e + 8 + 12), 0x0049);  // extended | option | type 1, FD clear
  EXPECT_EQ(e[8 + 14], 2);
  EXPECT_EQ(Bytes(e + 8 + 16, 8), Bytes(object.frame.data, 8));
  EXPECT_EQ(Bytes(e + 8 + 24, 56), std::vector<uint8_t>(56, 0));
}

TEST(AutoSendEntryTest, ListCountAndFdObject) {
  AutoSendElement el;
  el.fd = true;
  el.count = 0x10002;
  el.canfd.frame.data[63] = 0x5A;
  const Packet p = BuildAutoSendPackets(0, {el}, false)[0];
  const uint8_t* e = p.data() + 6;
  EXPECT_EQ(LoadBe16(e + 4), 0x0002);
  EXPECT_EQ(LoadBe16(e + 8 + 12), kFlagFd);
  EXPECT_EQ(e[87], 0x5A);
}

TEST(DecoderTest, CanPacketRoundTripsEveryField) {
  std::vector<VELA_CAN_TRANSMIT> can;
  for (uint32_t i = 0; i < 60; ++i) can.push_back(CanFrame(0x80000000u | i, i));
  const Packet p = Built(&BuildCanPacket, 200, can.data(), 60, true)[0];
  const CanRecords records = DecodeCanPacket(ViewOf(p));
  ASSERT_EQ(records.size(), 60u);
  for (uint32_t i = 0; i < 60; ++i) {
    const _tagPacketDataCAN expected = EncodeCanRecord(can[i], 200, true);
    const _tagPacketDataCAN decoded = records[i].Decode();
    EXPECT_EQ(std::memcmp(&decoded, &expected, sizeof(expected)), 0) << i;
    EXPECT_EQ(records[i].flags(), expected.flags);
    EXPECT_EQ(records[i].timestamp(), expected.timestamp);
  }
  EXPECT_EQ(records[5].channel(), 200);  // decoded as is; filtering is not the codec's job
}

TEST(DecoderTest, RejectsOtherTypesBadHeadersAndShortBuffers) {
  std::vector<VELA_CANFD_TRANSMIT> fd(2);
  fd[1].len = 64;
  fd[1].data[63] = 0x5A;
  fd[1].flags = 0x01;
  const Packet p = Built(&BuildCanFdPacket, 4, fd.data(), 2, false)[0];
  EXPECT_TRUE(DecodeCanPacket(ViewOf(p)).empty());
  EXPECT_TRUE(DecodeGpsPacket(ViewOf(p)).empty());
  const CanFdRecords records = DecodeCanFdPacket(ViewOf(p));
  ASSERT_EQ(records.size(), 2u);
  const _tagPacketDataCANFD decoded = records[1].Decode();
  EXPECT_EQ(decoded.data[63], 0x5A);
  EXPECT_EQ(decoded.flags, kFlagFd | kFlagBrs);
  // The classic view of an FD record: the head and the first 8 data bytes.
  const _tagPacketDataCAN head = records[1].DecodeCan();
  EXPECT_EQ(head.channel, 4);
  EXPECT_EQ(head.len, 64);
  EXPECT_EQ(head.flags, decoded.flags);
  const Packet empty_can{0x55, 0x00, 0x00, 0x00, 0x00, 0x00, 0x55};
  EXPECT_TRUE(DecodeCanPacket(ViewOf(empty_can)).empty());
}

TEST(DecoderTest, GpsRecordsAtMultiplesOf32IgnoringTrailingBytes) {
  Packet p{0x55, 0x05, 0x00, 0x00, 0x00, 64};
  for (int i = 0; i < 64; ++i) p.push_back(static_cast<uint8_t>(i));
  AppendChecksum(p);
  const GpsRecords records = DecodeGpsPacket(ViewOf(p));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Decode().time_word, 0x0001020304050607u);
  EXPECT_EQ(records[0].Decode().fields[5], 0x1C1D1E1Fu);
  EXPECT_EQ(records[1].Decode().time_word, 0x2021222324252627u);
  p[5] = 40;
  EXPECT_EQ(DecodeGpsPacket(PacketView{p.data(), 6 + 40 + 1}).size(), 1u);
}

}  // namespace
}  // namespace tarnlink
