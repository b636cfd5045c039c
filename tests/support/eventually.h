// The tests' one bounded wait on a condition (where a test needs something to
// have happened, it waits for it instead of sleeping), and elapsed time.
#ifndef TARNLINK_TESTS_SUPPORT_EVENTUALLY_H_
#define TARNLINK_TESTS_SUPPORT_EVENTUALLY_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace tarnlink::test {

using Clock = std::chrono::steady_clock;

inline int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}
inline double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Polls pred every 2 ms until it holds (true) or timeout_ms pass (false).
inline bool Eventually(const std::function<bool()>& pred, int timeout_ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace tarnlink::test

#endif  // TARNLINK_TESTS_SUPPORT_EVENTUALLY_H_
