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

void DispatchPacket(PacketView packet, PacketSink& sink) {
  const uint8_t flags = PacketFlagsOf(packet);
  const ByteSpan payload = PayloadOf(packet);
  switch (static_cast<PacketType>(PacketTypeOf(packet))) {
    case PacketType::kCanData:
      if (const CanRecords records = DecodeCanPacket(packet); !records.empty()) sink.OnCanRecords(records);
      break;
    case PacketType::kCanFdData:
      if (const CanFdRecords records = DecodeCanFdPacket(packet); !records.empty()) sink.OnCanFdRecords(records);
      break;
    case PacketType::kChannelReport:
      if (payload.size() == kChannelReportSize) sink.OnChannelReport(DecodeChannelReport(payload.data()));
      break;
    case PacketType::kDeviceText:
      sink.OnDeviceText(flags, payload);
      break;
    case PacketType::kGpsData:
      if (const GpsRecords records = DecodeGpsPacket(packet); !records.empty()) sink.OnGpsRecords(records);
      break;
    case PacketType::kCommand: {
      uint8_t sequence = 0;
      bool is_answer = false;
      CommandMessage message;
      if (!ParseCommandPacket(packet, &sequence, &is_answer, &message)) break;
      if (is_answer) {
        sink.OnAnswer(sequence, std::move(message));
      } else {
        sink.OnRequest(sequence, message);
      }
      break;
    }
    case PacketType::kNotice:
      if ((flags & 0x7F) == 0 && payload.size() == 8) sink.OnNotice(flags);
      break;
    case PacketType::kNoticeAck:        // consumed without effect
    case PacketType::kAutoSendEntries:  // only ever sent to a device
    default:
      break;
  }
}

void PacketReassembly::Feed(const char* peer, ByteSpan bytes, PacketSink& sink) {
  const std::string_view key(peer != nullptr ? peer : "");
  if (bytes.empty()) {
    parsers_.End(key);
    return;
  }
  // Every packet of the chunk is found first, then acted on in order; the
  // views stay valid because nothing is appended meanwhile.
  if (parsers_.Feed(key, bytes, views_) == 0) return;
  for (const PacketView& packet : views_) DispatchPacket(packet, sink);
  views_.clear();
}

}  // namespace tarnlink
