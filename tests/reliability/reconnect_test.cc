// The TCP client against a gateway whose connection breaks: reset inside a
// packet, orderly cuts, truncation, and a stream cut into small delayed
// pieces. The driver must reconnect by itself, never join bytes of two
// connections, decode every later packet intact and leak nothing.
#include <gtest/gtest.h>

#include "tests/reliability/fault_proxy.h"
#include "tests/reliability/link.h"
#include "tools/sim/gateway.h"

namespace tarnlink::test {
namespace {

constexpr uint32_t kType = VELA_TYPE_LINK_4CH_TCP;

// The simulated gateway behind the proxy, writing the test's own bytes: a
// barrier is a request sent behind them, passed once the driver answered it,
// which it does only after dispatching every earlier byte of the stream.
class GatewayEnd {
 public:
  GatewayEnd() : gw_(Config()) {}
  bool Start() { return gw_.Start(); }
  uint16_t port() const { return gw_.LocalPort(); }
  bool Send(const Bytes& b) { return gw_.SendRaw(b); }

  // Sends `before`, then a request, in one write; true once answered.
  bool Barrier(const Bytes& before = {}) {
    Bytes out = before;
    const Bytes req = GatewayConnection::Request(5, ++message_id_);
    out.insert(out.end(), req.begin(), req.end());
    return SendAndAwaitAnswer(out);
  }
  // Sends a request followed by `after` in one write; true once answered.
  bool RequestThen(const Bytes& after) {
    Bytes out = GatewayConnection::Request(5, ++message_id_);
    out.insert(out.end(), after.begin(), after.end());
    return SendAndAwaitAnswer(out);
  }

  uint64_t connections() const { return gw_.Counters().connections; }
  // True once a connection after the first `made` is the only one.
  bool AwaitConnection(uint64_t made, int timeout_ms) const {
    return gw_.WaitUntil([&] { return connections() > made && gw_.ConnectionCount() == 1; },
                         std::chrono::milliseconds(timeout_ms));
  }

 private:
  static sim::GatewayConfig Config() {
    sim::GatewayConfig c;
    c.mode = sim::LinkMode::kTcpListen;
    c.channels = 4;
    c.echo = false;
    return c;
  }
  bool SendAndAwaitAnswer(const Bytes& out) {
    gw_.ClearRecord();  // no answer of an earlier barrier with the same id
    if (!Send(out)) return false;
    const uint8_t id = message_id_;
    return gw_.WaitUntil(
        [&] {
          for (const sim::HostPacket& p : gw_.Packets(sim::kTypeCommand)) {
            if ((p.flags() & 1u) != 0 && p.payload_size() > 0 && p.payload()[0] == id) return true;
          }
          return false;
        },
        std::chrono::milliseconds(5000));
  }

  sim::Gateway gw_;
  uint8_t message_id_ = 0;
};

// Simulated gateway <- proxy <- driver (TCP client of the proxy).
class ReconnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gateway_.Start());
    proxy_ = std::make_unique<FaultProxy>(gateway_.port());
    ASSERT_TRUE(proxy_->ok());
    device_ = std::make_unique<DeviceLink>(TARNLINK_TCP_LIB, kType, 3);
    ASSERT_NE(device_->handle(), 0u);
    ASSERT_TRUE(device_->SetRemote(proxy_->port()));
    ASSERT_TRUE(device_->StartChannels(4));
    ASSERT_TRUE(gateway_.AwaitConnection(0, 3000));
    ASSERT_TRUE(gateway_.Barrier());
  }
  void TearDown() override {
    if (device_) {
      EXPECT_EQ(device_->Close(), 1u);
    }
  }

  // The driver's next connection, through a fresh proxy link; the time it
  // took, counted from before the fault that ended the last one.
  int64_t AwaitReconnect(uint64_t made, Clock::time_point since) {
    return gateway_.AwaitConnection(made, 5000) ? MsSince(since) : -1;
  }

  // Sends frames [first, first + count) on channel 0 and expects exactly
  // them, in order, intact.
  void ExpectFramesDelivered(uint64_t first, uint64_t count) {
    ASSERT_TRUE(gateway_.Barrier(CanPackets(0, first, count)));
    const std::vector<VELA_CAN_RECEIVE> got = device_->Drain(0);
    ASSERT_EQ(got.size(), count);
    for (uint64_t i = 0; i < count; ++i) ASSERT_TRUE(IsFrame(got[i], first + i)) << "frame " << i;
  }

  GatewayEnd gateway_;
  std::unique_ptr<FaultProxy> proxy_;
  std::unique_ptr<DeviceLink> device_;
};

