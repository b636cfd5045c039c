// Frames and timed-send lists sent by the driver, checked as the gateway
// decodes them; the read-back of the gateway's lists and its cache.
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/device_link.h"

namespace tarnlink::test {
namespace {

using sim::HostFrame;
using sim::WireAutoSendEntry;
using sim::WireFrame;

const LinkParam kLinks[] = {
    {"tcp_client", LinkKind::kTcpClient}, {"tcp_server", LinkKind::kTcpServer}, {"udp", LinkKind::kUdp}};

constexpr uint8_t kAutoSendRead = 3;

VELA_CAN_TRANSMIT CanTx(uint32_t i) {
  VELA_CAN_TRANSMIT t{};
  t.id = (0x100 + i) | (i % 3 == 0 ? VELA_ID_EFF_FLAG : 0) | (i % 5 == 0 ? VELA_ID_RTR_FLAG : 0) |
         (i % 7 == 0 ? VELA_ID_ERR_FLAG : 0);  // the error bit is not sent
  t.len = static_cast<uint8_t>(i % 9);
  t.flags = i % 2 ? VELA_TX_FLAG_BYTE5 | 0x7F : 0x7F;  // only bit 7 is carried
  t.stamp = static_cast<uint16_t>(0x1234 + i);
  for (int b = 0; b < 8; ++b) t.data[b] = static_cast<uint8_t>(i * 8 + b);
  t.transmit_type = 4 + i;  // bits 0-1 only
  return t;
}

VELA_CANFD_TRANSMIT FdTx(uint32_t i) {
  VELA_CANFD_TRANSMIT t{};
  t.id = (0x18000000 + i) | VELA_ID_EFF_FLAG;
  t.len = 64;
  t.flags = static_cast<uint8_t>((i % 2 ? VELA_FD_BRS : 0) | VELA_FD_ESI | (i % 4 == 0 ? VELA_TX_FLAG_BYTE5 : 0));
  t.stamp = static_cast<uint16_t>(i);
  for (int b = 0; b < 64; ++b) t.data[b] = static_cast<uint8_t>(i + b);
  t.transmit_type = i;
  return t;
}

// What the gateway must decode from a CAN transmit record.
WireFrame ExpectedCan(const VELA_CAN_TRANSMIT& t, uint8_t channel, bool option) {
  WireFrame f;
  f.timestamp = t.stamp;
  f.id = t.id & VELA_ID_MASK;
  f.flags = static_cast<uint16_t>(
      (t.transmit_type & 3u) | (option ? sim::kWireTxOption : 0) | ((t.id & VELA_ID_RTR_FLAG) ? sim::kWireRemote : 0) |
      ((t.id & VELA_ID_EFF_FLAG) ? sim::kWireExtended : 0) | ((t.flags & VELA_TX_FLAG_BYTE5) ? sim::kWireByte5 : 0));
  f.channel = channel;
  f.len = t.len;
  std::memcpy(f.data, t.data, 8);
  return f;
}

WireFrame ExpectedFd(const VELA_CANFD_TRANSMIT& t, uint8_t channel, bool option) {
  WireFrame f;
  f.timestamp = t.stamp;
  f.id = t.id & VELA_ID_MASK;
  f.flags = static_cast<uint16_t>(
      (t.transmit_type & 3u) | (option ? sim::kWireTxOption : 0) | sim::kWireFd |
      ((t.id & VELA_ID_RTR_FLAG) ? sim::kWireRemote : 0) | ((t.id & VELA_ID_EFF_FLAG) ? sim::kWireExtended : 0) |
      ((t.flags & VELA_FD_BRS) ? sim::kWireBrs : 0) | ((t.flags & VELA_TX_FLAG_BYTE5) ? sim::kWireByte5 : 0));
  f.channel = channel;
  f.len = t.len;
  std::memcpy(f.data, t.data, 64);
  return f;
}

void ExpectSameFrame(const WireFrame& got, const WireFrame& want, const std::string& what) {
  EXPECT_EQ(got.timestamp, want.timestamp) << what;
  EXPECT_EQ(got.id, want.id) << what;
  EXPECT_EQ(got.flags, want.flags) << what;
  EXPECT_EQ(got.channel, want.channel) << what;
  EXPECT_EQ(got.len, want.len) << what;
  EXPECT_EQ(std::memcmp(got.data, want.data, 64), 0) << what;
}

std::vector<WireAutoSendEntry> EntriesOf(const sim::HostPacket& p) {
  std::vector<WireAutoSendEntry> out;
  for (size_t off = 0; off + sim::kWireAutoSendSize <= p.payload_size(); off += sim::kWireAutoSendSize) {
    out.push_back(sim::GetAutoSendEntry(p.payload() + off));
  }
  return out;
}

class TransmitTest : public ::testing::TestWithParam<LinkParam> {
 protected:
  std::unique_ptr<DeviceLink> Link(uint32_t start_mask = 1) {
    return StartedLink(GetParam().kind, VELA_TYPE_LINK_2CH_TCP, start_mask);
  }
};

TEST_P(TransmitTest, SixtyOneFramesGoOutAsSixtyPlusOne) {
  auto link = Link();
  std::vector<VELA_CAN_TRANSMIT> tx;
  for (uint32_t i = 0; i < 61; ++i) tx.push_back(CanTx(i));
  ASSERT_EQ(link->lib().Transmit(link->ch(0), tx.data(), 61), 61u);
  ASSERT_TRUE(link->gw().WaitForPackets(sim::kTypeCan, 2, milliseconds(3000)));
  const auto packets = link->gw().Packets(sim::kTypeCan);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].payload_size(), 60 * sim::kWireCanSize);
  EXPECT_EQ(packets[1].payload_size(), 1 * sim::kWireCanSize);
  EXPECT_EQ(packets[0].flags(), 0);
  const auto frames = link->gw().FramesFromHost();
  ASSERT_EQ(frames.size(), 61u);
  for (uint32_t i = 0; i < 61; ++i) {
    EXPECT_FALSE(frames[i].in_fd_packet);
    ExpectSameFrame(frames[i].record, ExpectedCan(tx[i], 0, false), "frame " + std::to_string(i));
  }
}

