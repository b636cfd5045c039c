// The hub with two named gateways (two simulators): bus names, frames of
// each handed to a consumer in order, sends through the right driver
// session, and the index clash refused.
#include "tools/serve/hub.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/cli/process.h"
#include "tests/support/eventually.h"

namespace tarnlink::serve {
namespace {

using std::chrono::milliseconds;

struct Sim {
  Sim() : p({TARNLINK_CLI_TOOL, "sim", "--listen", "0", "--echo", "-v"}) {
    p.WaitForOutput([](const std::string& s) { return s.find("channels,") != std::string::npos; }, milliseconds(10000));
    const size_t at = p.out().find("127.0.0.1:");
    if (at != std::string::npos) port = static_cast<uint16_t>(std::atoi(p.out().c_str() + at + 10));
  }
  // A driver's connect is done before the simulator has taken the
  // connection; a frame typed before that would reach nobody.
  bool Connected() {
    return p.WaitForOutput([](const std::string& s) { return s.find("sim: connected") != std::string::npos; },
                           milliseconds(10000));
  }
  ~Sim() {
    p.Signal(SIGTERM);
    p.Wait(milliseconds(5000));
  }
  test::Process p;
  uint16_t port = 0;
};

class Collect : public FrameConsumer {
 public:
  void OnFrames(const Gateway& g, uint32_t channel, const Received* frames, size_t count) override {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = 0; i < count; ++i) {
      EXPECT_EQ(frames[i].channel, channel);
      seen_.push_back(g.BusName(channel) + " " + cli::LogText(frames[i].frame));
    }
  }
  std::vector<std::string> seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> seen_;
};

cli::ConnectOptions Options(uint16_t port, uint32_t index) {
  cli::ConnectOptions o;
  o.port = port;
  o.index = index;
  o.lib = TARNLINK_TCP_LIB;
  return o;
}

TEST(Hub, NamedGatewaysDeliverAndSendThroughTheirOwnSessions) {
  Sim a;
  Sim b;
  ASSERT_NE(a.port, 0);
  ASSERT_NE(b.port, 0);
  Hub hub;
  std::string error;
  ASSERT_TRUE(hub.AddGateway("engine", Options(a.port, 0), {}, &error)) << error;
  ASSERT_TRUE(hub.AddGateway("body", Options(b.port, 1), {1}, &error)) << error;
  EXPECT_FALSE(hub.AddGateway("again", Options(b.port, 1), {}, &error));
  EXPECT_NE(error.find("--index"), std::string::npos) << error;
  EXPECT_FALSE(hub.AddGateway("engine", Options(b.port, 2), {}, &error));
  EXPECT_FALSE(hub.AddGateway("a.b", Options(b.port, 3), {}, &error));
  EXPECT_FALSE(Hub::ValidGatewayName("twelve_chars"));
  EXPECT_EQ(hub.BusNames(), (std::vector<std::string>{"engine.ch0", "engine.ch1", "body.ch1"}));
  uint32_t channel = 9;
  const Gateway* body = hub.FindBus("body.ch1", &channel);
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(channel, 1u);
  EXPECT_EQ(hub.FindBus("body.ch0", &channel), nullptr);

  Collect collect;
  hub.AddConsumer(&collect);
  hub.Start();
  ASSERT_TRUE(a.Connected());
  ASSERT_TRUE(b.Connected());
  a.p.WriteStdin("frame 0 123#01\nframe 1 456#02\nframe 0 124#03\n");
  b.p.WriteStdin("frame 1 12345678#04\nframe 0 777#05\n");  // body serves ch1 only
  cli::Frame f;
  ASSERT_TRUE(cli::ParseFrame("7FF#AABB", &f, &error));
  ASSERT_TRUE(body->Send(1, f));
  EXPECT_FALSE(body->Send(0, f));
  ASSERT_TRUE(test::Eventually([&] { return collect.seen().size() >= 5; }));
  std::vector<std::string> engine;
  std::vector<std::string> other;
  for (const std::string& s : collect.seen()) (s.rfind("engine.", 0) == 0 ? engine : other).push_back(s);
  EXPECT_EQ(engine, (std::vector<std::string>{"engine.ch0 123#01", "engine.ch1 456#02", "engine.ch0 124#03"}));
  // The injected frame and the echo of the send race each other.
  std::sort(other.begin(), other.end());
  EXPECT_EQ(other, (std::vector<std::string>{"body.ch1 12345678#04", "body.ch1 7FF#AABB"}));
  EXPECT_EQ(body->traffic(1).tx_frames.load(), 1u);
  EXPECT_EQ(body->traffic(1).rx_frames.load(), 2u);
  hub.Stop();
}

}  // namespace
}  // namespace tarnlink::serve
