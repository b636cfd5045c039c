// VELA_REF_STATS through the export: exact counts after known traffic, the
// skipped bytes of a junk prefix, ignored datagrams, a timed-out request.
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/device_link.h"

namespace tarnlink::test {
namespace {

constexpr size_t kHeader = 6;
constexpr size_t kCanPacket = kHeader + 60 * 24 + 1;  // a full CanData packet

VELA_STATS Stats(DeviceLink& link) {
  VELA_STATS s{};
  s.size = sizeof s;
  EXPECT_EQ(link.Get(0, VELA_REF_STATS, &s), 1u);
  EXPECT_EQ(s.size, sizeof s);
  return s;
}

TEST(Stats, CountsAKnownSequenceExactly) {
  auto link = StartedLink(LinkKind::kTcpClient, VELA_TYPE_LINK_2CH_TCP, 3);
  sim::Gateway& gw = link->gw();
  const VELA_STATS before = Stats(*link);
  EXPECT_EQ(before.channels, 2u);
  EXPECT_EQ(before.connections_made, 1u);
  EXPECT_EQ(before.packets_can, 0u);
  EXPECT_EQ(before.last_frame_time, 0u);

  std::vector<sim::WireFrame> can;
  for (uint32_t i = 0; i < 70; ++i) can.push_back(gw.MakeFrame(i % 2, 0x100 + i, {1, 2, 3}));
  ASSERT_TRUE(gw.SendCanFrames(can));  // 60 + 10: two packets
  std::vector<sim::WireFrame> fd;
  for (uint32_t i = 0; i < 5; ++i) fd.push_back(gw.MakeFrame(1, 0x200 + i, std::vector<uint8_t>(12, 7), true));
  ASSERT_TRUE(gw.SendCanFdFrames(fd));
  ASSERT_TRUE(gw.SendErrorFrame(0, 0xE4, 0, 0, 0));
  ASSERT_TRUE(gw.SendMarker(1, 42));
  ASSERT_TRUE(gw.SendGps({sim::GpsFix{}}));
  ASSERT_TRUE(link->Sync());

  const VELA_STATS s = Stats(*link);
  EXPECT_EQ(s.packets_can, 4u);  // two of frames, the error frame, the marker
  EXPECT_EQ(s.packets_canfd, 1u);
  EXPECT_EQ(s.packets_gps, 1u);
  EXPECT_EQ(s.packets_command, 1u);  // the barrier's request
  EXPECT_EQ(s.channel[0].frames_can, 35u);
  EXPECT_EQ(s.channel[1].frames_can, 35u);
  EXPECT_EQ(s.channel[1].frames_canfd, 5u);
  EXPECT_EQ(s.channel[0].error_frames, 1u);
  EXPECT_EQ(s.channel[1].error_frames, 0u);
  EXPECT_EQ(s.channel[0].dropped_can + s.channel[1].dropped_can + s.dropped_gps, 0u);
  EXPECT_EQ(s.bytes_skipped, 0u);
  EXPECT_EQ(s.bad_checksums, 0u);
  EXPECT_NE(s.last_frame_time, 0u);
  EXPECT_EQ(s.requests_sent, 0u);

  // Every byte is counted: one barrier's worth, then a full packet and a barrier.
  ASSERT_TRUE(link->Sync());
  const uint64_t barrier = Stats(*link).bytes_received - s.bytes_received;
  ASSERT_TRUE(gw.SendCanFrames(std::vector<sim::WireFrame>(60, gw.MakeFrame(0, 0x1, {}))));
  ASSERT_TRUE(link->Sync());
  EXPECT_EQ(Stats(*link).bytes_received - s.bytes_received, barrier + kCanPacket + barrier);

  // A shorter record is filled as far as it goes; one without room for its size is refused.
  struct {
    uint32_t size;
    uint32_t channels;
    uint64_t packets_can;
    uint64_t guard;
  } part{16, 0, 0, 0xAAAA};
  EXPECT_EQ(link->Get(0, VELA_REF_STATS, &part), 1u);
  EXPECT_EQ(part.size, 16u);
  EXPECT_EQ(part.packets_can, 5u);
  EXPECT_EQ(part.guard, 0xAAAAu);
  uint32_t tiny = 3;
  EXPECT_EQ(link->Get(0, VELA_REF_STATS, &tiny), 0u);
  EXPECT_EQ(link->Get(0, VELA_REF_STATS, nullptr), 0u);
}

TEST(Stats, CountsTheBytesOfAJunkPrefixAsSkipped) {
  auto link = StartedLink(LinkKind::kTcpClient);
  sim::Gateway& gw = link->gw();
  // No start byte among the junk: every one of its bytes is skipped.
  std::vector<uint8_t> junk(37);
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(0x10 + i);
  ASSERT_TRUE(gw.SendRaw(junk));
  // A start byte with a valid header whose checksum is wrong: one bad checksum.
  std::vector<uint8_t> bad = {0x55, 0x00, 0x00, 0x00, 0x00, 0x00, 0x99};
  ASSERT_TRUE(gw.SendRaw(bad));
  ASSERT_TRUE(gw.SendCanFrames({gw.MakeFrame(0, 0x123, {1})}));
  ASSERT_TRUE(link->Sync());
  const VELA_STATS s = Stats(*link);
  EXPECT_EQ(s.bytes_skipped, junk.size() + bad.size());
  EXPECT_EQ(s.bad_checksums, 1u);
  EXPECT_EQ(s.packets_can, 1u);
  EXPECT_EQ(s.channel[0].frames_can, 1u);
}

TEST(Stats, CountsATimedOutRequestAndItsLateAnswer) {
  auto link = StartedLink(LinkKind::kTcpClient);
  sim::AnswerScript late;
  late.delay_ms = 1800;  // beyond the driver's 1.5 s wait
  late.uses = 1;
  link->gw().ScriptAnswer(1, late);
  VELA_DEVICE_INFO info{};
  EXPECT_EQ(link->lib().GetDeviceInf(link->handle(), &info), 0u);
  VELA_STATS s = Stats(*link);
  EXPECT_EQ(s.requests_sent, 1u);
  EXPECT_EQ(s.requests_timed_out, 1u);
  EXPECT_EQ(s.requests_answered, 0u);
  ASSERT_TRUE(Eventually([&] { return Stats(*link).late_answers == 1; }, 3000));
  EXPECT_EQ(link->lib().GetDeviceInf(link->handle(), &info), 1u);
  s = Stats(*link);
  EXPECT_EQ(s.requests_sent, 2u);
  EXPECT_EQ(s.requests_answered, 1u);
}

TEST(Stats, CountsConnectionsAndDatagramsOfForeignSenders) {
  auto tcp = StartedLink(LinkKind::kTcpClient);
  tcp->gw().DropConnections();
  ASSERT_TRUE(Eventually([&] { return Stats(*tcp).connections_made == 2; }, 5000));
  EXPECT_EQ(Stats(*tcp).connections_lost, 1u);

  auto udp = StartedLink(LinkKind::kUdp, VELA_TYPE_LINK_2CH_UDP);
  uint32_t port = 0;
  ASSERT_EQ(udp->Get(0, VELA_REF_LOCAL_PORT, &port), 1u);
  // A second gateway on another port: not the one the device talks to.
  sim::GatewayConfig c;
  c.mode = sim::LinkMode::kUdp;
  c.echo = false;
  sim::Gateway stranger(c);
  ASSERT_TRUE(stranger.Start());
  stranger.SetRemote("127.0.0.1", static_cast<uint16_t>(port));
  ASSERT_TRUE(stranger.SendCanFrames({stranger.MakeFrame(0, 0x7, {1})}));
  ASSERT_TRUE(udp->gw().SendCanFrames({udp->gw().MakeFrame(0, 0x8, {2})}));
  ASSERT_TRUE(Eventually([&] { return Stats(*udp).channel[0].frames_can == 1; }));
  ASSERT_TRUE(Eventually([&] { return Stats(*udp).datagrams_foreign == 1; }));
  EXPECT_EQ(Stats(*udp).packets_can, 1u);
}

}  // namespace
}  // namespace tarnlink::test
