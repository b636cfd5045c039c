// A simulated CAN / CAN FD gateway: plays the device side of the packet
// protocol on this machine, for tests, demos and the `tarnlink sim` command.
//
// It has its own small socket and wire code (not the driver's transports or
// parser), so the driver is checked against an independent peer. Every public
// function is thread-safe. Start and Stop never hang: blocking sends give up
// when the gateway stops, every wait has a deadline.
#ifndef TARNLINK_TOOLS_SIM_GATEWAY_H_
#define TARNLINK_TOOLS_SIM_GATEWAY_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/sim/wire.h"

namespace tarnlink::sim {

enum class LinkMode {
  kTcpListen,   // the gateway listens; the driver is a TCP client
  kTcpConnect,  // the gateway connects to a listening driver, reconnecting when dropped
  kUdp,         // datagrams from a bound local port to the driver's address and port (or a group)
};

struct GatewayConfig {
  LinkMode mode = LinkMode::kTcpListen;
  // kTcpListen / kUdp: local address and port to bind (port 0: the system picks; see LocalPort()).
  std::string bind_address = "127.0.0.1";
  uint16_t local_port = 0;
  // kTcpConnect: the driver's listening address and port. kUdp: where datagrams go; a
  // 224.0.0.0/4 address sends to that multicast group. kUdp with port 0: answer the last sender.
  std::string remote_address = "127.0.0.1";
  uint16_t remote_port = 0;
  // kUdp multicast: outgoing interface address and whether our own datagrams loop back.
  std::string multicast_interface = "127.0.0.1";
  bool multicast_loop = true;
  // kTcpConnect: pause between connection attempts.
  int reconnect_ms = 200;
  // Channels of the modelled device (1, 2 or 4 for the model table; up to 32).
  uint32_t channels = 2;
  // Initial echo switch of every channel (see SetEcho).
  bool echo = true;
  // The bench model, for channels whose echo is off: a frame a driver sends
  // on a channel goes to every other connected driver on that channel (not
  // back to the sender, as no CAN node receives its own frame), and to every
  // driver on the channels wired to it. Timed entries count as sent by the
  // driver that set them.
  bool bus = false;
  // Pairs of channels cabled together (bus model); pairs that share a
  // channel join into one bus.
  std::vector<std::pair<uint8_t, uint8_t>> wires;
  // Bytes queued for a connection before a bulk send waits (TCP back-pressure).
  // Sends that must not wait (echoes, answers, timed frames) skip a connection
  // holding twice this much: its peer is not reading, and the others go on.
  size_t send_high_water = 4u << 20;
  // Most packets and decoded frames kept in the record (the oldest go first);
  // notices are kept up to record_limit too. 0 = record nothing: a long-running
  // gateway then keeps no copies, while counters and PacketCount still count.
  size_t record_limit = 200000;
  size_t frame_record_limit = 1000000;
  // AutoSendRead answers. true: a member for every index asked for below 32,
  // an unused slot as a disabled entry with zero fields, as a gateway with a
  // fixed table of 32 slots answers. false: members only for the indexes that
  // hold an entry (a sparse answer; the driver's read-back ends at its first
  // gap), the default, which the driver's read-back tests script against.
  bool autosend_read_all_slots = false;
};

// Answers to DeviceInfo (command 1); the defaults are what a fresh device reports.
struct DeviceIdentity {
  std::string model = "Emulator Device";
  std::string firmware = "V1.00.00";
  std::string hardware = "V1.00.00";
  std::string serial = "1234567890";
};

// How the next answers to one command code are given (scripting hook for tests).
enum class AnswerMode {
  kNormal,          // the gateway's own answer
  kSilent,          // no answer at all
  kWrongSequence,   // right message id, packet sequence + 1 (mod 8)
  kWrongMessageId,  // right sequence, message id + 1
  kFailure,         // result byte 0, the normal body
  kCustomBody,      // result byte `result`, body `body` exactly (no zero byte added)
};

struct AnswerScript {
  AnswerMode mode = AnswerMode::kNormal;
  uint8_t result = 1;         // kCustomBody only
  std::vector<uint8_t> body;  // kCustomBody only
  int delay_ms = 0;           // the answer leaves this long after the request arrived
  int uses = -1;              // answers it applies to; -1 = until cleared
};

// A fix for GpsData records; encoded into the record's words as the driver reads them.
struct GpsFix {
  bool time_valid = true;
  uint64_t utc_seconds = 0;  // since 1970-01-01 UTC, 56 bits
  double latitude = 0;       // degrees, negative = south
  double longitude = 0;      // degrees, negative = west
  bool position_valid = true;
  double speed = 0;  // tenths are kept
  bool speed_valid = true;
  double course = 0;  // millionths are kept
  bool course_valid = true;
  double altitude = 0;  // metres, -1000 .. 64535
  bool altitude_valid = true;
};

// Frames the gateway generates on one channel, in full packets.
struct TrafficSpec {
  uint8_t channel = 0;
  double frames_per_second = 1000;  // 0 = as fast as the link takes them
  uint64_t total = 0;               // 0 = until StopTraffic
  uint32_t id_first = 0x100;        // identifiers cycle id_first .. id_last
  uint32_t id_last = 0x100;
  uint8_t len_min = 8;  // lengths cycle len_min .. len_max (bytes, at most 8 or 64)
  uint8_t len_max = 8;
  // CAN FD lengths as a controller sends them: each length of the range padded up to the
  // next CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64), every padded length once per cycle.
  // false (the default, which receive tests of length pass-through rely on): every length
  // of the range as it is, 9, 10, 11 included.
  bool fd_valid_lengths = false;
  bool fd = false;  // CanFdData packets with the FD flag
  bool brs = false;
  bool extended = false;
  bool remote = false;
  // Time stamps: false = the gateway clock (us since start), true = 0, 1, 2, ... per frame.
  bool sequence_stamps = false;
};

// One packet the driver sent, exactly as it arrived (header, payload, checksum).
struct HostPacket {
  uint64_t serial = 0;  // 0, 1, 2, ... in arrival order
  std::string peer;     // "address:port" of the driver side
  std::chrono::steady_clock::time_point when;
  std::vector<uint8_t> bytes;