TEST_P(TransmitTest, ThirtySixFdFramesGoOutAsTwoPacketsOfEighteen) {
  auto link = Link(3);
  std::vector<VELA_CANFD_TRANSMIT> tx;
  for (uint32_t i = 0; i < 36; ++i) tx.push_back(FdTx(i));
  ASSERT_EQ(link->lib().TransmitFD(link->ch(1), tx.data(), 36), 36u);
  ASSERT_TRUE(link->gw().WaitForPackets(sim::kTypeCanFd, 2, milliseconds(3000)));
  const auto packets = link->gw().Packets(sim::kTypeCanFd);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].payload_size(), 1440u);
  EXPECT_EQ(packets[1].payload_size(), 1440u);
  const auto frames = link->gw().FramesFromHost();
  ASSERT_EQ(frames.size(), 36u);
  for (uint32_t i = 0; i < 36; ++i) {
    EXPECT_TRUE(frames[i].in_fd_packet);
    ExpectSameFrame(frames[i].record, ExpectedFd(tx[i], 1, false), "frame " + std::to_string(i));
  }
}

TEST_P(TransmitTest, TransmitOptionSetsFlagBit3OnItsChannelOnly) {
  auto link = Link(3);
  const uint32_t five = 5;
  ASSERT_EQ(link->Set(1, VELA_REF_TX_OPTION, &five), 1u);
  const VELA_CAN_TRANSMIT a = CanTx(1);
  const VELA_CANFD_TRANSMIT b = FdTx(2);
  ASSERT_EQ(link->lib().Transmit(link->ch(0), &a, 1), 1u);
  ASSERT_EQ(link->lib().Transmit(link->ch(1), &a, 1), 1u);
  ASSERT_EQ(link->lib().TransmitFD(link->ch(0), &b, 1), 1u);
  ASSERT_EQ(link->lib().TransmitFD(link->ch(1), &b, 1), 1u);
  VELA_CAN_AUTOSEND object{};
  object.enable = 1;
  object.index = 3;
  object.period = 1000;
  object.frame = a;
  ASSERT_EQ(link->Set(1, VELA_REF_AUTOSEND_ONE, &object), 1u);
  ASSERT_TRUE(link->gw().WaitForPackets(sim::kTypeAutoSend, 1, milliseconds(3000)));
  ASSERT_TRUE(link->gw().WaitUntil([&] { return link->gw().FramesFromHost().size() == 4; }, milliseconds(3000)));
  const auto frames = link->gw().FramesFromHost();
  ExpectSameFrame(frames[0].record, ExpectedCan(a, 0, false), "ch0 CAN");
  ExpectSameFrame(frames[1].record, ExpectedCan(a, 1, true), "ch1 CAN");
  ExpectSameFrame(frames[2].record, ExpectedFd(b, 0, false), "ch0 FD");
  ExpectSameFrame(frames[3].record, ExpectedFd(b, 1, true), "ch1 FD");
  const auto entries = EntriesOf(link->gw().Packets(sim::kTypeAutoSend).at(0));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(entries[0].frame.flags & sim::kWireTxOption);
  // Switched off again with 0.
  const uint32_t zero = 0;
  ASSERT_EQ(link->Set(1, VELA_REF_TX_OPTION, &zero), 1u);
  ASSERT_EQ(link->lib().Transmit(link->ch(1), &a, 1), 1u);
  ASSERT_TRUE(link->gw().WaitUntil([&] { return link->gw().FramesFromHost().size() == 5; }, milliseconds(3000)));
  ExpectSameFrame(link->gw().FramesFromHost()[4].record, ExpectedCan(a, 1, false), "ch1 after reset");
}

