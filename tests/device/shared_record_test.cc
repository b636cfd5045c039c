// Pooled shared records: made on one thread, released on others, and the
// node back in its pool exactly once.
#include "device/shared_record.h"

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device/bounded_queue.h"

namespace tarnlink {
namespace {

struct Rec {
  uint64_t seq;
  uint8_t bytes[16];
};

Rec MakeRec(uint64_t seq) {
  Rec r{};
  r.seq = seq;
  for (size_t i = 0; i < sizeof r.bytes; ++i) r.bytes[i] = static_cast<uint8_t>(seq + i);
  return r;
}

bool Intact(const Rec& r, uint64_t seq) {
  if (r.seq != seq) return false;
  for (size_t i = 0; i < sizeof r.bytes; ++i) {
    if (r.bytes[i] != static_cast<uint8_t>(seq + i)) return false;
  }
  return true;
}

TEST(SharedRecord, CopiesShareOneNodeAndTheLastReleaseReturnsIt) {
  RecordPool<Rec> pool;
  auto a = SharedRecord<Rec>::Make(pool, MakeRec(7));
  SharedRecord<Rec> b = a;
  EXPECT_EQ(a.get(), b.get());
  a.reset();
  ASSERT_TRUE(b);
  EXPECT_TRUE(Intact(*b, 7)) << "a copy still holds the record";
  b.reset();
  EXPECT_FALSE(b);
  // A steady make-and-release reuses what was returned: one slab, ever.
  for (uint64_t i = 0; i < 100000; ++i) {
    auto r = SharedRecord<Rec>::MakeWith(pool, [i] { return MakeRec(i); });
    ASSERT_TRUE(Intact(*r, i));
  }
  EXPECT_EQ(pool.capacity(), 1024u);
}

TEST(SharedRecord, MadeOnOneThreadReleasedOnAnotherArriveIntactAndAreReused) {
  RecordPool<Rec> pool;
  BoundedQueue<SharedRecord<Rec>> queue;
  constexpr uint64_t kCount = 300000;
  constexpr size_t kInFlight = 4096;
  std::atomic<bool> ok{true};
  std::thread reader([&] {
    uint64_t expect = 0;
    SharedRecord<Rec> taken[256];
    while (expect < kCount) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      queue.WaitUntil(&deadline, [] { return false; });
      const size_t n = queue.PopBatch(taken, 256);
      if (n == 0 && std::chrono::steady_clock::now() >= deadline) break;
      for (size_t i = 0; i < n; ++i, ++expect) {
        if (!Intact(*taken[i], expect)) ok = false;
        taken[i].reset();  // back to the pool from this thread
      }
    }
    if (expect != kCount) ok = false;
  });
  for (uint64_t i = 0; i < kCount; ++i) {
    while (queue.Size() >= kInFlight) std::this_thread::yield();
    queue.Push(SharedRecord<Rec>::Make(pool, MakeRec(i)));
  }
  reader.join();
  EXPECT_TRUE(ok.load());
  // Bounded by what was in flight, not by what went through.
  EXPECT_LE(pool.capacity(), 8 * 1024u);
}

TEST(SharedRecord, CopiesReleasedByManyThreadsAtOnceReturnTheNodeOnce) {
  RecordPool<Rec> pool;
  constexpr int kThreads = 4;
  constexpr uint64_t kRounds = 2000;
  for (uint64_t round = 0; round < kRounds; ++round) {
    auto original = SharedRecord<Rec>::Make(pool, MakeRec(round));
    std::vector<SharedRecord<Rec>> copies(kThreads, original);
    original.reset();
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&copies, t] { copies[t].reset(); });
    for (auto& t : threads) t.join();
  }
  // A node returned twice would be handed out twice.
  std::vector<SharedRecord<Rec>> held;
  std::set<const Rec*> distinct;
  for (uint64_t i = 0; i < 3000; ++i) {
    held.push_back(SharedRecord<Rec>::Make(pool, MakeRec(i)));
    distinct.insert(held.back().get());
  }
  EXPECT_EQ(distinct.size(), held.size());
  for (uint64_t i = 0; i < held.size(); ++i) EXPECT_TRUE(Intact(*held[i], i));
}

// Trim gives back only wholly free slabs beyond the reserve; records still
// held (and released on another thread meanwhile) keep theirs intact.
TEST(SharedRecord, TrimKeepsHeldRecordsAndTheReserve) {
  RecordPool<Rec> pool;
  std::vector<SharedRecord<Rec>> held;
  for (uint64_t i = 0; i < 5000; ++i) held.push_back(SharedRecord<Rec>::Make(pool, MakeRec(i)));
  ASSERT_EQ(pool.capacity(), 5u * 1024);
  SharedRecord<Rec> kept = held[4500];  // the fifth slab stays in use
  std::thread releaser([&] { held.clear(); });
  releaser.join();
  EXPECT_EQ(pool.Trim(1), 3u);  // of four wholly free slabs, one stays as the reserve
  EXPECT_EQ(pool.capacity(), 2u * 1024);
  EXPECT_TRUE(Intact(*kept, 4500));
  // The free nodes left are handed out again, then the pool grows anew.
  for (uint64_t i = 0; i < 3000; ++i) held.push_back(SharedRecord<Rec>::Make(pool, MakeRec(i)));
  for (uint64_t i = 0; i < 3000; ++i) ASSERT_TRUE(Intact(*held[i], i));
  EXPECT_EQ(pool.capacity(), 3u * 1024);
  held.clear();
  kept.reset();
  EXPECT_EQ(pool.Trim(0), 3u);
  EXPECT_EQ(pool.capacity(), 0u);
  EXPECT_TRUE(Intact(*SharedRecord<Rec>::Make(pool, MakeRec(9)), 9));
}

#if defined(TARNLINK_POOL_ASAN)
TEST(SharedRecordDeathTest, ReadingARecordAfterItsReleaseIsReported) {
  RecordPool<Rec> pool;
  auto r = SharedRecord<Rec>::Make(pool, MakeRec(3));
  const Rec* dangling = r.get();
  r.reset();
  EXPECT_DEATH(
      {
        volatile uint8_t b = dangling->bytes[4];
        (void)b;
      },
      "use-after-poison");
}
#endif

}  // namespace
}  // namespace tarnlink
