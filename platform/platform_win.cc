// windows.h first, then what builds on it.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include "platform/platform.h"

#include <climits>

namespace tarnlink {

// The default scheduler tick is 15.6 ms: 1 ms makes the 10 ms wait steps and
// the timed sends as fine as on Linux.
void RaiseTimerResolution() { timeBeginPeriod(1); }
void RestoreTimerResolution() { timeEndPeriod(1); }

namespace {

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

}  // namespace

// Runs while the library is attached: its threads need no attach and detach
// calls, which would otherwise take the loader lock on every thread start.
void DisableThreadNotifications() {
  if (HMODULE module = ThisModule()) DisableThreadLibraryCalls(module);
}

void KeepLibraryLoaded() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
}

bool UtcBreakdown(uint64_t seconds, std::tm* out) {
  if (seconds > static_cast<uint64_t>(LLONG_MAX)) return false;
  const auto t = static_cast<std::time_t>(seconds);
  return gmtime_s(out, &t) == 0;
}

}  // namespace tarnlink
