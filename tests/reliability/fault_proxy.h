// A user-space TCP proxy on 127.0.0.1 that injects the faults a real network
// shows: it can split a stream into small pieces, delay each piece, truncate
// a connection after a number of bytes, cut it (orderly close) or reset it.
// Every connection accepted on port() is forwarded to 127.0.0.1:upstream.
#ifndef TARNLINK_TESTS_RELIABILITY_FAULT_PROXY_H_
#define TARNLINK_TESTS_RELIABILITY_FAULT_PROXY_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnlink::test {

// What happens to the bytes of one direction of every link.
struct FaultPlan {
  size_t split = 0;  // forward in pieces of at most this many bytes (0: as read)
  int delay_ms = 0;  // each piece waits this long before it goes
  // Bytes forwarded in this direction before the link is reset (per link).
  size_t truncate_after = std::numeric_limits<size_t>::max();
};

class FaultProxy {
 public:
  explicit FaultProxy(uint16_t upstream_port);
  ~FaultProxy();  // closes every link and joins every thread
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  bool ok() const { return listener_ >= 0; }
  uint16_t port() const { return port_; }

  // Applies to links made from now on and to the bytes read from now on.
  // Down: upstream to the accepted side. Up: accepted side to upstream.
  void SetDown(const FaultPlan& plan);
  void SetUp(const FaultPlan& plan);

  // Orderly close (FIN) of both sides of every open link.
  void Cut();
  // Abortive close (RST) of both sides of every open link.
  void Reset();
  // While refusing, new connections are accepted and closed at once.
  void SetRefuse(bool refuse) { refuse_.store(refuse); }

  size_t links_accepted() const { return accepted_.load(); }
  size_t links_open() const;
  size_t bytes_down() const { return bytes_down_.load(); }
  size_t bytes_up() const { return bytes_up_.load(); }
  // Waits until at least n links were accepted; false at the deadline.
  bool WaitAccepted(size_t n, int timeout_ms) const;
  bool WaitBytesDown(size_t n, int timeout_ms) const;

 private:
  struct Link;
  void AcceptLoop();
  void Run(Link* link);
  void CloseLinks(bool reset);

  const uint16_t upstream_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> refuse_{false};
  std::atomic<size_t> accepted_{0};
  std::atomic<size_t> bytes_down_{0};
  std::atomic<size_t> bytes_up_{0};

  mutable std::mutex mu_;
  FaultPlan down_;                            // guarded by mu_
  FaultPlan up_;                              // guarded by mu_
  std::vector<std::unique_ptr<Link>> links_;  // guarded by mu_
  std::thread acceptor_;
};

}  // namespace tarnlink::test

#endif  // TARNLINK_TESTS_RELIABILITY_FAULT_PROXY_H_
