// The simulated gateway on its own, driven with plain loopback sockets: the
// bytes it answers with, what it holds, and that it never hangs.
#include <atomic>
#include <chrono>
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

class GatewaySimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::GatewayConfig c;
    c.channels = 4;
    gw_ = std::make_unique<sim::Gateway>(c);
    ASSERT_TRUE(gw_->Start());
    peer_ = ConnectTcp(gw_->LocalPort());
    ASSERT_TRUE(peer_.valid());
    ASSERT_TRUE(gw_->WaitConnections(1, milliseconds(3000)));
  }
  void Send(const std::vector<uint8_t>& bytes) { ASSERT_TRUE(SendAll(peer_.get(), bytes.data(), bytes.size())); }
  std::unique_ptr<sim::Gateway> gw_;
  Fd peer_;
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
