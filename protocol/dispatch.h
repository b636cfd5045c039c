// Dispatch of reassembled packets to what they cause, through a sink that
// the layer above implements; protocol/ knows nothing of who listens.
#ifndef TARNLINK_PROTOCOL_DISPATCH_H_
#define TARNLINK_PROTOCOL_DISPATCH_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/commands.h"
#include "protocol/stream_parser.h"
#include "tarnlink/tarnlink.h"

namespace tarnlink {

// What a dispatched packet causes. Every call comes from the thread that
// feeds the bytes; the pointers are valid for the call only.
class PacketSink {
 public:
  virtual ~PacketSink() = default;
  // count >= 1 whole records of the packet's record size.
  virtual void OnCanRecords(const uint8_t* records, uint32_t count) = 0;
  virtual void OnCanFdRecords(const uint8_t* records, uint32_t count) = 0;
  virtual void OnGpsRecords(const uint8_t* records, uint32_t count) = 0;
  // The channel is as received: the sink checks it against its channels.
  virtual void OnChannelReport(const VELA_CHANNEL_REPORT& report) = 0;
  // slot is the packet's flags byte, unchecked.
  virtual void OnDeviceText(uint8_t slot, const uint8_t* text, size_t n) = 0;
  virtual void OnAnswer(uint8_t sequence, CommandMessage&& answer) = 0;
  // A request from the gateway; the sink answers it.
  virtual void OnRequest(uint8_t sequence, const CommandMessage& request) = 0;
  // A notice that wants an acknowledgement with these flags.
  virtual void OnNotice(uint8_t flags) = 0;
};

// Acts on one packet that passed the header and checksum checks (as the
// stream parser hands them out): n >= kMinPacketSize.
void DispatchPacket(const uint8_t* packet, size_t n, PacketSink& sink);

// Reassembly per peer text (bounded by PeerParsers), then dispatch of each complete packet in order.
// Used from one thread at a time (a transport's receive thread).
class PacketReassembly {
 public:
  // counters, when given, must outlive the reassembly.
  explicit PacketReassembly(StreamCounters* counters = nullptr) : parsers_(counters) {}

  // len 0 means that peer's connection ended: what it left of a packet can
  // never be completed, and a new connection with the same text starts afresh.
  void Feed(const char* peer, const char* data, uint32_t len, PacketSink& sink);
  void Clear() { parsers_.Clear(); }
  // 0: no limit. Set while no Feed runs.
  void SetPeerLimit(size_t limit) { parsers_.SetPeerLimit(limit); }

 private:
  PeerParsers parsers_;
  std::vector<PacketView> views_;
};

}  // namespace tarnlink

#endif  // TARNLINK_PROTOCOL_DISPATCH_H_
