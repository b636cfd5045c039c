#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

namespace tarnlink {

uint64_t NowTicks() {
  using namespace std::chrono;
  const auto since_epoch = system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(duration_cast<nanoseconds>(since_epoch).count() / 100);
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void RaiseTimerResolution() {}
void RestoreTimerResolution() {}
void DisableThreadNotifications() {}
void KeepLibraryLoaded() {}

bool UtcBreakdown(uint64_t seconds, std::tm* out) {
  if (seconds > static_cast<uint64_t>(LLONG_MAX)) return false;
  const auto t = static_cast<std::time_t>(seconds);
  return gmtime_r(&t, out) != nullptr;
}

}  // namespace tarnlink
