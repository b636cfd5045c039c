// Peers that do harm without breaking the protocol: gateways that stop
// reading, that accept and close at once, and a UDP service that hears its
// own datagrams. Each is met by dropping that peer, never by waiting on it.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include "tests/reliability/link.h"

namespace tarnlink::test {
namespace {

constexpr uint32_t kTcpType = VELA_TYPE_LINK_4CH_TCP;
constexpr uint32_t kUdpType = VELA_TYPE_LINK_4CH_UDP;

std::vector<VELA_CAN_TRANSMIT> Frames(size_t n) {
  std::vector<VELA_CAN_TRANSMIT> frames(n);
  for (size_t i = 0; i < n; ++i) {
    frames[i].id = static_cast<uint32_t>(i & 0x7FF);
    frames[i].len = 8;
  }
  return frames;
}

// Transmits batches on a thread until one comes back short or `rounds` are
// done; false when that took longer than timeout_ms (the device is then
// closed to free the sender). Frames reported sent are added to *total.
bool TransmitUntilShort(DeviceLink& device, int rounds, int timeout_ms, uint64_t* total) {
  const std::vector<VELA_CAN_TRANSMIT> frames = Frames(20000);
  std::atomic<bool> done{false};
  std::atomic<uint64_t> sent{0};
  std::thread sender([&] {
    for (int round = 0; round < rounds; ++round) {
      const uint32_t n = device.lib().Transmit(device.ch(0), frames.data(), static_cast<uint32_t>(frames.size()));
      sent += n;
      if (n < frames.size()) break;
    }
    done = true;
  });
  const bool returned = Eventually([&] { return done.load(); }, timeout_ms);
  if (!returned) device.Close();
  sender.join();
  *total = sent.load();
  return returned;
}

// Whole CanTransmit packets read from fd until it ends (or timeout_ms); the
// frames they carry, and whether the stream ended at all.
struct Drained {
  bool ended = false;
  uint64_t frames = 0;
  size_t leftover = 0;  // bytes of a packet the stream ended inside
};
Drained DrainToEnd(int fd, int timeout_ms) {
  Drained d;
  PacketCutter cutter;
  Bytes packet;
  std::vector<uint8_t> buf(1 << 16);
  size_t bytes = 0;
  size_t whole = 0;
  const auto start = Clock::now();
  while (MsSince(start) < timeout_ms) {
    if (!WaitReadable(fd, 50)) continue;
    const ssize_t got = ::recv(fd, buf.data(), buf.size(), 0);
    if (got <= 0) {
      d.ended = true;
      break;
    }
    bytes += static_cast<size_t>(got);
    cutter.Append(buf.data(), static_cast<size_t>(got));
    while (cutter.Next(&packet)) {
      whole += packet.size();
      d.frames += (packet.size() - 7) / 24;  // CAN records: 24 bytes
    }
  }
  d.leftover = bytes - whole;
  return d;
}

// Client mode: a send that cannot finish means the gateway stopped reading.
// That connection is closed (its torn packet dies with it) and the driver
// reconnects; the new stream starts at a packet boundary.
TEST(StalledGateway, ClientClosesTheStalledConnectionAndReconnects) {
  TcpListener gateway;
  DeviceLink device(TARNLINK_TCP_LIB, kTcpType, 7);
  Fd first = ConnectDevice(gateway, device, 1);
  ASSERT_TRUE(first.valid());

  uint64_t sent = 0;
  ASSERT_TRUE(TransmitUntilShort(device, 200, 10000, &sent)) << "Transmit blocked on a gateway that does not read";
  const Drained old = DrainToEnd(first.get(), 5000);
  EXPECT_TRUE(old.ended) << "the stalled connection stayed up";
  EXPECT_EQ(old.frames, sent) << "frames reported sent that the gateway did not get whole";

  Fd second = gateway.Accept(5000);
  ASSERT_TRUE(second.valid()) << "no reconnection";
  const std::vector<VELA_CAN_TRANSMIT> one = Frames(1);
  ASSERT_TRUE(Eventually([&] { return device.lib().Transmit(device.ch(0), one.data(), 1) == 1; }, 3000));
  uint8_t head[6];
  ASSERT_TRUE(ReadExactly(second.get(), head, sizeof head, 3000));
  EXPECT_EQ(head[0], 0x55) << "the new stream does not start with a packet";
}

// A gateway that floods requests and never reads: the receive thread's
// answers stall. That connection is given up (so the answers cannot hold the
// application's sends past one time-out) and the driver connects again.
TEST(StalledGateway, FloodOfRequestsGivesTheConnectionUp) {
  TcpListener gateway;
  DeviceLink device(TARNLINK_TCP_LIB, kTcpType, 12);
  Fd conn = ConnectDevice(gateway, device, 1);
  ASSERT_TRUE(conn.valid());
  std::atomic<bool> stop{false};
  std::atomic<bool> closed{false};
  std::thread flood([&] {
    Bytes burst;
    for (int i = 0; i < 64; ++i) {
      const Bytes r = GatewayConnection::Request(static_cast<uint8_t>(i & 7), static_cast<uint8_t>(i));
      burst.insert(burst.end(), r.begin(), r.end());
    }
    while (!stop.load()) {
      if (::send(conn.get(), burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        closed = true;  // the driver gave the connection up
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const bool given_up = Eventually([&] { return closed.load(); }, 20000);
  stop = true;
  flood.join();
  EXPECT_TRUE(given_up) << "the connection whose answers could not go out stayed up";
  Fd second = gateway.Accept(5000);
  EXPECT_TRUE(second.valid()) << "no reconnection";
  const std::vector<VELA_CAN_TRANSMIT> one = Frames(1);
  EXPECT_TRUE(Eventually([&] { return device.lib().Transmit(device.ch(0), one.data(), 1) == 1; }, 3000));
}

class StalledServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = std::make_unique<DeviceLink>(TARNLINK_TCP_LIB, kTcpType, 8);
    ASSERT_TRUE(device_->StartServer(1, &port_));
  }
  uint32_t Clients() { return device_->GetU32(VELA_REF_CLIENT_COUNT); }

  std::unique_ptr<DeviceLink> device_;
  uint16_t port_ = 0;
};

// Server mode: the one gateway stops reading. Frames are reported sent only
// as far as it took them whole, then it is dropped and sends fail.
TEST_F(StalledServerTest, SuccessOnlyForBlocksAGatewayTookWhole) {
  Fd stalled = ConnectTcp(port_);
  ASSERT_TRUE(stalled.valid());
  ASSERT_TRUE(Eventually([&] { return Clients() == 1; }, 3000));
  uint64_t sent = 0;
  ASSERT_TRUE(TransmitUntilShort(*device_, 200, 10000, &sent)) << "Transmit blocked on a gateway that does not read";
  EXPECT_EQ(Clients(), 0u) << "the stalled gateway is still listed";
  const Drained got = DrainToEnd(stalled.get(), 5000);
  EXPECT_TRUE(got.ended);
  EXPECT_EQ(got.frames, sent) << "frames reported sent that no gateway took";
  const std::vector<VELA_CAN_TRANSMIT> one = Frames(1);
  EXPECT_EQ(device_->lib().Transmit(device_->ch(0), one.data(), 1), 0u);
}

// A stalled gateway beside a healthy one: the stalled one is dropped, the
// healthy one keeps receiving every frame.
TEST_F(StalledServerTest, StalledGatewayIsDroppedAndTheOtherKeepsReceiving) {
  Fd stalled = ConnectTcp(port_);
  Fd healthy = ConnectTcp(port_);
  ASSERT_TRUE(stalled.valid() && healthy.valid());
  ASSERT_TRUE(Eventually([&] { return Clients() == 2; }, 3000));
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> healthy_frames{0};
  std::thread reader([&] {
    PacketCutter cutter;
    Bytes packet;
    std::vector<uint8_t> buf(1 << 16);
    while (!stop.load()) {
      if (!WaitReadable(healthy.get(), 20)) continue;
      const ssize_t got = ::recv(healthy.get(), buf.data(), buf.size(), 0);
      if (got <= 0) break;
      cutter.Append(buf.data(), static_cast<size_t>(got));
      while (cutter.Next(&packet)) healthy_frames += (packet.size() - 7) / 24;
    }
  });
  const std::vector<VELA_CAN_TRANSMIT> frames = Frames(20000);
  uint64_t sent = 0;
  bool returned = true;
  // Until the stalled gateway's buffers are full and it is dropped.
  for (int round = 0; round < 100 && returned && Clients() == 2; ++round) {
    uint64_t n = 0;
    returned = TransmitUntilShort(*device_, 1, 10000, &n);
    sent += n;
  }
  EXPECT_TRUE(returned) << "Transmit blocked on a gateway that does not read";
  EXPECT_EQ(Clients(), 1u) << "the stalled gateway is still listed";
  EXPECT_EQ(device_->lib().Transmit(device_->ch(0), frames.data(), 600), 600u);
  sent += 600;
  EXPECT_TRUE(Eventually([&] { return healthy_frames.load() == sent; }, 5000))
      << healthy_frames.load() << " of " << sent;
  stop = true;
  reader.join();
}

// A gateway that accepts and closes at once is met with one attempt a
// second, not a connection storm.
TEST(ReconnectPacing, AtMostOneAttemptASecond) {
  TcpListener gateway;
  ASSERT_TRUE(gateway.ok());
  std::atomic<bool> stop{false};
  std::atomic<size_t> accepted{0};
  std::thread closer([&] {
    while (!stop.load()) {
      Fd c = gateway.Accept(20);
      if (c.valid()) ++accepted;
    }
  });
  DeviceLink device(TARNLINK_TCP_LIB, kTcpType, 9);
  ASSERT_TRUE(device.SetRemote(gateway.port()));
  ASSERT_TRUE(device.StartChannels(1));
  ASSERT_TRUE(Eventually([&] { return accepted.load() >= 2; }, 3000));
  const size_t before = accepted.load();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const size_t attempts = accepted.load() - before;
  const double seconds = static_cast<double>(MsSince(start)) / 1000.0;
  stop = true;
  closer.join();
  EXPECT_LE(static_cast<double>(attempts), seconds + 1.0) << attempts << " connections in " << seconds << " s";
  EXPECT_GE(attempts, 1u) << "no reconnection at all";
}

// Unicast to its own port: with no gateway at all the service hears only
// itself, and must neither answer its own requests nor receive its frames.
TEST(OwnDatagrams, UnicastToItsOwnPortIsNotAGateway) {
  DeviceLink device(TARNLINK_UDP_LIB, kUdpType, 10);
  bool started = false;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    const uint16_t port = FreePort(false);
    ASSERT_TRUE(device.SetRemote(port));
    device.SetU32(VELA_REF_LOCAL_PORT, port);
    started = device.StartChannels(1);
  }
  ASSERT_TRUE(started);
  VELA_DEVICE_INFO info{};
  EXPECT_EQ(device.lib().GetDeviceInf(device.handle(), &info), 0u) << "answered by itself: " << info.model;
  const std::vector<VELA_CAN_TRANSMIT> frames = Frames(5);
  EXPECT_EQ(device.lib().Transmit(device.ch(0), frames.data(), 5), 5u);
  uint32_t remain = 0;
  EXPECT_EQ(device.Get(0, VELA_REF_SIZE_REMAIN, &remain), 0u);  // a request after the frames: a barrier
  EXPECT_EQ(device.Drain(0).size(), 0u) << "its own frames came back as received";
}

}  // namespace
}  // namespace tarnlink::test