  uint8_t type() const { return bytes.size() > 1 ? bytes[1] : 0xFF; }
  uint8_t flags() const { return bytes.size() > 2 ? bytes[2] : 0; }
  const uint8_t* payload() const { return bytes.data() + kWireHeaderSize; }
  size_t payload_size() const { return bytes.size() >= kWireHeaderSize + 1 ? bytes.size() - kWireHeaderSize - 1 : 0; }
};

// One data record the driver transmitted, decoded by the gateway.
struct HostFrame {
  uint64_t packet_serial = 0;  // HostPacket::serial of the carrying packet
  bool in_fd_packet = false;   // came in a CanFdData packet
  WireFrame record;            // all fields as on the wire (classic: data[8..63] zero)
};

// What the gateway counted since Start (or ResetCounters).
struct GatewayCounters {
  uint64_t frames_in = 0;       // data records received from the driver
  uint64_t frames_out = 0;      // data records put on the link (echoes, traffic, injections), once per
                                // record however many connections take it
  uint64_t frames_dropped = 0;  // records not queued for a connection that was not reading (per connection)
  uint64_t packets_in = 0;      // valid packets received
  uint64_t packets_out = 0;     // packets sent
  uint64_t bad_bytes = 0;       // received bytes skipped while resynchronising
  uint64_t commands_answered = 0;
  uint64_t notices_acked = 0;
  uint64_t autosend_frames = 0;  // timed transmissions put on the bus
  uint64_t connections = 0;      // TCP connections made or accepted
};

class Gateway {
 public:
  using LogSink = std::function<void(const std::string& line)>;

  explicit Gateway(GatewayConfig config = {});
  ~Gateway();  // Stop()
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // ---- Lifecycle -------------------------------------------------------------
  // Opens the link (listen, first connect attempt started, or bind) and the worker threads; false on failure.
  bool Start();
  // Closes every socket and joins every thread; safe to call twice or without Start.
  void Stop();
  bool running() const;
  // The bound local port (kTcpListen, kUdp) or the local port of the current connection (kTcpConnect).
  uint16_t LocalPort() const;
  // kUdp: changes the destination (e.g. once the driver's port is known).
  void SetRemote(const std::string& address, uint16_t port);
  // TCP connections open now (kUdp: 1 after Start).
  size_t ConnectionCount() const;
  // Waits until at least n connections are open; false at the deadline.
  bool WaitConnections(size_t n, std::chrono::milliseconds timeout) const;
  // Closes every TCP connection now (kTcpConnect then reconnects after reconnect_ms).
  void DropConnections();
  // kTcpConnect: whether to reconnect after a drop (default true).
  void SetReconnect(bool on);

  // ---- Device model ------------------------------------------------------------
  uint32_t channels() const;
  void SetIdentity(const DeviceIdentity& identity);
  // Answer text of DeviceQuery Type 1-4 (sent with its zero byte); other types get "{}".
  void SetQueryText(int type, const std::string& text);
  // Numbers of the SizeRemainQuery answer.
  void SetSizeRemain(int64_t size, int64_t remain);
  // Result byte of ChannelAction answers (body empty).
  void SetChannelActionResult(uint8_t result);
  // Echo switch of one channel: a frame a driver transmits comes back as a received frame to
  // every connected driver, the sender included, as a bus shows a frame to every node.
  void SetEcho(uint8_t channel, bool on);
  // Scripting hook: how the next answers to `code` are given (replaces an earlier script).
  void ScriptAnswer(uint8_t code, const AnswerScript& script);
  void ClearScripts();

  // ---- Timed transmission (AutoSendEntries from the driver) -------------------------
  // The entries held for a channel, by index (only indexes that were received or set).
  std::vector<WireAutoSendEntry> AutoSendTable(uint8_t channel) const;
  // Replaces the table of a channel (for read-back tests), as if the driver had sent it.
  void SetAutoSendTable(uint8_t channel, const std::vector<WireAutoSendEntry>& entries);
  // Times an entry was transmitted since it was last received.
  uint64_t AutoSendTransmissions(uint8_t channel, uint8_t index) const;

