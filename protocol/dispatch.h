// Dispatch of reassembled packets to what they cause, through a sink that
// the layer above implements; protocol/ knows nothing of who listens.
#ifndef TARNLINK_PROTOCOL_DISPATCH_H_
#define TARNLINK_PROTOCOL_DISPATCH_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/commands.h"
#include "protocol/records.h"
#include "protocol/stream_parser.h"
#include "tarnlink/tarnlink.h"

namespace tarnlink {

// What a dispatched packet causes. Every call comes from the thread that
// feeds the bytes; the pointers are valid for the call only.
class PacketSink {
 public:
  virtual ~PacketSink() = default;
  // At least one record each; the sink decodes those it keeps, once.
  virtual void OnCanRecords(CanRecords records) = 0;
  virtual void OnCanFdRecords(CanFdRecords records) = 0;
  virtual void OnGpsRecords(GpsRecords records) = 0;
  // The channel is as received: the sink checks it against its channels.
  virtual void OnChannelReport(const VELA_CHANNEL_REPORT& report) = 0;
  // slot is the packet's flags byte, unchecked.
  virtual void OnDeviceText(uint8_t slot, ByteSpan text) = 0;
  virtual void OnAnswer(uint8_t sequence, CommandMessage&& answer) = 0;
  // A request from the gateway; the sink answers it.
  virtual void OnRequest(uint8_t sequence, const CommandMessage& request) = 0;
  // A notice that wants an acknowledgement with these flags.
  virtual void OnNotice(uint8_t flags) = 0;
};

// Acts on one packet as the stream parser hands them out.
void DispatchPacket(PacketView packet, PacketSink& sink);

// Reassembly per peer text (bounded by PeerParsers), then dispatch of each complete packet in order.
// Used from one thread at a time (a transport's receive thread).
class PacketReassembly {
 public:
  // counters, when given, must outlive the reassembly.
  explicit PacketReassembly(StreamCounters* counters = nullptr) : parsers_(counters) {}

  // No bytes means that peer's connection ended: what it left of a packet can
  // never be completed, and a new connection with the same text starts afresh.
  void Feed(const char* peer, ByteSpan bytes, PacketSink& sink);
  void Clear() { parsers_.Clear(); }
  // 0: no limit. Set while no Feed runs.
  void SetPeerLimit(size_t limit) { parsers_.SetPeerLimit(limit); }

 private:
  PeerParsers parsers_;
  std::vector<PacketView> views_;
};

}  // namespace tarnlink

#endif  // TARNLINK_PROTOCOL_DISPATCH_H_
