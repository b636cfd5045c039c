// The hub: one process holding one or more gateways through the driver and
// handing what they receive to any number of consumers (the socketcand
// server, the MQTT bridge, ...).
//
// How a consumer plugs in:
//   1. Derive from FrameConsumer and implement OnFrames. It runs on the
//      gateway's receive thread with the frames of one channel, in arrival
//      order (error information comes as SocketCAN error frames, the error
//      flag set). It must never block: copy what it needs into a bounded
//      queue of its own, count what does not fit, wake its own thread.
//   2. Hub::AddConsumer before Hub::Start; the consumer outlives Stop.
//   3. Transmit with Gateway::Send from any thread; it goes straight to the
//      driver, which is thread-safe, so senders never wait for each other.
//
// Bus names: the unnamed default gateway (the ordinary connection options)
// names its buses as the tool names channels, "ch0", "ch1"; a named gateway
// "NAME.chN" ("engine.ch0"). Names are at most 16 characters, socketcand's
// limit on a bus name: gateway names are at most 11 characters of
// [A-Za-z0-9_-].
#ifndef TARNLINK_TOOLS_SERVE_HUB_H_
#define TARNLINK_TOOLS_SERVE_HUB_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/cli/arrival_order.h"
#include "tools/cli/driver.h"
#include "tools/cli/frame_text.h"

namespace tarnlink::serve {

using cli::Frame;
using cli::Received;

constexpr size_t kMaxBusName = 16;
constexpr size_t kMaxGatewayName = 11;  // + ".ch" + two digits

// Which clock a consumer shows: the host's reception time, or the gateway's
// own stamp mapped onto epoch time (offset fixed by the first frame).
enum class TimeSource { kHost, kGateway };

class Gateway;

class FrameConsumer {
 public:
  virtual ~FrameConsumer() = default;
  virtual void OnFrames(const Gateway& gateway, uint32_t channel, const Received* frames, size_t count) = 0;
};

// Per-channel traffic the hub saw (data bytes and frames), for statistics.
struct ChannelTraffic {
  std::atomic<uint64_t> rx_frames{0};
  std::atomic<uint64_t> rx_bytes{0};
  std::atomic<uint64_t> tx_frames{0};
  std::atomic<uint64_t> tx_bytes{0};
};

class Gateway {
 public:
  Gateway(std::string name, std::unique_ptr<cli::Session> session);
  // A gateway not reachable yet: the receive thread opens it (see
  // Hub::AddGateway with retry).
  Gateway(std::string name, const cli::Driver& driver, const cli::ConnectOptions& options,
          std::vector<uint32_t> channels);
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  const std::string& name() const { return name_; }  // "" for the default gateway
  // Whether the session is open; session() only then.
  bool ready() const { return ready_.load(std::memory_order_acquire); }
  const cli::Session& session() const { return *session_; }
  const cli::ConnectOptions& options() const { return options_; }
  const std::vector<uint32_t>& channels() const { return channels_; }
  bool HasChannel(uint32_t channel) const;
  // "ch0" or "NAME.ch0".
  std::string BusName(uint32_t channel) const;

  // Transmits through the driver; false when the driver refused it (no
  // link, a full send queue) or the channel is not served. Thread-safe.
  bool Send(uint32_t channel, const Frame& frame) const;

  // A timed entry held and sent by the gateway itself (enable 0 stops it);
  // false when the driver or the gateway refused it.
  bool SetTimedEntry(uint32_t channel, const VELA_CAN_AUTOSEND& entry) const;
  // Indices of the timed entries the gateway has enabled now, CAN and CAN FD.
  uint32_t EnabledEntries(uint32_t channel) const;

  // The driver's counters; false when it has none.
  bool ReadStats(VELA_STATS* out) const;
  const ChannelTraffic& traffic(uint32_t channel) const { return traffic_[channel % kChannels]; }

  // Epoch microseconds of a received frame by the chosen clock.
  uint64_t StampMicros(const Received& r, TimeSource source) const;

 private:
  friend class Hub;
  static constexpr uint32_t kChannels = 32;

  std::string name_;
  const cli::Driver* driver_ = nullptr;
  cli::ConnectOptions options_;
  std::vector<uint32_t> channels_;
  // Set once, before ready_ turns true, by AddGateway or the receive thread.
  std::unique_ptr<cli::Session> session_;
  std::atomic<bool> ready_{false};
  mutable ChannelTraffic traffic_[kChannels];
  // Gateway stamp -> epoch offset, set once by the receive thread before
  // the first frame is handed out; atomic for the consumers' threads.
  std::atomic<int64_t> stamp_offset_us_{0};
  std::atomic<bool> stamp_offset_set_{false};
  std::thread thread_;
};

class Hub {
 public:
  Hub() = default;
  ~Hub();
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  // Opens a gateway (name "" for the default one) with the given channels
  // (empty: all) and keeps it open until the hub goes. Two gateways on the
  // same driver library need distinct --index values. False, with a reason,
  // when the name is taken or invalid or the gateway cannot be opened.
  // With retry, a gateway that cannot be opened now is added all the same:
  // its receive thread tries again, 2 s doubling to 30 s (reported on standard
  // error) and the others run meanwhile.
  bool AddGateway(const std::string& name, const cli::ConnectOptions& options, std::vector<uint32_t> channels,
                  std::string* error, bool retry = false);
  // Before Start.
  void AddConsumer(FrameConsumer* consumer);
  // One receive thread per gateway.
  void Start();
  // Ends the receive threads (at most one wait step, 10 ms); idempotent.
  void Stop();

  const std::vector<std::unique_ptr<Gateway>>& gateways() const { return gateways_; }
  // A bus by name: its gateway and channel; nullptr when there is none.
  const Gateway* FindBus(std::string_view bus, uint32_t* channel) const;
  // Every bus name, in gateway and channel order.
  std::vector<std::string> BusNames() const;

  static bool ValidGatewayName(std::string_view name);

 private:
  void ReceiveLoop(Gateway* gateway);
  // Opens a gateway added unreachable; false when the hub stops first.
  bool OpenLate(Gateway* gateway);
  void Deliver(Gateway* gateway, const std::vector<Received>& frames);

  std::map<std::string, std::unique_ptr<cli::Driver>> drivers_;  // by library path
  std::vector<std::unique_ptr<Gateway>> gateways_;
  std::vector<FrameConsumer*> consumers_;
  std::atomic<bool> stop_{false};
  bool started_ = false;
};

}  // namespace tarnlink::serve

#endif  // TARNLINK_TOOLS_SERVE_HUB_H_
