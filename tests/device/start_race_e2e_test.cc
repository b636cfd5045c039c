// Channels of one device started by several threads at once: one transport,
// one connection, whichever thread gets there first.
#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/device_link.h"

namespace tarnlink::test {
namespace {

TEST(StartRace, ChannelsStartedAtOnceShareOneConnection) {
  sim::GatewayConfig c;
  c.mode = sim::LinkMode::kTcpListen;
  c.channels = 4;
  sim::Gateway gw(c);
  ASSERT_TRUE(gw.Start());
  Library lib(TARNLINK_TCP_LIB);
  constexpr uint32_t kType = VELA_TYPE_LINK_4CH_TCP;
  const uint32_t dev = lib.OpenDevice(kType, 0, 0);
  ASSERT_NE(dev, 0u);
  ASSERT_EQ(lib.SetReference(kType, 0, 0, VELA_REF_REMOTE_ADDR, "127.0.0.1"), 1u);
  ASSERT_TRUE(lib.SetU32(kType, 0, VELA_REF_REMOTE_PORT, gw.LocalPort()));

  constexpr int kRounds = 40;
  constexpr uint32_t kChannels = 4;
  for (int round = 0; round < kRounds; ++round) {
    const uint64_t before = gw.Counters().connections;
    std::atomic<uint32_t> ready{0};
    std::atomic<uint32_t> started{0};
    std::vector<std::thread> threads;
    for (uint32_t ch = 0; ch < kChannels; ++ch) {
      threads.emplace_back([&, ch] {
        ready.fetch_add(1);
        while (ready.load() < kChannels) std::this_thread::yield();
        if (lib.StartCAN(dev | ch) == 1) started.fetch_add(1);
      });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(started.load(), kChannels) << "round " << round;
    ASSERT_TRUE(gw.WaitConnections(1, milliseconds(3000))) << "round " << round;
    // A second transport would have connected too before it was dropped.
    EXPECT_EQ(gw.Counters().connections - before, 1u) << "round " << round;
    for (uint32_t ch = 0; ch < kChannels; ++ch) EXPECT_EQ(lib.ResetCAN(dev | ch), 1u);
    ASSERT_TRUE(Eventually([&] { return gw.ConnectionCount() == 0; })) << "round " << round;
  }
  lib.CloseDevice(dev);
}

}  // namespace
}  // namespace tarnlink::test
