#include "transport/tcp_server.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace tarnlink {

TcpServer::TcpServer(uint16_t port, int backlog) : port_(port), backlog_(backlog), wake_fd_(OpenWake()) {}

TcpServer::~TcpServer() {
  Stop();
  CloseWake(wake_fd_);
}

void TcpServer::WakeReceiver() { SignalWake(wake_fd_); }

bool TcpServer::Start() {
  Stop();
  // A listener on a port whose closed connections linger in TIME_WAIT must
  // bind again on restart; a port with a live listener is still refused.
  if (CreateSocket(&listener_, true) != 0 || AllowRebind(listener_) != 0 || BindAny(&listener_, port_) != 0 ||
      ListenOn(listener_, backlog_) != 0) {
    return false;
  }
  stop_.Clear();
  acceptor_ = std::thread(&TcpServer::AcceptLoop, this);
  receiver_ = std::thread(&TcpServer::ReceiveLoop, this);
  return true;
}

bool TcpServer::Stop() {
  stop_.Set();
  SleepMs(10);
  {
    // Shut down, not closed: a thread in accept, recv or send wakes, and no
    // descriptor is reused under it before the threads are joined.
    MutexLock lock(sockets_mutex_);
    for (const SocketEndpoint& client : clients_) ShutdownSocket(client);
    ShutdownSocket(listener_);
  }
  if (acceptor_.joinable()) acceptor_.join();
  if (receiver_.joinable()) receiver_.join();
  {
    RecursiveMutexLock clients_lock(clients_mutex_);
    MutexLock sockets_lock(sockets_mutex_);
    for (SocketEndpoint& client : clients_) CloseSocket(&client);
    clients_.clear();
    CloseSocket(&listener_);
  }
  return true;
}

bool TcpServer::Send(ByteSpan bytes) {
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) return false;
  RecursiveMutexLock lock(clients_mutex_);
  if (clients_.empty()) {
    Count(counters_->send_failures);
    return false;
  }
  bool taken = false;
  for (auto it = clients_.begin(); it != clients_.end();) {
    const int sent = SendWhole(*it, bytes.chars(), static_cast<int>(bytes.size()));
    if (sent == kSent) {
      taken = true;
      ++it;
      continue;
    }
    Count(sent == kSendTimedOut ? counters_->send_timeouts : counters_->send_failures);
    // That gateway stopped reading or is gone, and its stream may hold part
    // of the block: it is closed and removed at once, so no later send waits
    // behind it. The receive thread reports its stream ended.
    it = DropClient(it);
  }
  // Success means some gateway has the whole block.
  return taken;
}

std::vector<SocketEndpoint>::iterator TcpServer::DropClient(std::vector<SocketEndpoint>::iterator it) {
  char peer[kPeerTextSize];
  FormatPeer(*it, peer);
  ended_.emplace_back(peer);
  MutexLock sockets_lock(sockets_mutex_);
  CloseSocket(&*it);
  const auto next = clients_.erase(it);
  WakeReceiver();
  return next;
}

uint32_t TcpServer::ClientCount() {
  RecursiveMutexLock lock(clients_mutex_);
  return static_cast<uint32_t>(clients_.size());
}

bool TcpServer::ClientAt(uint32_t index, SocketEndpoint* out) {
  RecursiveMutexLock lock(clients_mutex_);
  if (out == nullptr || index >= clients_.size()) return false;
  *out = clients_[index];
  return true;
}

bool TcpServer::RemoveClient(int sock) {
  RecursiveMutexLock clients_lock(clients_mutex_);
  const auto it =
      std::find_if(clients_.begin(), clients_.end(), [sock](const SocketEndpoint& c) { return c.sock == sock; });
  if (it == clients_.end()) return false;
  DropClient(it);
  return true;
}

