// The simulated gateway on its own, driven with plain loopback sockets: the
// bytes it answers with, what it holds, and that it never hangs.
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include "tests/support/eventually.h"
#include "tests/support/loopback.h"
#include "tools/sim/gateway.h"

namespace tarnlink::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Reads one whole packet (header, payload, checksum) before the deadline.
bool ReadPacket(int fd, std::vector<uint8_t>* out, int timeout_ms = 3000) {
  out->assign(sim::kWireHeaderSize, 0);
  if (!ReadExactly(fd, out->data(), sim::kWireHeaderSize, timeout_ms)) return false;
  const size_t n = (size_t{(*out)[4]} << 8) | (*out)[5];
  out->resize(sim::kWireHeaderSize + n + 1);
  return ReadExactly(fd, out->data() + sim::kWireHeaderSize, n + 1, timeout_ms);
}

// The JSON object of a command answer's body (after message id and result byte).
cJSON* AnswerJson(const std::vector<uint8_t>& answer) {
  const size_t body = sim::kWireHeaderSize + 2;
  if (answer.size() < body + 1) return nullptr;
  return cJSON_Parse(std::string(answer.begin() + body, answer.end() - 1).c_str());
}

sim::WireFrame CanFrame(uint8_t channel, uint32_t id, uint8_t len) {
  sim::WireFrame f;
  f.id = id;
  f.channel = channel;
  f.len = len;
  for (uint8_t i = 0; i < len; ++i) f.data[i] = static_cast<uint8_t>(0xA0 + i);
  return f;
}

class GatewaySimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!started_by_test_) Start(sim::GatewayConfig{});
  }
  // Starts the gateway with 4 channels and connects one peer.
  void Start(sim::GatewayConfig c) {
    c.channels = 4;
    gw_ = std::make_unique<sim::Gateway>(c);
    ASSERT_TRUE(gw_->Start());
    peer_ = Connect(1);
  }
  // One more peer; waits until the gateway counts `total` connections.
  Fd Connect(size_t total) {
    Fd fd = ConnectTcp(gw_->LocalPort());
    EXPECT_TRUE(fd.valid());
    EXPECT_TRUE(gw_->WaitConnections(total, milliseconds(3000)));
    return fd;
  }
  void Send(const std::vector<uint8_t>& bytes) { ASSERT_TRUE(SendAll(peer_.get(), bytes.data(), bytes.size())); }
  // A request with the AutoSendRead body the driver prints; the answer packet.
  std::vector<uint8_t> AutoSendRead(int channel, int offset, int num) {
    const std::string body = "{\r\n\"Chn\":" + std::to_string(channel) + ",\r\n\"Offset\":" + std::to_string(offset) +
                             ",\r\n\"Num\":" + std::to_string(num) + "\r\n}";
    Send(sim::CommandPacket(false, 1, 9, 3, sim::TextBody(body)));
    std::vector<uint8_t> answer;
    EXPECT_TRUE(ReadPacket(peer_.get(), &answer));
    return answer;
  }
  bool started_by_test_ = false;
  std::unique_ptr<sim::Gateway> gw_;
  Fd peer_;
};

// Cases that start the gateway with their own configuration.
class GatewaySimConfigTest : public GatewaySimTest {
 protected:
  GatewaySimConfigTest() { started_by_test_ = true; }
};

TEST_F(GatewaySimTest, NoticeIsAcknowledgedWithItsFlagsByte) {
  Send(sim::FramePacket(sim::kTypeNotice, 0x80, {1, 2, 3, 4, 5, 6, 7, 8}));
  std::vector<uint8_t> ack;
  ASSERT_TRUE(ReadPacket(peer_.get(), &ack));
  EXPECT_EQ(ack, (std::vector<uint8_t>{0x55, 0x81, 0x80, 0x00, 0x00, 0x00, 0x54}));
  EXPECT_EQ(gw_->NoticesFromHost(), (std::vector<uint64_t>{0x0102030405060708ull}));
}

