// CAN, CAN FD, auto-send and GPS records: host structures and wire codecs.
#ifndef TARNLINK_PROTOCOL_RECORDS_H_
#define TARNLINK_PROTOCOL_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// One CanData / CanFdData packet of the first min(n, 60 / 18) frames into
// out (its storage reused). Result: the frames it holds.
uint32_t BuildCanPacket(uint8_t channel, const VELA_CAN_TRANSMIT* frames, uint32_t n, bool option, Packet& out);
uint32_t BuildCanFdPacket(uint8_t channel, const VELA_CANFD_TRANSMIT* frames, uint32_t n, bool option, Packet& out);

// Every frame, as full packets built one after the other into out; each is
// handed to send (bool(const Packet&)) before the next one is built, and the
// first false ends it. Result: the frames of the packets sent.
template <typename Frame, typename Send>
uint32_t BuildPackets(uint32_t (*build)(uint8_t, const Frame*, uint32_t, bool, Packet&), uint8_t channel,
                      const Frame* frames, uint32_t count, bool option, Packet& out, Send&& send) {
  if (frames == nullptr) return 0;
  uint32_t sent = 0;
  while (sent < count) {
    const uint32_t n = build(channel, frames + sent, count - sent, option, out);
    if (!send(static_cast<const Packet&>(out))) break;
    sent += n;
  }
  return sent;
}
template <typename Send>
uint32_t BuildCanPackets(uint8_t channel, const VELA_CAN_TRANSMIT* frames, uint32_t count, bool option, Packet& out,
                         Send&& send) {
  return BuildPackets(&BuildCanPacket, channel, frames, count, option, out, send);
}
template <typename Send>
uint32_t BuildCanFdPackets(uint8_t channel, const VELA_CANFD_TRANSMIT* frames, uint32_t count, bool option, Packet& out,
                           Send&& send) {
  return BuildPackets(&BuildCanFdPacket, channel, frames, count, option, out, send);
}

AutoSendEntry MakeAutoSendEntry(uint8_t channel, const VELA_CAN_AUTOSEND& object, uint16_t count, bool option);
AutoSendEntry MakeAutoSendEntry(uint8_t channel, const VELA_CANFD_AUTOSEND& object, uint16_t count, bool option);
std::vector<Packet> BuildAutoSendPackets(uint8_t channel, const std::vector<AutoSendElement>& list, bool option);
Packet BuildAutoSendPacket(uint8_t channel, const VELA_CAN_AUTOSEND& object, bool option);
Packet BuildAutoSendPacket(uint8_t channel, const VELA_CANFD_AUTOSEND& object, bool option);

// One data record of a received packet, read where it lies: the fields the
// receiver sorts by, and the decode into the host record, done once, into
// wherever the record is kept.
class RecordHead {
 public:
  explicit RecordHead(const uint8_t* p) : p_(p) {}
  uint64_t timestamp() const { return LoadBe64(p_); }
  uint16_t flags() const { return LoadBe16(p_ + 12); }
  uint8_t channel() const { return p_[14]; }
  // The classic record: of a CAN FD record, its head and first 8 data bytes.
  _tagPacketDataCAN DecodeCan() const {
    _tagPacketDataCAN r;
    ReadHead(r);
    std::memcpy(r.data, p_ + 16, sizeof(r.data));
    return r;
  }

 protected:
  // Inline, as every received frame passes here once.
  template <typename Record>
  void ReadHead(Record& r) const {
    r.timestamp = LoadBe64(p_);
    r.id = LoadBe32(p_ + 8);
    r.flags = LoadBe16(p_ + 12);
    r.channel = p_[14];
    r.len = p_[15];
  }

  const uint8_t* p_;
};
class CanRecordView : public RecordHead {
 public:
  using RecordHead::RecordHead;
  static constexpr size_t kSize = kCanRecordSize;
  _tagPacketDataCAN Decode() const { return DecodeCan(); }
};
class CanFdRecordView : public RecordHead {
 public:
  using RecordHead::RecordHead;
  static constexpr size_t kSize = kCanFdRecordSize;
  _tagPacketDataCANFD Decode() const {
    _tagPacketDataCANFD r;
    ReadHead(r);
    std::memcpy(r.data, p_ + 16, sizeof(r.data));
    return r;
  }
};
class GpsRecordView {
 public:
  explicit GpsRecordView(const uint8_t* p) : p_(p) {}
  static constexpr size_t kSize = kGpsRecordSize;
  _tagPacketDataGPS Decode() const;

 private:
  const uint8_t* p_;
};

// The whole records of one packet's payload.
template <typename View>
class RecordRange {
 public:
  RecordRange() = default;
  explicit RecordRange(ByteSpan payload)
      : first_(payload.data()), count_(static_cast<uint32_t>(payload.size() / View::kSize)) {}
  uint32_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  View operator[](uint32_t i) const { return View(first_ + size_t{i} * View::kSize); }

 private:
  const uint8_t* first_ = nullptr;
  uint32_t count_ = 0;
};
using CanRecords = RecordRange<CanRecordView>;
using CanFdRecords = RecordRange<CanFdRecordView>;
using GpsRecords = RecordRange<GpsRecordView>;

// The records of a received packet of that type; none for another type.
// Bytes after the last whole record are ignored (GPS packets).
CanRecords DecodeCanPacket(PacketView packet);
CanFdRecords DecodeCanFdPacket(PacketView packet);
GpsRecords DecodeGpsPacket(PacketView packet);

// Records in a packet of a type counted in records; 0 for other types.
uint32_t RecordCountOf(PacketView packet);

// What the gateway reports in the first data byte of an error frame.
enum class GatewayError : uint8_t {
  kBusError = 0xE1,          // the second byte says which
  kErrorWarning = 0xE2,      // an error counter passed the warning level
  kPassiveErrorFlag = 0xE3,  // an error flag sent while error passive
  kBusOff = 0xE4,
  kOverloadFlag = 0xE5,
  kNoError = 0xE6,
  kUnspecified = 0xFF,
};

// Error-frame record -> the application's error information: a VELA_ERR_*
// code and, for a bus error, its kind and place in detail byte 0.
VELA_CHANNEL_ERR_INFO MakeErrorInfo(const _tagPacketDataCAN& record);

}  // namespace tarnlink

#endif  // TARNLINK_PROTOCOL_RECORDS_H_
