// The socket layer over Windows Sockets 2: the same behaviour as the POSIX
// implementation, in Winsock's terms.
// winsock2.h first, then what builds on it.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <mswsock.h>
// clang-format on

#include "transport/socket.h"

#include <cstdio>
#include <cstring>

#include "transport/socket_address.h"

namespace tarnlink {
namespace {

// WSAStartup once per process, on the first socket; the reference it takes
// is left for the process exit to drop (a WSACleanup at unload could pull
// sockets from under another library's threads).
bool StartSocketLibrary() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET Native(int sock) { return sock < 0 ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<unsigned>(sock)); }
SOCKET Native(const SocketEndpoint& endpoint) { return Native(endpoint.sock); }
// Socket handles are kernel handles: their values stay below 2^31.
int FromNative(SOCKET sock) { return sock == INVALID_SOCKET ? -1 : static_cast<int>(sock); }

bool SetNonBlocking(SOCKET sock, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(sock, FIONBIO, &mode) == 0;
}

void CopyText(const char* text, char (&out)[32]) { std::snprintf(out, sizeof(out), "%s", text != nullptr ? text : ""); }

// True when a recv on sock would not block: data, an end or an error waits.
bool ReadableNow(SOCKET sock) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(sock, &readable);
  timeval zero{0, 0};
  return select(0, &readable, nullptr, nullptr, &zero) == 1;
}

}  // namespace

void ClearEndpoint(SocketEndpoint* endpoint) { *endpoint = SocketEndpoint{}; }