TEST_F(GatewaySimTest, DeviceInfoRequestGetsTheIdentityAsJson) {
  sim::DeviceIdentity id;
  id.model = "Quote\"d";
  id.serial = "SN-1";
  gw_->SetIdentity(id);
  Send({0x55, 0x50, 0x02, 0x00, 0x00, 0x02, 0x01, 0x01, 0x05});
  std::vector<uint8_t> answer;
  ASSERT_TRUE(ReadPacket(peer_.get(), &answer));
  EXPECT_EQ(answer[1], 0x50);
  EXPECT_EQ(answer[2], 0x03);                  // sequence 1, answer flag
  EXPECT_EQ(answer[6], 0x01);                  // message id repeated
  EXPECT_EQ(answer[7], 0x01);                  // result byte
  EXPECT_EQ(answer[answer.size() - 2], 0x00);  // the text's zero byte
  EXPECT_EQ(sim::WireChecksum(answer.data(), answer.size() - 1), answer.back());
  const std::string text(reinterpret_cast<const char*>(answer.data() + 8));
  cJSON* root = cJSON_Parse(text.c_str());
  ASSERT_NE(root, nullptr) << text;
  EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(root, "Model")->valuestring, "Quote\"d");
  EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(root, "Firmware")->valuestring, "V1.00.00");
  EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(root, "SN")->valuestring, "SN-1");
  cJSON_Delete(root);
}

TEST_F(GatewaySimTest, HeldEntriesAreReadBackAsJson) {
  std::vector<uint8_t> payload;
  for (uint8_t i : {0, 2}) {
    sim::WireAutoSendEntry e;
    e.index = i;
    e.enable = i == 0;
    e.period = 60000;
    e.frame.id = 0x300u + i;
    e.frame.flags = sim::kWireExtended;
    e.frame.channel = 1;
    e.frame.len = 3;
    e.frame.data[0] = 0xA0;
    e.frame.data[2] = 0xA2;
    sim::PutAutoSendEntry(payload, e);
  }
  Send(sim::FramePacket(sim::kTypeAutoSend, 0, payload));
  ASSERT_TRUE(gw_->WaitUntil([&] { return gw_->AutoSendTable(1).size() == 2; }, milliseconds(3000)));
  const std::string body = "{\r\n\"Chn\":1,\r\n\"Offset\":0,\r\n\"Num\":4\r\n}";
  Send(sim::CommandPacket(false, 5, 77, 3, sim::TextBody(body)));
  std::vector<uint8_t> answer;
  ASSERT_TRUE(ReadPacket(peer_.get(), &answer));
  EXPECT_EQ(answer[2], (5 << 1) | 1);
  EXPECT_EQ(answer[6], 77);
  cJSON* root = cJSON_Parse(reinterpret_cast<const char*>(answer.data() + 8));
  ASSERT_NE(root, nullptr);
  const cJSON* m0 = cJSON_GetObjectItemCaseSensitive(root, "Msg0");
  const cJSON* m2 = cJSON_GetObjectItemCaseSensitive(root, "Msg2");
  ASSERT_NE(m0, nullptr);
  ASSERT_NE(m2, nullptr);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(root, "Msg1"), nullptr);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(m0, "Enable")->valueint, 1);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(m2, "Enable")->valueint, 0);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(m0, "Period")->valueint, 60000);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(m2, "MsgID")->valueint, 0x302);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(m0, "MsgFlag")->valueint, sim::kWireExtended);
  const cJSON* data = cJSON_GetObjectItemCaseSensitive(m0, "MsgData");
  ASSERT_EQ(cJSON_GetArraySize(data), 3);
  EXPECT_EQ(cJSON_GetArrayItem(data, 2)->valueint, 0xA2);
  cJSON_Delete(root);
}

