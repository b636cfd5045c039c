// Thin socket layer (IPv4 TCP and UDP): one surface, implemented over POSIX
// sockets (socket_posix.cc) and over Windows Sockets (socket_win.cc), chosen
// at build time. A socket is an int on both; Windows' SOCKET values fit.
//
// Unless stated otherwise an operation returns 0 for success and 1 for
// failure. Every socket is made close-on-exec (not inherited), every call is
// retried on EINTR, and nothing here raises SIGPIPE.
#ifndef TARNLINK_TRANSPORT_SOCKET_H_
#define TARNLINK_TRANSPORT_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tarnlink {

struct SocketEndpoint {
  int sock = -1;     // -1: no socket
  char ip[32] = {};  // dotted IPv4 text, zero-terminated
  uint16_t port = 0;
};

// Length of the peer text buffer handed to a RecvCallback (63 chars + NUL).
constexpr int kPeerTextSize = 64;

// All fields zero, then no socket.
void ClearEndpoint(SocketEndpoint* endpoint);

// Clears the endpoint, then opens an AF_INET stream (tcp) or datagram socket.
int CreateSocket(SocketEndpoint* endpoint, bool tcp);
// Closes the socket if one is held and clears the endpoint. Always 0.
int CloseSocket(SocketEndpoint* endpoint);
bool IsOpen(const SocketEndpoint& endpoint);
// shutdown(SHUT_RDWR) without closing: wakes a thread blocked in recv,
// recvfrom, accept or send on this socket while the descriptor stays ours,
// so it cannot be reused under that thread. No effect without a socket.
void ShutdownSocket(const SocketEndpoint& endpoint);

// Binds to INADDR_ANY:port. On success ip is "0.0.0.0" and port the port
// actually bound (the system's choice when port is 0).
int BindAny(SocketEndpoint* endpoint, uint16_t port);
// Binds to ip:port (dotted IPv4; "0.0.0.0" for any address); on success ip
// and port are what the socket is bound to.
int BindTo(SocketEndpoint* endpoint, const char* ip, uint16_t port);
// The port the socket is bound to; 0 when none or on failure.
uint16_t LocalPortOf(const SocketEndpoint& endpoint);
// A send, receive or accept that would wait fails at once from now on.
int MakeNonBlocking(const SocketEndpoint& endpoint);
// TCP_NODELAY: every send leaves at once, as a gateway sends each packet.
int DisableNagle(const SocketEndpoint& endpoint);
// SO_SNDBUF: at most about bytes wait in the kernel for a slow peer (the
// kernel doubles the figure for its bookkeeping) instead of what automatic
// tuning would allow, megabytes.
int LimitSendBuffer(const SocketEndpoint& endpoint, int bytes);
// SO_BROADCAST: lets a datagram socket send to a broadcast address.
int AllowBroadcast(const SocketEndpoint& endpoint);
// SO_REUSEADDR for a listener: lets it bind again while connections it closed
// linger in TIME_WAIT; a port with a live listener stays refused.
int AllowRebind(const SocketEndpoint& endpoint);
int ListenOn(const SocketEndpoint& endpoint, int backlog);
// Blocking accept; fills out with the new socket and the peer's address.
int AcceptOne(const SocketEndpoint& listener, SocketEndpoint* out);

constexpr int kConnectTimeoutMs = 3000;
// Stores host (dotted IPv4, no name lookup) and port in the endpoint and
// connects within kConnectTimeoutMs, then enables keep-alive and limits the
// unacknowledged time (see LimitUnackedTime). A readable
// wake_fd (a set StopSignal) ends the wait early with failure. After a
// failure the socket stays in the endpoint, unconnected.
int ConnectWithTimeout(SocketEndpoint* endpoint, const char* host, uint16_t port, int wake_fd = -1);

// A connect that does not wait, for a caller with its own poll loop: kSent
// (0) when it connected at once, kConnecting while it goes on (the socket
// becomes writable, then ConnectError tells), 1 on failure. Leaves the
// socket non-blocking.
constexpr int kConnecting = 2;
int StartConnect(SocketEndpoint* endpoint, const char* host, uint16_t port);
// After a started connect: 0 when it is established, else the error.
int ConnectError(const SocketEndpoint& endpoint);

constexpr int kKeepAliveIdleMs = 10000;
constexpr int kKeepAliveIntervalMs = 1000;
// Keep-alive probes after 10 s of silence, then every second. A no-op success
// on a non-stream socket.
int EnableKeepAlive(const SocketEndpoint& endpoint);

constexpr int kUnackedLimitMs = 10000;
// TCP_USER_TIMEOUT: a connection whose sent data stays unacknowledged for ms
// is dropped by the kernel. Keep-alive notices a dead peer only while the
// link is idle; under traffic the kernel would retransmit for about 15
// minutes while every send still succeeds. A no-op success where the option
// does not exist.
int LimitUnackedTime(const SocketEndpoint& endpoint, int ms = kUnackedLimitMs);

constexpr int kSendTimeoutMs = 1500;
// A blocking send on this socket gives up after ms: a peer that stops reading
// then costs a sender (and the send lock it holds) at most that long, and the
// send reports what it got out.
int LimitSendTime(const SocketEndpoint& endpoint, int ms = kSendTimeoutMs);

