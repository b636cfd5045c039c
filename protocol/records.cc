#include "protocol/records.h"

#include <algorithm>
#include <cstring>

namespace tarnlink {

namespace {

constexpr uint32_t kIdentifierMask = 0x1FFFFFFF;
constexpr uint32_t kIdRemote = 1u << 30;
constexpr uint32_t kIdExtended = 1u << 31;
constexpr uint8_t kByte5Flag = 0x80;
constexpr uint8_t kFdBrs = 0x01;

// The flag bits every sent record derives the same way from the
// application's record.
uint16_t CommonFlags(uint32_t id_word, uint8_t byte5, uint32_t transmit_type, bool option) {
  uint16_t flags = static_cast<uint16_t>(transmit_type & kFlagTransmitTypeMask);
  if (option) flags |= kFlagTransmitOption;
  if (id_word & kIdRemote) flags |= kFlagRemote;
  if (id_word & kIdExtended) flags |= kFlagExtended;
  if (byte5 & kByte5Flag) flags |= kFlagByte5;
  return flags;
}

void WriteRecordHead(uint8_t* p, uint64_t timestamp, uint32_t id, uint16_t flags, uint8_t channel, uint8_t len) {
  StoreBe64(p, timestamp);
  StoreBe32(p + 8, id);
  StoreBe16(p + 12, flags);
  p[14] = channel;
  p[15] = len;
}

// Starts a packet of n records in out (header written, checksum slot
// reserved) and returns the first payload byte.
uint8_t* StartPacket(PacketType type, uint32_t n, size_t record_size, Packet& out) {
  out.resize(kHeaderSize + n * record_size + 1);
  const auto header = BuildHeader(static_cast<uint8_t>(type), n, 0);
  std::memcpy(out.data(), header.data(), header.size());
  return out.data() + kHeaderSize;
}

void FinishPacket(Packet& out) { out.back() = PacketChecksum(out.data(), out.size() - 1); }

}  // namespace

_tagPacketDataCAN EncodeCanRecord(const VELA_CAN_TRANSMIT& frame, uint8_t channel, bool option) {
  _tagPacketDataCAN r{};
  r.timestamp = frame.stamp;
  r.id = frame.id & kIdentifierMask;
  r.flags = CommonFlags(frame.id, frame.flags, frame.transmit_type, option);
  r.channel = channel;
  r.len = frame.len;
  std::memcpy(r.data, frame.data, sizeof(r.data));
  return r;
}

_tagPacketDataCANFD EncodeCanFdRecord(const VELA_CANFD_TRANSMIT& frame, uint8_t channel, bool option) {
  _tagPacketDataCANFD r{};
  r.timestamp = frame.stamp;
  r.id = frame.id & kIdentifierMask;
  r.flags = CommonFlags(frame.id, frame.flags, frame.transmit_type, option) | kFlagFd;
  if (frame.flags & kFdBrs) r.flags |= kFlagBrs;
  r.channel = channel;
  r.len = frame.len;
  std::memcpy(r.data, frame.data, sizeof(r.data));
  return r;
}

void WriteCanRecord(uint8_t* p, const _tagPacketDataCAN& r) {
  WriteRecordHead(p, r.timestamp, r.id, r.flags, r.channel, r.len);
  std::memcpy(p + 16, r.data, sizeof(r.data));
}

void WriteCanFdRecord(uint8_t* p, const _tagPacketDataCANFD& r) {
  WriteRecordHead(p, r.timestamp, r.id, r.flags, r.channel, r.len);
  std::memcpy(p + 16, r.data, sizeof(r.data));
}

void WriteAutoSendEntry(uint8_t* p, const AutoSendEntry& e) {
  p[0] = e.index;
  p[1] = e.enable;
  StoreBe16(p + 2, e.period);
  StoreBe16(p + 4, e.count);
  StoreBe16(p + 6, 0);
  WriteCanFdRecord(p + 8, e.frame);
}

uint32_t BuildCanPacket(uint8_t channel, const VELA_CAN_TRANSMIT* frames, uint32_t n, bool option, Packet& out) {
  // Capped so that N always matches the records written.
  if (frames == nullptr) n = 0;
  n = std::min(n, kMaxCanPerPacket);
  uint8_t* p = StartPacket(PacketType::kCanData, n, kCanRecordSize, out);
  for (uint32_t i = 0; i < n; ++i, p += kCanRecordSize) WriteCanRecord(p, EncodeCanRecord(frames[i], channel, option));
  FinishPacket(out);
  return n;
}

uint32_t BuildCanFdPacket(uint8_t channel, const VELA_CANFD_TRANSMIT* frames, uint32_t n, bool option, Packet& out) {
  if (frames == nullptr) n = 0;
  n = std::min(n, kMaxCanFdPerPacket);
  uint8_t* p = StartPacket(PacketType::kCanFdData, n, kCanFdRecordSize, out);
  for (uint32_t i = 0; i < n; ++i, p += kCanFdRecordSize) {
    WriteCanFdRecord(p, EncodeCanFdRecord(frames[i], channel, option));
  }
  FinishPacket(out);
  return n;
}

AutoSendEntry MakeAutoSendEntry(uint8_t channel, const VELA_CAN_AUTOSEND& object, uint16_t count, bool option) {
  AutoSendEntry e{};
  e.index = static_cast<uint8_t>(object.index);
  e.enable = static_cast<uint8_t>(object.enable);
  e.period = static_cast<uint16_t>(object.period);
  e.count = count;
  // A classic frame takes the head and first 8 data bytes of the FD record;
  // the remaining 56 stay zero.
  const _tagPacketDataCAN r = EncodeCanRecord(object.frame, channel, option);
  e.frame.timestamp = r.timestamp;
  e.frame.id = r.id;
  e.frame.flags = r.flags;
  e.frame.channel = r.channel;
  e.frame.len = r.len;
  std::memcpy(e.frame.data, r.data, sizeof(r.data));
  return e;
}

AutoSendEntry MakeAutoSendEntry(uint8_t channel, const VELA_CANFD_AUTOSEND& object, uint16_t count, bool option) {
  AutoSendEntry e{};
  e.index = static_cast<uint8_t>(object.index);
  e.enable = static_cast<uint8_t>(object.enable);
  e.period = static_cast<uint16_t>(object.period);
  e.count = count;
  e.frame = EncodeCanFdRecord(object.frame, channel, option);
  return e;
}

std::vector<Packet> BuildAutoSendPackets(uint8_t channel, const std::vector<AutoSendElement>& list, bool option) {
  std::vector<Packet> packets;
  packets.reserve((list.size() + kMaxAutoSendPerPacket - 1) / kMaxAutoSendPerPacket);
  for (size_t done = 0; done < list.size(); done += kMaxAutoSendPerPacket) {
    const auto n = static_cast<uint32_t>(std::min<size_t>(list.size() - done, kMaxAutoSendPerPacket));
    packets.emplace_back();
    Packet& out = packets.back();
    uint8_t* p = StartPacket(PacketType::kAutoSendEntries, n, kAutoSendEntrySize, out);
    for (uint32_t i = 0; i < n; ++i, p += kAutoSendEntrySize) {
      const AutoSendElement& el = list[done + i];
      const auto count = static_cast<uint16_t>(el.count);
      WriteAutoSendEntry(p, el.fd ? MakeAutoSendEntry(channel, el.canfd, count, option)
                                  : MakeAutoSendEntry(channel, el.can, count, option));
    }
    FinishPacket(out);
  }
  return packets;
}

namespace {

template <typename Object>
Packet BuildOneAutoSend(uint8_t channel, const Object& object, bool option) {
  Packet out;
  WriteAutoSendEntry(StartPacket(PacketType::kAutoSendEntries, 1, kAutoSendEntrySize, out),
                     MakeAutoSendEntry(channel, object, 0, option));
  FinishPacket(out);
  return out;
}

}  // namespace

Packet BuildAutoSendPacket(uint8_t channel, const VELA_CAN_AUTOSEND& object, bool option) {
  return BuildOneAutoSend(channel, object, option);
}

Packet BuildAutoSendPacket(uint8_t channel, const VELA_CANFD_AUTOSEND& object, bool option) {
  return BuildOneAutoSend(channel, object, option);
}

_tagPacketDataGPS GpsRecordView::Decode() const {
  _tagPacketDataGPS r;
  r.time_word = LoadBe64(p_);
  for (size_t i = 0; i < 6; ++i) r.fields[i] = LoadBe32(p_ + 8 + 4 * i);
  return r;
}

namespace {

template <typename Records>
Records RecordsOf(PacketView packet, PacketType type) {
  if (PacketTypeOf(packet) != static_cast<uint8_t>(type)) return Records();
  return Records(PayloadOf(packet));
}

}  // namespace

CanRecords DecodeCanPacket(PacketView packet) { return RecordsOf<CanRecords>(packet, PacketType::kCanData); }

CanFdRecords DecodeCanFdPacket(PacketView packet) { return RecordsOf<CanFdRecords>(packet, PacketType::kCanFdData); }

GpsRecords DecodeGpsPacket(PacketView packet) { return RecordsOf<GpsRecords>(packet, PacketType::kGpsData); }

namespace {

// A bus error, by the bit the gateway sets in the second data byte: the
// code, and for most kinds detail byte 0.
void DescribeBusError(uint8_t kind, uint8_t channel, VELA_CHANNEL_ERR_INFO* info) {
  info->error_code = VELA_ERR_BUS;
  switch (kind) {
    case 1:
      info->detail[0] = 0x00;
      break;
    case 2:
      info->detail[0] = static_cast<uint8_t>(0xC0 | (channel & 0x1F));
      break;
    case 4:
      info->detail[0] = 0xC8;
      break;
    case 8:
      info->detail[0] = 0x40;
      break;
    case 16:
      info->detail[0] = 0x80;
      break;
    case 32:
      info->detail[0] = 0xDC;
      break;
    case 64:
    case 128:
      info->error_code = VELA_ERR_OVERFLOW;
      break;
    default:
      info->error_code = VELA_ERR_PASSIVE;
      break;
  }
}

}  // namespace

VELA_CHANNEL_ERR_INFO MakeErrorInfo(const _tagPacketDataCAN& r) {
  VELA_CHANNEL_ERR_INFO info{};
  const uint8_t len = r.len;
  const uint8_t b0 = len > 0 ? r.data[0] : 0;
  info.detail[1] = len > 3 ? r.data[3] : 0;
  info.detail[2] = len > 4 ? r.data[4] : 0;
  switch (static_cast<GatewayError>(b0)) {
    case GatewayError::kBusError:
      // The kind byte is read whatever the length says: the record always
      // holds eight data bytes.
      DescribeBusError(r.data[1], r.channel, &info);
      break;
    case GatewayError::kErrorWarning:
      info.error_code = VELA_ERR_WARNING;
      break;
    case GatewayError::kPassiveErrorFlag:
      info.error_code = VELA_ERR_BUS;
      info.detail[0] = 0xD6;
      break;
    case GatewayError::kBusOff:
      info.error_code = VELA_ERR_BUS_OFF;
      break;
    case GatewayError::kOverloadFlag:
      info.error_code = VELA_ERR_BUS;
      info.detail[0] = 0xDC;
      break;
    case GatewayError::kNoError:
      info.error_code = 0;
      break;
    case GatewayError::kUnspecified:
      info.error_code = VELA_ERR_BUS;
      info.detail[0] = 0xC0;
      break;
    default:  // the gateway's own code, passed on
      info.error_code = b0;
      break;
  }
  return info;
}

}  // namespace tarnlink
