// CAN, CAN FD, auto-send and GPS records: host structures and wire codecs.
#ifndef TARNLINK_PROTOCOL_RECORDS_H_
#define TARNLINK_PROTOCOL_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/packet.h"
#include "tarnlink/tarnlink.h"

namespace tarnlink {

// Record flag bits (u16 at offset 12 of a data record).
constexpr uint16_t kFlagTransmitTypeMask = 0x0003;
constexpr uint16_t kFlagMarker = 1u << 2;
constexpr uint16_t kFlagTransmitOption = 1u << 3;
constexpr uint16_t kFlagFd = 1u << 4;
constexpr uint16_t kFlagRemote = 1u << 5;
constexpr uint16_t kFlagExtended = 1u << 6;
constexpr uint16_t kFlagError = 1u << 7;
constexpr uint16_t kFlagBrs = 1u << 8;
constexpr uint16_t kFlagEsi = 1u << 9;
constexpr uint16_t kFlagByte5 = 1u << 10;

constexpr uint32_t kMaxCanPerPacket = 60;
constexpr uint32_t kMaxCanFdPerPacket = 18;
constexpr uint32_t kMaxAutoSendPerPacket = 10;

// Decoded records, host byte order, field for field as on the wire.
struct _tagPacketDataCAN {
  uint64_t timestamp;
  uint32_t id;
  uint16_t flags;
  uint8_t channel;
  uint8_t len;
  uint8_t data[8];
};
static_assert(sizeof(_tagPacketDataCAN) == 24, "CAN data record is 24 bytes");

struct _tagPacketDataCANFD {
  uint64_t timestamp;
  uint32_t id;
  uint16_t flags;
  uint8_t channel;
  uint8_t len;
  uint8_t data[64];
};
static_assert(sizeof(_tagPacketDataCANFD) == 80, "CAN FD data record is 80 bytes");

struct _tagPacketDataGPS {
  uint64_t time_word;  // bit 63 time valid, bits 0-55 seconds since 1970
  uint32_t fields[6];
};
static_assert(sizeof(_tagPacketDataGPS) == 32, "GPS data record is 32 bytes");

// The gateway's form of one timed entry (88 bytes on the wire).
struct AutoSendEntry {
  uint8_t index;
  uint8_t enable;
  uint16_t period;
  uint16_t count;
  uint16_t reserved;
  _tagPacketDataCANFD frame;  // a classic frame uses the first 24 bytes
};

// One element of a channel's host-side timed-send list.
struct AutoSendElement {
  uint32_t count = 0;  // always 0 in elements the host builds
  bool fd = false;
  VELA_CAN_AUTOSEND can{};
  VELA_CANFD_AUTOSEND canfd{};
};

_tagPacketDataCAN EncodeCanRecord(const VELA_CAN_TRANSMIT& frame, uint8_t channel, bool option);
_tagPacketDataCANFD EncodeCanFdRecord(const VELA_CANFD_TRANSMIT& frame, uint8_t channel, bool option);

// Writes one record in wire order at p (24 / 80 / 88 bytes).
void WriteCanRecord(uint8_t* p, const _tagPacketDataCAN& r);
void WriteCanFdRecord(uint8_t* p, const _tagPacketDataCANFD& r);
void WriteAutoSendEntry(uint8_t* p, const AutoSendEntry& e);

// One CanData / CanFdData packet of n <= 60 / 18 frames into out (reused).
void BuildCanPacketInto(uint8_t channel, const VELA_CAN_TRANSMIT* frames, uint32_t n, bool option, Packet& out);
void BuildCanFdPacketInto(uint8_t channel, const VELA_CANFD_TRANSMIT* frames, uint32_t n, bool option, Packet& out);

std::vector<Packet> BuildCanPackets(uint8_t channel, const VELA_CAN_TRANSMIT* frames, uint32_t count, bool option);
std::vector<Packet> BuildCanFdPackets(uint8_t channel, const VELA_CANFD_TRANSMIT* frames, uint32_t count, bool option);

AutoSendEntry MakeAutoSendEntry(uint8_t channel, const VELA_CAN_AUTOSEND& object, uint16_t count, bool option);
AutoSendEntry MakeAutoSendEntry(uint8_t channel, const VELA_CANFD_AUTOSEND& object, uint16_t count, bool option);
std::vector<Packet> BuildAutoSendPackets(uint8_t channel, const std::vector<AutoSendElement>& list, bool option);
Packet BuildAutoSendPacket(uint8_t channel, const VELA_CAN_AUTOSEND& object, bool option);
Packet BuildAutoSendPacket(uint8_t channel, const VELA_CANFD_AUTOSEND& object, bool option);

// Decoders: empty out; 0 for a bad header or another type; else the count.
int32_t DecodeCanPacket(const uint8_t* packet, size_t n, std::vector<_tagPacketDataCAN>& out);
int32_t DecodeCanFdPacket(const uint8_t* packet, size_t n, std::vector<_tagPacketDataCANFD>& out);
int32_t DecodeGpsPacket(const uint8_t* packet, size_t n, std::vector<_tagPacketDataGPS>& out);

// Reads record i of a validated data packet (no checks: the caller counted).
_tagPacketDataCAN ReadCanRecord(const uint8_t* p);
_tagPacketDataCANFD ReadCanFdRecord(const uint8_t* p);

}  // namespace tarnlink

#endif  // TARNLINK_PROTOCOL_RECORDS_H_
