#include "protocol/packet.h"

#include <cstring>

namespace tarnlink {

namespace {

// Fixed record size of the types whose length is a record multiple; 0 for
// the types that carry free-form payloads.
size_t FramedRecordSize(uint8_t type) {
  switch (static_cast<PacketType>(type)) {
    case PacketType::kCanData:
    case PacketType::kChannelReport:
      return kCanRecordSize;
    case PacketType::kCanFdData:
      return kCanFdRecordSize;
    case PacketType::kAutoSendEntries:
      return kAutoSendEntrySize;
    default:
      return 0;
  }
}

}  // namespace

uint8_t PacketChecksum(const uint8_t* bytes, size_t n) {
  if (bytes == nullptr) return 0;
  // XOR is byte-order blind, so whole words can be folded without regard to
  // endianness; this runs once per received and per sent packet.
  uint64_t a = 0;
  uint64_t b = 0;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    uint64_t w0;
    uint64_t w1;
    std::memcpy(&w0, bytes + i, 8);
    std::memcpy(&w1, bytes + i + 8, 8);
    a ^= w0;
    b ^= w1;
  }
  a ^= b;
  a ^= a >> 32;
  a ^= a >> 16;
  a ^= a >> 8;
  auto x = static_cast<uint8_t>(a);
  for (; i < n; ++i) x ^= bytes[i];
  return x;
}

bool HeaderIsValid(const uint8_t* bytes, size_t n) {
  if (bytes == nullptr || n < kHeaderSize || bytes[0] != kStartByte) return false;
  const size_t record = FramedRecordSize(bytes[1]);
  return record == 0 || LoadBe16(bytes + 4) % record == 0;
}

std::array<uint8_t, kHeaderSize> BuildHeader(uint8_t type, uint32_t count, uint8_t flags) {
  // Only the data and auto-send types get their length from a record count;
  // a channel report is never sent by the host.
  const size_t record = type <= static_cast<uint8_t>(PacketType::kAutoSendEntries) ? FramedRecordSize(type) : 0;
  const auto length = static_cast<uint16_t>(count * record);
  std::array<uint8_t, kHeaderSize> h{kStartByte, type, flags, 0, 0, 0};
  StoreBe16(h.data() + 4, length);
  return h;
}

void AppendChecksum(Packet& packet) {
  if (packet.empty()) return;
  packet.push_back(PacketChecksum(packet.data(), packet.size()));
}

}  // namespace tarnlink