TEST_F(GatewaySimTest, EchoKeepsOnlyWhatTheBusCarries) {
  sim::WireFrame f;
  f.id = 0x1234;
  f.flags = 3 | sim::kWireTxOption | sim::kWireExtended | sim::kWireByte5;
  f.channel = 2;
  f.len = 2;
  f.data[0] = 0x11;
  f.timestamp = 0x1234;  // the host's 16-bit value; the echo carries the gateway's clock
  std::vector<uint8_t> payload;
  sim::PutFrame(payload, f, false);
  f.channel = 9;  // beyond the model: not echoed
  sim::PutFrame(payload, f, false);
  Send(sim::FramePacket(sim::kTypeCan, 0, payload));
  std::vector<uint8_t> echo;
  ASSERT_TRUE(ReadPacket(peer_.get(), &echo));
  ASSERT_EQ(echo.size(), sim::kWireHeaderSize + sim::kWireCanSize + 1);
  const sim::WireFrame back = sim::GetFrame(echo.data() + sim::kWireHeaderSize, false);
  EXPECT_EQ(back.id, 0x1234u);
  EXPECT_EQ(back.flags, sim::kWireExtended);
  EXPECT_EQ(back.channel, 2);
  EXPECT_EQ(back.len, 2);
  EXPECT_EQ(back.data[0], 0x11);
  EXPECT_LE(back.timestamp, gw_->NowMicros());
  EXPECT_EQ(gw_->Counters().frames_in, 2u);
  EXPECT_EQ(gw_->Counters().frames_out, 1u);
}

TEST_F(GatewaySimTest, JunkIsSkippedAndCounted) {
  // A start byte whose header fails (length 5 is no multiple of 24), then junk.
  std::vector<uint8_t> bytes = {1, 2, 3, 0x55, 0x00, 0x00, 0x00, 0x00, 0x05};
  const auto notice = sim::FramePacket(sim::kTypeNotice, 0, {0, 0, 0, 0, 0, 0, 0, 9});
  bytes.insert(bytes.end(), notice.begin(), notice.end());
  Send(bytes);
  std::vector<uint8_t> ack;
  ASSERT_TRUE(ReadPacket(peer_.get(), &ack));
  EXPECT_EQ(ack[1], sim::kTypeNoticeAck);
  EXPECT_EQ(gw_->Counters().bad_bytes, 9u);
}

TEST_F(GatewaySimTest, WaitsEndAtTheirDeadline) {
  const auto t0 = Clock::now();
  EXPECT_FALSE(gw_->WaitForPackets(sim::kTypeGps, 1, milliseconds(100)));
  EXPECT_FALSE(gw_->WaitUntil([] { return false; }, milliseconds(100)));
  EXPECT_LT(Clock::now() - t0, milliseconds(2000));
}

TEST_F(GatewaySimTest, StopEndsABulkSendToAPeerThatDoesNotRead) {
  std::atomic<bool> done{false};
  std::atomic<bool> result{true};
  std::thread bulk([&] {
    result = gw_->Burst(0, 5000000);  // far more than the socket buffers and the queue take
    done = true;
  });
  std::this_thread::sleep_for(milliseconds(200));  // let the send back up; not a synchronisation
  EXPECT_FALSE(done.load());
  const auto t0 = Clock::now();
  gw_->Stop();
  bulk.join();
  EXPECT_LT(Clock::now() - t0, milliseconds(3000));
  EXPECT_FALSE(result.load());
  EXPECT_FALSE(gw_->running());
  gw_->Stop();  // twice is harmless
}

