// Captures of link type 227 (LINKTYPE_CAN_SOCKETCAN): pcapng written block by
// block, and pcap or pcapng read back, for Wireshark and the tools like it.
#ifndef TARNLINK_TOOLS_CLI_PCAPNG_H_
#define TARNLINK_TOOLS_CLI_PCAPNG_H_

#include <cstddef>
#include <cstdint>
#include <istream>
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

// A frame read back from a capture.
struct CaptureRecord {
  // Its interface's name ("ch0"), or "ch<N>" for the Nth interface of the
  // section when it has none. Valid until the reader's next call.
  std::string_view name;
  Frame frame;
  uint64_t micros = 0;  // time stamp in microseconds, rounded down (saturated)
};

// Whether bytes start like a pcap or pcapng file.
bool LooksLikeCapture(std::string_view bytes);

// Reads a pcap or pcapng stream (either byte order, micro- or nanosecond
// pcap, any pcapng time resolution) forward, one block at a time. What it
// keeps is bounded whatever the input says: one interface table per section
// (at most kMaxInterfaces, their names together at most kMaxNameBytes) and
// one record; every length is checked before anything is read by it.
// Packets of interfaces of another link type are passed over.
class CaptureReader {
 public:
  enum class Status {
    kRecord,  // *out holds the next frame
    kEnd,     // the input ended after a whole block
    kCut,     // the input ended inside a block (a writer killed mid-write): *error says at which byte
    kError,   // damaged, no interface of link type 227, or a record that is not a frame: *error says why
  };
  static constexpr size_t kMaxInterfaces = 4096;
  static constexpr size_t kMaxNameBytes = 1 << 20;

  explicit CaptureReader(std::istream& in) : in_(in) {}
  CaptureReader(const CaptureReader&) = delete;
  CaptureReader& operator=(const CaptureReader&) = delete;

  Status Next(CaptureRecord* out, std::string* error);
  // Packets read so far, whatever their interface (the Nth for messages).
  uint64_t packets() const { return packets_; }

 private:
  struct Interface {
    uint16_t link_type = 0;
    uint8_t tsresol = 6;  // if_tsresol: 10^-6 s unless the interface says otherwise
    std::string name;     // kept for link type 227 only
  };
  Status NextPcap(CaptureRecord* out, std::string* error);
  Status NextPcapng(CaptureRecord* out, std::string* error);
  Status ReadInterface(uint32_t body, std::string* error);
  Status Record(const Interface& iface, uint32_t number, uint32_t caplen, uint32_t body_left, uint64_t micros,
                CaptureRecord* out, std::string* error);
  Status Cut(std::string* error) const;
  bool Get(void* out, size_t n);
  bool Skip(uint64_t n);
  uint16_t U16(const uint8_t* p) const;
  uint32_t U32(const uint8_t* p) const;

  std::istream& in_;
  uint64_t offset_ = 0;  // bytes consumed
  uint64_t block_at_ = 0;
  bool started_ = false;
  bool pcapng_ = false;
  bool swap_ = false;
  bool nanos_ = false;  // pcap
  bool any227_ = false;
  std::vector<Interface> interfaces_;
  size_t name_bytes_ = 0;
  uint64_t packets_ = 0;
  std::string number_name_;  // "ch<N>"
  uint8_t record_[kSocketCanFdSize] = {};
};

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_PCAPNG_H_
