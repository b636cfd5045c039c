#include "transport/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "transport/socket_address.h"

namespace tarnlink {
namespace {

// POSIX sockets need no library start; the step stays so that CreateSocket
// keeps the shape "start once, remember the result".
bool StartSocketLibrary() {
  static const bool started = true;
  return started;
}

bool SetNonBlocking(int sock, bool on) {
  const int flags = fcntl(sock, F_GETFL);
  if (flags < 0) return false;
  return fcntl(sock, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

void CopyText(const char* text, char (&out)[32]) { std::snprintf(out, sizeof(out), "%s", text != nullptr ? text : ""); }

// Poll with EINTR retried against the original deadline.
int PollFor(pollfd* fds, nfds_t count, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int wait_ms = timeout_ms;
  for (;;) {
    const int rc = poll(fds, count, wait_ms);
    if (rc >= 0 || errno != EINTR) return rc;
    if (timeout_ms > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait_ms = left > 0 ? static_cast<int>(left) : 0;
    }
  }
}

}  // namespace

void ClearEndpoint(SocketEndpoint* endpoint) { *endpoint = SocketEndpoint{}; }

int CreateSocket(SocketEndpoint* endpoint, bool tcp) {
  if (!StartSocketLibrary()) return 1;
  ClearEndpoint(endpoint);
  const int sock = socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  if (sock < 0) return 1;
  endpoint->sock = sock;
  return 0;
}

int CloseSocket(SocketEndpoint* endpoint) {
  // Not retried on EINTR: Linux releases the descriptor even then, and a
  // retry could close a descriptor another thread has just been given.
  if (endpoint->sock >= 0) close(endpoint->sock);
  ClearEndpoint(endpoint);
  return 0;
}

bool IsOpen(const SocketEndpoint& endpoint) { return endpoint.sock != -1; }

void ShutdownSocket(const SocketEndpoint& endpoint) {
  if (endpoint.sock >= 0) shutdown(endpoint.sock, SHUT_RDWR);
}

int BindAny(SocketEndpoint* endpoint, uint16_t port) { return BindTo(endpoint, "0.0.0.0", port); }

int BindTo(SocketEndpoint* endpoint, const char* ip, uint16_t port) {
  sockaddr_in address;
  if (!ToAddress(ip, port, &address)) return 1;
  if (bind(endpoint->sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return 1;
  CopyText(ip, endpoint->ip);
  endpoint->port = port;
  socklen_t length = sizeof(address);
  if (getsockname(endpoint->sock, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    endpoint->port = ntohs(address.sin_port);
  }
  return 0;
}

uint16_t LocalPortOf(const SocketEndpoint& endpoint) {
  sockaddr_in address;
  socklen_t length = sizeof(address);
  if (getsockname(endpoint.sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

int MakeNonBlocking(const SocketEndpoint& endpoint) { return SetNonBlocking(endpoint.sock, true) ? 0 : 1; }

int LimitSendBuffer(const SocketEndpoint& endpoint, int bytes) {
  return setsockopt(endpoint.sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes)) == 0 ? 0 : 1;
}

int DisableNagle(const SocketEndpoint& endpoint) {
  const int on = 1;
  return setsockopt(endpoint.sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) == 0 ? 0 : 1;
}

int AllowBroadcast(const SocketEndpoint& endpoint) {
  const int on = 1;
  return setsockopt(endpoint.sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) == 0 ? 0 : 1;
}

int AllowRebind(const SocketEndpoint& endpoint) {
  const int on = 1;
  return setsockopt(endpoint.sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 ? 0 : 1;
}

int ListenOn(const SocketEndpoint& endpoint, int backlog) { return listen(endpoint.sock, backlog) == 0 ? 0 : 1; }

int AcceptOne(const SocketEndpoint& listener, SocketEndpoint* out) {
  sockaddr_in address;
  socklen_t length;
  int sock;
  do {
    length = sizeof(address);
    sock = accept4(listener.sock, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
  } while (sock < 0 && errno == EINTR);
  if (sock < 0) return 1;
  ClearEndpoint(out);
  out->sock = sock;
  FillFromAddress(address, out);
  return 0;
}

int StartConnect(SocketEndpoint* endpoint, const char* host, uint16_t port) {
  CopyText(host, endpoint->ip);
  endpoint->port = port;
  sockaddr_in address;
  if (!ToAddress(host, port, &address) || !SetNonBlocking(endpoint->sock, true)) return 1;
  if (connect(endpoint->sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return kSent;
  return errno == EINPROGRESS || errno == EINTR ? kConnecting : 1;
}

int ConnectError(const SocketEndpoint& endpoint) {
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(endpoint.sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno != 0 ? errno : 1;
  return error;
}

int ConnectWithTimeout(SocketEndpoint* endpoint, const char* host, uint16_t port, int wake_fd) {
  CopyText(host, endpoint->ip);
  endpoint->port = port;
  sockaddr_in address;
  if (!ToAddress(host, port, &address)) return 1;
  const int sock = endpoint->sock;
  const bool non_blocking = SetNonBlocking(sock, true);
  const int rc = connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  if (rc == 0) {
    if (non_blocking) SetNonBlocking(sock, false);
  } else if (!non_blocking) {
    return 1;
  } else {
    // EINTR leaves the attempt running in the background, like EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR) {
      SetNonBlocking(sock, false);
      return 1;
    }
    pollfd fds[2] = {{sock, POLLOUT, 0}, {wake_fd, POLLIN, 0}};
    const int ready = PollFor(fds, wake_fd >= 0 ? 2 : 1, kConnectTimeoutMs);
    if (ready <= 0) return 1;
    if (wake_fd >= 0 && (fds[1].revents & POLLIN) != 0) return 1;
    // A failed attempt shows as writable with SO_ERROR set.
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return 1;
    if ((fds[0].revents & POLLOUT) == 0) return 1;
    SetNonBlocking(sock, false);
  }
  EnableKeepAlive(*endpoint);
  LimitUnackedTime(*endpoint);
  return 0;
}

int EnableKeepAlive(const SocketEndpoint& endpoint) {
  int type = 0;
  socklen_t length = sizeof(type);
  if (getsockopt(endpoint.sock, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return 1;
  if (type != SOCK_STREAM) return 0;
  const int on = 1;
  if (setsockopt(endpoint.sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) != 0) return 1;
  const int idle_s = kKeepAliveIdleMs / 1000;
  const int interval_s = kKeepAliveIntervalMs / 1000;
  if (setsockopt(endpoint.sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof(idle_s)) != 0) return 1;
  if (setsockopt(endpoint.sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof(interval_s)) != 0) return 1;
  return 0;
}

int LimitSendTime(const SocketEndpoint& endpoint, int ms) {
  timeval limit{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
  return setsockopt(endpoint.sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) == 0 ? 0 : 1;
}

int LimitUnackedTime(const SocketEndpoint& endpoint, int ms) {
#ifdef TCP_USER_TIMEOUT
  const unsigned int limit = ms > 0 ? static_cast<unsigned int>(ms) : 0u;
  return setsockopt(endpoint.sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, sizeof(limit)) == 0 ? 0 : 1;
#else
  (void)endpoint;
  (void)ms;
  return 0;
#endif
}

int SendWhole(const SocketEndpoint& endpoint, const char* data, int len, int ms) {
  if (len < 0 || (data == nullptr && len > 0)) return kSendBroken;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  int done = 0;
  while (done < len) {
    ssize_t n;
    do {
      n = send(endpoint.sock, data + done, static_cast<size_t>(len - done), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return kSendBroken;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return kSendTimedOut;
    pollfd fd{endpoint.sock, POLLOUT, 0};
    const int ready = PollFor(&fd, 1, static_cast<int>(left));
    if (ready < 0) return kSendBroken;
    if (ready == 0) return kSendTimedOut;
  }
  return kSent;
}

int WidenReceiveBuffer(const SocketEndpoint& endpoint, int bytes) {
  if (setsockopt(endpoint.sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) != 0) {
    setsockopt(endpoint.sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
  }
  int actual = 0;
  socklen_t length = sizeof(actual);
  if (getsockopt(endpoint.sock, SOL_SOCKET, SO_RCVBUF, &actual, &length) != 0) return 0;
  return actual;
}

bool IsLocalAddress(const char* ip) {
  in_addr address;
  if (ip == nullptr || inet_pton(AF_INET, ip, &address) != 1) return false;
  if ((ntohl(address.s_addr) >> 24) == 127) return true;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (const ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    found = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr == address.s_addr;
  }
  freeifaddrs(list);
  return found;
}

int RecvSome(const SocketEndpoint& endpoint, char* buffer, int size, bool dont_wait) {
  if (size <= 0) return -1;
  ssize_t n;
  do {
    n = recv(endpoint.sock, buffer, static_cast<size_t>(size), dont_wait ? MSG_DONTWAIT : 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return static_cast<int>(n);
  if (n < 0 && dont_wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  return -1;
}

int SendSome(const SocketEndpoint& endpoint, const char* data, int len) {
  if (len < 0 || (data == nullptr && len > 0)) return -1;
  ssize_t n;
  do {
    n = send(endpoint.sock, data, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
}

int RecvFrom(const SocketEndpoint& endpoint, char* buffer, int size, SocketEndpoint* from) {
  if (size <= 0) return -1;
  sockaddr_in address;
  socklen_t length;
  ssize_t n;
  do {
    length = sizeof(address);
    n = recvfrom(endpoint.sock, buffer, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&address), &length);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  if (from != nullptr) {
    ClearEndpoint(from);
    FillFromAddress(address, from);
  }
  return static_cast<int>(n);
}

int SendTo(const SocketEndpoint& endpoint, const char* data, int len, const SocketEndpoint& destination) {
  sockaddr_in address;
  if (len < 0 || !ToAddress(destination.ip, destination.port, &address)) return -1;
  ssize_t n;
  do {
    n = sendto(endpoint.sock, data, static_cast<size_t>(len), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
               sizeof(address));
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

int JoinGroup(const SocketEndpoint& endpoint, const char* group, uint32_t loopback, const char* interface_ip) {
  ip_mreq request;
  if (!GroupRequest(group, &request)) return 1;
  if (interface_ip != nullptr) {
    if (inet_pton(AF_INET, interface_ip, &request.imr_interface) != 1) return 1;
    if (setsockopt(endpoint.sock, IPPROTO_IP, IP_MULTICAST_IF, &request.imr_interface, sizeof(request.imr_interface)) !=
        0) {
      return 1;
    }
  }
  if (setsockopt(endpoint.sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)) != 0) return 1;
  const int loop = static_cast<int>(loopback);
  return setsockopt(endpoint.sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) == 0 ? 0 : 1;
}

int LeaveGroup(const SocketEndpoint& endpoint, const char* group) {
  ip_mreq request;
  if (!GroupRequest(group, &request)) return 1;
  return setsockopt(endpoint.sock, IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof(request)) == 0 ? 0 : 1;
}

static_assert(sizeof(PollEntry) == sizeof(pollfd) && offsetof(PollEntry, sock) == offsetof(pollfd, fd) &&
                  offsetof(PollEntry, events) == offsetof(pollfd, events) &&
                  offsetof(PollEntry, revents) == offsetof(pollfd, revents),
              "PollEntry is handed to poll as it stands");

int PollReadable(PollEntry* entries, size_t count, int timeout_ms) {
  for (size_t i = 0; i < count; ++i) entries[i].events = POLLIN;
  return PollFor(reinterpret_cast<pollfd*>(entries), count, timeout_ms < 0 ? -1 : timeout_ms);
}

int PollSockets(PollEntry* entries, size_t count, int timeout_ms) {
  for (size_t i = 0; i < count; ++i) {
    const short want = entries[i].events;
    entries[i].events =
        static_cast<short>(((want & kWantRead) != 0 ? POLLIN : 0) | ((want & kWantWrite) != 0 ? POLLOUT : 0));
  }
  return PollFor(reinterpret_cast<pollfd*>(entries), count, timeout_ms < 0 ? -1 : timeout_ms);
}

bool Writable(const PollEntry& entry) { return (entry.revents & (POLLOUT | POLLERR | POLLHUP)) != 0; }

bool ResolveIPv4(const char* name, char (&ip)[32]) {
  ip[0] = '\0';
  if (name == nullptr) return false;
  in_addr address;
  if (inet_pton(AF_INET, name, &address) == 1) {
    CopyText(name, ip);
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) return false;
  const auto* found = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
  const bool ok = inet_ntop(AF_INET, &found->sin_addr, ip, sizeof(ip)) != nullptr;
  freeaddrinfo(result);
  return ok;
}

// Error and hang-up count as readable, as select has it.
bool Readable(const PollEntry& entry) { return (entry.revents & (POLLIN | POLLPRI | POLLERR | POLLHUP)) != 0; }
bool Invalid(const PollEntry& entry) { return (entry.revents & POLLNVAL) != 0; }

int OpenWake() { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void CloseWake(int wake) {
  if (wake >= 0) close(wake);
}

void SignalWake(int wake) {
  if (wake < 0) return;
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = write(wake, &one, sizeof(one));
  } while (n < 0 && errno == EINTR);
}

void DrainWake(int wake) {
  if (wake < 0) return;
  uint64_t count;
  ssize_t n;
  do {
    n = read(wake, &count, sizeof(count));
  } while (n < 0 && errno == EINTR);
}

}  // namespace tarnlink
