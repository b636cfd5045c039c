// The stop flag shared by a transport and its threads.
#ifndef TARNLINK_TRANSPORT_STOP_SIGNAL_H_
#define TARNLINK_TRANSPORT_STOP_SIGNAL_H_

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace tarnlink {

// Set by Stop, cleared by Start while no thread runs. Set wakes every WaitFor
// at once and makes fd() readable, so a poll on a socket (a connect in
// progress) wakes as well.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void Set();
  // Only while no thread waits on it.
  void Clear();
  bool IsSet() const { return set_.load(std::memory_order_acquire); }
  // Waits up to ms; true when the flag is set.
  bool WaitFor(int ms);
  // Readable while set; -1 when no descriptor could be made (then a
  // connect wait simply runs to its time-out).
  int fd() const { return fd_; }

 private:
  std::atomic<bool> set_{false};
  Mutex mutex_;
  std::condition_variable cv_;
  int fd_ = -1;
};

}  // namespace tarnlink

#endif  // TARNLINK_TRANSPORT_STOP_SIGNAL_H_
