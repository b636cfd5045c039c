// Loopback peers and waiting helpers for the transport tests: plain sockets
// on 127.0.0.1 with ephemeral ports, and bounded waits on conditions.
#ifndef TARNLINK_TESTS_TRANSPORT_LOOPBACK_H_
#define TARNLINK_TESTS_TRANSPORT_LOOPBACK_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/eventually.h"
#include "tests/support/loopback.h"
#include "transport/service.h"

namespace tarnlink {
namespace test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kWait{5000};

// Milliseconds taken by fn.
double ElapsedMs(const std::function<void()>& fn);

// TCP listener on 127.0.0.1 (port 0: the system chooses); port gets the port.
Fd Listen(int backlog, uint16_t* port, uint16_t wanted = 0, bool reuse = false);
// accept within timeout; invalid Fd on time-out.
Fd AcceptWithin(int listener, milliseconds timeout = kWait);
// Blocking connect to 127.0.0.1:port; invalid Fd on failure.
Fd Connect(uint16_t port);
// A listener whose accept queue is full, so further connects hang in SYN_SENT.
struct SilentListener {
  Fd listener;
  Fd filler;
  uint16_t port = 0;
};
SilentListener ListenSilently();

uint16_t LocalPort(int fd);
uint16_t RemotePort(int fd);
bool SendAll(int fd, const std::string& data);
// Reads exactly n bytes within timeout.
bool ReadExactly(int fd, size_t n, std::string* out, milliseconds timeout = kWait);
// True when the peer closed (recv gives 0 or an error) within timeout.
bool WaitForClose(int fd, milliseconds timeout = kWait);

// UDP socket bound to ip:port (port 0: the system chooses).
Fd UdpBound(const char* ip, uint16_t port, uint16_t* actual);
bool SendDatagram(int fd, const std::string& data, const char* ip, uint16_t port);
// One datagram within timeout; false on time-out.
bool ReadDatagram(int fd, std::string* out, milliseconds timeout = kWait);

// Kernel views of this process's sockets (/proc/thread-self/net).
// True while a TCP socket connects (SYN_SENT) to the given remote port.
bool TcpConnectingTo(uint16_t remote_port);
// True while a TCP socket from local_port to remote_port exists. Both ports:
// a local port alone is shared by connections to other destinations.
bool TcpSocketExists(uint16_t local_port, uint16_t remote_port);
// Bytes queued unread on the UDP socket bound to this local port.
long UdpQueued(uint16_t local_port);
int OpenDescriptorCount();

// Collects what a transport hands to its callback.
class Inbox {
 public:
  struct Chunk {
    std::string peer;
    std::string data;
  };

  // The Inbox must outlive the transport it is installed in.
  RecvCallback Callback();
  // Waits until pred holds over the chunks so far.
  bool WaitFor(const std::function<bool(const std::vector<Chunk>&)>& pred, milliseconds timeout = kWait);
  // Waits until the bytes from all peers together reach n.
  bool WaitForBytes(size_t n, milliseconds timeout = kWait);
  std::vector<Chunk> Chunks();
  // Every byte received so far, in order of arrival.
  std::string Bytes();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Chunk> chunks_;
};

}  // namespace test
}  // namespace tarnlink

#endif  // TARNLINK_TESTS_TRANSPORT_LOOPBACK_H_
