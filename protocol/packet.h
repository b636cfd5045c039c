// Packet framing shared by every packet type: header, checksum, accessors.
#ifndef TARNLINK_PROTOCOL_PACKET_H_
#define TARNLINK_PROTOCOL_PACKET_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/byte_span.h"

namespace tarnlink {

enum class PacketType : uint8_t {
  kCanData = 0x00,
  kCanFdData = 0x01,
  kAutoSendEntries = 0x02,
  kChannelReport = 0x03,
  kDeviceText = 0x04,
  kGpsData = 0x05,
  kCommand = 0x50,
  kNotice = 0x80,
  kNoticeAck = 0x81,
};

constexpr uint8_t kStartByte = 0x55;
constexpr size_t kHeaderSize = 6;
constexpr size_t kMinPacketSize = kHeaderSize + 1;
constexpr size_t kMaxPacketSize = kHeaderSize + 0xFFFF + 1;  // 65542
constexpr size_t kCanRecordSize = 24;
constexpr size_t kCanFdRecordSize = 80;
constexpr size_t kAutoSendEntrySize = 88;
constexpr size_t kGpsRecordSize = 32;
constexpr size_t kChannelReportSize = 24;

// A packet exactly as it travels: header, payload, checksum.
using Packet = std::vector<uint8_t>;

// XOR of n bytes; 0 when n is 0 or bytes is null.
uint8_t PacketChecksum(const uint8_t* bytes, size_t n);

// The header check on the first six bytes of a candidate packet.
bool HeaderIsValid(const uint8_t* bytes, size_t n);
inline bool HeaderIsValid(const Packet& p) { return HeaderIsValid(p.data(), p.size()); }

// 55, type, flags, 0, then N big-endian: count x record size for types
// 0x00-0x02, 0 for every other type (the caller fills in its own length).
std::array<uint8_t, kHeaderSize> BuildHeader(uint8_t type, uint32_t count, uint8_t flags);

// Appends the checksum of every byte so far; nothing for an empty packet.
void AppendChecksum(Packet& packet);

// A whole packet inside a receive buffer that passed the header, length
// and checksum checks (the stream parser makes them); valid while that
// buffer is. The accessors read without checking again.
struct PacketView {
  const uint8_t* data;
  size_t size;
};

// Big-endian helpers for the codecs.
inline uint16_t LoadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t LoadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline uint64_t LoadBe64(const uint8_t* p) { return (uint64_t{LoadBe32(p)} << 32) | LoadBe32(p + 4); }
inline void StoreBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline void StoreBe64(uint8_t* p, uint64_t v) {
  StoreBe32(p, static_cast<uint32_t>(v >> 32));
  StoreBe32(p + 4, static_cast<uint32_t>(v));
}

inline uint8_t PacketTypeOf(PacketView p) { return p.data[1]; }
inline uint8_t PacketFlagsOf(PacketView p) { return p.data[2]; }
inline uint16_t PayloadLengthOf(PacketView p) { return LoadBe16(p.data + 4); }
inline ByteSpan PayloadOf(PacketView p) { return ByteSpan(p.data + kHeaderSize, PayloadLengthOf(p)); }

}  // namespace tarnlink

#endif  // TARNLINK_PROTOCOL_PACKET_H_
