// Frames to gateway packets, and the gateway's timed-send lists.
#include <algorithm>
#include <cstring>

#include "device/device.h"
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

uint32_t Device::Transmit(uint32_t channel, const VELA_CAN_TRANSMIT* frames, uint32_t count) {
  if (!valid_channel(channel) || frames == nullptr || count == 0) return 0;
  std::shared_ptr<IService> service = transport();
  if (!service) return 0;
  // One packet buffer for the whole batch: the first packet is the largest.
  Packet packet;
  return BuildCanPackets(static_cast<uint8_t>(channel), frames, count,
                         tx_option_[channel].load(std::memory_order_relaxed) != 0, packet,
                         [&service](const Packet& p) { return service->Send(p); });
}

uint32_t Device::TransmitFD(uint32_t channel, const VELA_CANFD_TRANSMIT* frames, uint32_t count) {
  if (!valid_channel(channel) || frames == nullptr || count == 0) return 0;
  std::shared_ptr<IService> service = transport();
  if (!service) return 0;
  Packet packet;
  return BuildCanFdPackets(static_cast<uint8_t>(channel), frames, count,
                           tx_option_[channel].load(std::memory_order_relaxed) != 0, packet,
                           [&service](const Packet& p) { return service->Send(p); });
}

bool Device::SendAutoSendEntry(uint32_t channel, const VELA_CAN_AUTOSEND* object) {
  if (!valid_channel(channel) || object == nullptr || object->index > 31) return false;
  return SendPacket(BuildAutoSendPacket(static_cast<uint8_t>(channel), *object, tx_option_[channel] != 0));
}

bool Device::SendAutoSendEntry(uint32_t channel, const VELA_CANFD_AUTOSEND* object) {
  if (!valid_channel(channel) || object == nullptr || object->index > 31) return false;
  return SendPacket(BuildAutoSendPacket(static_cast<uint8_t>(channel), *object, tx_option_[channel] != 0));
}

bool Device::AddAutoSendEntry(uint32_t channel, const VELA_CAN_AUTOSEND* object) {
  if (!valid_channel(channel) || object == nullptr || object->index > 31) return false;
  AutoSendElement& element = ListSlot(autosend_lists_[channel], object->index);
  element.can = *object;
  return true;
}

bool Device::AddAutoSendEntry(uint32_t channel, const VELA_CANFD_AUTOSEND* object) {
  if (!valid_channel(channel) || object == nullptr || object->index > 31) return false;
  AutoSendElement& element = ListSlot(autosend_lists_[channel], object->index);
  element.fd = true;
  element.canfd = *object;
  return true;
}

bool Device::SendAutoSendList(uint32_t channel) {
  if (!valid_channel(channel)) return false;
  const auto& list = autosend_lists_[channel];
  if (list.empty()) return true;
  for (const Packet& packet : BuildAutoSendPackets(static_cast<uint8_t>(channel), list, tx_option_[channel] != 0)) {
    if (!SendPacket(packet)) return false;
  }
  return true;
}

bool Device::StopAutoSendList(uint32_t channel) {
  if (!valid_channel(channel)) return false;
  for (AutoSendElement& e : autosend_lists_[channel]) {
    e.can.enable = 0;
    e.canfd.enable = 0;
  }
  const bool sent = SendAutoSendList(channel);
  autosend_lists_[channel].clear();
  return sent;
}

bool Device::SetTransmitOption(uint32_t channel, const uint32_t* value) {
  if (!valid_channel(channel) || value == nullptr) return false;
  tx_option_[channel].store(*value != 0 ? 1 : 0, std::memory_order_relaxed);
  return true;
}

bool Device::FetchAutoSendList(uint32_t channel, std::vector<AutoSendEntry>* entries) {
  entries->clear();
  uint32_t offset = 0;
  while (true) {
    const uint32_t num = std::min<uint32_t>(4, kChannelSlots - offset);
    CommandMessage answer;
    if (!SimpleCommand(CommandCode::kAutoSendRead,
                       AutoSendReadBody(static_cast<int>(channel), static_cast<int>(offset), static_cast<int>(num)),
                       &answer)) {
      return false;
    }
    const uint32_t found = ReadAutoSendAnswer(answer.body, static_cast<uint8_t>(channel), offset, num, *entries);
    offset += found;
    if (found != num || offset >= kChannelSlots) return true;
  }
}

bool Device::AutoSendCount(uint32_t channel, bool fd, uint32_t* count) {
  if (!valid_channel(channel) || count == nullptr) return false;
  uint64_t fetch_time;
  {
    MutexLock lock(autosend_cache_mu_);
    fetch_time = autosend_cache_[channel].fetch_time;
  }
  std::vector<VELA_CAN_AUTOSEND> can;
  std::vector<VELA_CANFD_AUTOSEND> canfd;
  const bool refetch = TicksToMs(NowTicks(), fetch_time) > kAutoSendCacheMs;
  if (refetch) {
    // Read back outside the lock: it waits for the gateway.
    std::vector<AutoSendEntry> entries;
    if (!FetchAutoSendList(channel, &entries)) return false;
    for (const AutoSendEntry& e : entries) {
      if (e.enable == 0) continue;
      if (e.frame.flags & kFlagFd) {
        canfd.push_back(ToCanFdObject(e));
      } else {
        can.push_back(ToCanObject(e));
      }
    }
  }
  MutexLock lock(autosend_cache_mu_);
  AutoSendCache& cache = autosend_cache_[channel];
  if (refetch) {
    cache.can.swap(can);
    cache.canfd.swap(canfd);
    cache.fetch_time = NowTicks();
  }
  *count = static_cast<uint32_t>(fd ? cache.canfd.size() : cache.can.size());
  // The caller sizes its array for keys 32 and 34 from this.
  (fd ? cache.canfd_told : cache.can_told) = *count;
  return true;
}

bool Device::CopyAutoSendEntries(uint32_t channel, bool fd, void* out) {
  if (!valid_channel(channel) || out == nullptr) return false;
  MutexLock lock(autosend_cache_mu_);
  const AutoSendCache& cache = autosend_cache_[channel];
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
  return true;
}

}  // namespace tarnlink
