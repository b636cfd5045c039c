#include "transport/stop_signal.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <sys/eventfd.h>

namespace tarnlink {

StopSignal::StopSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
  if (fd_ >= 0) close(fd_);
}

void StopSignal::Set() {
  {
    MutexLock lock(mutex_);
    if (set_.load(std::memory_order_relaxed)) return;
    set_.store(true, std::memory_order_release);
    if (fd_ >= 0) {
      const uint64_t one = 1;
      ssize_t n;
      do {
        n = write(fd_, &one, sizeof(one));
      } while (n < 0 && errno == EINTR);
    }
  }
  cv_.notify_all();
}

void StopSignal::Clear() {
  MutexLock lock(mutex_);
  set_.store(false, std::memory_order_release);
  if (fd_ >= 0) {
    uint64_t count;
    ssize_t n;
    do {
      n = read(fd_, &count, sizeof(count));
    } while (n < 0 && errno == EINTR);
  }
}

bool StopSignal::WaitFor(int ms) {
  MutexLock lock(mutex_);
  return cv_.wait_for(lock.native(), std::chrono::milliseconds(ms),
                      [this] { return set_.load(std::memory_order_acquire); });
}

}  // namespace tarnlink
