// Per-peer reassembly of packets from a byte stream, with resynchronisation.
#ifndef TARNLINK_PROTOCOL_STREAM_PARSER_H_
#define TARNLINK_PROTOCOL_STREAM_PARSER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/packet.h"

namespace tarnlink {

// Packet types by their counting slot; kOther takes any type not listed.
enum class PacketSlot : uint8_t {
  kCanData,
  kCanFdData,
  kAutoSendEntries,
  kChannelReport,
  kDeviceText,
  kGpsData,
  kCommand,
  kNotice,
  kNoticeAck,
  kOther,
  kCount,
};
PacketSlot SlotOfType(uint8_t type);

// What the parsers of one receiver count: relaxed atomics, one writer (the
// receive thread), read from anywhere.
struct StreamCounters {
  // One writer: a plain load and store, no locked read-modify-write.
  static void Add(std::atomic<uint64_t>& counter, uint64_t n) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }

  std::atomic<uint64_t> bytes_received{0};
  std::atomic<uint64_t> bytes_skipped{0};  // not part of any valid packet
  std::atomic<uint64_t> bad_checksums{0};  // whole candidates that failed their checksum
  std::atomic<uint64_t> packets[static_cast<size_t>(PacketSlot::kCount)]{};
};

class StreamParser {
 public:
  // counters, when given, must outlive the parser.
  explicit StreamParser(StreamCounters* counters = nullptr) : counters_(counters) {}

  void AppendBytes(ByteSpan bytes);

  // Empties out, then appends every complete valid packet as a view into
  // the buffer, valid until the next AppendBytes. The bytes of the viewed
  // packets are consumed.
  size_t ExtractPackets(std::vector<PacketView>& out);

  // Bytes held back (a partial packet or bytes not yet scanned).
  size_t Buffered() const { return buf_.size() - head_; }

  // Empty, as new, but keeping the buffer's storage.
  void Reset();

  // Bytes of storage held, consumed bytes and the rescan table included.
  size_t Capacity() const { return buf_.capacity() + xor_.capacity(); }

 private:
  // Finds the next packet at or after head_; returns its size or 0.
  size_t NextPacket();

  // Whether the total bytes at head_ end in their checksum.
  bool ChecksumMatches(size_t total);
  void CountSkipped(size_t n) {
    if (counters_ != nullptr && n != 0) StreamCounters::Add(counters_->bytes_skipped, n);
  }

  StreamCounters* counters_;

  // Invariant: bytes before head_ are consumed; compacted on append.
  std::vector<uint8_t> buf_;
  size_t head_ = 0;

  // After a checksum failure the rescan may test many overlapping long
  // candidates; a prefix-XOR table over the buffer makes each test O(1)
  // instead of O(N). xor_[i] is the XOR of buf_[xor_from_, xor_from_ + i);
  // empty when not built. Clean traffic never builds it: the table is used
  // from a failure until kMaxPacketSize clean bytes have passed.
  bool rescanning_ = false;
  size_t clean_run_ = 0;
  size_t xor_from_ = 0;
  std::vector<uint8_t> xor_;
};

// Reassembly state per peer text ("%s:%d"). A peer holds state only while
// it has part of a packet pending. With a peer limit, at most that many do
// (the one quiet longest gives way to a new one): datagram senders have no
// connection whose end frees their state, and anyone on a multicast group
// can send, so neither their number nor what they leave unfinished may grow
// the process. Connected peers are bounded by their connections instead.
class PeerParsers {
 public:
  static constexpr size_t kDatagramPeerLimit = 32;

  // counters, when given, must outlive the parsers; every peer counts there.
  explicit PeerParsers(StreamCounters* counters = nullptr) : counters_(counters), scratch_(counters) {}

  // 0: no limit (the default). Set while no Feed runs.
  void SetPeerLimit(size_t limit) { limit_ = limit; }

  // Appends a chunk of peer's stream; out gets every complete packet, as
  // views valid until the next Feed, End or Clear.
  size_t Feed(std::string_view peer, ByteSpan bytes, std::vector<PacketView>& out);
  // That peer's stream has ended: what it left unfinished is dropped.
  void End(std::string_view peer);
  void Clear();
  // Peers holding part of a packet.
  size_t Held() const { return held_.size(); }

 private:
  struct State {
    StreamParser parser;
    uint64_t last_use = 0;
  };
  StreamCounters* counters_;
  std::map<std::string, State, std::less<>> held_;
  // Parses a chunk of a peer without held state; its storage is reused.
  StreamParser scratch_;
  uint64_t uses_ = 0;
  size_t limit_ = 0;
};

}  // namespace tarnlink

#endif  // TARNLINK_PROTOCOL_STREAM_PARSER_H_
