// FIFO with its own mutex and an element limit; a full queue drops its oldest.
#ifndef TARNLINK_DEVICE_BOUNDED_QUEUE_H_
#define TARNLINK_DEVICE_BOUNDED_QUEUE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include "platform/thread_annotations.h"

namespace tarnlink {

constexpr uint32_t kQueueLimit = 1000000;

template <typename T>
class BoundedQueue {
 public:
  using value_type = T;

  explicit BoundedQueue(uint32_t limit = kQueueLimit) : limit_(limit) {}
  BoundedQueue(const BoundedQueue&) = delete;
  BoundedQueue& operator=(const BoundedQueue&) = delete;

  void Push(T value) {
    bool wake = false;
    {
      MutexLock lock(mu_);
      if (limit_ != 0 && items_.size() >= limit_) {
        items_.pop_front();
        Add(dropped_, 1);
      }
      items_.push_back(std::move(value));
      Add(pushed_, 1);
      size_.store(items_.size(), std::memory_order_release);
      wake = waiters_ > 0;
    }
    // Only a reader that waits costs a wake-up; a busy stream pays nothing.
    if (wake) nonempty_.notify_all();
  }

  // Appends n elements moved from items under one lock, each making room as
  // Push does, so the queue ends as n single pushes would leave it.
  void PushBatch(T* items, size_t n) {
    if (n == 0) return;
    bool wake = false;
    {
      MutexLock lock(mu_);
      size_t dropped = 0;
      for (size_t i = 0; i < n; ++i) {
        if (limit_ != 0 && items_.size() >= limit_) {
          items_.pop_front();
          ++dropped;
        }
        items_.push_back(std::move(items[i]));
      }
      if (dropped != 0) Add(dropped_, dropped);
      Add(pushed_, n);
      size_.store(items_.size(), std::memory_order_release);
      wake = waiters_ > 0;
    }
    if (wake) nonempty_.notify_all();
  }

  // Blocks until the queue holds an element, stop() holds, or the deadline
  // (none when null) passes. stop() is tested under the queue lock, so a
  // WakeWaiters after the condition became true is never missed.
  template <typename Stop>
  void WaitUntil(const std::chrono::steady_clock::time_point* deadline, Stop stop) {
    MutexLock lock(mu_);
    if (!items_.empty() || stop()) return;
    ++waiters_;
    while (items_.empty() && !stop()) {
      if (deadline == nullptr) {
        nonempty_.wait(lock.native());
      } else if (nonempty_.wait_until(lock.native(), *deadline) == std::cv_status::timeout) {
        break;
      }
    }
    --waiters_;
  }

  // Makes every waiter look at its stop condition again.
  void WakeWaiters() {
    { MutexLock lock(mu_); }
    nonempty_.notify_all();
  }

  // Copies the first element into *out; false when empty.
  bool Front(T* out) const {
    MutexLock lock(mu_);
    if (items_.empty()) return false;
    *out = items_.front();
    return true;
  }

  void Pop() {
    MutexLock lock(mu_);
    if (items_.empty()) return;
    items_.pop_front();
    size_.store(items_.size(), std::memory_order_release);
  }

  // Moves up to max elements from the front to out, under one lock.
  template <typename OutIt>
  size_t PopBatch(OutIt out, size_t max) {
    MutexLock lock(mu_);
    size_t n = 0;
    while (n < max && !items_.empty()) {
      *out++ = std::move(items_.front());
      items_.pop_front();
      ++n;
    }
    size_.store(items_.size(), std::memory_order_release);
    return n;
  }

  void Clear() {
    std::deque<T> old;
    {
      MutexLock lock(mu_);
      old.swap(items_);
      size_.store(0, std::memory_order_release);
    }
    // Elements are released outside the lock: the receive thread never waits
    // for a million frees.
  }

  // Read without the mutex by waiting and counting code.
  size_t Size() const { return size_.load(std::memory_order_acquire); }
  bool Empty() const { return Size() == 0; }
  uint32_t limit() const { return limit_; }
  // Since construction: elements pushed, and the oldest ones dropped to make
  // room. Relaxed counts, for statistics; Clear resets neither.
  uint64_t pushed() const { return pushed_.load(std::memory_order_relaxed); }
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  // Written under mu_ only: a plain load and store, no locked read-modify-write.
  static void Add(std::atomic<uint64_t>& counter, uint64_t n) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }

  const uint32_t limit_;
  mutable Mutex mu_;
  std::deque<T> items_ GUARDED_BY(mu_);
  std::condition_variable nonempty_;
  uint32_t waiters_ GUARDED_BY(mu_) = 0;
  std::atomic<size_t> size_{0};
  std::atomic<uint64_t> pushed_{0};
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace tarnlink

#endif  // TARNLINK_DEVICE_BOUNDED_QUEUE_H_
