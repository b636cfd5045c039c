// The host side of timed sends: each channel's list as the application
// builds it, and the read-back cache that keys 31-34 answer from.
#ifndef TARNLINK_DEVICE_AUTOSEND_LISTS_H_
#define TARNLINK_DEVICE_AUTOSEND_LISTS_H_

#include <array>
#include <cstdint>
#include <vector>

#include "platform/thread_annotations.h"
#include "protocol/records.h"
#include "tarnlink/tarnlink.h"

namespace tarnlink {

constexpr uint32_t kAutoSendChannels = 32;
constexpr int64_t kAutoSendCacheMs = 1500;

class AutoSendLists {
 public:
  // Lists: one channel's list is used from one thread at a time (the
  // application's), so they take no lock. channel < kAutoSendChannels.
  // Replaces the element of the same index, or appends.
  void Add(uint32_t channel, const VELA_CAN_AUTOSEND& object);
  void Add(uint32_t channel, const VELA_CANFD_AUTOSEND& object);
  const std::vector<AutoSendElement>& list(uint32_t channel) const { return lists_[channel]; }
  // Every element disabled, as a stop sends them.
  void DisableAll(uint32_t channel);
  void ClearList(uint32_t channel) { lists_[channel].clear(); }

  // Read-back cache, any thread.
  // Whether the last read-back is older than kAutoSendCacheMs.
  bool Stale(uint32_t channel) const EXCLUDES(mu_);
  // The enabled entries of a read-back, sorted into classic and FD lists.
  void Store(uint32_t channel, const std::vector<AutoSendEntry>& entries) EXCLUDES(mu_);
  // The count of one list, remembered: a copy takes no more than it said.
  uint32_t Tell(uint32_t channel, bool fd) EXCLUDES(mu_);
  // At most the told count of entries into out (an array of the kind's records).
  void Copy(uint32_t channel, bool fd, void* out) const EXCLUDES(mu_);
  void ClearCache(uint32_t channel) EXCLUDES(mu_);

 private:
  struct Cache {
    uint64_t fetch_time = 0;
    std::vector<VELA_CAN_AUTOSEND> can;
    std::vector<VELA_CANFD_AUTOSEND> canfd;
    // The counts keys 31 and 33 last returned: keys 32 and 34 copy no more.
    uint32_t can_told = 0;
    uint32_t canfd_told = 0;
  };

  std::array<std::vector<AutoSendElement>, kAutoSendChannels> lists_;
  // Leaf; never held across a read-back.
  mutable Mutex mu_;
  std::array<Cache, kAutoSendChannels> cache_ GUARDED_BY(mu_);
};

}  // namespace tarnlink

#endif  // TARNLINK_DEVICE_AUTOSEND_LISTS_H_
