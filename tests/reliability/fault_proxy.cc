#include "tests/reliability/fault_proxy.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "tests/support/loopback.h"

namespace tarnlink::test {
namespace {

constexpr int kPollMs = 5;

// Pieces go out as they are cut; a peer that stops reading cannot hold a
// link thread (and so the proxy's destructor) for more than a moment.
void Tune(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval limit{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void Abort(int fd) {
  linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

bool WaitCount(const std::atomic<size_t>& value, size_t n, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (value.load() < n) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

struct FaultProxy::Link {
  int accepted = -1;
  int upstream = -1;
  // Written by the test thread, read by the link's own thread.
  std::atomic<int> close_request{0};  // 0 none, 1 cut, 2 reset
  std::atomic<bool> done{false};
  size_t sent_down = 0;  // link thread only
  size_t sent_up = 0;
  std::thread thread;
};

FaultProxy::FaultProxy(uint16_t upstream_port) : upstream_(upstream_port) {
  SocketEndpoint listener;
  if (CreateSocket(&listener, true) != 0 || BindTo(&listener, "127.0.0.1", 0) != 0 || ListenOn(listener, 128) != 0) {
    CloseSocket(&listener);
    return;
  }
  listener_ = listener.sock;
  port_ = listener.port;
  acceptor_ = std::thread(&FaultProxy::AcceptLoop, this);
}

FaultProxy::~FaultProxy() {
  stop_.store(true);
  if (acceptor_.joinable()) acceptor_.join();
  CloseLinks(false);
  std::vector<std::unique_ptr<Link>> links;
  {
    std::lock_guard<std::mutex> lock(mu_);
    links.swap(links_);
  }
  for (auto& link : links) {
    if (link->thread.joinable()) link->thread.join();
  }
  if (listener_ >= 0) ::close(listener_);
}

void FaultProxy::SetDown(const FaultPlan& plan) {
  std::lock_guard<std::mutex> lock(mu_);
  down_ = plan;
}

void FaultProxy::SetUp(const FaultPlan& plan) {
  std::lock_guard<std::mutex> lock(mu_);
  up_ = plan;
}

void FaultProxy::Cut() { CloseLinks(false); }
void FaultProxy::Reset() { CloseLinks(true); }

void FaultProxy::CloseLinks(bool reset) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& link : links_) {
    if (!link->done.load()) link->close_request.store(reset ? 2 : 1);
  }
}

size_t FaultProxy::links_open() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<size_t>(std::count_if(links_.begin(), links_.end(), [](const auto& l) { return !l->done; }));
}

bool FaultProxy::WaitAccepted(size_t n, int timeout_ms) const { return WaitCount(accepted_, n, timeout_ms); }
bool FaultProxy::WaitBytesDown(size_t n, int timeout_ms) const { return WaitCount(bytes_down_, n, timeout_ms); }

void FaultProxy::AcceptLoop() {
  while (!stop_.load()) {
    if (!WaitReadable(listener_, kPollMs)) continue;
    SocketEndpoint accepted;
    if (AcceptOne(At(listener_), &accepted) != 0) continue;
    const int fd = accepted.sock;
    if (refuse_.load()) {
      Abort(fd);
      ::close(fd);
      continue;
    }
    const int up = ConnectTcp(upstream_).Release();
    if (up < 0) {
      Abort(fd);
      ::close(fd);
      continue;
    }
    Tune(fd);
    Tune(up);
    auto link = std::make_unique<Link>();
    link->accepted = fd;
    link->upstream = up;
    Link* raw = link.get();
    {
      std::lock_guard<std::mutex> lock(mu_);
      links_.push_back(std::move(link));
      raw->thread = std::thread(&FaultProxy::Run, this, raw);
    }
    accepted_.fetch_add(1);
  }
}

void FaultProxy::Run(Link* link) {
  std::vector<char> buffer(65536);
  int close_how = 0;  // 1 orderly, 2 reset
  while (!stop_.load() && close_how == 0) {
    if (const int request = link->close_request.load()) {
      close_how = request;
      break;
    }
    pollfd fds[2] = {{link->accepted, POLLIN, 0}, {link->upstream, POLLIN, 0}};
    const int ready = ::poll(fds, 2, kPollMs);
    if (ready < 0 && errno != EINTR) break;
    for (int side = 0; side < 2 && close_how == 0; ++side) {
      if ((fds[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const int from = side == 0 ? link->accepted : link->upstream;
      const int to = side == 0 ? link->upstream : link->accepted;
      const bool down = side == 1;
      const ssize_t got = ::recv(from, buffer.data(), buffer.size(), 0);
      if (got <= 0) {
        // The end that went away: pass an orderly close on as one.
        close_how = got == 0 ? 1 : 2;
        break;
      }
      FaultPlan plan;
      {
        std::lock_guard<std::mutex> lock(mu_);
        plan = down ? down_ : up_;
      }
      size_t& sent = down ? link->sent_down : link->sent_up;
      size_t n = static_cast<size_t>(got);
      bool truncate = false;
      if (plan.truncate_after != std::numeric_limits<size_t>::max()) {
        const size_t allowance = plan.truncate_after > sent ? plan.truncate_after - sent : 0;
        if (n >= allowance) {
          n = allowance;
          truncate = true;
        }
      }
      const size_t piece = plan.split == 0 ? n : plan.split;
      for (size_t off = 0; off < n && close_how == 0;) {
        const size_t len = std::min(piece, n - off);
        if (plan.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(plan.delay_ms));
        if (!SendAll(to, buffer.data() + off, len)) {
          close_how = 2;
          break;
        }
        off += len;
        sent += len;
        (down ? bytes_down_ : bytes_up_).fetch_add(len);
        if (link->close_request.load() != 0) close_how = link->close_request.load();
      }
      if (truncate && close_how == 0) close_how = 2;
    }
  }
  if (close_how == 2) {
    Abort(link->accepted);
    Abort(link->upstream);
  }
  ::close(link->accepted);
  ::close(link->upstream);
  link->done.store(true);
}

}  // namespace tarnlink::test
