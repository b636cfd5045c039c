// The TCP library in server mode with several gateways connected: the client
// list keys, per-client reassembly and sending to every client.
#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "tests/support/device_link.h"

namespace tarnlink::test {
namespace {

constexpr uint32_t kType = VELA_TYPE_LINK_2CH_TCP;

std::unique_ptr<DeviceLink> ServerWithTwoGateways() {
  sim::GatewayConfig c;
  c.echo = false;
  c.reconnect_ms = 100;
  auto link = std::make_unique<DeviceLink>(LinkKind::kTcpServer, kType, 0, c);
  EXPECT_TRUE(link->Start(1));
  EXPECT_NE(link->AddGateway(), nullptr);
  return link;
}

TEST(ServerClientList, TwoGatewaysAreListedAndOneIsRemovedBySocket) {
  auto link = ServerWithTwoGateways();
  ASSERT_EQ(link->gateway_count(), 2u);
  EXPECT_EQ(link->ClientCount(), 2u);
  const std::set<uint32_t> ports = {link->gw(0).LocalPort(), link->gw(1).LocalPort()};
  std::set<uint32_t> listed;
  VELA_CLIENT first{};
  for (int32_t i = 0; i < 2; ++i) {
    VELA_CLIENT client{};
    client.index = i;
    ASSERT_EQ(link->Get(0, VELA_REF_CLIENT_INFO, &client), 1u);
    EXPECT_STREQ(client.ip, "127.0.0.1");
    EXPECT_NE(client.socket, 0u);
    listed.insert(client.port);
    if (client.port == link->gw(0).LocalPort()) first = client;
  }
  EXPECT_EQ(listed, ports);
  for (int32_t bad : {-1, 2, 1000}) {
    VELA_CLIENT client{};
    client.index = bad;
    EXPECT_EQ(link->Get(0, VELA_REF_CLIENT_INFO, &client), 0u) << bad;
  }
  EXPECT_EQ(link->Get(0, VELA_REF_CLIENT_INFO, nullptr), 0u);

  link->gw(0).SetReconnect(false);
  ASSERT_EQ(link->Set(0, VELA_REF_CLIENT_REMOVE, &first), 1u);
  EXPECT_EQ(link->ClientCount(), 1u);
  EXPECT_TRUE(Eventually([&] { return link->gw(0).ConnectionCount() == 0; }));
  EXPECT_EQ(link->Set(0, VELA_REF_CLIENT_REMOVE, &first), 0u);  // no client holds it any more
  VELA_CLIENT remaining{};
  remaining.index = 0;
  ASSERT_EQ(link->Get(0, VELA_REF_CLIENT_INFO, &remaining), 1u);
  EXPECT_EQ(remaining.port, link->gw(1).LocalPort());

  // Work mode 0 now: removal is refused although the server transport is still there.
  ASSERT_TRUE(link->lib().SetU32(kType, 0, VELA_REF_WORK_MODE, 0));
  EXPECT_EQ(link->Set(0, VELA_REF_CLIENT_REMOVE, &remaining), 0u);
  EXPECT_EQ(link->ClientCount(), 1u);
  VELA_CLIENT still{};
  still.index = 0;
  EXPECT_EQ(link->Get(0, VELA_REF_CLIENT_INFO, &still), 1u);
}

TEST(ServerClientList, EachGatewayHasItsOwnReassemblyAndGetsEverySend) {
  auto link = ServerWithTwoGateways();
  ASSERT_EQ(link->gateway_count(), 2u);
  std::vector<uint8_t> a_payload;
  sim::PutFrame(a_payload, link->gw(0).MakeFrame(0, 0x51, {1}), false);
  const auto a = sim::FramePacket(sim::kTypeCan, 0, a_payload);
  std::vector<uint8_t> b_payload;
  sim::PutFrame(b_payload, link->gw(1).MakeFrame(0, 0x52, {2}), false);
  const auto b = sim::FramePacket(sim::kTypeCan, 0, b_payload);
  // Half of a packet from the first gateway, a whole one from the second, then the rest.
  ASSERT_TRUE(link->gw(0).SendRaw(std::vector<uint8_t>(a.begin(), a.begin() + 10)));
  ASSERT_TRUE(link->gw(1).SendRaw(b));
  ASSERT_TRUE(Eventually([&] { return link->lib().GetReceiveNum(link->ch(0), VELA_QUEUE_CAN) == 1; }));
  ASSERT_TRUE(link->gw(0).SendRaw(std::vector<uint8_t>(a.begin() + 10, a.end())));
  ASSERT_TRUE(Eventually([&] { return link->lib().GetReceiveNum(link->ch(0), VELA_QUEUE_CAN) == 2; }));
  const auto frames = link->Drain(0);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].id, 0x52u);
  EXPECT_EQ(frames[1].id, 0x51u);

  VELA_CAN_TRANSMIT tx{};
  tx.id = 0x66;
  tx.len = 1;
  ASSERT_EQ(link->lib().Transmit(link->ch(0), &tx, 1), 1u);
  for (size_t g = 0; g < 2; ++g) {
    ASSERT_TRUE(link->gw(g).WaitForPackets(sim::kTypeCan, 1, milliseconds(3000))) << g;
    EXPECT_EQ(link->gw(g).FramesFromHost().at(0).record.id, 0x66u);
  }
  // A request goes to both; the first answer completes it.
  VELA_DEVICE_INFO info;
  EXPECT_EQ(link->lib().GetDeviceInf(link->handle(), &info), 1u);
}

TEST(ServerClientList, DroppedGatewayLeavesTheListAndComesBack) {
  auto link = ServerWithTwoGateways();
  ASSERT_EQ(link->gateway_count(), 2u);
  link->gw(1).DropConnections();
  // The driver notices the close, then the gateway reconnects after 100 ms.
  EXPECT_TRUE(link->gw(1).WaitUntil([&] { return link->gw(1).Counters().connections >= 2; }, milliseconds(5000)));
  EXPECT_TRUE(Eventually([&] { return link->ClientCount() == 2; }, 5000));
  ASSERT_TRUE(link->gw(1).SendCanFrames({link->gw(1).MakeFrame(0, 0x77, {7})}));
  EXPECT_TRUE(Eventually([&] { return link->lib().GetReceiveNum(link->ch(0), VELA_QUEUE_CAN) == 1; }));
}

TEST(ServerClientList, ClientKeysWithoutAServerTransport) {
  for (const char* path : {TARNLINK_TCP_LIB, TARNLINK_UDP_LIB}) {
    sim::GatewayConfig c;
    DeviceLink link(path == std::string(TARNLINK_UDP_LIB) ? LinkKind::kUdp : LinkKind::kTcpClient, kType, 1, c);
    uint32_t count = 99;
    ASSERT_EQ(link.Get(0, VELA_REF_CLIENT_COUNT, &count), 1u);  // no transport at all yet
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(link.Start(1));
    count = 99;
    ASSERT_EQ(link.Get(0, VELA_REF_CLIENT_COUNT, &count), 1u);
    EXPECT_EQ(count, 0u);
    VELA_CLIENT client{};
    EXPECT_EQ(link.Get(0, VELA_REF_CLIENT_INFO, &client), 0u);
    ASSERT_TRUE(link.lib().SetU32(kType, 1, VELA_REF_WORK_MODE, 1));
    EXPECT_EQ(link.Set(0, VELA_REF_CLIENT_REMOVE, &client), 0u);
  }
}

}  // namespace
}  // namespace tarnlink::test