TEST_F(ReconnectTest, ResetInsideAPacketIsNeverJoinedToTheNextConnection) {
  ExpectFramesDelivered(0, 10);
  const size_t fds = OpenDescriptors();
  const size_t threads = ThreadCount();

  // The first connection's stream after the reset: a one-record packet, then
  // more. A partial packet whose header claims one record is buffered before
  // the reset; its last byte is chosen so that, were the two streams joined,
  // the claimed 31 bytes (partial + the first 15 new bytes) would pass the
  // checksum and come out as a frame made of both, swallowing the new
  // connection's first packet.
  Bytes next = CanPackets(0, 100, 1, 1);
  const Bytes rest = CanPackets(0, 101, 59);
  next.insert(next.end(), rest.begin(), rest.end());
  Bytes partial = {0x55, 0x00, 0x00, 0x00, 0x00, 24};
  const Bytes old_record = CanRecord(0, 999);
  partial.insert(partial.end(), old_record.begin(), old_record.begin() + 10);
  const size_t claimed_from_next = 31 - partial.size();  // 15, the last one the checksum
  uint8_t x = 0;
  for (size_t i = 0; i + 1 < partial.size(); ++i) x ^= partial[i];
  for (size_t i = 0; i + 1 < claimed_from_next; ++i) x ^= next[i];
  partial.back() = static_cast<uint8_t>(x ^ next[claimed_from_next - 1]);

  // Request and partial in one write: once answered, the partial is buffered.
  ASSERT_TRUE(gateway_.RequestThen(partial));
  const uint64_t made = gateway_.connections();
  const auto reset_at = Clock::now();
  proxy_->Reset();
  const int64_t reconnect_ms = AwaitReconnect(made, reset_at);
  ASSERT_GE(reconnect_ms, 0) << "the driver did not reconnect";
  EXPECT_LT(reconnect_ms, 2500);
  RecordProperty("reconnect_ms", static_cast<int>(reconnect_ms));

  ASSERT_TRUE(gateway_.Barrier(next));
  const std::vector<VELA_CAN_RECEIVE> got = device_->Drain(0);
  ASSERT_EQ(got.size(), 60u) << "a frame was lost or made up";
  for (uint64_t i = 0; i < 60; ++i) ASSERT_TRUE(IsFrame(got[i], 100 + i)) << "frame " << i;
  EXPECT_TRUE(Eventually([&] { return proxy_->links_open() == 1; }, 2000));
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(ReconnectTest, RepeatedCutsReconnectWithoutLeaks) {
  ExpectFramesDelivered(0, 5);
  const size_t fds = OpenDescriptors();
  const size_t threads = ThreadCount();
  for (uint64_t round = 1; round <= 5; ++round) {
    const uint64_t made = gateway_.connections();
    const auto fault_at = Clock::now();
    if (round % 2 == 0) {
      proxy_->Cut();
    } else {
      proxy_->Reset();
    }
    const int64_t ms = AwaitReconnect(made, fault_at);
    ASSERT_GE(ms, 0) << "round " << round;
    EXPECT_LT(ms, 2500);
    ExpectFramesDelivered(round * 1000, 120);
    ASSERT_TRUE(Eventually([&] { return proxy_->links_open() == 1; }, 2000));
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(ReconnectTest, TruncatedConnectionLosesOnlyThePacketItCut) {
  // Two whole packets (120 frames), then the link dies 100 bytes into the third.
  const Bytes stream = CanPackets(0, 0, 180);
  const size_t cut_at = 2 * (60 * 24 + 7) + 100;
  FaultPlan plan;
  plan.truncate_after = proxy_->bytes_down() + cut_at;
  proxy_->SetDown(plan);
  const uint64_t made = gateway_.connections();
  ASSERT_TRUE(gateway_.Send(stream));
  ASSERT_TRUE(proxy_->WaitBytesDown(plan.truncate_after, 3000));
  const auto cut_at_time = Clock::now();
  proxy_->SetDown(FaultPlan{});
  const int64_t ms = AwaitReconnect(made, cut_at_time);
  ASSERT_GE(ms, 0);
  EXPECT_LT(ms, 2500);
  // The two whole packets arrived; nothing of the third.
  const std::vector<VELA_CAN_RECEIVE> before = device_->Collect(0, 120, 3000);
  ASSERT_EQ(before.size(), 120u);
  for (uint64_t i = 0; i < 120; ++i) ASSERT_TRUE(IsFrame(before[i], i)) << "frame " << i;
  ExpectFramesDelivered(500, 60);
}

TEST_F(ReconnectTest, StreamInSmallDelayedPiecesDecodesIntact) {
  FaultPlan plan;
  plan.split = 5;
  proxy_->SetDown(plan);
  ExpectFramesDelivered(0, 600);
  plan.split = 1;
  plan.delay_ms = 1;
  proxy_->SetDown(plan);
  ExpectFramesDelivered(600, 3);
  proxy_->SetDown(FaultPlan{});
  ExpectFramesDelivered(700, 60);
}

}  // namespace
}  // namespace tarnlink::test
