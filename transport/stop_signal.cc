#include "transport/stop_signal.h"

#include <chrono>

#include "transport/socket.h"

namespace tarnlink {

StopSignal::StopSignal() : fd_(OpenWake()) {}

StopSignal::~StopSignal() { CloseWake(fd_); }

void StopSignal::Set() {
  {
    MutexLock lock(mutex_);
    if (set_.load(std::memory_order_relaxed)) return;
    set_.store(true, std::memory_order_release);
    SignalWake(fd_);
  }
  cv_.notify_all();
}

void StopSignal::Clear() {
  MutexLock lock(mutex_);
  set_.store(false, std::memory_order_release);
  DrainWake(fd_);
}

bool StopSignal::WaitFor(int ms) {
  MutexLock lock(mutex_);
  return cv_.wait_for(lock.native(), std::chrono::milliseconds(ms),
                      [this] { return set_.load(std::memory_order_acquire); });
}

}  // namespace tarnlink