TEST_P(TransmitTest, EchoedFramesComeBackWithTheGatewayTimeStamp) {
  auto link = Link();
  link->gw().SetEcho(0, true);
  const VELA_CAN_TRANSMIT a = CanTx(3);  // extended, data length 3
  const VELA_CANFD_TRANSMIT b = FdTx(1);
  const uint64_t before = link->gw().NowMicros();
  ASSERT_EQ(link->lib().Transmit(link->ch(0), &a, 1), 1u);
  ASSERT_EQ(link->lib().TransmitFD(link->ch(0), &b, 1), 1u);
  VELA_CAN_RECEIVE rx[2];
  ASSERT_EQ(link->lib().Receive(link->ch(0), rx, 2, 3000), 1u);
  EXPECT_EQ(rx[0].id, a.id & ~VELA_ID_ERR_FLAG);
  EXPECT_EQ(rx[0].len, a.len);
  EXPECT_EQ(std::memcmp(rx[0].data, a.data, 8), 0);
  EXPECT_GE(rx[0].timestamp, before);
  EXPECT_LE(rx[0].timestamp, link->gw().NowMicros());
  VELA_CANFD_RECEIVE rxfd[2];
  ASSERT_EQ(link->lib().ReceiveFD(link->ch(0), rxfd, 2, 3000), 1u);
  EXPECT_EQ(rxfd[0].id, b.id);
  EXPECT_EQ(rxfd[0].flags, VELA_FD_BRS);  // the ESI bit is not sent
  EXPECT_EQ(std::memcmp(rxfd[0].data, b.data, 64), 0);
  EXPECT_GE(rxfd[0].timestamp, rx[0].timestamp);
  const auto counters = link->gw().Counters();
  EXPECT_EQ(counters.frames_in, 2u);
  EXPECT_EQ(counters.frames_out, 2u);
}

