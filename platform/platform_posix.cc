#include "platform/platform.h"

#include <climits>

namespace tarnlink {

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