int CreateSocket(SocketEndpoint* endpoint, bool tcp) {
  if (!StartSocketLibrary()) return 1;
  ClearEndpoint(endpoint);
  const SOCKET sock = WSASocketW(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, tcp ? IPPROTO_TCP : IPPROTO_UDP, nullptr, 0,
                                 WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (sock == INVALID_SOCKET) return 1;
  if (!tcp) {
    // Otherwise an ICMP port-unreachable for an earlier datagram fails the
    // next recvfrom with WSAECONNRESET, as Linux never does.
    BOOL report = FALSE;
    DWORD unused = 0;
    WSAIoctl(sock, SIO_UDP_CONNRESET, &report, sizeof(report), nullptr, 0, &unused, nullptr, nullptr);
  }
  endpoint->sock = FromNative(sock);
  return 0;
}

int CloseSocket(SocketEndpoint* endpoint) {
  if (endpoint->sock >= 0) closesocket(Native(*endpoint));
  ClearEndpoint(endpoint);
  return 0;
}

bool IsOpen(const SocketEndpoint& endpoint) { return endpoint.sock != -1; }

void ShutdownSocket(const SocketEndpoint& endpoint) {
  if (endpoint.sock < 0) return;
  const SOCKET sock = Native(endpoint);
  shutdown(sock, SD_BOTH);
  // shutdown does not end a blocked accept or a recvfrom on a datagram
  // socket; cancelling the socket's pending operations does, and the handle
  // stays ours.
  CancelIoEx(reinterpret_cast<HANDLE>(sock), nullptr);
}

int BindAny(SocketEndpoint* endpoint, uint16_t port) { return BindTo(endpoint, "0.0.0.0", port); }

int BindTo(SocketEndpoint* endpoint, const char* ip, uint16_t port) {
  sockaddr_in address;
  if (!ToAddress(ip, port, &address)) return 1;
  if (bind(Native(*endpoint), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return 1;
  CopyText(ip, endpoint->ip);
  endpoint->port = port;
  int length = sizeof(address);
  if (getsockname(Native(*endpoint), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    endpoint->port = ntohs(address.sin_port);
  }
  return 0;
}

uint16_t LocalPortOf(const SocketEndpoint& endpoint) {
  sockaddr_in address;
  int length = sizeof(address);
  if (getsockname(Native(endpoint), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

int MakeNonBlocking(const SocketEndpoint& endpoint) { return SetNonBlocking(Native(endpoint), true) ? 0 : 1; }

int LimitSendBuffer(const SocketEndpoint& endpoint, int bytes) {
  return setsockopt(Native(endpoint), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof(bytes)) == 0
             ? 0
             : 1;
}

int DisableNagle(const SocketEndpoint& endpoint) {
  const BOOL on = TRUE;
  return setsockopt(Native(endpoint), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on)) == 0
             ? 0
             : 1;
}

int AllowBroadcast(const SocketEndpoint& endpoint) {
  const int on = 1;
  return setsockopt(Native(endpoint), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof(on)) == 0
             ? 0
             : 1;
}

int AllowRebind(const SocketEndpoint& /*endpoint*/) {
  // Windows binds again over TIME_WAIT without being asked; its SO_REUSEADDR
  // would let a second listener take a live port, which Linux refuses.
  return 0;
}

int ListenOn(const SocketEndpoint& endpoint, int backlog) { return listen(Native(endpoint), backlog) == 0 ? 0 : 1; }

int AcceptOne(const SocketEndpoint& listener, SocketEndpoint* out) {
  sockaddr_in address;
  int length = sizeof(address);
  const SOCKET sock = accept(Native(listener), reinterpret_cast<sockaddr*>(&address), &length);
  if (sock == INVALID_SOCKET) return 1;
  // Accepted sockets inherit the listener's flags, inheritance included.
  SetHandleInformation(reinterpret_cast<HANDLE>(sock), HANDLE_FLAG_INHERIT, 0);
  ClearEndpoint(out);
  out->sock = FromNative(sock);
  FillFromAddress(address, out);
  return 0;
}

int StartConnect(SocketEndpoint* endpoint, const char* host, uint16_t port) {
  CopyText(host, endpoint->ip);
  endpoint->port = port;
  sockaddr_in address;
  const SOCKET sock = Native(*endpoint);
  if (!ToAddress(host, port, &address) || !SetNonBlocking(sock, true)) return 1;
  if (connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return kSent;
  return WSAGetLastError() == WSAEWOULDBLOCK ? kConnecting : 1;
}

int ConnectError(const SocketEndpoint& endpoint) {
  int error = 0;
  int length = sizeof(error);
  if (getsockopt(Native(endpoint), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) return 1;
  return error;
}

int ConnectWithTimeout(SocketEndpoint* endpoint, const char* host, uint16_t port, int wake_fd) {
  CopyText(host, endpoint->ip);
  endpoint->port = port;
  sockaddr_in address;
  if (!ToAddress(host, port, &address)) return 1;
  const SOCKET sock = Native(*endpoint);
  const bool non_blocking = SetNonBlocking(sock, true);
  const int rc = connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  if (rc == 0) {
    if (non_blocking) SetNonBlocking(sock, false);
  } else if (!non_blocking) {
    return 1;
  } else {
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
      SetNonBlocking(sock, false);
      return 1;
    }
    // select, not WSAPoll: older WSAPoll never reports a refused connect.
    // Windows reports the failure in the exception set.
    fd_set writable, failed, woken;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_ZERO(&woken);
    FD_SET(sock, &writable);
    FD_SET(sock, &failed);
    if (wake_fd >= 0) FD_SET(Native(wake_fd), &woken);
    timeval limit{kConnectTimeoutMs / 1000, (kConnectTimeoutMs % 1000) * 1000};
    const int ready = select(0, &woken, &writable, &failed, &limit);
    if (ready <= 0) return 1;
    if (wake_fd >= 0 && FD_ISSET(Native(wake_fd), &woken)) return 1;
    int error = 0;
    int length = sizeof(error);
    if (FD_ISSET(sock, &failed) || !FD_ISSET(sock, &writable)) return 1;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0) return 1;
    SetNonBlocking(sock, false);
  }
  EnableKeepAlive(*endpoint);
  return 0;
}

int EnableKeepAlive(const SocketEndpoint& endpoint) {
  int type = 0;
  int length = sizeof(type);
  if (getsockopt(Native(endpoint), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != 0) return 1;
  if (type != SOCK_STREAM) return 0;
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = kKeepAliveIdleMs;
  values.keepaliveinterval = kKeepAliveIntervalMs;
  DWORD unused = 0;
  return WSAIoctl(Native(endpoint), SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0, &unused, nullptr,
                  nullptr) == 0
             ? 0
             : 1;
}

int LimitSendTime(const SocketEndpoint& endpoint, int ms) {
  const DWORD limit = static_cast<DWORD>(ms);
  return setsockopt(Native(endpoint), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof(limit)) ==
                 0
             ? 0
             : 1;
}

int LimitUnackedTime(const SocketEndpoint& endpoint, int ms) {
#ifdef TCP_MAXRT
  // Windows counts the retransmission limit in whole seconds.
  const DWORD seconds = ms > 0 ? static_cast<DWORD>((ms + 999) / 1000) : 0;
  return setsockopt(Native(endpoint), IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&seconds),
                    sizeof(seconds)) == 0
             ? 0
             : 1;
#else
  (void)endpoint;
  (void)ms;
  return 0;
#endif
}

int SendWhole(const SocketEndpoint& endpoint, const char* data, int len, int ms) {
  if (len < 0 || (data == nullptr && len > 0)) return kSendBroken;
  // No MSG_DONTWAIT: each blocking send is bounded by the socket's send
  // time limit (LimitSendTime), and the whole block by ms.
  const SOCKET sock = Native(endpoint);
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(ms > 0 ? ms : 0);
  int done = 0;
  while (done < len) {
    const int n = send(sock, data + done, len - done, 0);
    if (n == SOCKET_ERROR) return WSAGetLastError() == WSAETIMEDOUT ? kSendTimedOut : kSendBroken;
    done += n;
    if (done < len && GetTickCount64() >= deadline) return kSendTimedOut;
  }
  return kSent;
}

int WidenReceiveBuffer(const SocketEndpoint& endpoint, int bytes) {
  const SOCKET sock = Native(endpoint);
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof(bytes));
  int actual = 0;
  int length = sizeof(actual);
  if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&actual), &length) != 0) return 0;
  return actual;
}

bool IsLocalAddress(const char* ip) {
  in_addr address;
  if (ip == nullptr || inet_pton(AF_INET, ip, &address) != 1) return false;
  if ((ntohl(address.s_addr) >> 24) == 127) return true;
  // An address of this host is one a socket can bind to.
  const SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (probe == INVALID_SOCKET) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = address;
  const bool bound = bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
  closesocket(probe);
  return bound;
}

int RecvSome(const SocketEndpoint& endpoint, char* buffer, int size, bool dont_wait) {
  if (size <= 0) return -1;
  const SOCKET sock = Native(endpoint);
  // No MSG_DONTWAIT here, and switching the socket to non-blocking would
  // race with senders on other threads: ask first, then receive.
  if (dont_wait && !ReadableNow(sock)) return 0;
  const int n = recv(sock, buffer, size, 0);
  return n > 0 ? n : -1;
}

int PollReadable(PollEntry* entries, size_t count, int timeout_ms) {
  // WSAPoll takes any number of sockets (select at most FD_SETSIZE).
  std::vector<WSAPOLLFD> fds(count);
  for (size_t i = 0; i < count; ++i) {
    fds[i].fd = Native(entries[i].sock);
    fds[i].events = POLLRDNORM;
    fds[i].revents = 0;
  }
  const int rc = WSAPoll(fds.data(), static_cast<ULONG>(count), timeout_ms < 0 ? -1 : timeout_ms);
  for (size_t i = 0; i < count; ++i) entries[i].revents = rc > 0 && entries[i].sock >= 0 ? fds[i].revents : 0;
  return rc == SOCKET_ERROR ? -1 : rc;
}

int PollSockets(PollEntry* entries, size_t count, int timeout_ms) {
  std::vector<WSAPOLLFD> fds(count);
  for (size_t i = 0; i < count; ++i) {
    const short want = entries[i].events;
    fds[i].fd = Native(entries[i].sock);
    fds[i].events =
        static_cast<short>(((want & kWantRead) != 0 ? POLLRDNORM : 0) | ((want & kWantWrite) != 0 ? POLLWRNORM : 0));
    fds[i].revents = 0;
  }
  const int rc = WSAPoll(fds.data(), static_cast<ULONG>(count), timeout_ms < 0 ? -1 : timeout_ms);
  for (size_t i = 0; i < count; ++i) entries[i].revents = rc > 0 && entries[i].sock >= 0 ? fds[i].revents : 0;
  return rc == SOCKET_ERROR ? -1 : rc;
}

bool Writable(const PollEntry& entry) { return (entry.revents & (POLLWRNORM | POLLERR | POLLHUP)) != 0; }

bool ResolveIPv4(const char* name, char (&ip)[32]) {
  ip[0] = '\0';
  if (name == nullptr) return false;
  in_addr address;
  if (inet_pton(AF_INET, name, &address) == 1) {
    CopyText(name, ip);
    return true;
  }
  if (!StartSocketLibrary()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) return false;
  in_addr found = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
  const bool ok = inet_ntop(AF_INET, &found, ip, sizeof(ip)) != nullptr;
  freeaddrinfo(result);
  return ok;
}

bool Readable(const PollEntry& entry) { return (entry.revents & (POLLRDNORM | POLLRDBAND | POLLERR | POLLHUP)) != 0; }
bool Invalid(const PollEntry& entry) { return (entry.revents & POLLNVAL) != 0; }

int SendSome(const SocketEndpoint& endpoint, const char* data, int len) {
  if (len < 0 || (data == nullptr && len > 0)) return -1;
  // No per-call flag here: the socket is one MakeNonBlocking made so.
  const int n = send(Native(endpoint), data, len, 0);
  if (n != SOCKET_ERROR) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

int RecvFrom(const SocketEndpoint& endpoint, char* buffer, int size, SocketEndpoint* from) {
  if (size <= 0) return -1;
  sockaddr_in address;
  int length = sizeof(address);
  const int n = recvfrom(Native(endpoint), buffer, size, 0, reinterpret_cast<sockaddr*>(&address), &length);
  if (n <= 0) return -1;
  if (from != nullptr) {
    ClearEndpoint(from);
    FillFromAddress(address, from);
  }
  return n;
}

int SendTo(const SocketEndpoint& endpoint, const char* data, int len, const SocketEndpoint& destination) {
  sockaddr_in address;
  if (len < 0 || !ToAddress(destination.ip, destination.port, &address)) return -1;
  const int n = sendto(Native(endpoint), data, len, 0, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  return n == SOCKET_ERROR ? -1 : n;
}

int JoinGroup(const SocketEndpoint& endpoint, const char* group, uint32_t loopback, const char* interface_ip) {
  ip_mreq request;
  if (!GroupRequest(group, &request)) return 1;
  if (interface_ip != nullptr) {
    if (inet_pton(AF_INET, interface_ip, &request.imr_interface) != 1) return 1;
    if (setsockopt(Native(endpoint), IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&request.imr_interface),
                   sizeof(request.imr_interface)) != 0) {
      return 1;
    }
  }
  if (setsockopt(Native(endpoint), IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&request),
                 sizeof(request)) != 0) {
    return 1;
  }
  const DWORD loop = loopback;
  return setsockopt(Native(endpoint), IPPROTO_IP, IP_MULTICAST_LOOP, reinterpret_cast<const char*>(&loop),
                    sizeof(loop)) == 0
             ? 0
             : 1;
}

int LeaveGroup(const SocketEndpoint& endpoint, const char* group) {
  ip_mreq request;
  if (!GroupRequest(group, &request)) return 1;
  return setsockopt(Native(endpoint), IPPROTO_IP, IP_DROP_MEMBERSHIP, reinterpret_cast<const char*>(&request),
                    sizeof(request)) == 0
             ? 0
             : 1;
}

// No eventfd on Windows: a datagram socket bound to the loopback and
// connected to itself becomes readable when a byte is sent to it.
int OpenWake() {
  SocketEndpoint wake;
  if (CreateSocket(&wake, false) != 0) return -1;
  const SOCKET sock = Native(wake);
  sockaddr_in address;
  ToAddress("127.0.0.1", 0, &address);
  int length = sizeof(address);
  if (bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 || !SetNonBlocking(sock, true)) {
    CloseSocket(&wake);
    return -1;
  }
  return wake.sock;
}

void CloseWake(int wake) {
  if (wake >= 0) closesocket(Native(wake));
}

void SignalWake(int wake) {
  if (wake < 0) return;
  const char one = 1;
  send(Native(wake), &one, 1, 0);
}

void DrainWake(int wake) {
  if (wake < 0) return;
  char byte;
  while (recv(Native(wake), &byte, 1, 0) == 1) {
  }
}

}  // namespace tarnlink