// Sends the whole block within ms in total (partial sends are continued).
// kSent when every byte went out; otherwise kSendBroken (the link failed) or
// kSendTimedOut (the peer stopped reading): part of the block may already be
// in the stream, so the caller must not send on this connection again.
constexpr int kSent = 0;
constexpr int kSendBroken = 1;
constexpr int kSendTimedOut = 2;
int SendWhole(const SocketEndpoint& endpoint, const char* data, int len, int ms = kSendTimeoutMs);

constexpr int kReceiveBufferBytes = 4 << 20;
// Asks for a receive buffer of bytes: SO_RCVBUFFORCE where the process may
// (CAP_NET_ADMIN), else SO_RCVBUF, which the kernel caps at
// net.core.rmem_max. Result: the size the kernel reports afterwards (it
// doubles the request for its bookkeeping), 0 on failure.
int WidenReceiveBuffer(const SocketEndpoint& endpoint, int bytes = kReceiveBufferBytes);

// True when ip (dotted IPv4) is an address of this host: 127.0.0.0/8 or one
// held by an interface now.
bool IsLocalAddress(const char* ip);

// One recv. Result: the byte count when positive; -1 on orderly close or
// error; never 0 unless dont_wait is set and no data is waiting.
int RecvSome(const SocketEndpoint& endpoint, char* buffer, int size, bool dont_wait = false);

// One send that does not wait: the bytes taken (0 when the socket has no
// room now), -1 when the link failed. Never SIGPIPE.
int SendSome(const SocketEndpoint& endpoint, const char* data, int len);

// One recvfrom; -1 on error or an empty datagram, else the byte count. When
// from is given it is cleared and gets the sender's address and port.
int RecvFrom(const SocketEndpoint& endpoint, char* buffer, int size, SocketEndpoint* from);
// One sendto to destination.ip:destination.port; bytes sent or -1 (also when
// the address text does not convert).
int SendTo(const SocketEndpoint& endpoint, const char* data, int len, const SocketEndpoint& destination);
// Joins group, then sets IP_MULTICAST_LOOP; on the interface of the dotted
// address interface_ip (also where the group's sends leave), or on the
// default interface when it is null.
int JoinGroup(const SocketEndpoint& endpoint, const char* group, uint32_t loopback, const char* interface_ip = nullptr);
int LeaveGroup(const SocketEndpoint& endpoint, const char* group);
// True when text is dotted IPv4 of 224.0.0.0/4.
bool IsMulticastAddress(const char* text);

// One entry of PollReadable, laid out as POSIX's pollfd: the socket to watch
// (negative: skipped); events and revents belong to the call.
struct PollEntry {
  int sock = -1;
  short events = 0;
  short revents = 0;
};
// Waits until an entry is readable, at most timeout_ms (negative: no limit).
// Result as poll's: the number of entries with news, 0 on time-out, negative
// on error. Any number of entries; EINTR is retried.
int PollReadable(PollEntry* entries, size_t count, int timeout_ms);
// As PollReadable, for what each entry asks in events, set before every
// call: kWantRead, kWantWrite or both.
constexpr short kWantRead = 1;
constexpr short kWantWrite = 2;
int PollSockets(PollEntry* entries, size_t count, int timeout_ms);
// After PollReadable: data, an end, an error or a hang-up waits (the receive
// that follows tells which), or the socket was closed meanwhile.
bool Readable(const PollEntry& entry);
bool Invalid(const PollEntry& entry);
// After PollSockets: room to send, or a started connect has ended.
bool Writable(const PollEntry& entry);

// A wake-up handle that PollReadable and ConnectWithTimeout can watch like a
// socket: readable after SignalWake until DrainWake. An eventfd on Linux, a
// datagram socket sending to itself on Windows. -1 when none could be made.
int OpenWake();
void CloseWake(int wake);
void SignalWake(int wake);
void DrainWake(int wake);

// The dotted IPv4 address of a host name (dotted text is taken as it is).
bool ResolveIPv4(const char* name, char (&ip)[32]);

// A loopback port that was free a moment ago, for settings that need a
// number before anything binds it (the tool's demo, the benchmark, the
// tests). Another process may take it first: who binds it retries. 0 when
// no socket could be bound.
uint16_t FreePort(bool tcp = true);

// "ip:port" into a kPeerTextSize buffer, as handed to a RecvCallback.
void FormatPeer(const SocketEndpoint& endpoint, char (&peer)[kPeerTextSize]);

// A receive buffer that is all zero before every receive, as if it were
// cleared whole each time, while only the bytes the last receive wrote are
// cleared again.
class ZeroedBuffer {
 public:
  ZeroedBuffer(char* data, size_t size) : data_(data), dirty_(size) {}
  // The buffer, all zero.
  char* Clear() {
    std::memset(data_, 0, dirty_);
    dirty_ = 0;
    return data_;
  }
  // What a receive returned: the bytes it wrote, or nothing when negative.
  void Wrote(int n) { dirty_ = n > 0 ? static_cast<size_t>(n) : 0; }

 private:
  char* data_;
  size_t dirty_;
};

}  // namespace tarnlink

#endif  // TARNLINK_TRANSPORT_SOCKET_H_
