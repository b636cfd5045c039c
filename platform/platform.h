// What the design expects of the operating system, in one small layer.
#ifndef TARNLINK_PLATFORM_PLATFORM_H_
#define TARNLINK_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <ctime>

namespace tarnlink {

// System clock in 100-ns units since 1970-01-01 UTC.
uint64_t NowTicks();
// Milliseconds between two tick counts, as a signed value.
inline int64_t TicksToMs(uint64_t later, uint64_t earlier) { return static_cast<int64_t>(later - earlier) / 10000; }

void SleepMs(uint32_t ms);

// Timer-resolution and thread-notification hooks: Linux timers and sleeps
// are already fine-grained and a shared object gets no per-thread calls;
// Windows raises the multimedia timer to 1 ms and turns off the DLL's
// per-thread attach and detach calls.
void RaiseTimerResolution();
void RestoreTimerResolution();
void DisableThreadNotifications();
// Keeps this library loaded until the process exits, once it has devices:
// a Windows DLL cannot join its threads inside the loader's detach call,
// so it must not be unloaded under them. Linux joins them at dlclose.
void KeepLibraryLoaded();

// UTC breakdown of seconds since 1970; false when it cannot be represented.
bool UtcBreakdown(uint64_t seconds, std::tm* out);

}  // namespace tarnlink

#endif  // TARNLINK_PLATFORM_PLATFORM_H_
