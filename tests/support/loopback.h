// Plain blocking loopback sockets for tests: listen, accept, connect, read
// with deadlines. Everything on 127.0.0.1 with ephemeral ports.
#ifndef TARNLINK_TESTS_SUPPORT_LOOPBACK_H_
#define TARNLINK_TESTS_SUPPORT_LOOPBACK_H_

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tools/common/free_port.h"
#include "tools/common/net.h"

namespace tarnlink::test {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(o.Release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = o.Release();
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }
  void Reset() {
    net::Close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  net::LocalAddress(fd, &a);
  return ntohs(a.sin_port);
}

using tarnlink::FreePort;

inline bool WaitReadable(int fd, int timeout_ms) {
  net::PollFd p{fd, POLLIN, 0};
  int r;
  do {
    r = net::Poll(&p, 1, timeout_ms);
  } while (r < 0 && net::Interrupted());
  return r > 0;
}

// Reads exactly n bytes before the deadline; false on EOF, error or time-out.
inline bool ReadExactly(int fd, void* buf, size_t n, int timeout_ms) {
  auto* p = static_cast<uint8_t*>(buf);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (n > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(fd, static_cast<int>(left.count()))) return false;
    const auto got = net::Recv(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// True when the peer closed the connection before the deadline.
inline bool WaitEof(int fd, int timeout_ms) {
  uint8_t b[256];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(fd, static_cast<int>(left.count()))) return false;
    const auto got = net::Recv(fd, b, sizeof b);
    if (got <= 0) return true;
  }
}

inline bool SendAll(int fd, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const auto sent = net::Send(fd, p, n);
    if (sent < 0 && net::Interrupted()) continue;
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

class TcpListener {
 public:
  explicit TcpListener(uint16_t port = 0) {
    fd_ = Fd(net::Socket(SOCK_STREAM));
    int one = 1;
    net::SetOption(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port);
    ok_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_.get(), 128) == 0;
    port_ = BoundPort(fd_.get());
  }
  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }
  // The next connection, or an invalid Fd after timeout_ms.
  Fd Accept(int timeout_ms) {
    if (!WaitReadable(fd_.get(), timeout_ms)) return Fd();
    sockaddr_in from{};
    return Fd(net::Accept(fd_.get(), &from));
  }
  void Close() { fd_.Reset(); }

 private:
  Fd fd_;
  uint16_t port_ = 0;
  bool ok_ = false;
};

inline Fd ConnectTcp(uint16_t port) {
  Fd s(net::Socket(SOCK_STREAM));
  sockaddr_in a = Loopback(port);
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fd();
  int one = 1;
  net::SetOption(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

}  // namespace tarnlink::test

#endif  // TARNLINK_TESTS_SUPPORT_LOOPBACK_H_
