// Plain blocking loopback sockets for tests: listen, accept, connect, read
// with deadlines. Everything on 127.0.0.1 with ephemeral ports.
#ifndef TARNLINK_TESTS_SUPPORT_LOOPBACK_H_
#define TARNLINK_TESTS_SUPPORT_LOOPBACK_H_

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "transport/socket.h"

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
    SocketEndpoint e;
    e.sock = fd_;
    CloseSocket(&e);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// The socket calls take endpoints; the tests keep plain descriptors.
inline SocketEndpoint At(int fd) {
  SocketEndpoint e;
  e.sock = fd;
  return e;
}

inline uint16_t BoundPort(int fd) { return LocalPortOf(At(fd)); }

using tarnlink::FreePort;

inline bool WaitReadable(int fd, int timeout_ms) {
  PollEntry p{fd};
  return PollReadable(&p, 1, timeout_ms) > 0;
}

// Reads exactly n bytes before the deadline; false on EOF, error or time-out.
inline bool ReadExactly(int fd, void* buf, size_t n, int timeout_ms) {
  auto* p = static_cast<uint8_t*>(buf);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (n > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(fd, static_cast<int>(left.count()))) return false;
    const int got = RecvSome(At(fd), reinterpret_cast<char*>(p), static_cast<int>(std::min<size_t>(n, 1 << 30)));
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
    const int got = RecvSome(At(fd), reinterpret_cast<char*>(b), sizeof b);
    if (got <= 0) return true;
  }
}

// The next connection on listener, or an invalid Fd after timeout_ms.
inline Fd WaitAccept(int listener, int timeout_ms) {
  if (!WaitReadable(listener, timeout_ms)) return Fd();
  SocketEndpoint accepted;
  return AcceptOne(At(listener), &accepted) == 0 ? Fd(accepted.sock) : Fd();
}

// Blocks until every byte is out (a peer that stops reading holds it at
// most a minute).
inline bool SendAll(int fd, const void* data, size_t n) {
  return SendWhole(At(fd), static_cast<const char*>(data), static_cast<int>(n), 60000) == kSent;
}

class TcpListener {
 public:
  explicit TcpListener(uint16_t port = 0) {
    SocketEndpoint e;
    ok_ = CreateSocket(&e, true) == 0;
    fd_ = Fd(e.sock);
    ok_ = ok_ && AllowRebind(e) == 0 && BindTo(&e, "127.0.0.1", port) == 0 && ListenOn(e, 128) == 0;
    port_ = e.port;
  }
  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }
  // The next connection, or an invalid Fd after timeout_ms.
  Fd Accept(int timeout_ms) { return WaitAccept(fd_.get(), timeout_ms); }
  void Close() { fd_.Reset(); }

 private:
  Fd fd_;
  uint16_t port_ = 0;
  bool ok_ = false;
};

// A datagram socket bound to 127.0.0.1:port (0: an ephemeral port); invalid
// on failure.
inline Fd BindUdp(uint16_t port = 0) {
  SocketEndpoint e;
  if (CreateSocket(&e, false) != 0) return Fd();
  Fd s(e.sock);
  if (BindTo(&e, "127.0.0.1", port) != 0) return Fd();
  return s;
}

inline SocketEndpoint Loopback(uint16_t port) {
  SocketEndpoint e;
  std::snprintf(e.ip, sizeof e.ip, "127.0.0.1");
  e.port = port;
  return e;
}

inline Fd ConnectTcp(uint16_t port) {
  SocketEndpoint e;
  if (CreateSocket(&e, true) != 0) return Fd();
  Fd s(e.sock);
  if (ConnectWithTimeout(&e, "127.0.0.1", port) != 0) return Fd();
  DisableNagle(e);
  return s;
}

}  // namespace tarnlink::test

#endif  // TARNLINK_TESTS_SUPPORT_LOOPBACK_H_
