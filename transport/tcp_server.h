// Transport of the TCP library in server mode: gateways connect to a local
// port; every chunk from any of them reaches the callback with that client's
// peer text, and every block sent goes to all of them.
#ifndef TARNLINK_TRANSPORT_TCP_SERVER_H_
#define TARNLINK_TRANSPORT_TCP_SERVER_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread_annotations.h"
#include "transport/service.h"
#include "transport/socket.h"
#include "transport/stop_signal.h"

namespace tarnlink {

class TcpServer final : public IService, public IClientList {
 public:
  TcpServer(uint16_t port, int backlog);
  ~TcpServer() override;

  bool Start() override;
  bool Stop() override;
  // True when at least one client took the whole block. A client that could
  // not take it within the send time-out is closed and removed.
  bool Send(ByteSpan bytes) override;

  uint32_t ClientCount() override;
  bool ClientAt(uint32_t index, SocketEndpoint* out) override;
  bool RemoveClient(int sock) override;

  // The port listened on since the last successful Start (the system's
  // choice when constructed with 0).
  uint16_t BoundPort() const { return listener_.port; }

 private:
  static constexpr int kChunkSize = 2048;
  // Only without a wake-up descriptor: how often the client list is re-read.
  static constexpr int kNoWakePollMs = 1;
  static constexpr int kPollErrorPauseMs = 1000;
  static constexpr int kAcceptErrorPauseMs = 10;

  void AcceptLoop();
  void ReceiveLoop();
  // Tells the receive thread that the client list changed.
  void WakeReceiver();
  // Closes and removes a client, its end to be reported by the receive
  // thread; needs clients_mutex_. The iterator after it.
  std::vector<SocketEndpoint>::iterator DropClient(std::vector<SocketEndpoint>::iterator it) REQUIRES(clients_mutex_);

  const uint16_t port_;
  const int backlog_;
  StopSignal stop_;
  // Readable after a client-list change; the receive thread blocks in poll on
  // it, the stop descriptor and the clients. -1 when none could be made.
  int wake_fd_ = -1;
  // Written by Start/Stop only, while no thread of this server runs.
  SocketEndpoint listener_;
  std::thread acceptor_;
  std::thread receiver_;

  // Guards clients_ and every send. Recursive: the receive thread holds it
  // while the callback runs, and the callback may Send.
  RecursiveMutex clients_mutex_;
  // Taken inside clients_mutex_ to add or close a client, and alone by Stop to
  // shut every socket down past a Send blocked on a client that does not read.
  Mutex sockets_mutex_ ACQUIRED_AFTER(clients_mutex_);
  std::vector<SocketEndpoint> clients_;  // changed under both locks, read under either
  // Peer texts of clients RemoveClient closed; the receive thread reports
  // their streams ended, since only it runs the callback.
  std::vector<std::string> ended_ GUARDED_BY(clients_mutex_);
};

}  // namespace tarnlink

#endif  // TARNLINK_TRANSPORT_TCP_SERVER_H_
