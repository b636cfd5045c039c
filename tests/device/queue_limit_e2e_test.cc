// A channel's receive queue holds the newest 1,000,000 frames: fed by a
// gateway as fast as the link takes full packets, drained through
// VELA_Receive.
#include <cstdio>

#include <gtest/gtest.h>

#include "tests/support/device_link.h"

namespace tarnlink::test {
namespace {

constexpr uint64_t kLimit = 1000000;
constexpr uint64_t kExtra = 5;

TEST(QueueLimit, FullQueueDropsTheOldestAndKeepsItsSize) {
  sim::GatewayConfig c;
  c.echo = false;
  DeviceLink link(LinkKind::kTcpClient, VELA_TYPE_LINK_2CH_TCP, 0, c);
  ASSERT_TRUE(link.Start(1));
  sim::Gateway& gw = link.gw();

  const auto t0 = Clock::now();
  ASSERT_TRUE(gw.Burst(0, kLimit + kExtra, /*first_stamp=*/0));
  // The marker travels behind every frame: once it is read, all were stored.
  ASSERT_TRUE(gw.SendMarker(0, 0xABCDEF));
  uint64_t stamp = 0;
  VELA_MARKER_READ marker{&stamp, 1, 30000};
  ASSERT_EQ(link.Get(0, VELA_REF_MARKERS, &marker), 1u);
  ASSERT_EQ(marker.count, 1u);
  EXPECT_EQ(stamp, 0xABCDEFu);
  const double fill_s = SecondsSince(t0);
  EXPECT_EQ(link.lib().GetReceiveNum(link.ch(0), VELA_QUEUE_CAN), kLimit);
  VELA_STATS stats{};
  stats.size = sizeof stats;
  ASSERT_EQ(link.Get(0, VELA_REF_STATS, &stats), 1u);
  EXPECT_EQ(stats.channel[0].frames_can, kLimit + kExtra);
  EXPECT_EQ(stats.channel[0].dropped_can, kExtra);

  // Drain: the oldest five are gone, the rest come in order.
  std::vector<VELA_CAN_RECEIVE> buf(10000);
  uint64_t next = kExtra;
  uint64_t total = 0;
  bool in_order = true;
  const auto t1 = Clock::now();
  while (true) {
    const uint32_t n = link.lib().Receive(link.ch(0), buf.data(), static_cast<uint32_t>(buf.size()), 0);
    if (n == 0) break;
    for (uint32_t i = 0; i < n; ++i, ++next) {
      if (buf[i].timestamp != next || buf[i].id != (next & 0x7FF) || buf[i].data[0] != static_cast<uint8_t>(next)) {
        in_order = false;
      }
    }
    total += n;
  }
  const double drain_s = SecondsSince(t1);
  EXPECT_TRUE(in_order);
  EXPECT_EQ(total, kLimit);
  EXPECT_EQ(next, kLimit + kExtra);
  std::printf("queue limit: %.0f frames/s into the queue, %.0f frames/s through VELA_Receive\n",
              static_cast<double>(kLimit + kExtra) / fill_s, static_cast<double>(total) / drain_s);
  RecordProperty("fill_frames_per_s", static_cast<int>((kLimit + kExtra) / fill_s));
  RecordProperty("receive_frames_per_s", static_cast<int>(total / drain_s));
}

}  // namespace
}  // namespace tarnlink::test
