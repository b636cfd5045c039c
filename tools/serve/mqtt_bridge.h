// The MQTT bridge of `tarnlink serve`: each gateway's received frames to a
// broker in batches, frames to send from it, status, counters and errors.
//
// One broker connection per gateway (libmosquitto, its own network thread),
// since the broker's last will, the retained "offline", belongs to one
// connection. One pump thread for all of them cuts the batches (every
// batch_ms or batch_frames, whichever first) and publishes them in order
// from a bounded buffer: while the broker is away the buffer holds them,
// (one limit for all gateways together) dropping the oldest of the gateway
// that adds beyond it, counted; libmosquitto is handed at
// most kWindow messages per connection at a time, so its own queue stays
// small, and a batch leaves the buffer only when libmosquitto has written
// it (QoS 0) or the broker has acknowledged it (QoS 1).
#ifndef TARNLINK_TOOLS_SERVE_MQTT_BRIDGE_H_
#define TARNLINK_TOOLS_SERVE_MQTT_BRIDGE_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread_annotations.h"
#include "tarnlink/tarnlink.h"
#include "tools/cli/arrival_order.h"
#include "tools/serve/mqtt_options.h"

namespace tarnlink::serve {

// What the bridge needs of one gateway; each callable is thread-safe.
struct BridgeGateway {
  std::string name;
  std::vector<uint32_t> channels;
  // Sends one frame; false when the driver refused it.
  std::function<bool(uint32_t channel, const cli::Frame& frame)> send;
  // The driver's counters; false when there are none.
  std::function<bool(VELA_STATS* out)> read_stats;
  // Whether the gateway is reachable now.
  std::function<bool()> up;
};

// Counts of one gateway's bridge, for the stats topic and the tests.
struct BridgeCounters {
  uint64_t batches_published = 0;
  uint64_t frames_published = 0;
  uint64_t batches_dropped = 0;  // at the buffer limit
  uint64_t frames_dropped = 0;   // at the buffer limit
  uint64_t bytes_buffered = 0;
  uint64_t tx_messages = 0;
  uint64_t tx_frames = 0;
  uint64_t tx_refused = 0;  // malformed, or not taken by the driver
  uint64_t connects = 0;
};

class MqttLink;

class MqttBridge {
 public:
  explicit MqttBridge(MqttOptions options);
  ~MqttBridge();  // Stop()
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // Before Start; returns the gateway's number for OnFrames.
  size_t AddGateway(BridgeGateway gateway);
  // Connects every gateway's client (in the background: a broker not there
  // yet is waited for) and starts the pump. False, with a reason, when
  // libmosquitto refuses the settings (TLS files, say).
  bool Start(std::string* error);
  // Publishes what is buffered (a bounded wait while the broker is there),
  // then "offline", and disconnects. Idempotent.
  void Stop();

  // From a gateway's receive thread: never waits; beyond a bound the oldest
  // frames not yet in a batch are dropped and counted.
  void OnFrames(size_t gateway, uint32_t channel, const cli::Received* frames, size_t count);

  // Non-empty once the broker refused us for good (the login, say): the
  // caller reports it and ends with exit code 1.
  std::string Fatal() const;
  BridgeCounters Counters(size_t gateway) const;

 private:
  void Pump();

  const MqttOptions options_;
  std::atomic<size_t> buffered_{0};  // bytes held by every link together
  std::vector<std::unique_ptr<MqttLink>> links_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> started_{false};
  Mutex wake_mu_;
  std::condition_variable wake_;
  bool woken_ GUARDED_BY(wake_mu_) = false;
  std::thread pump_;
};

}  // namespace tarnlink::serve

#endif  // TARNLINK_TOOLS_SERVE_MQTT_BRIDGE_H_