TEST_F(GatewaySimTest, EchoReachesEveryConnectionTheSenderIncluded) {
  Fd other = Connect(2);
  std::vector<uint8_t> payload;
  sim::PutFrame(payload, CanFrame(1, 0x321, 3), false);
  Send(sim::FramePacket(sim::kTypeCan, 0, payload));
  for (int fd : {peer_.get(), other.get()}) {
    std::vector<uint8_t> echo;
    ASSERT_TRUE(ReadPacket(fd, &echo));
    ASSERT_EQ(echo[1], sim::kTypeCan);
    ASSERT_EQ(echo.size(), sim::kWireHeaderSize + sim::kWireCanSize + 1);
    const sim::WireFrame back = sim::GetFrame(echo.data() + sim::kWireHeaderSize, false);
    EXPECT_EQ(back.id, 0x321u);
    EXPECT_EQ(back.channel, 1);
    EXPECT_EQ(back.len, 3);
    EXPECT_EQ(back.data[2], 0xA2);
  }
  EXPECT_EQ(gw_->Counters().frames_out, 1u);  // one frame on the bus, however many see it

  // Switched off on that channel: nobody gets it back. Each peer's notice,
  // handled after the frame, is the next thing that peer receives.
  gw_->SetEcho(1, false);
  Send(sim::FramePacket(sim::kTypeCan, 0, payload));
  ASSERT_TRUE(gw_->WaitUntil([&] { return gw_->Counters().frames_in == 2; }, milliseconds(3000)));
  const auto notice = sim::FramePacket(sim::kTypeNotice, 0, {0, 0, 0, 0, 0, 0, 0, 1});
  Send(notice);
  ASSERT_TRUE(SendAll(other.get(), notice.data(), notice.size()));
  for (int fd : {peer_.get(), other.get()}) {
    std::vector<uint8_t> next;
    ASSERT_TRUE(ReadPacket(fd, &next));
    EXPECT_EQ(next[1], sim::kTypeNoticeAck);
  }
}

// What one peer receives up to the acknowledgement of a notice it sends now:
// (channel, identifier) of each frame, in order.
std::vector<std::pair<int, uint32_t>> FramesBeforeAck(int fd) {
  const auto notice = sim::FramePacket(sim::kTypeNotice, 0, {0, 0, 0, 0, 0, 0, 0, 1});
  EXPECT_TRUE(SendAll(fd, notice.data(), notice.size()));
  std::vector<std::pair<int, uint32_t>> out;
  std::vector<uint8_t> p;
  while (ReadPacket(fd, &p) && p[1] != sim::kTypeNoticeAck) {
    const bool fd_packet = p[1] == sim::kTypeCanFd;
    const size_t size = fd_packet ? sim::kWireCanFdSize : sim::kWireCanSize;
    for (size_t off = sim::kWireHeaderSize; off + size < p.size(); off += size) {
      const sim::WireFrame f = sim::GetFrame(p.data() + off, fd_packet);
      out.emplace_back(f.channel, f.id);
    }
  }
  EXPECT_EQ(p[1], sim::kTypeNoticeAck);
  return out;
}

// The bench model: the sender never gets its own frame, the other peers on
// the channel do, and channels wired together (0-1-2 by two cables) carry it
// to every peer; timed entries count as sent by the peer that set them.
TEST_F(GatewaySimConfigTest, BusModelReachesTheOthersAndTheWiredChannels) {
  sim::GatewayConfig c;
  c.echo = false;
  c.bus = true;
  c.wires = {{1, 0}, {1, 2}};
  Start(c);
  Fd other = Connect(2);
  using Got = std::vector<std::pair<int, uint32_t>>;
  auto send = [&](uint8_t channel, uint32_t id, uint64_t frames_in) {
    std::vector<uint8_t> payload;
    sim::PutFrame(payload, CanFrame(channel, id, 2), false);
    Send(sim::FramePacket(sim::kTypeCan, 0, payload));
    ASSERT_TRUE(gw_->WaitUntil([&] { return gw_->Counters().frames_in == frames_in; }, milliseconds(3000)));
  };
  send(3, 0x33, 1);  // an unwired channel
  EXPECT_EQ(FramesBeforeAck(peer_.get()), Got{});
  EXPECT_EQ(FramesBeforeAck(other.get()), (Got{{3, 0x33}}));
  send(0, 0x10, 2);
  EXPECT_EQ(FramesBeforeAck(peer_.get()), (Got{{1, 0x10}, {2, 0x10}}));
  EXPECT_EQ(FramesBeforeAck(other.get()), (Got{{1, 0x10}, {2, 0x10}, {0, 0x10}}));

  sim::WireAutoSendEntry e;
  e.index = 0;
  e.enable = 1;
  e.period = 5;
  e.frame = CanFrame(3, 0x77, 1);
  std::vector<uint8_t> entry;
  sim::PutAutoSendEntry(entry, e);
  Send(sim::FramePacket(sim::kTypeAutoSend, 0, entry));
  // A transmission is counted before it is delivered: read what arrives.
  Got timed;
  ASSERT_TRUE(Eventually([&] {
    const Got more = FramesBeforeAck(other.get());
    timed.insert(timed.end(), more.begin(), more.end());
    return timed.size() >= 3;
  }));
  e.enable = 0;
  entry.clear();
  sim::PutAutoSendEntry(entry, e);
  Send(sim::FramePacket(sim::kTypeAutoSend, 0, entry));
  EXPECT_EQ(FramesBeforeAck(peer_.get()), Got{});
  for (const auto& f : timed) EXPECT_EQ(f, (std::pair<int, uint32_t>{3, 0x77}));
}

