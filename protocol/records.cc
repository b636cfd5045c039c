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

template <typename Record>
void ReadRecordHead(const uint8_t* p, Record& r) {
  r.timestamp = LoadBe64(p);
  r.id = LoadBe32(p + 8);
  r.flags = LoadBe16(p + 12);
  r.channel = p[14];
  r.len = p[15];
}

_tagPacketDataGPS ReadGpsRecord(const uint8_t* p) {
  _tagPacketDataGPS r;
  r.time_word = LoadBe64(p);
  for (size_t i = 0; i < 6; ++i) r.fields[i] = LoadBe32(p + 8 + 4 * i);
  return r;
}

// Payload of a received packet of the given type, or null when the header,
// the type or the byte count does not hold.
const uint8_t* CheckedPayload(const uint8_t* packet, size_t n, PacketType type, size_t* length) {
  if (!HeaderIsValid(packet, n) || packet[1] != static_cast<uint8_t>(type)) return nullptr;
  *length = LoadBe16(packet + 4);
  if (n < kHeaderSize + *length) return nullptr;
  return packet + kHeaderSize;
}

template <typename Record, typename Reader>
int32_t DecodeRecords(const uint8_t* packet, size_t n, PacketType type, size_t record_size, Reader read,
                      std::vector<Record>& out) {
  out.clear();
  size_t length = 0;
  const uint8_t* payload = CheckedPayload(packet, n, type, &length);
  if (payload == nullptr) return 0;
  // Trailing bytes short of a whole record are ignored (GPS packets).
  const size_t count = length / record_size;
  out.resize(count);
  for (size_t i = 0; i < count; ++i) out[i] = read(payload + i * record_size);
  return static_cast<int32_t>(count);
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

void BuildCanPacketInto(uint8_t channel, const VELA_CAN_TRANSMIT* frames, uint32_t n, bool option, Packet& out) {
  // Capped so that N always matches the records written.
  if (frames == nullptr) n = 0;
  n = std::min(n, kMaxCanPerPacket);
  uint8_t* p = StartPacket(PacketType::kCanData, n, kCanRecordSize, out);
  for (uint32_t i = 0; i < n; ++i, p += kCanRecordSize) WriteCanRecord(p, EncodeCanRecord(frames[i], channel, option));
  FinishPacket(out);
}

void BuildCanFdPacketInto(uint8_t channel, const VELA_CANFD_TRANSMIT* frames, uint32_t n, bool option, Packet& out) {
  if (frames == nullptr) n = 0;
  n = std::min(n, kMaxCanFdPerPacket);
  uint8_t* p = StartPacket(PacketType::kCanFdData, n, kCanFdRecordSize, out);
  for (uint32_t i = 0; i < n; ++i, p += kCanFdRecordSize) {
    WriteCanFdRecord(p, EncodeCanFdRecord(frames[i], channel, option));
  }
  FinishPacket(out);
}

std::vector<Packet> BuildCanPackets(uint8_t channel, const VELA_CAN_TRANSMIT* frames, uint32_t count, bool option) {
  std::vector<Packet> packets;
  if (frames == nullptr || count == 0) return packets;
  packets.reserve((count + kMaxCanPerPacket - 1) / kMaxCanPerPacket);
  for (uint32_t done = 0; done < count; done += kMaxCanPerPacket) {
    packets.emplace_back();
    BuildCanPacketInto(channel, frames + done, std::min(count - done, kMaxCanPerPacket), option, packets.back());
  }
  return packets;
}

std::vector<Packet> BuildCanFdPackets(uint8_t channel, const VELA_CANFD_TRANSMIT* frames, uint32_t count, bool option) {
  std::vector<Packet> packets;
  if (frames == nullptr || count == 0) return packets;
  packets.reserve((count + kMaxCanFdPerPacket - 1) / kMaxCanFdPerPacket);
  for (uint32_t done = 0; done < count; done += kMaxCanFdPerPacket) {
    packets.emplace_back();
    BuildCanFdPacketInto(channel, frames + done, std::min(count - done, kMaxCanFdPerPacket), option, packets.back());
  }
  return packets;
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

_tagPacketDataCAN ReadCanRecord(const uint8_t* p) {
  _tagPacketDataCAN r;
  ReadRecordHead(p, r);
  std::memcpy(r.data, p + 16, sizeof(r.data));
  return r;
}

_tagPacketDataCANFD ReadCanFdRecord(const uint8_t* p) {
  _tagPacketDataCANFD r;
  ReadRecordHead(p, r);
  std::memcpy(r.data, p + 16, sizeof(r.data));
  return r;
}

int32_t DecodeCanPacket(const uint8_t* packet, size_t n, std::vector<_tagPacketDataCAN>& out) {
  return DecodeRecords(packet, n, PacketType::kCanData, kCanRecordSize, ReadCanRecord, out);
}

int32_t DecodeCanFdPacket(const uint8_t* packet, size_t n, std::vector<_tagPacketDataCANFD>& out) {
  return DecodeRecords(packet, n, PacketType::kCanFdData, kCanFdRecordSize, ReadCanFdRecord, out);
}

int32_t DecodeGpsPacket(const uint8_t* packet, size_t n, std::vector<_tagPacketDataGPS>& out) {
  return DecodeRecords(packet, n, PacketType::kGpsData, kGpsRecordSize, ReadGpsRecord, out);
}

}  // namespace tarnlink
