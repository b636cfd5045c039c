// The gateway's link: TCP listening or connecting (with reconnection), UDP
// unicast or multicast. One I/O thread reads every socket, reassembles
// packets per connection and hands each to the packet handler; senders on
// any thread queue bytes per connection, which that thread writes out.
#ifndef TARNLINK_TOOLS_SIM_LINK_H_
#define TARNLINK_TOOLS_SIM_LINK_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/sim/context.h"
#include "tools/sim/wire.h"
#include "transport/socket.h"

namespace tarnlink::sim {

class Link {
 public:
  // conn_id is -1 for UDP. Called on the I/O thread.
  using PacketHandler = std::function<void(int conn_id, const std::string& peer, const std::vector<uint8_t>& packet)>;

  // on_change runs after a connection came or went (waiters look again).
  Link(Context& ctx, PacketHandler handler, std::function<void()> on_change);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Binds or listens and starts the I/O thread; false, with a log line, on failure.
  bool Start();
  // Ends every pending send, joins the I/O thread and closes every socket.
  void Stop();
  // Makes senders that wait for room look at their abort flags again.
  void WakeSenders();

  // No connection: the default of except_conn. (-1 is the UDP peer's id.)
  static constexpr int kNobody = -2;

  // Hands bytes to one connection (conn_id >= 0) or all of them but
  // except_conn (counted as
  // one packet carrying `frames` records, and in *also_count). With wait_room
  // a TCP send waits while the connection's queue is above the high-water
  // mark (until Stop, a drop or *abort).
  bool Deliver(const std::vector<uint8_t>& bytes, int conn_id, bool wait_room, size_t frames,
               const std::atomic<bool>* abort = nullptr, std::atomic<uint64_t>* also_count = nullptr,
               int except_conn = kNobody);
  // Full CanData or CanFdData packets of the frames.
  bool SendFrames(const std::vector<WireFrame>& frames, bool fd, int conn_id = -1, bool wait_room = true,
                  const std::atomic<bool>* abort = nullptr, int except_conn = kNobody);

  uint16_t LocalPort() const;
  void SetRemote(const std::string& address, uint16_t port);
  size_t ConnectionCount() const;
  void DropConnections();
  void SetReconnect(bool on) { reconnect_.store(on); }

 private:
  struct Conn {
    int id = 0;
    int fd = -1;
    std::string peer;
    WireParser parser;          // I/O thread only
    std::vector<uint8_t> out;   // guarded by mu_
    size_t out_offset = 0;      // guarded by mu_
    bool drop = false;          // guarded by mu_
    uint64_t skipped_seen = 0;  // I/O thread only
    size_t pending() const { return out.size() - out_offset; }
  };

  bool Open(int wake);
  void Wake();
  void FlushLocked(Conn& c);
  bool DeliverLocked(const std::vector<uint8_t>& bytes, int conn_id, bool wait_room, size_t frames,
                     const std::atomic<bool>* abort, int except_conn);
  void CloseConnLocked(const std::shared_ptr<Conn>& c);
  void AddConn(int fd, const std::string& peer);
  void ReapConns();
  void StartConnect();
  void FinishConnect(bool writable);
  void TcpLoop();
  void UdpLoop();

  Context& ctx_;
  const PacketHandler handler_;
  const std::function<void()> on_change_;

  mutable std::mutex mu_;
  std::condition_variable cv_;  // room in a queue, a drop pass, Stop
  std::atomic<bool> stopping_{true};
  std::vector<std::shared_ptr<Conn>> conns_;  // guarded by mu_
  std::atomic<size_t> conn_count_{0};
  int next_conn_id_ = 0;             // guarded by mu_
  bool drop_all_requested_ = false;  // guarded by mu_
  uint64_t drop_generation_ = 0;     // guarded by mu_
  std::atomic<bool> reconnect_{true};
  int wake_ = -1;  // written under mu_
  int listen_fd_ = -1;
  int udp_fd_ = -1;
  std::string remote_address_;        // guarded by mu_
  uint16_t remote_port_ = 0;          // guarded by mu_
  SocketEndpoint udp_destination_;    // guarded by mu_
  bool udp_has_destination_ = false;  // guarded by mu_
  bool learn_destination_ = false;    // guarded by mu_
  std::atomic<uint16_t> local_port_{0};
  // I/O thread only.
  int connecting_fd_ = -1;
  SocketEndpoint connect_target_;
  Clock::time_point connect_deadline_;
  Clock::time_point next_connect_;

  std::thread io_thread_;
};

}  // namespace tarnlink::sim

#endif  // TARNLINK_TOOLS_SIM_LINK_H_
