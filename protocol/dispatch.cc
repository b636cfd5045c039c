// What every received packet causes.
#include "protocol/dispatch.h"

#include <string>
#include <string_view>
#include <utility>

namespace tarnlink {
namespace {

VELA_CHANNEL_REPORT DecodeChannelReport(const uint8_t* p) {
  VELA_CHANNEL_REPORT record{};
  record.value0 = LoadBe64(p);
  record.value1 = LoadBe64(p + 8);
  record.channel = p[16];
  record.byte17 = p[17];
  record.value16 = LoadBe16(p + 18);
  record.value32 = LoadBe32(p + 20);
  return record;
}

}  // namespace

void DispatchPacket(const uint8_t* packet, size_t n, PacketSink& sink) {
  const uint8_t type = packet[1];
  const uint8_t flags = packet[2];
  const uint16_t payload_len = LoadBe16(packet + 4);
  const uint8_t* payload = packet + kHeaderSize;
  switch (static_cast<PacketType>(type)) {
    case PacketType::kCanData:
      if (payload_len >= kCanRecordSize) sink.OnCanRecords(payload, payload_len / kCanRecordSize);
      break;
    case PacketType::kCanFdData:
      if (payload_len >= kCanFdRecordSize) sink.OnCanFdRecords(payload, payload_len / kCanFdRecordSize);
      break;
    case PacketType::kChannelReport:
      if (payload_len == kChannelReportSize) sink.OnChannelReport(DecodeChannelReport(payload));
      break;
    case PacketType::kDeviceText:
      sink.OnDeviceText(flags, payload, payload_len);
      break;
    case PacketType::kGpsData:
      if (payload_len >= kGpsRecordSize) sink.OnGpsRecords(payload, payload_len / kGpsRecordSize);
      break;
    case PacketType::kCommand: {
      uint8_t sequence = 0;
      bool is_answer = false;
      CommandMessage message;
      if (!ParseCommandPacket(packet, n, &sequence, &is_answer, &message)) break;
      if (is_answer) {
        sink.OnAnswer(sequence, std::move(message));
      } else {
        sink.OnRequest(sequence, message);
      }
      break;
    }
    case PacketType::kNotice:
      if ((flags & 0x7F) == 0 && payload_len == 8) sink.OnNotice(flags);
      break;
    case PacketType::kNoticeAck:        // consumed without effect
    case PacketType::kAutoSendEntries:  // only ever sent to a device
    default:
      break;
  }
}

void PacketReassembly::Feed(const char* peer, const char* data, uint32_t len, PacketSink& sink) {
  const std::string_view key(peer != nullptr ? peer : "");
  if (len == 0) {
    parsers_.End(key);
    return;
  }
  if (data == nullptr) return;
  // Every packet of the chunk is found first, then acted on in order; the
  // views stay valid because nothing is appended meanwhile.
  if (parsers_.Feed(key, reinterpret_cast<const uint8_t*>(data), static_cast<long>(len), views_) == 0) return;
  for (const PacketView& packet : views_) DispatchPacket(packet.data, packet.size, sink);
  views_.clear();
}

}  // namespace tarnlink
