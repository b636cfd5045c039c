// Frames to gateway packets, and the gateway's timed-send lists.
#include <algorithm>
#include <cstring>

#include "device/device.h"
#include "platform/platform.h"

namespace tarnlink {

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
  autosend_.Add(channel, *object);
  return true;
}

bool Device::AddAutoSendEntry(uint32_t channel, const VELA_CANFD_AUTOSEND* object) {
  if (!valid_channel(channel) || object == nullptr || object->index > 31) return false;
  autosend_.Add(channel, *object);
  return true;
}

bool Device::SendAutoSendList(uint32_t channel) {
  if (!valid_channel(channel)) return false;
  const auto& list = autosend_.list(channel);
  if (list.empty()) return true;
  for (const Packet& packet : BuildAutoSendPackets(static_cast<uint8_t>(channel), list, tx_option_[channel] != 0)) {
    if (!SendPacket(packet)) return false;
  }
  return true;
}

bool Device::StopAutoSendList(uint32_t channel) {
  if (!valid_channel(channel)) return false;
  autosend_.DisableAll(channel);
  const bool sent = SendAutoSendList(channel);
  autosend_.ClearList(channel);
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
  if (autosend_.Stale(channel)) {
    // Read back outside the cache's lock: it waits for the gateway.
    std::vector<AutoSendEntry> entries;
    if (!FetchAutoSendList(channel, &entries)) return false;
    autosend_.Store(channel, entries);
  }
  *count = autosend_.Tell(channel, fd);
  return true;
}

bool Device::CopyAutoSendEntries(uint32_t channel, bool fd, void* out) {
  if (!valid_channel(channel) || out == nullptr) return false;
  autosend_.Copy(channel, fd, out);
  return true;
}

}  // namespace tarnlink
