// What every received packet causes.
#include <cstring>
#include <string_view>

#include "device/device.h"

namespace tarnlink {

void Device::OnReceive(const char* peer, const char* data, uint32_t len) {
  const std::string_view key(peer != nullptr ? peer : "");
  auto it = parsers_.find(key);
  if (len == 0) {
    // That peer's connection ended: what it left of a packet can never be
    // completed, and a new connection with the same text starts afresh.
    if (it != parsers_.end()) parsers_.erase(it);
    return;
  }
  if (data == nullptr) return;
  if (it == parsers_.end()) it = parsers_.emplace(std::string(key), StreamParser{&stream_counters_}).first;
  StreamParser& parser = it->second;
  parser.AppendBytes(reinterpret_cast<const uint8_t*>(data), static_cast<long>(len));
  // Every packet of the chunk is found first, then acted on in order; the
  // views stay valid because nothing is appended meanwhile.
  if (parser.ExtractViews(views_) == 0) return;
  for (const PacketView& packet : views_) DispatchPacket(packet.data, packet.size);
  views_.clear();
}

void Device::DispatchPacket(const uint8_t* packet, size_t n) {
  const uint8_t type = packet[1];
  const uint8_t flags = packet[2];
  const uint16_t payload_len = LoadBe16(packet + 4);
  const uint8_t* payload = packet + kHeaderSize;
  switch (static_cast<PacketType>(type)) {
    case PacketType::kCanData:
      if (payload_len >= kCanRecordSize) StoreCanRecords(payload, payload_len / kCanRecordSize);
      break;
    case PacketType::kCanFdData:
      if (payload_len >= kCanFdRecordSize) StoreCanFdRecords(payload, payload_len / kCanFdRecordSize);
      break;
    case PacketType::kChannelReport:
      if (payload_len == kChannelReportSize) StoreChannelReport(payload);
      break;
    case PacketType::kDeviceText:
      StoreDeviceText(flags, payload, payload_len);
      break;
    case PacketType::kGpsData:
      if (payload_len >= kGpsRecordSize) EnqueueGps(payload, payload_len / kGpsRecordSize);
      break;
    case PacketType::kCommand: {
      uint8_t sequence = 0;
      bool is_answer = false;
      CommandMessage message;
      if (!ParseCommandPacket(packet, n, &sequence, &is_answer, &message)) break;
      if (is_answer) {
        CompleteRequest(sequence, std::move(message));
      } else {
        SendPacket(EncodeAnswer(EmulatedDeviceAnswers(message), sequence));
      }
      break;
    }
    case PacketType::kNotice:
      if ((flags & 0x7F) == 0 && payload_len == 8) SendPacket(EncodeNoticeAck(flags));
      break;
    case PacketType::kNoticeAck:        // consumed without effect
    case PacketType::kAutoSendEntries:  // only ever sent to a device
    default:
      break;
  }
}

void Device::StoreChannelReport(const uint8_t* p) {
  VELA_CHANNEL_REPORT record{};
  record.value0 = LoadBe64(p);
  record.value1 = LoadBe64(p + 8);
  record.channel = p[16];
  record.byte17 = p[17];
  record.value16 = LoadBe16(p + 18);
  record.value32 = LoadBe32(p + 20);
  if (!valid_channel(record.channel)) return;
  std::lock_guard<std::mutex> lock(slots_mu_);
  reports_[record.channel].record = record;
  reports_[record.channel].fresh = true;
}

void Device::StoreDeviceText(uint8_t slot, const uint8_t* payload, size_t n) {
  if (slot < 1 || slot > 4) return;
  std::string text(reinterpret_cast<const char*>(payload), n);
  std::lock_guard<std::mutex> lock(slots_mu_);
  texts_[slot - 1].text.swap(text);
  texts_[slot - 1].fresh = true;
}

}  // namespace tarnlink
