#include "tests/transport/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/process.h"
#include "transport/socket.h"

namespace tarnlink {
namespace test {
namespace {

sockaddr_in Loopback(const char* ip, uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, ip, &address.sin_addr);
  return address;
}

bool ReadableWithin(int fd, milliseconds timeout) { return WaitReadable(fd, static_cast<int>(timeout.count())); }

struct TcpEntry {
  uint16_t local_port;
  uint16_t remote_port;
  int state;
};

// /proc/net/tcp: "sl local rem st ...", addresses as HEXIP:HEXPORT.
std::vector<TcpEntry> TcpTable() {
  std::vector<TcpEntry> entries;
  std::ifstream file("/proc/thread-self/net/tcp");
  std::string line;
  std::getline(file, line);
  while (std::getline(file, line)) {
    unsigned local_ip, local_port, remote_ip, remote_port, state;
    if (std::sscanf(line.c_str(), " %*u: %x:%x %x:%x %x", &local_ip, &local_port, &remote_ip, &remote_port, &state) ==
        5) {
      entries.push_back(
          {static_cast<uint16_t>(local_port), static_cast<uint16_t>(remote_port), static_cast<int>(state)});
    }
  }
  return entries;
}

// The descriptor of a socket the socket layer made; -1 when it could not.
// The rest of this peer uses the system's calls on it, so that the tests
// check the layer from outside instead of agreeing with it by construction.
int NewSocket(bool tcp) {
  SocketEndpoint endpoint;
  return CreateSocket(&endpoint, tcp) == 0 ? endpoint.sock : -1;
}

}  // namespace

double ElapsedMs(const std::function<void()>& fn) {
  const auto start = Clock::now();
  fn();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Fd Listen(int backlog, uint16_t* port, uint16_t wanted, bool reuse) {
  Fd fd(NewSocket(true));
  const int on = 1;
  if (reuse) setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  const sockaddr_in address = Loopback("127.0.0.1", wanted);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd.get(), backlog) != 0) {
    return Fd();
  }
  if (port != nullptr) *port = LocalPort(fd.get());
  return fd;
}

Fd AcceptWithin(int listener, milliseconds timeout) {
  if (!ReadableWithin(listener, timeout)) return Fd();
  return Fd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

Fd Connect(uint16_t port) {
  Fd fd(NewSocket(true));
  const sockaddr_in address = Loopback("127.0.0.1", port);
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return Fd();
  return fd;
}

SilentListener ListenSilently() {
  // Backlog 0 holds one finished connection; SYNs beyond it are dropped.
  SilentListener silent;
  silent.listener = Listen(0, &silent.port);
  silent.filler = Connect(silent.port);
  return silent;
}

uint16_t LocalPort(int fd) { return BoundPort(fd); }

uint16_t RemotePort(int fd) {
  sockaddr_in address;
  socklen_t length = sizeof(address);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

bool SendAll(int fd, const std::string& data) { return SendAll(fd, data.data(), data.size()); }

bool ReadExactly(int fd, size_t n, std::string* out, milliseconds timeout) {
  out->assign(n, '\0');
  return ReadExactly(fd, &(*out)[0], n, static_cast<int>(timeout.count()));
}

bool WaitForClose(int fd, milliseconds timeout) { return WaitEof(fd, static_cast<int>(timeout.count())); }

Fd UdpBound(const char* ip, uint16_t port, uint16_t* actual) {
  Fd fd(NewSocket(false));
  const sockaddr_in address = Loopback(ip, port);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return Fd();
  if (actual != nullptr) *actual = LocalPort(fd.get());
  return fd;
}

bool SendDatagram(int fd, const std::string& data, const char* ip, uint16_t port) {
  const sockaddr_in address = Loopback(ip, port);
  return sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
         static_cast<ssize_t>(data.size());
}

bool ReadDatagram(int fd, std::string* out, milliseconds timeout) {
  if (!ReadableWithin(fd, timeout)) return false;
  std::string buffer(70000, '\0');
  const ssize_t got = recv(fd, &buffer[0], buffer.size(), 0);
  if (got < 0) return false;
  out->assign(buffer.data(), static_cast<size_t>(got));
  return true;
}

bool TcpConnectingTo(uint16_t remote_port) {
  constexpr int kSynSent = 2;
  for (const TcpEntry& e : TcpTable()) {
    if (e.remote_port == remote_port && e.state == kSynSent) return true;
  }
  return false;
}

bool TcpSocketExists(uint16_t local_port, uint16_t remote_port) {
  for (const TcpEntry& e : TcpTable()) {
    if (e.local_port == local_port && e.remote_port == remote_port) return true;
  }
  return false;
}

long UdpQueued(uint16_t local_port) {
  std::ifstream file("/proc/thread-self/net/udp");
  std::string line;
  std::getline(file, line);
  while (std::getline(file, line)) {
    unsigned local_ip, port, remote_ip, remote_port, state;
    unsigned long tx, rx;
    if (std::sscanf(line.c_str(), " %*u: %x:%x %x:%x %x %lx:%lx", &local_ip, &port, &remote_ip, &remote_port, &state,
                    &tx, &rx) == 7 &&
        port == local_port) {
      return static_cast<long>(rx);
    }
  }
  return -1;
}

int OpenDescriptorCount() { return static_cast<int>(OpenDescriptors()); }

RecvCallback Inbox::Callback() {
  return [this](const char* peer, ByteSpan bytes) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      chunks_.push_back({peer, std::string(bytes.chars(), bytes.size())});
    }
    cv_.notify_all();
  };
}

bool Inbox::WaitFor(const std::function<bool(const std::vector<Chunk>&)>& pred, milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] { return pred(chunks_); });
}

bool Inbox::WaitForBytes(size_t n, milliseconds timeout) {
  return WaitFor(
      [n](const std::vector<Chunk>& chunks) {
        size_t total = 0;
        for (const Chunk& c : chunks) total += c.data.size();
        return total >= n;
      },
      timeout);
}

std::vector<Inbox::Chunk> Inbox::Chunks() {
  std::lock_guard<std::mutex> lock(mutex_);
  return chunks_;
}

std::string Inbox::Bytes() {
  std::string all;
  for (const Chunk& c : Chunks()) all += c.data;
  return all;
}

}  // namespace test
}  // namespace tarnlink
