// Captures of link type 227 (LINKTYPE_CAN_SOCKETCAN): pcapng written block by
// block, and pcap or pcapng read back, for Wireshark and the tools like it.
#ifndef TARNLINK_TOOLS_CLI_PCAPNG_H_
#define TARNLINK_TOOLS_CLI_PCAPNG_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/frame_text.h"

namespace tarnlink::cli {

constexpr uint16_t kLinkTypeSocketCan = 227;
constexpr size_t kSocketCanClassicSize = 16;
constexpr size_t kSocketCanFdSize = 72;
constexpr uint8_t kSocketCanFdf = 0x04;  // FD flags byte: a CAN FD frame

// A frame as a SocketCAN record: identifier word big-endian, length, FD flags
// (BRS, ESI and always FDF for CAN FD), two zero bytes, then 8 or 64 data
// bytes. Appended to out.
void AppendSocketCanRecord(const Frame& frame, std::string* out);
// A record read back; false when it is no valid classic or CAN FD record.
bool ParseSocketCanRecord(const uint8_t* p, size_t n, Frame* out);

// pcapng with one interface description block per channel ("ch0", "ch1", ...)
// and microsecond time stamps. Every call appends whole blocks, so a reader
// sees only complete blocks whenever the caller flushes what it appended.
class PcapngWriter {
 public:
  explicit PcapngWriter(std::vector<uint32_t> channels) : channels_(std::move(channels)) {}
  // Section header and the interface blocks.
  void AppendHeader(std::string* out) const;
  // One enhanced packet block; micros since 1970 UTC (or the gateway's clock).
  // A channel that has no interface is passed over.
  void AppendFrame(uint32_t channel, const Frame& frame, uint64_t micros, std::string* out) const;

 private:
  std::vector<uint32_t> channels_;  // interface number -> channel
};

struct CaptureRecord {
  std::string name;  // the interface name ("ch0"), or "ch<interface number>" when it has none
  Frame frame;
  uint64_t micros = 0;  // time stamp in microseconds
};

// Whether bytes start like a pcap or pcapng file.
bool LooksLikeCapture(std::string_view bytes);
// Every packet of a pcap or pcapng file (either byte order, micro- or
// nanosecond pcap, any pcapng time resolution). Packets of interfaces of
// another link type are passed over; false with a reason when the file is
// damaged, holds no interface of link type 227 or a record is not a frame.
bool ReadCapture(std::string_view bytes, std::vector<CaptureRecord>* out, std::string* error);

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_PCAPNG_H_
