// The bridge's buffer while no broker is there: bounded, the oldest batches
// dropped and counted, and a stop that does not wait for the broker.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/eventually.h"
#include "tests/support/loopback.h"
#include "tools/serve/mqtt_bridge.h"

namespace tarnlink::serve {
namespace {

TEST(MqttBridgeBuffer, WithoutABrokerTheOldestBatchesGoAndAreCounted) {
  MqttOptions o;
  std::string error;
  // A port nobody listens on: the client keeps trying in the background.
  ASSERT_TRUE(ParseMqttUrl("mqtt://127.0.0.1:" + std::to_string(test::FreePort()), &o, &error)) << error;
  o.buffer_bytes = 16 * 1024;
  o.stats_seconds = 0;
  MqttBridge bridge(o);
  BridgeGateway g;
  g.name = "gw";
  g.channels = {0, 1};
  g.send = [](uint32_t, const cli::Frame&) { return true; };
  const size_t index = bridge.AddGateway(g);
  ASSERT_TRUE(bridge.Start(&error)) << error;

  std::vector<cli::Received> frames(o.batch_frames);
  for (size_t i = 0; i < frames.size(); ++i) {
    frames[i].frame.id = 0x100 + static_cast<uint32_t>(i % 0x100);
    frames[i].frame.len = 8;
    frames[i].host_time = std::chrono::system_clock::now();
  }
  // About 7 KB a batch in candump: 50 of them are far beyond 16 KB.
  constexpr size_t kBatches = 50;
  for (size_t b = 0; b < kBatches; ++b) bridge.OnFrames(index, 0, frames.data(), frames.size());
  ASSERT_TRUE(test::Eventually([&] { return bridge.Counters(index).batches_dropped >= kBatches - 3; }));
  const BridgeCounters c = bridge.Counters(index);
  EXPECT_LE(c.bytes_buffered, o.buffer_bytes);
  EXPECT_EQ(c.frames_dropped, c.batches_dropped * o.batch_frames);
  EXPECT_EQ(c.batches_published, 0u);
  EXPECT_TRUE(bridge.Fatal().empty());

  const auto t0 = std::chrono::steady_clock::now();
  bridge.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

}  // namespace
}  // namespace tarnlink::serve