TEST_P(TransmitTest, TimedListOfTwentyFiveGoesOutAsTenTenFiveAndStops) {
  auto link = Link();
  link->gw().SetEcho(0, true);
  VELA_CAN_AUTOSEND can{};
  VELA_CANFD_AUTOSEND fd{};
  can.index = 32;
  EXPECT_EQ(link->Set(0, VELA_REF_AUTOSEND_ADD, &can), 0u);  // index above 31
  std::vector<WireAutoSendEntry> expected;
  for (uint16_t i = 0; i < 25; ++i) {
    WireAutoSendEntry e;
    e.index = static_cast<uint8_t>(i);
    e.enable = 1;
    if (i < 15) {
      can = {};
      can.enable = 0x101;  // the low byte goes out
      can.index = i;
      can.period = i == 0 ? 0x10014 : 0x10000 + 5000 + i;  // low 16 bits: 20 ms, 5000+ ms
      can.frame = CanTx(i + 100);
      if (i == 3) {
        // Replaced by the second object with the same index.
        VELA_CAN_AUTOSEND first = can;
        first.frame.id = 0x7;
        ASSERT_EQ(link->Set(0, VELA_REF_AUTOSEND_ADD, &first), 1u);
      }
      ASSERT_EQ(link->Set(0, VELA_REF_AUTOSEND_ADD, &can), 1u);
      e.period = static_cast<uint16_t>(can.period);
      e.frame = ExpectedCan(can.frame, 0, false);
    } else {
      fd = {};
      fd.enable = 1;
      fd.index = i;
      fd.period = 6000;
      fd.frame = FdTx(i);
      ASSERT_EQ(link->Set(0, VELA_REF_AUTOSEND_ADD_FD, &fd), 1u);
      e.period = 6000;
      e.frame = ExpectedFd(fd.frame, 0, false);
    }
    expected.push_back(e);
  }
  EXPECT_EQ(link->gw().PacketCount(sim::kTypeAutoSend), 0u);  // adding sends nothing
  ASSERT_EQ(link->Set(0, VELA_REF_AUTOSEND_SEND, nullptr), 1u);
  ASSERT_TRUE(link->gw().WaitForPackets(sim::kTypeAutoSend, 3, milliseconds(3000)));
  auto packets = link->gw().Packets(sim::kTypeAutoSend);
  ASSERT_EQ(packets.size(), 3u);
  std::vector<WireAutoSendEntry> got;
  const size_t sizes[] = {10, 10, 5};
  for (int p = 0; p < 3; ++p) {
    const auto entries = EntriesOf(packets[p]);
    EXPECT_EQ(entries.size(), sizes[p]);
    got.insert(got.end(), entries.begin(), entries.end());
  }
  ASSERT_EQ(got.size(), 25u);
  for (size_t i = 0; i < 25; ++i) {
    const std::string what = "entry " + std::to_string(i);
    EXPECT_EQ(got[i].index, expected[i].index) << what;
    EXPECT_EQ(got[i].enable, 1) << what;
    EXPECT_EQ(got[i].period, expected[i].period) << what;
    EXPECT_EQ(got[i].count, 0) << what;
    EXPECT_EQ(got[i].reserved, 0) << what;
    ExpectSameFrame(got[i].frame, expected[i].frame, what);
  }
  // The gateway transmits the 20 ms entry; with the echo on its frames come back.
  ASSERT_TRUE(link->gw().WaitUntil([&] { return link->gw().AutoSendTransmissions(0, 0) >= 3; }, milliseconds(3000)));
  VELA_CAN_RECEIVE rx[8];
  ASSERT_GE(link->lib().Receive(link->ch(0), rx, 8, 2000), 1u);
  EXPECT_EQ(rx[0].id, CanTx(100).id & ~VELA_ID_ERR_FLAG);

  // Stop: every entry again with enable 0, then the host list is empty.
  ASSERT_EQ(link->Set(0, VELA_REF_AUTOSEND_CLEAR, nullptr), 1u);
  ASSERT_TRUE(link->gw().WaitForPackets(sim::kTypeAutoSend, 6, milliseconds(3000)));
  packets = link->gw().Packets(sim::kTypeAutoSend);
  size_t disabled = 0;
  for (size_t p = 3; p < packets.size(); ++p) {
    for (const auto& e : EntriesOf(packets[p])) {
      EXPECT_EQ(e.enable, 0);
      ++disabled;
    }
  }
  EXPECT_EQ(disabled, 25u);
  for (const auto& e : link->gw().AutoSendTable(0)) EXPECT_EQ(e.enable, 0);
  const uint64_t stopped_at = link->gw().AutoSendTransmissions(0, 0);
  ASSERT_EQ(link->Set(0, VELA_REF_AUTOSEND_SEND, nullptr), 1u);  // empty list: true, nothing sent
  ASSERT_TRUE(link->Sync());
  EXPECT_EQ(link->gw().PacketCount(sim::kTypeAutoSend), 6u);
  EXPECT_EQ(link->gw().AutoSendTransmissions(0, 0), stopped_at);
}

