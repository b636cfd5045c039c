// The abstract transport: moves byte blocks, knows nothing of packets.
#ifndef TARNLINK_TRANSPORT_SERVICE_H_
#define TARNLINK_TRANSPORT_SERVICE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/byte_span.h"
#include "transport/link_counters.h"
#include "transport/socket.h"

namespace tarnlink {

// (peer text "%s:%d", bytes); runs on the transport's thread. No bytes: the
// connection behind that peer text has ended. Its stream ends
// there: bytes of a packet it left unfinished never join bytes of a later
// connection, even one that comes back with the same peer text.
using RecvCallback = std::function<void(const char* peer, ByteSpan bytes)>;

class IService {
 public:
  virtual ~IService() = default;
  IService() = default;
  IService(const IService&) = delete;
  IService& operator=(const IService&) = delete;

  virtual bool Start() = 0;
  // Stops and joins the threads, closes every socket. Always true.
  virtual bool Stop() = 0;
  // True only when the whole block was accepted (TcpServer: any client).
  virtual bool Send(ByteSpan bytes) = 0;
  // Whether peers are datagram senders: no connection of theirs ends, so
  // nothing tells when the state kept for them may go.
  virtual bool Connectionless() const { return false; }

  // Installed once, before Start.
  void SetRecvCallback(RecvCallback callback) { callback_ = std::move(callback); }
  // Where connections, send failures and ignored datagrams are counted;
  // installed once, before Start. A transport without one counts for itself.
  void SetCounters(std::shared_ptr<LinkCounters> counters) {
    if (counters) counters_ = std::move(counters);
  }

 protected:
  RecvCallback callback_;
  std::shared_ptr<LinkCounters> counters_ = std::make_shared<LinkCounters>();
};

// The client list of a listening transport; found by a run-time type check.
class IClientList {
 public:
  virtual uint32_t ClientCount() = 0;
  // False when index is not below the count.
  virtual bool ClientAt(uint32_t index, SocketEndpoint* out) = 0;
  // Closes and removes the first client holding sock; false when none does.
  virtual bool RemoveClient(int sock) = 0;

 protected:
  ~IClientList() = default;
};

// What a device passes when it creates its transport.
struct TransportSettings {
  uint32_t work_mode = 0;
  std::string remote_address;
  uint16_t remote_port = 0;
  uint16_t local_port = 0;
  uint32_t multicast_loopback = 1;
};

// Defined once per library: the TCP one makes a TcpServer (work mode 1,
// backlog 100) or a TcpClient; the UDP one always a UdpService.
std::unique_ptr<IService> CreateTransport(const TransportSettings& settings);

}  // namespace tarnlink

#endif  // TARNLINK_TRANSPORT_SERVICE_H_
