// The clock and sleeps of every system: the C++ library has them.
#include <chrono>
#include <thread>

#include "platform/platform.h"

namespace tarnlink {

uint64_t NowTicks() {
  using namespace std::chrono;
  const auto since_epoch = system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(duration_cast<nanoseconds>(since_epoch).count() / 100);
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace tarnlink
