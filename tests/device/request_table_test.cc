// The request table on its own, with a short rest: which keys it hands out,
// when it refuses, and that a held key is never handed out twice.
#include "device/request_table.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tarnlink {
namespace {

using std::chrono::milliseconds;
using Clock = RequestTable::Clock;
using Exchange = std::shared_ptr<DevRequestResponse>;

Clock::time_point In(int ms) { return Clock::now() + milliseconds(ms); }

TEST(RequestTable, HandsOutEveryKeyOnceThenWaitsForOneToRest) {
  constexpr auto kRest = milliseconds(200);
  RequestTable table(kRest);
  std::vector<Exchange> held;
  std::set<int> keys;
  for (size_t i = 0; i < RequestTable::kKeys; ++i) {
    held.push_back(std::make_shared<DevRequestResponse>());
    ASSERT_EQ(table.Enter(held.back(), In(0)), RequestTable::Entry::kAtOnce) << i;
    keys.insert(held.back()->sequence << 8 | held.back()->message_id);
    EXPECT_EQ(held.back()->request.message_id, held.back()->message_id);
    EXPECT_EQ(table.Find(held.back()->sequence, held.back()->message_id), held.back());
  }
  EXPECT_EQ(keys.size(), RequestTable::kKeys);
  // The first request: sequence 1, message id 1; the ninth: 1 and 9.
  EXPECT_EQ(held[0]->sequence, 1);
  EXPECT_EQ(held[0]->message_id, 1);
  EXPECT_EQ(held[8]->sequence, 1);
  EXPECT_EQ(held[8]->message_id, 9);

  // None free: refused at the deadline.
  auto extra = std::make_shared<DevRequestResponse>();
  auto t0 = Clock::now();
  EXPECT_EQ(table.Enter(extra, In(30)), RequestTable::Entry::kRefused);
  EXPECT_GE(Clock::now() - t0, milliseconds(30));

  // A request that was never sent frees its key at once.
  table.Leave(held[4], false);
  EXPECT_EQ(table.Enter(extra, In(0)), RequestTable::Entry::kAtOnce);
  EXPECT_EQ(extra->message_id, held[4]->message_id);
  EXPECT_EQ(extra->sequence, held[4]->sequence);

  // One that was sent rests: its late answer finds nothing, and the key comes
  // back only after the rest, to a request that waited for it.
  t0 = Clock::now();
  table.Leave(held[0], true);
  table.Leave(held[0], true);  // twice: no effect
  EXPECT_EQ(table.Find(1, 1), nullptr);
  auto waiter = std::make_shared<DevRequestResponse>();
  EXPECT_EQ(table.Enter(waiter, In(2000)), RequestTable::Entry::kAfterWait);
  EXPECT_GE(Clock::now() - t0, kRest);
  EXPECT_EQ(waiter->sequence, 1);
  EXPECT_EQ(waiter->message_id, 1);

  // Cleared requests leave; their keys rest, and their own leaving is no-op.
  table.Clear();
  EXPECT_EQ(table.Find(held[1]->sequence, held[1]->message_id), nullptr);
  for (const Exchange& e : held) table.Leave(e, true);
  EXPECT_EQ(table.Enter(std::make_shared<DevRequestResponse>(), In(20)), RequestTable::Entry::kRefused);
  EXPECT_EQ(table.Enter(std::make_shared<DevRequestResponse>(), In(2000)), RequestTable::Entry::kAfterWait);
}

TEST(RequestTable, ConcurrentRequestsNeverShareAKey) {
  RequestTable table(milliseconds(1));
  std::atomic<int> wrong{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        auto e = std::make_shared<DevRequestResponse>();
        if (table.Enter(e, In(1000)) == RequestTable::Entry::kRefused) {
          ++refused;
          continue;
        }
        if (table.Find(e->sequence, e->message_id) != e) ++wrong;
        table.Leave(e, i % 2 == 0);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(refused.load(), 0);
}

}  // namespace
}  // namespace tarnlink
