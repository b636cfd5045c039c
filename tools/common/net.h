// The few socket calls the simulator and the tool make, for POSIX sockets and
// Windows Sockets alike. Sockets are ints on both (Windows' handle values fit).
#ifndef TARNLINK_TOOLS_COMMON_NET_H_
#define TARNLINK_TOOLS_COMMON_NET_H_

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstddef>
#include <vector>

// printf-style checking of the formats the C library actually takes.
#if defined(__MINGW_PRINTF_FORMAT)
#define TARNLINK_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define TARNLINK_PRINTF_FORMAT printf
#endif

namespace tarnlink::net {

#if defined(_WIN32)
using ssize_t = long long;
constexpr int kShutBoth = SD_BOTH;

// pollfd with an int socket; WSAPoll gets a copy.
struct PollFd {
  int fd;
  short events;
  short revents;
};

inline SOCKET Native(int fd) { return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<unsigned>(fd)); }
inline int FromNative(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }

// WSAStartup once per process, before the first socket.
inline bool Start() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

inline int Socket(int type) {
  if (!Start()) return -1;
  return FromNative(WSASocketW(AF_INET, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}
inline void Close(int fd) {
  if (fd >= 0) closesocket(Native(fd));
}
inline void SetNonBlocking(int fd) {
  u_long on = 1;
  ioctlsocket(Native(fd), FIONBIO, &on);
}
inline int Accept(int listener, sockaddr_in* from) {
  int len = sizeof(*from);
  return FromNative(accept(Native(listener), reinterpret_cast<sockaddr*>(from), &len));
}
inline int Poll(PollFd* fds, size_t count, int timeout_ms) {
  std::vector<WSAPOLLFD> native(count);
  for (size_t i = 0; i < count; ++i) native[i] = {Native(fds[i].fd), fds[i].events, 0};
  const int r = WSAPoll(native.data(), static_cast<ULONG>(count), timeout_ms);
  for (size_t i = 0; i < count; ++i) fds[i].revents = r > 0 ? native[i].revents : 0;
  return r;
}
inline bool WouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
inline bool Interrupted() { return false; }
inline bool InProgress() { return WSAGetLastError() == WSAEWOULDBLOCK; }
inline ssize_t SendNow(int fd, const void* data, size_t n) {
  return send(Native(fd), static_cast<const char*>(data), static_cast<int>(n), 0);
}
inline ssize_t RecvNow(int fd, void* data, size_t n) {
  return recv(Native(fd), static_cast<char*>(data), static_cast<int>(n), 0);
}
inline ssize_t Send(int fd, const void* data, size_t n) {
  return send(Native(fd), static_cast<const char*>(data), static_cast<int>(n), 0);
}
inline ssize_t Recv(int fd, void* data, size_t n) {
  return recv(Native(fd), static_cast<char*>(data), static_cast<int>(n), 0);
}
inline ssize_t SendTo(int fd, const void* data, size_t n, const sockaddr_in& to) {
  return sendto(Native(fd), static_cast<const char*>(data), static_cast<int>(n), 0,
                reinterpret_cast<const sockaddr*>(&to), sizeof(to));
}
inline ssize_t RecvFrom(int fd, void* data, size_t n, sockaddr_in* from) {
  int len = sizeof(*from);
  return recvfrom(Native(fd), static_cast<char*>(data), static_cast<int>(n), 0, reinterpret_cast<sockaddr*>(from),
                  &len);
}
inline int SetOption(int fd, int level, int name, const void* value, int size) {
  return setsockopt(Native(fd), level, name, static_cast<const char*>(value), size);
}
inline int SocketError(int fd) {
  int err = 0;
  int len = sizeof(err);
  if (getsockopt(Native(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) return -1;
  return err;
}
inline int LocalAddress(int fd, sockaddr_in* out) {
  int len = sizeof(*out);
  return getsockname(Native(fd), reinterpret_cast<sockaddr*>(out), &len);
}
// A wake-up "pipe": [0] a loopback datagram socket, [1] one connected to it.
inline bool WakePipe(int fds[2]) {
  fds[0] = Socket(SOCK_DGRAM);
  fds[1] = Socket(SOCK_DGRAM);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fds[0] >= 0 && fds[1] >= 0 && bind(Native(fds[0]), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
      LocalAddress(fds[0], &a) == 0 && connect(Native(fds[1]), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
    SetNonBlocking(fds[0]);
    SetNonBlocking(fds[1]);
    return true;
  }
  Close(fds[0]);
  Close(fds[1]);
  fds[0] = fds[1] = -1;
  return false;
}
inline void WakeWrite(int fd) {
  const char b = 1;
  send(Native(fd), &b, 1, 0);
}
inline void WakeDrain(int fd) {
  char drain[64];
  while (recv(Native(fd), drain, sizeof(drain), 0) > 0) {
  }
}
#else
using ::ssize_t;
constexpr int kShutBoth = SHUT_RDWR;
using PollFd = pollfd;

inline bool Start() { return true; }
inline int Socket(int type) { return ::socket(AF_INET, type | SOCK_CLOEXEC, 0); }
inline void Close(int fd) {
  if (fd >= 0) ::close(fd);
}
inline void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK); }
inline int Accept(int listener, sockaddr_in* from) {
  socklen_t len = sizeof(*from);
  return ::accept4(listener, reinterpret_cast<sockaddr*>(from), &len, SOCK_CLOEXEC);
}
inline int Poll(PollFd* fds, size_t count, int timeout_ms) { return ::poll(fds, count, timeout_ms); }
inline bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }
inline bool Interrupted() { return errno == EINTR; }
inline bool InProgress() { return errno == EINPROGRESS; }
inline ssize_t SendNow(int fd, const void* data, size_t n) { return ::send(fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT); }
inline ssize_t RecvNow(int fd, void* data, size_t n) { return ::recv(fd, data, n, MSG_DONTWAIT); }
// Blocking, and never SIGPIPE.
inline ssize_t Send(int fd, const void* data, size_t n) { return ::send(fd, data, n, MSG_NOSIGNAL); }
inline ssize_t Recv(int fd, void* data, size_t n) { return ::recv(fd, data, n, 0); }
inline ssize_t SendTo(int fd, const void* data, size_t n, const sockaddr_in& to) {
  return ::sendto(fd, data, n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
}
inline ssize_t RecvFrom(int fd, void* data, size_t n, sockaddr_in* from) {
  socklen_t len = sizeof(*from);
  return ::recvfrom(fd, data, n, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(from), &len);
}
inline int SetOption(int fd, int level, int name, const void* value, int size) {
  return ::setsockopt(fd, level, name, value, static_cast<socklen_t>(size));
}
inline int SocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
  return err;
}
inline int LocalAddress(int fd, sockaddr_in* out) {
  socklen_t len = sizeof(*out);
  return ::getsockname(fd, reinterpret_cast<sockaddr*>(out), &len);
}
inline bool WakePipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0; }
inline void WakeWrite(int fd) {
  const unsigned char b = 1;
  (void)!::write(fd, &b, 1);
}
inline void WakeDrain(int fd) {
  unsigned char drain[64];
  while (::read(fd, drain, sizeof drain) > 0) {
  }
}
#endif

}  // namespace tarnlink::net

#endif  // TARNLINK_TOOLS_COMMON_NET_H_
