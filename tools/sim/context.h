// What every part of the simulated gateway shares: the configuration (fixed
// once the gateway is made), the clock, the log and the counters. Each part
// keeps its own state under its own lock; this holds only what needs none or
// brings its own.
#ifndef TARNLINK_TOOLS_SIM_CONTEXT_H_
#define TARNLINK_TOOLS_SIM_CONTEXT_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tools/sim/gateway.h"

namespace tarnlink::sim {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxChannels = 32;
constexpr int64_t kAutoSendSlots = 32;  // timed-entry indexes of a channel

// Only the bits a bus carries back: FD, remote, extended, bit-rate switch.
constexpr uint16_t kBusFlags = kWireFd | kWireRemote | kWireExtended | kWireBrs;

// printf-style checking of the formats the C library actually takes.
#if defined(__MINGW_PRINTF_FORMAT)
#define TARNLINK_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define TARNLINK_PRINTF_FORMAT printf
#endif
std::string Format(const char* fmt, ...) __attribute__((format(TARNLINK_PRINTF_FORMAT, 1, 2)));
const char* TypeName(uint8_t type);

// The log sink, under a lock of its own; called outside it.
class Logger {
 public:
  void Set(Gateway::LogSink sink);
  void operator()(const std::string& line) const;
  bool enabled() const;

 private:
  mutable std::mutex mu_;
  Gateway::LogSink sink_;
};

struct AtomicCounters {
  std::atomic<uint64_t> frames_in{0}, frames_out{0}, frames_dropped{0}, packets_in{0}, packets_out{0}, bad_bytes{0},
      commands_answered{0}, notices_acked{0}, autosend_frames{0}, connections{0};
  GatewayCounters Load() const;
  void Reset();
};

struct Context {
  explicit Context(GatewayConfig config);

  // Microseconds since the last Start.
  uint64_t NowMicros() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - epoch.load()).count());
  }

  const GatewayConfig cfg;  // channels clamped to 1..kMaxChannels
  std::atomic<Clock::time_point> epoch{Clock::now()};
  Logger log;
  AtomicCounters counters;
};

}  // namespace tarnlink::sim

#endif  // TARNLINK_TOOLS_SIM_CONTEXT_H_
