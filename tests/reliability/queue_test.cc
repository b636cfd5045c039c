// The application stops draining one channel: that queue stops growing at
// 1,000,000 (the oldest frames make room), while the other queues keep
// flowing to a reader that does drain them.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "tests/reliability/link.h"

namespace tarnlink::test {
namespace {

constexpr uint64_t kLimit = 1000000;
constexpr uint64_t kExtra = 10;

TEST(QueueLimitTest, UndrainedQueueStopsAtTheLimitAndOthersKeepFlowing) {
  TcpListener gateway;
  DeviceLink device(TARNLINK_TCP_LIB, VELA_TYPE_LINK_2CH_TCP, 7);
  GatewayConnection conn(ConnectDevice(gateway, device, 2));
  ASSERT_TRUE(conn.valid());

  // Channel 1 is drained all along by its own reader.
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> flowing{0};
  std::atomic<bool> in_order{true};
  std::thread reader([&] {
    std::vector<VELA_CAN_RECEIVE> buf(256);
    while (!stop.load()) {
      const uint32_t n = device.lib().Receive(device.ch(1), buf.data(), static_cast<uint32_t>(buf.size()), 20);
      for (uint32_t i = 0; i < n; ++i) {
        if (!IsFrame(buf[i], flowing.load())) in_order = false;
        ++flowing;
      }
    }
  });

  // Channel 0 gets the limit plus ten frames; every 100 packets one packet
  // for channel 1 goes between them.
  constexpr uint64_t kPerBlock = 6000;
  uint64_t sent0 = 0;
  uint64_t sent1 = 0;
  while (sent0 < kLimit + kExtra) {
    const uint64_t n = std::min(kPerBlock, kLimit + kExtra - sent0);
    Bytes block = CanPackets(0, sent0, n);
    const Bytes other = CanPackets(1, sent1, 60);
    block.insert(block.end(), other.begin(), other.end());
    ASSERT_TRUE(conn.Send(block));
    sent0 += n;
    sent1 += 60;
  }
  ASSERT_TRUE(conn.Barrier({}, 60000));
  EXPECT_EQ(device.lib().GetReceiveNum(device.ch(0), VELA_QUEUE_CAN), kLimit);

  // Still flowing once channel 0 is full: channel 1 and channel 0's CAN FD queue.
  Bytes fd_payload;
  for (uint64_t i = 0; i < 18; ++i) {
    const Bytes r = CanFdRecord(0, i);
    fd_payload.insert(fd_payload.end(), r.begin(), r.end());
  }
  Bytes tail = Packet(0x01, 0, fd_payload);
  const Bytes other = CanPackets(1, sent1, 60);
  tail.insert(tail.end(), other.begin(), other.end());
  sent1 += 60;
  ASSERT_TRUE(conn.Barrier(tail));
  EXPECT_TRUE(Eventually([&] { return flowing.load() == sent1; }, 5000)) << flowing.load() << " of " << sent1;
  stop = true;
  reader.join();
  EXPECT_TRUE(in_order.load());
  EXPECT_EQ(device.lib().GetReceiveNum(device.ch(0), VELA_QUEUE_CANFD), 18u);
  EXPECT_EQ(device.lib().GetReceiveNum(device.ch(0), VELA_QUEUE_CAN), kLimit);

  // The oldest ten made room; the rest come out in order.
  std::vector<VELA_CAN_RECEIVE> buf(10000);
  uint64_t next = kExtra;
  while (const uint32_t n = device.lib().Receive(device.ch(0), buf.data(), static_cast<uint32_t>(buf.size()), 0)) {
    for (uint32_t i = 0; i < n; ++i, ++next) ASSERT_TRUE(IsFrame(buf[i], next)) << "frame " << next;
  }
  EXPECT_EQ(next, kLimit + kExtra);
}

}  // namespace
}  // namespace tarnlink::test
