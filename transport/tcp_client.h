// Transport of the TCP library in client mode: connects to the gateway and
// reconnects silently, once a second, whenever the connection breaks.
#ifndef TARNLINK_TRANSPORT_TCP_CLIENT_H_
#define TARNLINK_TRANSPORT_TCP_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/thread_annotations.h"
#include "transport/service.h"
#include "transport/socket.h"
#include "transport/stop_signal.h"

namespace tarnlink {

class TcpClient final : public IService {
 public:
  // host: dotted IPv4 text of at most 31 characters.
  TcpClient(std::string host, uint16_t port);
  ~TcpClient() override;

  bool Start() override;
  bool Stop() override;
  bool Send(ByteSpan bytes) override;

 private:
  static constexpr int kChunkSize = 2048;
  static constexpr int kReconnectPauseMs = 1000;

  void ReceiveLoop(SocketEndpoint connection);
  // Creates and connects a socket outside every lock; false and nothing left
  // open when that fails.
  bool Connect(SocketEndpoint* out);
  // Makes the given endpoint the current one and closes the one it replaces.
  void Replace(const SocketEndpoint& endpoint);
  // Ends the receive thread and closes the socket, whatever state it is in.
  void Teardown();

  // When the last connection attempt began; the receive thread's after Start.
  std::chrono::steady_clock::time_point last_attempt_{};
  const std::string host_;
  const uint16_t port_;
  StopSignal stop_;
  std::thread receiver_;  // started and joined by Start/Stop only

  // Serialises Send. Also held to replace endpoint_, so a Send never writes to
  // a descriptor that was closed and handed out again meanwhile.
  RecursiveMutex send_mutex_;
  // Taken inside send_mutex_ to replace endpoint_, and alone by Stop to shut
  // the socket down past a Send blocked on a peer that does not read.
  Mutex socket_mutex_ ACQUIRED_AFTER(send_mutex_);
  SocketEndpoint endpoint_;  // written under both locks, read under either
};

}  // namespace tarnlink

#endif  // TARNLINK_TRANSPORT_TCP_CLIENT_H_
