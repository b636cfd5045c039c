// Request keys under load: an answer goes to the request it answers, never to
// another that holds its key, with a slow gateway and many threads asking.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/device_link.h"

namespace tarnlink::test {
namespace {

constexpr uint8_t kDeviceInfo = 1;
constexpr uint8_t kSizeRemain = 4;

VELA_STATS Stats(DeviceLink& link) {
  VELA_STATS s{};
  s.size = sizeof s;
  EXPECT_EQ(link.Get(0, VELA_REF_STATS, &s), 1u);
  return s;
}

sim::AnswerScript AnswerOnceAfter(int delay_ms) {
  sim::AnswerScript s;
  s.delay_ms = delay_ms;
  s.uses = 1;
  return s;
}

// Threads asking device query 2 ("fast") until stopped: calls, failures, and
// successes that carried another request's answer.
class Pollers {
 public:
  Pollers(DeviceLink& link, int threads) {
    for (int i = 0; i < threads; ++i) {
      threads_.emplace_back([this, &link] {
        while (!stop_.load()) {
          char text[256] = {};
          VELA_TEXT_READ read{text, sizeof text - 1, 0};
          ++calls;
          if (link.Get(0, VELA_REF_DEVICE_QUERY_2, &read) != 1) {
            ++failed;
          } else if (std::string(text) != "fast") {
            ++wrong;
          }
        }
      });
    }
  }
  ~Pollers() { Join(); }
  Pollers(const Pollers&) = delete;
  Pollers& operator=(const Pollers&) = delete;
  void Join() {
    stop_ = true;
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }
  std::atomic<uint64_t> calls{0};
  std::atomic<uint64_t> failed{0};
  std::atomic<uint64_t> wrong{0};

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

// One request answered after 1.2 s (inside its 1.5 s) while 1 or 64 threads
// keep asking: hundreds of requests pass while it waits.
TEST(RequestKeys, ASlowAnswerReachesItsOwnRequestWhileOthersPoll) {
  for (int threads : {1, 64}) {
    SCOPED_TRACE(threads);
    auto link = StartedLink(LinkKind::kTcpClient);
    sim::DeviceIdentity slow_identity;
    slow_identity.model = "slow";
    link->gw().SetIdentity(slow_identity);
    link->gw().SetQueryText(2, "fast");
    link->gw().ScriptAnswer(kDeviceInfo, AnswerOnceAfter(1200));

    std::atomic<uint32_t> slow_result{99};
    VELA_DEVICE_INFO info{};
    std::thread slow([&] { slow_result = link->lib().GetDeviceInf(link->handle(), &info); });
    // The slow request holds its key before the others start.
    ASSERT_TRUE(link->gw().WaitForPackets(sim::kTypeCommand, 1, milliseconds(3000)));
    Pollers pollers(*link, threads);
    slow.join();
    pollers.Join();

    EXPECT_EQ(slow_result.load(), 1u);
    EXPECT_EQ(std::string(info.model, strnlen(info.model, sizeof info.model)), "slow");
    EXPECT_EQ(pollers.wrong.load(), 0u);
    EXPECT_GT(pollers.calls.load(), 0u);
    // Every call was sent or refused; a poller failed only for want of a key
    // or by its time-out.
    const VELA_STATS s = Stats(*link);
    EXPECT_EQ(s.send_failures, 0u);
    EXPECT_EQ(s.requests_sent, s.requests_answered + s.requests_timed_out);
    EXPECT_EQ(pollers.calls.load() + 1, s.requests_sent + s.requests_refused);
    EXPECT_EQ(pollers.failed.load(), s.requests_refused + s.requests_timed_out);
  }
}

// A request that timed out is answered later, while a newer request is
// pending: the newer one gets its own answer, the late one is dropped.
TEST(RequestKeys, ALateAnswerDoesNotCompleteANewerRequest) {
  auto link = StartedLink(LinkKind::kTcpClient);
  link->gw().SetQueryText(2, "fast");
  link->gw().SetSizeRemain(100, 42);
  link->gw().ScriptAnswer(kDeviceInfo, AnswerOnceAfter(2500));
  VELA_DEVICE_INFO info{};
  EXPECT_EQ(link->lib().GetDeviceInf(link->handle(), &info), 0u);
  // Through a whole cycle of 256 keys, then a request that stays pending
  // across the moment the late answer comes.
  for (int i = 0; i < 255; ++i) {
    char text[16] = {};
    VELA_TEXT_READ read{text, sizeof text - 1, 0};
    ASSERT_EQ(link->Get(0, VELA_REF_DEVICE_QUERY_2, &read), 1u) << i;
    ASSERT_STREQ(text, "fast");
  }
  link->gw().ScriptAnswer(kSizeRemain, AnswerOnceAfter(1200));
  uint32_t remain = 0xDEAD;
  EXPECT_EQ(link->Get(0, VELA_REF_SIZE_REMAIN, &remain), 1u);
  EXPECT_EQ(remain, 42u);
  EXPECT_TRUE(Eventually([&] { return Stats(*link).late_answers >= 1; }, 3000));
  const VELA_STATS s = Stats(*link);
  EXPECT_EQ(s.requests_timed_out, 1u);
  EXPECT_EQ(s.requests_answered, 256u);
}

}  // namespace
}  // namespace tarnlink::test
