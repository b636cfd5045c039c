#include "device/autosend_lists.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace tarnlink {
namespace {

VELA_CAN_AUTOSEND ToCanObject(const AutoSendEntry& e) {
  VELA_CAN_AUTOSEND o{};
  o.enable = e.enable;
  o.index = e.index;
  o.period = e.period;
  const uint16_t f = e.frame.flags;
  o.frame.id = e.frame.id | ((f & kFlagExtended) ? VELA_ID_EFF_FLAG : 0) | ((f & kFlagRemote) ? VELA_ID_RTR_FLAG : 0) |
               ((f & kFlagError) ? VELA_ID_ERR_FLAG : 0);
  o.frame.len = e.frame.len;
  std::memcpy(o.frame.data, e.frame.data, sizeof o.frame.data);
  return o;
}

VELA_CANFD_AUTOSEND ToCanFdObject(const AutoSendEntry& e) {
  VELA_CANFD_AUTOSEND o{};
  const VELA_CAN_AUTOSEND head = ToCanObject(e);
  o.enable = head.enable;
  o.index = head.index;
  o.period = head.period;
  o.frame.id = head.frame.id;
  o.frame.len = e.frame.len;
  std::memcpy(o.frame.data, e.frame.data, sizeof o.frame.data);
  return o;
}

// The element holding index, reset; appended when the list has none.
AutoSendElement& ListSlot(std::vector<AutoSendElement>& list, uint16_t index) {
  auto it = std::find_if(list.begin(), list.end(),
                         [&](const AutoSendElement& e) { return (e.fd ? e.canfd.index : e.can.index) == index; });
  AutoSendElement& element = it != list.end() ? *it : list.emplace_back();
  element = AutoSendElement{};
  return element;
}

}  // namespace

void AutoSendLists::Add(uint32_t channel, const VELA_CAN_AUTOSEND& object) {
  ListSlot(lists_[channel], object.index).can = object;
}

void AutoSendLists::Add(uint32_t channel, const VELA_CANFD_AUTOSEND& object) {
  AutoSendElement& element = ListSlot(lists_[channel], object.index);
  element.fd = true;
  element.canfd = object;
}

void AutoSendLists::DisableAll(uint32_t channel) {
  for (AutoSendElement& e : lists_[channel]) {
    e.can.enable = 0;
    e.canfd.enable = 0;
  }
}

bool AutoSendLists::Stale(uint32_t channel) const {
  MutexLock lock(mu_);
  return TicksToMs(NowTicks(), cache_[channel].fetch_time) > kAutoSendCacheMs;
}

void AutoSendLists::Store(uint32_t channel, const std::vector<AutoSendEntry>& entries) {
  std::vector<VELA_CAN_AUTOSEND> can;
  std::vector<VELA_CANFD_AUTOSEND> canfd;
  for (const AutoSendEntry& e : entries) {
    if (e.enable == 0) continue;
    if (e.frame.flags & kFlagFd) {
      canfd.push_back(ToCanFdObject(e));
    } else {
      can.push_back(ToCanObject(e));
    }
  }
  MutexLock lock(mu_);
  Cache& cache = cache_[channel];
  cache.can.swap(can);
  cache.canfd.swap(canfd);
  cache.fetch_time = NowTicks();
}

uint32_t AutoSendLists::Tell(uint32_t channel, bool fd) {
  MutexLock lock(mu_);
  Cache& cache = cache_[channel];
  const auto count = static_cast<uint32_t>(fd ? cache.canfd.size() : cache.can.size());
  // The caller sizes its array for keys 32 and 34 from this.
  (fd ? cache.canfd_told : cache.can_told) = count;
  return count;
}

void AutoSendLists::Copy(uint32_t channel, bool fd, void* out) const {
  MutexLock lock(mu_);
  const Cache& cache = cache_[channel];
  // A read-back since the count was told (the other list's count key, or
  // another thread) may have grown the list: the array holds only what the
  // count said.
  if (fd) {
    const size_t n = std::min<size_t>(cache.canfd.size(), cache.canfd_told);
    std::copy(cache.canfd.begin(), cache.canfd.begin() + static_cast<std::ptrdiff_t>(n),
              static_cast<VELA_CANFD_AUTOSEND*>(out));
  } else {
    const size_t n = std::min<size_t>(cache.can.size(), cache.can_told);
    std::copy(cache.can.begin(), cache.can.begin() + static_cast<std::ptrdiff_t>(n),
              static_cast<VELA_CAN_AUTOSEND*>(out));
  }
}

void AutoSendLists::ClearCache(uint32_t channel) {
  MutexLock lock(mu_);
  cache_[channel].can.clear();
  cache_[channel].canfd.clear();
}

}  // namespace tarnlink