TEST_P(TransmitTest, SingleTimedEntryGoesOutAtOnce) {
  auto link = Link();
  VELA_CANFD_AUTOSEND fd{};
  fd.enable = 1;
  fd.index = 31;
  fd.period = 0x12345;
  fd.frame = FdTx(5);
  ASSERT_EQ(link->Set(0, VELA_REF_AUTOSEND_ONE_FD, &fd), 1u);
  fd.index = 32;
  EXPECT_EQ(link->Set(0, VELA_REF_AUTOSEND_ONE_FD, &fd), 0u);
  EXPECT_EQ(link->Set(0, VELA_REF_AUTOSEND_ONE, nullptr), 0u);
  ASSERT_TRUE(link->gw().WaitForPackets(sim::kTypeAutoSend, 1, milliseconds(3000)));
  ASSERT_TRUE(link->Sync());
  const auto packets = link->gw().Packets(sim::kTypeAutoSend);
  ASSERT_EQ(packets.size(), 1u);
  const auto entries = EntriesOf(packets[0]);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].index, 31);
  EXPECT_EQ(entries[0].period, 0x2345);
  ExpectSameFrame(entries[0].frame, ExpectedFd(FdTx(5), 0, false), "entry");
}

TEST_P(TransmitTest, ReadBackSpansSeveralAnswersAndIsCachedFor1500Ms) {
  auto link = Link();
  std::vector<WireAutoSendEntry> table;
  for (uint8_t i = 0; i < 6; ++i) {
    WireAutoSendEntry e;
    e.index = i;
    e.enable = (i == 1 || i == 3) ? 0 : 1;
    e.period = static_cast<uint16_t>(100 * (i + 1) + 60000);  // long: the echo is off anyway
    e.frame.id = 0x200u + i;
    e.frame.len = i == 4 ? 12 : i;
    e.frame.flags = static_cast<uint16_t>(i == 2 ? sim::kWireExtended : i == 5 ? sim::kWireRemote : 0);
    if (i == 4) e.frame.flags = sim::kWireFd | sim::kWireBrs;
    for (int b = 0; b < 64; ++b) e.frame.data[b] = static_cast<uint8_t>(i * 16 + b);
    table.push_back(e);
  }
  link->gw().SetAutoSendTable(0, table);

  uint32_t count = 99;
  ASSERT_EQ(link->Get(0, VELA_REF_AUTOSEND_COUNT, &count), 1u);
  EXPECT_EQ(count, 3u);
  auto requests = link->gw().Packets(sim::kTypeCommand);
  ASSERT_EQ(requests.size(), 2u);  // offsets 0 and 4; the second answer ends at the missing Msg6
  const auto body = [](const sim::HostPacket& p) {
    return std::string(reinterpret_cast<const char*>(p.payload()) + 2, p.payload_size() - 2);
  };
  EXPECT_EQ(requests[0].payload()[1], kAutoSendRead);
  EXPECT_EQ(body(requests[0]), std::string("{\r\n\"Chn\":0,\r\n\"Offset\":0,\r\n\"Num\":4\r\n}") + '\0');
  EXPECT_EQ(body(requests[1]), std::string("{\r\n\"Chn\":0,\r\n\"Offset\":4,\r\n\"Num\":4\r\n}") + '\0');

  VELA_CAN_AUTOSEND objects[3];
  std::memset(objects, 0xAB, sizeof objects);
  ASSERT_EQ(link->Get(0, VELA_REF_AUTOSEND_LIST, objects), 1u);
  const uint8_t indexes[] = {0, 2, 5};
  const uint32_t ids[] = {0x200, 0x202 | VELA_ID_EFF_FLAG, 0x205 | VELA_ID_RTR_FLAG};
  for (int k = 0; k < 3; ++k) {
    const WireAutoSendEntry& e = table[indexes[k]];
    EXPECT_EQ(objects[k].enable, 1);
    EXPECT_EQ(objects[k].index, e.index);
    EXPECT_EQ(objects[k].period, e.period);
    EXPECT_EQ(objects[k].frame.id, ids[k]);
    EXPECT_EQ(objects[k].frame.len, e.frame.len);
    EXPECT_EQ(std::memcmp(objects[k].frame.data, e.frame.data, e.frame.len), 0);
    for (int b = e.frame.len; b < 8; ++b) EXPECT_EQ(objects[k].frame.data[b], 0);
    EXPECT_EQ(objects[k].frame.flags, 0);
    EXPECT_EQ(objects[k].frame.stamp, 0);
    EXPECT_EQ(objects[k].frame.transmit_type, 0u);
  }

  // Within 1500 ms the FD count comes from the same read-back.
  ASSERT_EQ(link->Get(0, VELA_REF_AUTOSEND_COUNT_FD, &count), 1u);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(link->gw().PacketCount(sim::kTypeCommand), 2u);
  VELA_CANFD_AUTOSEND fd{};
  ASSERT_EQ(link->Get(0, VELA_REF_AUTOSEND_LIST_FD, &fd), 1u);
  EXPECT_EQ(fd.index, 4);
  EXPECT_EQ(fd.frame.id, 0x204u);
  EXPECT_EQ(fd.frame.len, 12);
  EXPECT_EQ(fd.frame.flags, 0);  // the FD flags byte is not rebuilt
  EXPECT_EQ(std::memcmp(fd.frame.data, table[4].frame.data, 12), 0);

  // ClearBuffer empties the cache but keeps its time: 0 without a new command.
  ASSERT_EQ(link->lib().ClearBuffer(link->ch(0)), 1u);
  ASSERT_EQ(link->Get(0, VELA_REF_AUTOSEND_COUNT, &count), 1u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(link->gw().PacketCount(sim::kTypeCommand), 2u);

  // Once the cache is older than 1500 ms the gateway is asked again.
  std::this_thread::sleep_for(milliseconds(1700));
  ASSERT_EQ(link->Get(0, VELA_REF_AUTOSEND_COUNT, &count), 1u);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(link->gw().PacketCount(sim::kTypeCommand), 4u);
}

// The CAN FD count key re-reads both lists once the cache is old; the CAN
// list copy still writes no more than the CAN count told the caller.
TEST_P(TransmitTest, ListCopyNeverExceedsTheCountLastReturned) {
  auto link = Link();
  const auto entry = [](uint8_t index) {
    WireAutoSendEntry e;
    e.index = index;
    e.enable = 1;
    e.period = 60000;
    e.frame.id = 0x300u + index;
    e.frame.len = 1;
    return e;
  };
  link->gw().SetAutoSendTable(0, {entry(0)});
  uint32_t count = 0;
  ASSERT_EQ(link->Get(0, VELA_REF_AUTOSEND_COUNT, &count), 1u);
  ASSERT_EQ(count, 1u);
  link->gw().SetAutoSendTable(0, {entry(0), entry(1), entry(2)});
  std::this_thread::sleep_for(milliseconds(1600));
  ASSERT_EQ(link->Get(0, VELA_REF_AUTOSEND_COUNT_FD, &count), 1u);  // re-reads: three CAN entries now
  VELA_CAN_AUTOSEND objects[3];
  std::memset(objects, 0xAB, sizeof objects);
  ASSERT_EQ(link->Get(0, VELA_REF_AUTOSEND_LIST, objects), 1u);
  EXPECT_EQ(objects[0].index, 0);
  EXPECT_EQ(objects[1].index, 0xABAB) << "wrote past the count key 31 returned";
  ASSERT_EQ(link->Get(0, VELA_REF_AUTOSEND_COUNT, &count), 1u);
  ASSERT_EQ(count, 3u);
  ASSERT_EQ(link->Get(0, VELA_REF_AUTOSEND_LIST, objects), 1u);
  EXPECT_EQ(objects[2].index, 2);
}

TEST_P(TransmitTest, FailedReadBackLeavesTheCacheAndReportsFalse) {
  auto link = Link();
  WireAutoSendEntry e;
  e.enable = 1;
  e.index = 0;
  e.period = 60000;
  e.frame.id = 0x42;
  link->gw().SetAutoSendTable(1, {e});
  sim::AnswerScript fail;
  fail.mode = sim::AnswerMode::kFailure;
  fail.uses = 1;
  link->gw().ScriptAnswer(kAutoSendRead, fail);
  uint32_t count = 77;
  EXPECT_EQ(link->Get(1, VELA_REF_AUTOSEND_COUNT, &count), 0u);
  EXPECT_EQ(count, 77u);
  ASSERT_EQ(link->Get(1, VELA_REF_AUTOSEND_COUNT, &count), 1u);  // the failure did not refresh the cache time
  EXPECT_EQ(count, 1u);
  // An answer that is not JSON ends the read-back with nothing read, yet succeeds.
  std::this_thread::sleep_for(milliseconds(1600));
  sim::AnswerScript junk;
  junk.mode = sim::AnswerMode::kCustomBody;
  junk.body = {'x', 0};
  junk.uses = 1;
  link->gw().ScriptAnswer(kAutoSendRead, junk);
  ASSERT_EQ(link->Get(1, VELA_REF_AUTOSEND_COUNT, &count), 1u);
  EXPECT_EQ(count, 0u);
}

INSTANTIATE_TEST_SUITE_P(Links, TransmitTest, ::testing::ValuesIn(kLinks), LinkName);

TEST(TransmitWithoutPeer, TransmitBeforeStartAndServerWithoutClientSendNothing) {
  Library lib(TARNLINK_TCP_LIB);
  const uint32_t h = lib.OpenDevice(VELA_TYPE_LINK_2CH_TCP, 9, 0);
  ASSERT_NE(h, 0u);
  const VELA_CAN_TRANSMIT a = CanTx(1);
  EXPECT_EQ(lib.Transmit(h, &a, 1), 0u);  // no channel started yet
  ASSERT_TRUE(lib.SetU32(VELA_TYPE_LINK_2CH_TCP, 9, VELA_REF_WORK_MODE, 1));
  bool started = false;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    ASSERT_TRUE(lib.SetU32(VELA_TYPE_LINK_2CH_TCP, 9, VELA_REF_LOCAL_PORT, FreePort()));
    started = lib.StartCAN(h) == 1;
  }
  ASSERT_TRUE(started);
  std::vector<VELA_CAN_TRANSMIT> many(61, a);
  EXPECT_EQ(lib.Transmit(h, many.data(), 61), 0u);  // no gateway connected
  const VELA_NOTICE notice{1, 2};
  EXPECT_EQ(lib.SetReference(VELA_TYPE_LINK_2CH_TCP, 9, 0, VELA_REF_NOTICE, &notice), 0u);
  EXPECT_EQ(lib.CloseDevice(h), 1u);
}

}  // namespace
}  // namespace tarnlink::test
