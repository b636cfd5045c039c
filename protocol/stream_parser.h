// Per-peer reassembly of packets from a byte stream, with resynchronisation.
#ifndef TARNLINK_PROTOCOL_STREAM_PARSER_H_
#define TARNLINK_PROTOCOL_STREAM_PARSER_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/packet.h"

namespace tarnlink {

// A packet inside the parser's buffer; valid until the next AppendBytes.
struct PacketView {
  const uint8_t* data;
  size_t size;
};

class StreamParser {
 public:
  // Appends len bytes; nothing for null data or len <= 0.
  void AppendBytes(const uint8_t* data, long len);

  // Empties out, then appends every complete valid packet, each copied once.
  size_t ExtractPackets(std::vector<Packet>& out);

  // Same scan without copying: views into the buffer, valid until the next
  // AppendBytes. The bytes of the viewed packets are consumed.
  size_t ExtractViews(std::vector<PacketView>& out);

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

  // 0: no limit (the default). Set while no Feed runs.
  void SetPeerLimit(size_t limit) { limit_ = limit; }

  // Appends a chunk of peer's stream; out gets every complete packet, as
  // views valid until the next Feed, End or Clear.
  size_t Feed(std::string_view peer, const uint8_t* data, long len, std::vector<PacketView>& out);
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
  std::map<std::string, State, std::less<>> held_;
  // Parses a chunk of a peer without held state; its storage is reused.
  StreamParser scratch_;
  uint64_t uses_ = 0;
  size_t limit_ = 0;
};

}  // namespace tarnlink

#endif  // TARNLINK_PROTOCOL_STREAM_PARSER_H_
