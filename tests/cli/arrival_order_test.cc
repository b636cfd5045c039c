// Frames read queue after queue come out in the order the gateway sent them.
#include "tools/cli/arrival_order.h"

#include <chrono>
#include <vector>

#include "gtest/gtest.h"

namespace tarnlink::cli {
namespace {

using std::chrono::seconds;
using std::chrono::system_clock;

Received At(uint64_t stamp, system_clock::time_point host = system_clock::time_point(seconds(100))) {
  Received r;
  r.frame.id = static_cast<uint32_t>(stamp);
  r.gateway_stamp = stamp;
  r.host_time = host;
  return r;
}

std::vector<uint64_t> Stamps(const std::vector<Received>& frames) {
  std::vector<uint64_t> s;
  s.reserve(frames.size());
  for (const Received& r : frames) s.push_back(r.gateway_stamp);
  return s;
}

TEST(ArrivalOrder, FrameArrivingInAQueueAlreadyReadIsNotOvertaken) {
  // CAN frames 1-5 and 9, CAN FD frames 6-8 and 10. The CAN queue is read
  // before 9 arrives, the CAN FD queue after 10 did.
  ArrivalOrder order(2);
  std::vector<Received> out;
  for (uint64_t s : {1, 2, 3, 4, 5}) order.Add(0, At(s));
  for (uint64_t s : {6, 7, 8, 10}) order.Add(1, At(s));
  EXPECT_EQ(order.EndPass(&out), 0u) << "10 could still be preceded by a frame not read yet";
  order.Add(0, At(9));
  EXPECT_EQ(order.EndPass(&out), 10u);
  EXPECT_EQ(Stamps(out), (std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(order.held(), 0u);
}

TEST(ArrivalOrder, AFrameWaitsAtMostOnePass) {
  ArrivalOrder order(4);
  std::vector<Received> out;
  order.Add(2, At(50));
  EXPECT_EQ(order.EndPass(&out), 0u);
  order.Add(0, At(60));  // a steady stream: every pass reads something
  EXPECT_EQ(order.EndPass(&out), 1u);
  EXPECT_EQ(Stamps(out), std::vector<uint64_t>{50});
  order.Add(3, At(70));
  EXPECT_EQ(order.EndPass(&out), 1u);
  EXPECT_EQ(Stamps(out), (std::vector<uint64_t>{50, 60}));
  // A pass that reads nothing releases everything.
  EXPECT_EQ(order.EndPass(&out), 1u);
  EXPECT_EQ(Stamps(out), (std::vector<uint64_t>{50, 60, 70}));
}

TEST(ArrivalOrder, QueueOrderHoldsWhateverTheStampsDo) {
  // A gateway that restarted its clock: stamps fall back within a queue.
  ArrivalOrder order(2);
  std::vector<Received> out;
  for (uint64_t s : {900, 901, 3, 4}) order.Add(0, At(s));
  order.Add(1, At(4));
  order.Add(1, At(950));
  EXPECT_EQ(order.Flush(&out), 6u);
  // Each queue's frames stay in the order the driver gave them.
  EXPECT_EQ(Stamps(out), (std::vector<uint64_t>{4, 900, 901, 3, 4, 950}));
}

TEST(ArrivalOrder, EqualStampsGoInQueueOrder) {
  ArrivalOrder order(3);
  std::vector<Received> out;
  Received a = At(7), b = At(7), c = At(7);
  a.channel = 2;
  b.channel = 0;
  c.channel = 1;
  order.Add(2, a);
  order.Add(0, b);
  order.Add(1, c);
  order.Flush(&out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].channel, 0u);
  EXPECT_EQ(out[1].channel, 1u);
  EXPECT_EQ(out[2].channel, 2u);
}

TEST(ArrivalOrder, HostTimesNeverRunBackwards) {
  // Read later but stamped earlier: it goes first with its later host time,
  // and the frame after it is not shown as received before it.
  ArrivalOrder order(2);
  std::vector<Received> out;
  order.Add(0, At(2, system_clock::time_point(seconds(5))));
  order.EndPass(&out);
  order.Add(1, At(1, system_clock::time_point(seconds(7))));
  order.EndPass(&out);
  order.EndPass(&out);
  ASSERT_EQ(Stamps(out), (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(out[0].host_time, system_clock::time_point(seconds(7)));
  EXPECT_EQ(out[1].host_time, system_clock::time_point(seconds(7)));
}

}  // namespace
}  // namespace tarnlink::cli
