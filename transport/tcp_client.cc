#include "transport/tcp_client.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <utility>

namespace tarnlink {

TcpClient::TcpClient(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {}

TcpClient::~TcpClient() { Stop(); }

bool TcpClient::Start() {
  // The host text is copied into SocketEndpoint::ip when connecting.
  if (host_.empty() || host_.size() >= sizeof(SocketEndpoint::ip)) return false;
  bool open;
  {
    MutexLock lock(socket_mutex_);
    open = IsOpen(endpoint_);
  }
  if (open || receiver_.joinable()) Teardown();
  stop_.Clear();
  SocketEndpoint fresh;
  if (!Connect(&fresh)) return false;
  Replace(fresh);
  receiver_ = std::thread(&TcpClient::ReceiveLoop, this, fresh);
  return true;
}

bool TcpClient::Stop() {
  Teardown();
  return true;
}

bool TcpClient::Send(ByteSpan bytes) {
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) return false;
  RecursiveMutexLock lock(send_mutex_);
  if (!IsOpen(endpoint_)) {
    Count(counters_->send_failures);
    return false;
  }
  const int sent = SendWhole(endpoint_, bytes.chars(), static_cast<int>(bytes.size()));
  if (sent == kSent) return true;
  Count(sent == kSendTimedOut ? counters_->send_timeouts : counters_->send_failures);
  // The gateway stopped reading (or the link broke) and part of the block
  // may be in the stream: that connection is finished. Shut down, its recv
  // ends and the receive thread reconnects as after any break; later sends
  // fail at once instead of each waiting out the time-out.
  MutexLock socket_lock(socket_mutex_);
  ShutdownSocket(endpoint_);
  return false;
}

void TcpClient::Teardown() {
  stop_.Set();
  {
    // Wakes a blocked recv (and a blocked Send); closing alone would not, and
    // the descriptor must stay ours until the thread has let go of it.
    MutexLock lock(socket_mutex_);
    ShutdownSocket(endpoint_);
  }
  if (receiver_.joinable()) receiver_.join();
  Replace(SocketEndpoint{});
}

bool TcpClient::Connect(SocketEndpoint* out) {
  last_attempt_ = std::chrono::steady_clock::now();
  if (CreateSocket(out, true) != 0) return false;
  if (ConnectWithTimeout(out, host_.c_str(), port_, stop_.fd()) == 0) {
    LimitSendTime(*out);
    Count(counters_->connections_made);
    return true;
  }
  CloseSocket(out);
  return false;
}

void TcpClient::Replace(const SocketEndpoint& endpoint) {
  RecursiveMutexLock send_lock(send_mutex_);
  MutexLock socket_lock(socket_mutex_);
  CloseSocket(&endpoint_);
  endpoint_ = endpoint;
}

void TcpClient::ReceiveLoop(SocketEndpoint connection) {
  // The thread owns connection: only it replaces endpoint_ while it runs, so
  // its descriptor stays valid here without a lock.
  char storage[kChunkSize];
  ZeroedBuffer zeroed(storage, sizeof(storage));
  // The peer text is made once per connection, not per chunk.
  char peer[kPeerTextSize];
  FormatPeer(connection, peer);
  while (!stop_.IsSet()) {
    char* const buffer = zeroed.Clear();
    const int n = RecvSome(connection, buffer, kChunkSize);
    zeroed.Wrote(n);
    if (n > 0) {
      if (callback_) callback_(peer, ByteSpan::Received(buffer, n));
      continue;
    }
    // Closed by the peer, broken, or shut down by Stop.
    if (stop_.IsSet()) return;
    Count(counters_->connections_lost);
    // The next connection has the same peer text but is a new stream.
    if (callback_) callback_(peer, ByteSpan());
    Replace(SocketEndpoint{});
    for (;;) {
      // At most one attempt per pause: a gateway that accepts and closes at
      // once must not be met with a connection storm. After a connection
      // that lasted longer the first attempt goes at once.
      const auto since = std::chrono::steady_clock::now() - last_attempt_;
      const auto wait = std::chrono::milliseconds(kReconnectPauseMs) - since;
      if (wait.count() > 0 &&
          stop_.WaitFor(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()) + 1)) {
        return;
      }
      SocketEndpoint fresh;
      if (Connect(&fresh)) {
        RecursiveMutexLock send_lock(send_mutex_);
        MutexLock socket_lock(socket_mutex_);
        // Checked under socket_mutex_: either Stop sees the new socket and
        // shuts it down, or the flag is already visible here.
        if (stop_.IsSet()) {
          CloseSocket(&fresh);
          return;
        }
        endpoint_ = fresh;
        connection = fresh;
        FormatPeer(connection, peer);
        break;
      }
    }
  }
}

}  // namespace tarnlink
