// What a transport counts, read by the device for its statistics.
#ifndef TARNLINK_TRANSPORT_LINK_COUNTERS_H_
#define TARNLINK_TRANSPORT_LINK_COUNTERS_H_

#include <atomic>
#include <cstdint>

namespace tarnlink {

// Relaxed atomics: each counter stands alone, readers only want its value.
struct LinkCounters {
  std::atomic<uint64_t> connections_made{0};
  std::atomic<uint64_t> connections_lost{0};
  std::atomic<uint64_t> send_failures{0};
  std::atomic<uint64_t> send_timeouts{0};
  std::atomic<uint64_t> datagrams_foreign{0};  // from a sender that is not the gateway
  std::atomic<uint64_t> datagrams_own{0};      // our own, looped back by multicast
};

inline void Count(std::atomic<uint64_t>& counter, uint64_t n = 1) { counter.fetch_add(n, std::memory_order_relaxed); }

}  // namespace tarnlink

#endif  // TARNLINK_TRANSPORT_LINK_COUNTERS_H_