void TcpServer::AcceptLoop() {
  while (!stop_.IsSet()) {
    SocketEndpoint client;
    if (AcceptOne(listener_, &client) != 0) {
      stop_.WaitFor(kAcceptErrorPauseMs);
      continue;
    }
    // The same dead-peer detection as the client side has.
    EnableKeepAlive(client);
    LimitUnackedTime(client);
    RecursiveMutexLock clients_lock(clients_mutex_);
    MutexLock sockets_lock(sockets_mutex_);
    // Checked under sockets_mutex_: either Stop's shutdown pass sees this
    // client, or the flag is already visible here.
    if (stop_.IsSet()) {
      CloseSocket(&client);
      return;
    }
    clients_.push_back(client);
    Count(counters_->connections_made);
    WakeReceiver();
  }
}

void TcpServer::ReceiveLoop() {
  char storage[kChunkSize];
  ZeroedBuffer zeroed(storage, sizeof(storage));
  char* buffer = storage;
  char peer[kPeerTextSize];
  // Blocks in poll until a client has data, the list changes or Stop, instead
  // of polling every millisecond: an idle server costs nothing, and a chunk
  // is handed on as soon as it arrives. fds: stop, wake-up, then the clients
  // in list order (one entry per distinct socket).
  std::vector<PollEntry> fds;
  bool rebuild = true;
  constexpr size_t kFirstClient = 2;
  while (!stop_.IsSet()) {
    if (rebuild) {
      fds.assign({PollEntry{stop_.fd()}, PollEntry{wake_fd_}});
      RecursiveMutexLock lock(clients_mutex_);
      // The callback is looked at only when there is an end to report.
      if (!ended_.empty()) {
        if (callback_) {
          for (const std::string& gone : ended_) callback_(gone.c_str(), ByteSpan());
        }
        ended_.clear();
      }
      for (const SocketEndpoint& client : clients_) {
        const bool seen = std::any_of(fds.begin() + kFirstClient, fds.end(),
                                      [&client](const PollEntry& p) { return p.sock == client.sock; });
        if (client.sock >= 0 && !seen) fds.push_back(PollEntry{client.sock});
      }
      rebuild = false;
    }
    // A negative fd is skipped by poll: a missing stop or wake descriptor
    // falls back to re-reading the list every kNoWakePollMs.
    const int timeout = (stop_.fd() >= 0 && wake_fd_ >= 0) ? -1 : kNoWakePollMs;
    const int rc = PollReadable(fds.data(), fds.size(), timeout);
    if (rc < 0) {
      stop_.WaitFor(kPollErrorPauseMs);
      continue;
    }
    if (stop_.IsSet()) return;
    if (rc == 0) {
      rebuild = true;
      continue;
    }
    if (Readable(fds[1])) {
      DrainWake(wake_fd_);
      rebuild = true;
    }
    for (size_t i = kFirstClient; i < fds.size(); ++i) {
      // A socket closed since the list was read: read the list again.
      if (Invalid(fds[i])) rebuild = true;
      if (!Readable(fds[i])) continue;
      if (stop_.IsSet()) return;
      const int sock = fds[i].sock;
      RecursiveMutexLock lock(clients_mutex_);
      const auto it =
          std::find_if(clients_.begin(), clients_.end(), [sock](const SocketEndpoint& c) { return c.sock == sock; });
      if (it == clients_.end()) {  // removed meanwhile
        rebuild = true;
        continue;
      }
      buffer = zeroed.Clear();
      // Without waiting: the descriptor may have been closed and handed to a
      // new client since the poll, and that one need not have data yet.
      const int n = RecvSome(*it, buffer, kChunkSize, true);
      zeroed.Wrote(n);
      if (n > 0) {
        if (callback_) {
          FormatPeer(*it, peer);
          callback_(peer, ByteSpan::Received(buffer, n));
        }
      } else if (n < 0) {
        FormatPeer(*it, peer);
        {
          MutexLock sockets_lock(sockets_mutex_);
          CloseSocket(&*it);
          clients_.erase(it);
        }
        rebuild = true;
        Count(counters_->connections_lost);
        // A later client may come from the same address and port.
        if (callback_) callback_(peer, ByteSpan());
      }
    }
  }
}

}  // namespace tarnlink
