// The socketcand server: a consumer of the hub that serves every bus to any
// number of TCP clients speaking socketcand's ASCII protocol.
//
// BCM cyclic sends (`add`) run on the gateway's own timed entries while
// free ones remain (a whole number of ms up to 65535), else on the client's
// thread; either ends with the job's delete or the connection.
//
// Threads: one accepts clients and sends the beacon; one per client reads
// its commands, runs its timers (cyclic sends, statistics, throttled
// subscriptions) and writes its backlog; the hub's receive threads only
// append formatted frames to each client's bounded backlog and wake it.
// A client that stops reading loses frames beyond its backlog (counted,
// and reported in-band as `< error dropped N frames >` once it reads
// again) and is disconnected when a write stays unread for the time-out;
// neither the hub nor any other client waits for it.
#ifndef TARNLINK_TOOLS_SERVE_SOCKETCAND_SERVER_H_
#define TARNLINK_TOOLS_SERVE_SOCKETCAND_SERVER_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/thread_annotations.h"
#include "tools/serve/hub.h"
#include "transport/socket.h"

namespace tarnlink::serve {

constexpr uint16_t kSocketcandPort = 29536;
constexpr uint16_t kBeaconPort = 42000;

// An IPv4 network, "10.0.0.0/8"; a bare address is a /32.
struct Cidr {
  uint32_t network = 0;
  uint32_t mask = 0;
  bool Contains(uint32_t address) const { return (address & mask) == network; }
};
bool ParseCidr(std::string_view text, Cidr* out);
// Dotted IPv4 text to a host-order address.
bool ParseIpv4(std::string_view text, uint32_t* out);

struct ListenAddress {
  std::string ip = "127.0.0.1";
  uint16_t port = kSocketcandPort;
};

struct ServerOptions {
  std::vector<ListenAddress> listen;  // empty: 127.0.0.1:29536
  std::vector<Cidr> allow;            // empty: every peer
  bool read_only = false;
  size_t max_clients = 32;
  size_t backlog_frames = 4096;  // per client
  int client_timeout_ms = 5000;  // a write unread this long closes the client
  TimeSource time_source = TimeSource::kHost;
  bool beacon = true;
  ListenAddress beacon_to{"255.255.255.255", kBeaconPort};
  int beacon_period_ms = 2000;
  std::string beacon_name;  // empty: the host name
  // python-can reads `< ok >` with one recv and compares it whole: frames
  // that follow a mode switch wait this long, so they never share its read.
  int ok_grace_ms = 50;
};

class Client;

class SocketcandServer : public FrameConsumer {
 public:
  SocketcandServer(const Hub& hub, ServerOptions options);
  ~SocketcandServer() override;
  SocketcandServer(const SocketcandServer&) = delete;
  SocketcandServer& operator=(const SocketcandServer&) = delete;

  // Binds every listening address; false, with a reason, when one fails.
  bool Listen(std::string* error);
  // "127.0.0.1:29536", the addresses actually bound.
  std::vector<std::string> Addresses() const;
  // The accept and beacon thread.
  void Start();
  // Closes every client and the listeners; idempotent.
  void Stop();

  void OnFrames(const Gateway& gateway, uint32_t channel, const Received* frames, size_t count) override;

  // Per-client lines and the totals, for SIGUSR1 and --stats.
  std::string Report() const;
  std::string BeaconText() const;

  const ServerOptions& options() const { return options_; }
  const Hub& hub() const { return hub_; }
  void CountRefusal() { refused_read_only_.fetch_add(1, std::memory_order_relaxed); }
  // A timed-entry index of the gateway's channel free on the gateway and
  // among the clients, or -1 when none is; ReleaseEntry gives it back.
  int ReserveEntry(const Gateway* gateway, uint32_t channel) EXCLUDES(entries_mu_);
  void ReleaseEntry(const Gateway* gateway, uint32_t channel, int index) EXCLUDES(entries_mu_);

 private:
  void AcceptLoop();
  void Admit(SocketEndpoint peer);
  void SendBeacon(SocketEndpoint* sock);
  void Reap(bool all);

  // Frames of one batch formatted once for every raw client of the bus.
  struct Scratch {
    std::string text;
    std::vector<size_t> ends;  // ends[i]: text length after frame i
  };

  const Hub& hub_;
  ServerOptions options_;
  std::vector<SocketEndpoint> listeners_;
  int wake_ = -1;
  std::atomic<bool> stop_{false};
  std::thread accept_thread_;
  // One per gateway, each touched only by that gateway's receive thread.
  std::map<const Gateway*, std::unique_ptr<Scratch>> scratch_;

  mutable Mutex clients_mu_;
  std::vector<std::shared_ptr<Client>> clients_ GUARDED_BY(clients_mu_);
  uint64_t next_client_id_ GUARDED_BY(clients_mu_) = 1;

  // Per gateway channel, a bit per timed-entry index in use.
  Mutex entries_mu_;
  std::map<std::pair<const Gateway*, uint32_t>, uint32_t> entries_used_ GUARDED_BY(entries_mu_);

  std::atomic<uint64_t> accepted_{0};
  std::atomic<uint64_t> refused_allow_{0};
  std::atomic<uint64_t> refused_full_{0};
  std::atomic<uint64_t> refused_read_only_{0};
};

}  // namespace tarnlink::serve

#endif  // TARNLINK_TOOLS_SERVE_SOCKETCAND_SERVER_H_
