// The device as the dispatcher's sink: what each received packet causes.
#include <string>

#include "device/device.h"

namespace tarnlink {

void Device::OnReceive(const char* peer, const char* data, uint32_t len) { reassembly_.Feed(peer, data, len, *this); }

void Device::OnCanRecords(const uint8_t* records, uint32_t count) {
  StoreCanRecords(records, count);
  WakeQueueWaits();
}

void Device::OnCanFdRecords(const uint8_t* records, uint32_t count) {
  StoreCanFdRecords(records, count);
  WakeQueueWaits();
}

void Device::OnGpsRecords(const uint8_t* records, uint32_t count) { EnqueueGps(records, count); }

void Device::OnAnswer(uint8_t sequence, CommandMessage&& answer) { CompleteRequest(sequence, std::move(answer)); }

void Device::OnRequest(uint8_t sequence, const CommandMessage& request) {
  SendPacket(EncodeAnswer(EmulatedDeviceAnswers(request), sequence));
}

void Device::OnNotice(uint8_t flags) { SendPacket(EncodeNoticeAck(flags)); }

void Device::OnChannelReport(const VELA_CHANNEL_REPORT& record) {
  if (!valid_channel(record.channel)) return;
  MutexLock lock(slots_mu_);
  reports_[record.channel].record = record;
  reports_[record.channel].fresh = true;
}

void Device::OnDeviceText(uint8_t slot, const uint8_t* payload, size_t n) {
  if (slot < 1 || slot > 4) return;
  std::string text(reinterpret_cast<const char*>(payload), n);
  MutexLock lock(slots_mu_);
  texts_[slot - 1].text.swap(text);
  texts_[slot - 1].fresh = true;
}

}  // namespace tarnlink
