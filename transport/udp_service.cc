#include "transport/udp_service.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/platform.h"

namespace tarnlink {

UdpService::UdpService(uint16_t local_port, std::string host, uint16_t remote_port, uint32_t multicast_loopback)
    : local_port_(local_port),
      host_(std::move(host)),
      remote_port_(remote_port),
      multicast_loopback_(multicast_loopback),
      multicast_(IsMulticastAddress(host_.c_str())),
      buffer_(std::make_unique<char[]>(kBufferSize)) {}

UdpService::~UdpService() { Stop(); }

bool UdpService::Start() {
  // The host text is copied into SocketEndpoint::ip for every send.
  if (host_.empty() || host_.size() >= sizeof(SocketEndpoint::ip)) return false;
  bool open;
  {
    MutexLock lock(socket_mutex_);
    open = IsOpen(endpoint_);
  }
  // Also after a Stop: a failed Start may have left its socket behind.
  if (open || receiver_.joinable()) Teardown();
  SocketEndpoint fresh;
  if (CreateSocket(&fresh, false) != 0) return false;
  // A burst (a Wi-Fi gateway after an air-time gap, a receive thread that
  // was descheduled) must fit the socket: the default holds ~145 datagrams.
  WidenReceiveBuffer(fresh);
  const bool bound = BindAny(&fresh, local_port_) == 0;
  // Kept until the next Start or Stop, as after any failed start.
  Replace(fresh);
  if (!bound) return false;
  if (multicast_) JoinGroup(fresh, host_.c_str(), multicast_loopback_);  // a failed join is not reported
  stop_.Clear();
  receiver_ = std::thread(&UdpService::ReceiveLoop, this, fresh);
  return true;
}

bool UdpService::Stop() {
  bool open;
  {
    MutexLock lock(socket_mutex_);
    open = IsOpen(endpoint_);
  }
  if (stop_.IsSet() && !open && !receiver_.joinable()) return true;
  Teardown();
  return true;
}

bool UdpService::Send(ByteSpan bytes) {
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) return false;
  const auto len = static_cast<int>(bytes.size());
  SocketEndpoint destination;
  std::snprintf(destination.ip, sizeof(destination.ip), "%s", host_.c_str());
  destination.port = remote_port_;
  RecursiveMutexLock lock(send_mutex_);
  if (!IsOpen(endpoint_) || SendTo(endpoint_, bytes.chars(), len, destination) != len) {
    Count(counters_->send_failures);
    return false;
  }
  return true;
}

void UdpService::Teardown() {
  {
    MutexLock lock(socket_mutex_);
    if (multicast_) LeaveGroup(endpoint_, host_.c_str());  // fails harmlessly without a socket
  }
  stop_.Set();
  SleepMs(10);
  {
    // On Linux close() does not wake a blocked recvfrom; shutdown does, even
    // on an unconnected datagram socket.
    MutexLock lock(socket_mutex_);
    ShutdownSocket(endpoint_);
  }
  if (receiver_.joinable()) receiver_.join();
  Replace(SocketEndpoint{});
}

void UdpService::Replace(const SocketEndpoint& endpoint) {
  RecursiveMutexLock send_lock(send_mutex_);
  MutexLock socket_lock(socket_mutex_);
  CloseSocket(&endpoint_);
  endpoint_ = endpoint;
}

bool UdpService::Accepts(const SocketEndpoint& sender, uint16_t own_port) {
  // Unicast: the sender's text must equal host_ exactly, so a host written
  // with leading zeros never matches.
  if (!multicast_ && (host_ != sender.ip || sender.port != remote_port_)) {
    Count(counters_->datagrams_foreign);
    return false;
  }
  // Our own datagrams (multicast looped back, or unicast to our own port)
  // are no gateway's: answering them would complete our own requests.
  if (IsOwnDatagram(sender, own_port)) {
    Count(counters_->datagrams_own);
    return false;
  }
  return true;
}

bool UdpService::IsOwnDatagram(const SocketEndpoint& sender, uint16_t own_port) {
  if (sender.port != own_port) return false;
  // Interfaces change rarely; the answer for one address is kept a second.
  const uint64_t now = NowTicks();
  if (own_check_ip_ != sender.ip || TicksToMs(now, own_check_time_) >= kOwnCheckMs) {
    own_check_ip_ = sender.ip;
    own_check_local_ = IsLocalAddress(sender.ip);
    own_check_time_ = now;
  }
  return own_check_local_;
}

void UdpService::ReceiveLoop(SocketEndpoint connection) {
  // The socket is closed only after this thread has been joined.
  char peer[kPeerTextSize];
  // Not 65 KiB cleared per datagram: only what the last one wrote.
  ZeroedBuffer zeroed(buffer_.get(), kBufferSize);
  while (!stop_.IsSet()) {
    char* const buffer = zeroed.Clear();
    SocketEndpoint sender;
    const int n = RecvFrom(connection, buffer, kBufferSize, &sender);
    zeroed.Wrote(n);
    if (n < 0) {
      stop_.WaitFor(kErrorPauseMs);
      continue;
    }
    if (!Accepts(sender, connection.port)) continue;
    if (callback_) {
      FormatPeer(sender, peer);
      callback_(peer, ByteSpan::Received(buffer, n));
    }
  }
}

}  // namespace tarnlink
