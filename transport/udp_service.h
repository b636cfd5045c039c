// Transport of the UDP library: datagrams to one remote address and port,
// or to and from an IPv4 multicast group.
#ifndef TARNLINK_TRANSPORT_UDP_SERVICE_H_
#define TARNLINK_TRANSPORT_UDP_SERVICE_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/thread_annotations.h"
#include "transport/service.h"
#include "transport/socket.h"
#include "transport/stop_signal.h"

namespace tarnlink {

class UdpService final : public IService {
 public:
  // host: dotted IPv4 text of at most 31 characters. In unicast mode only
  // datagrams from exactly host:remote_port are accepted; in multicast mode
  // (host in 224.0.0.0/4) the group is joined and every sender is accepted.
  UdpService(uint16_t local_port, std::string host, uint16_t remote_port, uint32_t multicast_loopback);
  ~UdpService() override;

  bool Start() override;
  bool Stop() override;
  // One Send is one datagram.
  bool Send(ByteSpan bytes) override;
  bool Connectionless() const override { return true; }

  // The port bound by the last Start (the system's choice for local port 0).
  uint16_t BoundPort() const { return endpoint_.port; }

 private:
  // Large enough for any UDP datagram.
  static constexpr int kBufferSize = 66560;
  static constexpr int kErrorPauseMs = 10;

  static constexpr int64_t kOwnCheckMs = 1000;

  void ReceiveLoop(SocketEndpoint connection);
  // Whether a datagram from sender is delivered; own_port is our bound port.
  // The one place where datagrams are dropped by their source.
  bool Accepts(const SocketEndpoint& sender, uint16_t own_port);
  // A local address and our own port: this service sent it.
  bool IsOwnDatagram(const SocketEndpoint& sender, uint16_t own_port);
  void Teardown();
  void Replace(const SocketEndpoint& endpoint);

  const uint16_t local_port_;
  const std::string host_;
  const uint16_t remote_port_;
  const uint32_t multicast_loopback_;
  const bool multicast_;
  // Set by Stop, cleared by a successful Start.
  StopSignal stop_;
  std::thread receiver_;  // started and joined by Start/Stop only
  const std::unique_ptr<char[]> buffer_;
  // The receive thread's last IsLocalAddress answer.
  std::string own_check_ip_;
  bool own_check_local_ = false;
  uint64_t own_check_time_ = 0;

  // Serialises Send; also held to replace endpoint_ (see TcpClient).
  RecursiveMutex send_mutex_;
  // Taken inside send_mutex_ to replace endpoint_, and alone by Stop.
  Mutex socket_mutex_ ACQUIRED_AFTER(send_mutex_);
  SocketEndpoint endpoint_;  // written under both locks, read under either
};

}  // namespace tarnlink

#endif  // TARNLINK_TRANSPORT_UDP_SERVICE_H_
