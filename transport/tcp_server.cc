#include "transport/tcp_server.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace tarnlink {

TcpServer::TcpServer(uint16_t port, int backlog) : port_(port), backlog_(backlog) {}

TcpServer::~TcpServer() { Stop(); }

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
    std::lock_guard<std::mutex> lock(sockets_mutex_);
    for (const SocketEndpoint& client : clients_) ShutdownSocket(client);
    ShutdownSocket(listener_);
  }
  if (acceptor_.joinable()) acceptor_.join();
  if (receiver_.joinable()) receiver_.join();
  {
    std::lock_guard<std::recursive_mutex> clients_lock(clients_mutex_);
    std::lock_guard<std::mutex> sockets_lock(sockets_mutex_);
    for (SocketEndpoint& client : clients_) CloseSocket(&client);
    clients_.clear();
    CloseSocket(&listener_);
  }
  return true;
}

bool TcpServer::Send(const char* data, int len) {
  std::lock_guard<std::recursive_mutex> lock(clients_mutex_);
  if (clients_.empty()) return false;
  // A dead client is removed by the receive thread once its recv fails.
  for (const SocketEndpoint& client : clients_) SendOnce(client, data, len);
  return true;
}

uint32_t TcpServer::ClientCount() {
  std::lock_guard<std::recursive_mutex> lock(clients_mutex_);
  return static_cast<uint32_t>(clients_.size());
}

bool TcpServer::ClientAt(uint32_t index, SocketEndpoint* out) {
  std::lock_guard<std::recursive_mutex> lock(clients_mutex_);
  if (out == nullptr || index >= clients_.size()) return false;
  *out = clients_[index];
  return true;
}

bool TcpServer::RemoveClient(int sock) {
  std::lock_guard<std::recursive_mutex> clients_lock(clients_mutex_);
  const auto it =
      std::find_if(clients_.begin(), clients_.end(), [sock](const SocketEndpoint& c) { return c.sock == sock; });
  if (it == clients_.end()) return false;
  std::lock_guard<std::mutex> sockets_lock(sockets_mutex_);
  CloseSocket(&*it);
  clients_.erase(it);
  return true;
}

void TcpServer::AcceptLoop() {
  while (!stop_.IsSet()) {
    SocketEndpoint client;
    if (AcceptOne(listener_, &client) != 0) {
      stop_.WaitFor(kAcceptErrorPauseMs);
      continue;
    }
    std::lock_guard<std::recursive_mutex> clients_lock(clients_mutex_);
    std::lock_guard<std::mutex> sockets_lock(sockets_mutex_);
    // Checked under sockets_mutex_: either Stop's shutdown pass sees this
    // client, or the flag is already visible here.
    if (stop_.IsSet()) {
      CloseSocket(&client);
      return;
    }
    clients_.push_back(client);
  }
}

void TcpServer::ReceiveLoop() {
  char buffer[kChunkSize];
  char peer[kPeerTextSize];
  std::vector<SocketEndpoint> watched;
  std::vector<SocketEndpoint> ready;
  while (!stop_.IsSet()) {
    {
      std::lock_guard<std::recursive_mutex> lock(clients_mutex_);
      watched = clients_;
    }
    ready.clear();
    const int rc = SelectReadable(&watched, &ready, 0);
    if (rc == 0) {
      stop_.WaitFor(kIdlePauseMs);
      continue;
    }
    if (rc < 0) {
      stop_.WaitFor(kPollErrorPauseMs);
      continue;
    }
    for (const SocketEndpoint& candidate : ready) {
      if (stop_.IsSet()) return;
      std::lock_guard<std::recursive_mutex> lock(clients_mutex_);
      const auto it = std::find_if(clients_.begin(), clients_.end(),
                                   [&candidate](const SocketEndpoint& c) { return c.sock == candidate.sock; });
      if (it == clients_.end()) continue;  // removed meanwhile
      std::memset(buffer, 0, sizeof(buffer));
      // Without waiting: the descriptor may have been closed and handed to a
      // new client since the poll, and that one need not have data yet.
      const int n = RecvSome(*it, buffer, kChunkSize, true);
      if (n > 0) {
        if (callback_) {
          FormatPeer(*it, peer);
          callback_(peer, buffer, n);
        }
      } else if (n < 0) {
        std::lock_guard<std::mutex> sockets_lock(sockets_mutex_);
        CloseSocket(&*it);
        clients_.erase(it);
      }
    }
  }
}

}  // namespace tarnlink