TEST_F(GatewaySimConfigTest, EchoSkipsAPeerThatStoppedReadingAndKeepsItsStreamWhole) {
  sim::GatewayConfig c;
  c.send_high_water = 4096;
  Start(c);
  Fd stalled = Connect(2);
  std::vector<sim::WireFrame> frames(sim::kCanPerPacket, CanFrame(0, 0x100, 8));
  std::vector<uint8_t> payload;
  for (const sim::WireFrame& f : frames) sim::PutFrame(payload, f, false);
  const std::vector<uint8_t> packet = sim::FramePacket(sim::kTypeCan, 0, payload);
  // The sender reads its echoes; the stalled peer's socket buffers fill, then its queue.
  std::vector<uint8_t> echo;
  for (int i = 0; i < 50000 && gw_->Counters().frames_dropped == 0; ++i) {
    Send(packet);
    ASSERT_TRUE(ReadPacket(peer_.get(), &echo)) << "the reading peer lost an echo at packet " << i;
    ASSERT_EQ(echo.size(), packet.size());
  }
  ASSERT_GT(gw_->Counters().frames_dropped, 0u);
  EXPECT_EQ(gw_->Counters().frames_dropped % sim::kCanPerPacket, 0u);  // whole packets only

  // What the stalled peer has is whole packets; once it reads again it gets new echoes.
  size_t read = 0;
  std::vector<uint8_t> got;
  while (ReadPacket(stalled.get(), &got, 300)) {
    ASSERT_EQ(got.size(), packet.size()) << "after " << read << " packets";
    ASSERT_EQ(sim::WireChecksum(got.data(), got.size() - 1), got.back());
    ++read;
  }
  EXPECT_GT(read, 0u);
  std::vector<uint8_t> last;
  sim::PutFrame(last, CanFrame(0, 0x7FF, 1), false);
  Send(sim::FramePacket(sim::kTypeCan, 0, last));
  ASSERT_TRUE(ReadPacket(stalled.get(), &got));
  EXPECT_EQ(sim::GetFrame(got.data() + sim::kWireHeaderSize, false).id, 0x7FFu);
}

// Generated traffic goes to every connection: one that stopped reading loses
// packets of its own and holds back nobody else's.
TEST_F(GatewaySimConfigTest, GeneratorFeedsTheOthersWhileOnePeerStopsReading) {
  sim::GatewayConfig c;
  c.send_high_water = 4096;
  Start(c);  // peer_ never reads
  Fd reader = Connect(2);
  sim::TrafficSpec plan;
  plan.frames_per_second = 0;  // as fast as the link takes them
  gw_->StartTraffic(plan);
  std::vector<uint8_t> got;
  for (int after_drops = 0; after_drops < 200;) {
    ASSERT_TRUE(ReadPacket(reader.get(), &got))
        << "the reading peer starved; dropped for the stalled one: " << gw_->Counters().frames_dropped;
    ASSERT_EQ(sim::WireChecksum(got.data(), got.size() - 1), got.back());
    if (gw_->Counters().frames_dropped > 0) ++after_drops;
  }
  EXPECT_EQ(gw_->Counters().frames_dropped % sim::kCanPerPacket, 0u);  // whole packets only
}