  // ---- Frames to the driver (each call packs full packets: 60 CAN / 18 CAN FD records) ----
  // Gateway clock: microseconds since Start.
  uint64_t NowMicros() const;
  // Convenience record: identifier, data, channel; time stamp = NowMicros().
  WireFrame MakeFrame(uint8_t channel, uint32_t id, const std::vector<uint8_t>& data, bool fd = false) const;
  // CanData packets (records with the FD flag are sent as they are).
  bool SendCanFrames(const std::vector<WireFrame>& frames);
  // CanFdData packets.
  bool SendCanFdFrames(const std::vector<WireFrame>& frames);
  // Error frame: data b0 (class, 0xE1-0xE6, 0xFF...), d1 (E1 sub-code), d2, d3, d4 = detail bytes; length len.
  bool SendErrorFrame(uint8_t channel, uint8_t b0, uint8_t d1, uint8_t detail1, uint8_t detail2, uint8_t len = 8,
                      bool in_fd_packet = false);
  // Marker record (flags bit 2) with this time stamp.
  bool SendMarker(uint8_t channel, uint64_t timestamp, bool in_fd_packet = false);
  // GpsData packet of one record per fix / raw record.
  bool SendGps(const std::vector<GpsFix>& fixes);
  bool SendGpsRecords(const std::vector<WireGps>& records);
  // ChannelReport packet with one record.
  bool SendChannelReport(const WireChannelReport& report);
  // DeviceText packet into slot (flags byte) 1-4 (any value is sent as given).
  bool SendDeviceText(uint8_t slot, const std::string& text);
  // Notice packet (value big-endian, flags as given); the driver's NoticeAck is recorded.
  bool SendNotice(uint64_t value, uint8_t flags = 0);
  // Command request to the driver; waits for its answer (nullopt at the deadline). Works
  // with record_limit 0 as well: the answer is caught as it arrives, not found in the record.
  std::optional<HostPacket> RequestFromHost(uint8_t code, const std::vector<uint8_t>& body, uint8_t sequence,
                                            uint8_t message_id, std::chrono::milliseconds timeout);
  // A framed packet of any type with a correct checksum.
  bool SendPacket(uint8_t type, uint8_t flags, const std::vector<uint8_t>& payload);
  // Bytes exactly as given (junk, damaged packets).
  bool SendRaw(const std::vector<uint8_t>& bytes);
  // Bytes in pieces of the given sizes (the rest in one last piece), `gap` apart.
  bool SendInChunks(const std::vector<uint8_t>& bytes, const std::vector<size_t>& sizes,
                    std::chrono::milliseconds gap = std::chrono::milliseconds(5));

  // ---- Generated traffic ---------------------------------------------------------------
  // Starts (or replaces) the generator of plan.channel.
  void StartTraffic(const TrafficSpec& plan);
  // Stops the generator of a channel; the frames it sent (0 if none ran).
  uint64_t StopTraffic(uint8_t channel);
  void StopAllTraffic();
  // Frames the generator of a channel has sent since it was started.
  uint64_t TrafficSent(uint8_t channel) const;
  // Waits until a generator with a total has sent all of it; false at the deadline.
  bool WaitTrafficDone(uint8_t channel, std::chrono::milliseconds timeout) const;
  // `count` frames on a channel as fast as the link takes them, on the caller's thread;
  // time stamps first_stamp, first_stamp+1, ...; identifier = (base_id + i) & 0x7FF. False on a send failure.
  bool Burst(uint8_t channel, uint64_t count, uint64_t first_stamp = 0, uint32_t base_id = 0, bool fd = false);

  // ---- What the driver sent ---------------------------------------------------------------
  // Copies of the packets received (all, or of one type) in arrival order (see record_limit).
  std::vector<HostPacket> Packets() const;
  std::vector<HostPacket> Packets(uint8_t type) const;
  size_t PacketCount(uint8_t type) const;
  size_t PacketCount() const;
  // Waits until at least `count` packets of `type` have arrived in total; false at the deadline.
  bool WaitForPackets(uint8_t type, size_t count, std::chrono::milliseconds timeout) const;
  // Waits until pred() holds (re-checked on every change and every 10 ms); false at the deadline.
  // pred may call this object's functions.
  bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const;
  // Data records the driver transmitted, decoded, in order (all channels).
  std::vector<HostFrame> FramesFromHost() const;
  // Values of the Notices the driver sent.
  std::vector<uint64_t> NoticesFromHost() const;
  // Forgets recorded packets, frames and notices (counters stay).
  void ClearRecord();

  // ---- Counters and reporting --------------------------------------------------------------
  GatewayCounters Counters() const;
  void ResetCounters();
  // One line: "frames in N, frames out M, packets in P, out Q, ..." .
  std::string Summary() const;
  // Receives one line per thing the gateway does when set; empty = quiet.
  void SetLog(LogSink sink);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarnlink::sim

#endif  // TARNLINK_TOOLS_SIM_GATEWAY_H_
