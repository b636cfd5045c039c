// The gateway side of the packet format, written independently of the
// driver's codecs so that each checks the other.
#ifndef TARNLINK_TOOLS_SIM_WIRE_H_
#define TARNLINK_TOOLS_SIM_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace tarnlink::sim {

constexpr size_t kWireHeaderSize = 6;
constexpr uint8_t kWireStart = 0x55;

// Packet type codes.
enum : uint8_t {
  kTypeCan = 0x00,
  kTypeCanFd = 0x01,
  kTypeAutoSend = 0x02,
  kTypeChannelReport = 0x03,
  kTypeDeviceText = 0x04,
  kTypeGps = 0x05,
  kTypeCommand = 0x50,
  kTypeNotice = 0x80,
  kTypeNoticeAck = 0x81,
};

// Record flag bits.
enum : uint16_t {
  kWireMarker = 1u << 2,
  kWireTxOption = 1u << 3,
  kWireFd = 1u << 4,
  kWireRemote = 1u << 5,
  kWireExtended = 1u << 6,
  kWireError = 1u << 7,
  kWireBrs = 1u << 8,
  kWireEsi = 1u << 9,
  kWireByte5 = 1u << 10,
};

constexpr size_t kWireCanSize = 24;
constexpr size_t kWireCanFdSize = 80;
constexpr size_t kWireAutoSendSize = 88;
constexpr size_t kWireGpsSize = 32;
constexpr size_t kWireReportSize = 24;
constexpr size_t kCanPerPacket = 60;
constexpr size_t kCanFdPerPacket = 18;

// A CAN or CAN FD data record (a classic record uses data[0..7]).
struct WireFrame {
  uint64_t timestamp = 0;
  uint32_t id = 0;
  uint16_t flags = 0;
  uint8_t channel = 0;
  uint8_t len = 0;
  uint8_t data[64] = {};
};

struct WireAutoSendEntry {
  uint8_t index = 0;
  uint8_t enable = 0;
  uint16_t period = 0;
  uint16_t count = 0;
  uint16_t reserved = 0;
  WireFrame frame;
};

struct WireGps {
  uint64_t time_word = 0;
  uint32_t fields[6] = {};
};

struct WireChannelReport {
  uint64_t value0 = 0;
  uint64_t value1 = 0;
  uint8_t channel = 0;
  uint8_t byte17 = 0;
  uint16_t value16 = 0;
  uint32_t value32 = 0;
};

uint8_t WireChecksum(const uint8_t* p, size_t n);
// Header, payload and checksum.
std::vector<uint8_t> FramePacket(uint8_t type, uint8_t flags, const uint8_t* payload, size_t n);
inline std::vector<uint8_t> FramePacket(uint8_t type, uint8_t flags, const std::vector<uint8_t>& payload) {
  return FramePacket(type, flags, payload.data(), payload.size());
}

void PutFrame(std::vector<uint8_t>& out, const WireFrame& f, bool fd_size);
WireFrame GetFrame(const uint8_t* p, bool fd_size);
WireAutoSendEntry GetAutoSendEntry(const uint8_t* p);
void PutAutoSendEntry(std::vector<uint8_t>& out, const WireAutoSendEntry& e);
void PutGps(std::vector<uint8_t>& out, const WireGps& g);
void PutReport(std::vector<uint8_t>& out, const WireChannelReport& r);

// Data packets of at most 60 (CAN) or 18 (CAN FD) records each.
std::vector<std::vector<uint8_t>> DataPackets(const std::vector<WireFrame>& frames, bool fd);

// Command packet: flags = sequence << 1 | answer, payload = id, code, body.
std::vector<uint8_t> CommandPacket(bool answer, uint8_t sequence, uint8_t message_id, uint8_t code,
                                   const std::vector<uint8_t>& body);

// Byte-stream reassembly of one connection: same header rules as the protocol.
class WireParser {
 public:
  void Append(const uint8_t* p, size_t n);
  // Next whole packet with a valid header and checksum; false when none yet.
  bool Next(std::vector<uint8_t>* packet);
  // Bytes skipped while resynchronising, since construction.
  uint64_t skipped() const { return skipped_; }
  void Clear() { buf_.clear(); }

 private:
  std::deque<uint8_t> buf_;
  uint64_t skipped_ = 0;
};

// Text with its terminating zero byte, as a body.
std::vector<uint8_t> TextBody(const std::string& text);

}  // namespace tarnlink::sim

#endif  // TARNLINK_TOOLS_SIM_WIRE_H_