TEST_F(GatewaySimConfigTest, ReadBackAnswersEveryIndexAskedForBelow32) {
  sim::GatewayConfig c;
  c.autosend_read_all_slots = true;
  Start(c);
  sim::WireAutoSendEntry held;
  held.index = 2;
  held.enable = 1;
  held.period = 60000;
  held.frame = CanFrame(1, 0x123, 2);
  sim::WireAutoSendEntry last = held;
  last.index = 31;
  last.frame.id = 0x456;
  gw_->SetAutoSendTable(1, {held, last});

  cJSON* root = AnswerJson(AutoSendRead(1, 0, 4));
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(cJSON_GetArraySize(root), 4);
  for (const char* unused : {"Msg0", "Msg1", "Msg3"}) {
    const cJSON* m = cJSON_GetObjectItemCaseSensitive(root, unused);
    ASSERT_NE(m, nullptr) << unused;
    for (const char* key : {"Enable", "Period", "Cnt", "MsgID", "MsgFlag"}) {
      const cJSON* v = cJSON_GetObjectItemCaseSensitive(m, key);
      ASSERT_TRUE(cJSON_IsNumber(v)) << unused << " " << key;
      EXPECT_EQ(v->valueint, 0) << unused << " " << key;
    }
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(m, "MsgData")), 0) << unused;
  }
  const cJSON* m2 = cJSON_GetObjectItemCaseSensitive(root, "Msg2");
  ASSERT_NE(m2, nullptr);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(m2, "Enable")->valueint, 1);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(m2, "MsgID")->valueint, 0x123);
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(m2, "MsgData")), 2);
  cJSON_Delete(root);

  // A request running past the last slot gets the slots there are.
  root = AnswerJson(AutoSendRead(1, 30, 4));
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(cJSON_GetArraySize(root), 2);
  ASSERT_NE(cJSON_GetObjectItemCaseSensitive(root, "Msg30"), nullptr);
  EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(root, "Msg31"), "MsgID")->valueint,
            0x456);
  cJSON_Delete(root);

  // A channel the device does not have has no slots; a negative offset starts at 0.
  root = AnswerJson(AutoSendRead(7, 0, 4));
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(cJSON_GetArraySize(root), 0);
  cJSON_Delete(root);
  root = AnswerJson(AutoSendRead(0, -2, 4));
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(cJSON_GetArraySize(root), 2);
  EXPECT_NE(cJSON_GetObjectItemCaseSensitive(root, "Msg1"), nullptr);
  cJSON_Delete(root);
}

TEST_F(GatewaySimTest, GeneratedCanFdTrafficHasOnlyValidFdLengths) {
  auto lengths_of = [&](uint8_t len_min, uint8_t len_max, uint64_t total, bool valid = true) {
    sim::TrafficSpec t;
    t.fd = true;
    t.fd_valid_lengths = valid;
    t.frames_per_second = 0;
    t.len_min = len_min;
    t.len_max = len_max;
    t.total = total;
    gw_->StartTraffic(t);
    std::vector<int> lengths;
    std::vector<uint8_t> packet;
    while (lengths.size() < total && ReadPacket(peer_.get(), &packet)) {
      EXPECT_EQ(packet[1], sim::kTypeCanFd);
      for (size_t off = sim::kWireHeaderSize; off + sim::kWireCanFdSize < packet.size(); off += sim::kWireCanFdSize) {
        lengths.push_back(sim::GetFrame(packet.data() + off, true).len);
      }
    }
    gw_->StopTraffic(0);
    return lengths;
  };
  EXPECT_EQ(lengths_of(0, 64, 19), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64, 0, 1, 2}));
  // Lengths between the valid ones are padded up, each padded length once per cycle.
  EXPECT_EQ(lengths_of(9, 17, 4), (std::vector<int>{12, 16, 20, 12}));
  EXPECT_EQ(lengths_of(33, 40, 2), (std::vector<int>{48, 48}));
  // Switched off, the range is taken as it is (for tests of a receiver passing lengths through).
  EXPECT_EQ(lengths_of(9, 11, 3, false), (std::vector<int>{9, 10, 11}));
}

