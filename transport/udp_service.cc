#include "transport/udp_service.h"

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

bool UdpService::Send(const char* data, int len) {
  if (len < 0) return false;
  SocketEndpoint destination;
  std::snprintf(destination.ip, sizeof(destination.ip), "%s", host_.c_str());
  destination.port = remote_port_;
  RecursiveMutexLock lock(send_mutex_);
  if (!IsOpen(endpoint_)) return false;
  return SendTo(endpoint_, data, len, destination) == len;
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
    // Unicast: the sender's text must equal host_ exactly, so a host written
    // with leading zeros never matches.
    if (!multicast_ && (host_ != sender.ip || sender.port != remote_port_)) continue;
    if (callback_) {
      FormatPeer(sender, peer);
      callback_(peer, buffer, n);
    }
  }
}

}  // namespace tarnlink