TEST_F(GatewaySimConfigTest, RecordLimitZeroKeepsNoCopiesButCounts) {
  sim::GatewayConfig c;
  c.record_limit = 0;
  c.frame_record_limit = 0;
  c.echo = false;
  Start(c);
  std::vector<uint8_t> payload;
  for (uint32_t id : {1, 2, 3}) sim::PutFrame(payload, CanFrame(0, id, 1), false);
  Send(sim::FramePacket(sim::kTypeCan, 0, payload));
  Send(sim::FramePacket(sim::kTypeNotice, 0, {0, 0, 0, 0, 0, 0, 0, 5}));
  std::vector<uint8_t> ack;
  ASSERT_TRUE(ReadPacket(peer_.get(), &ack));  // both packets were handled before it left
  EXPECT_TRUE(gw_->Packets().empty());
  EXPECT_TRUE(gw_->FramesFromHost().empty());
  EXPECT_TRUE(gw_->NoticesFromHost().empty());
  EXPECT_EQ(gw_->PacketCount(sim::kTypeCan), 1u);
  EXPECT_EQ(gw_->PacketCount(), 2u);
  EXPECT_EQ(gw_->Counters().frames_in, 3u);
  EXPECT_EQ(gw_->Counters().notices_acked, 1u);
  EXPECT_NE(gw_->Summary().find("frames in 3,"), std::string::npos) << gw_->Summary();

  // A request to the driver side still gets its answer, caught as it arrives.
  std::thread host([&] {
    std::vector<uint8_t> request;
    ASSERT_TRUE(ReadPacket(peer_.get(), &request));
    const uint8_t sequence = (request[2] >> 1) & 7u;
    const auto answer = sim::CommandPacket(true, sequence, request[6], 1, sim::TextBody("{}"));
    ASSERT_TRUE(SendAll(peer_.get(), answer.data(), answer.size()));
  });
  const auto answer = gw_->RequestFromHost(1, {}, 3, 42, milliseconds(3000));
  host.join();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->flags(), (3 << 1) | 1);
  EXPECT_EQ(answer->payload()[0], 42);
  EXPECT_TRUE(gw_->Packets().empty());
  EXPECT_EQ(gw_->PacketCount(sim::kTypeCommand), 1u);
}

TEST(GatewaySimConnect, ReconnectsAfterTheListenerDropsIt) {
  TcpListener listener;
  ASSERT_TRUE(listener.ok());
  sim::GatewayConfig c;
  c.mode = sim::LinkMode::kTcpConnect;
  c.remote_port = listener.port();
  c.reconnect_ms = 50;
  sim::Gateway gw(c);
  std::vector<std::string> log;
  std::mutex log_mu;
  gw.SetLog([&](const std::string& line) {
    std::lock_guard<std::mutex> lock(log_mu);
    log.push_back(line);
  });
  ASSERT_TRUE(gw.Start());
  Fd first = listener.Accept(3000);
  ASSERT_TRUE(first.valid());
  ASSERT_TRUE(gw.WaitConnections(1, milliseconds(3000)));
  first.Reset();
  Fd second = listener.Accept(3000);
  ASSERT_TRUE(second.valid());
  ASSERT_TRUE(
      gw.WaitUntil([&] { return gw.Counters().connections == 2 && gw.ConnectionCount() == 1; }, milliseconds(3000)));
  ASSERT_TRUE(gw.SendDeviceText(2, "hello"));
  std::vector<uint8_t> text;
  ASSERT_TRUE(ReadPacket(second.get(), &text));
  EXPECT_EQ(text, sim::FramePacket(sim::kTypeDeviceText, 2, {'h', 'e', 'l', 'l', 'o'}));
  gw.Stop();
  std::lock_guard<std::mutex> lock(log_mu);
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.back().find("frames in"), std::string::npos);  // the summary line at stop
}

}  // namespace
}  // namespace tarnlink::test
