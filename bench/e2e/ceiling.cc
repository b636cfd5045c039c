// The host ceiling: raw loopback throughput, every ratio's reference.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/e2e/harness.h"

namespace tarnlink::e2e {
namespace {

// Packets/s of 1447 bytes over a raw loopback pair, one send each.
double RawTcp(bool nodelay, size_t read_size) {
  uint16_t port = 0;
  const int listener = ListenTcp(&port);
  const int tx = ConnectTcp(port, 1000);
  const int rx = AcceptWithin(listener, 1000);
  CloseFd(listener);
  if (nodelay) SetNoDelay(tx);
  std::atomic<uint64_t> bytes{0};
  int64_t done_ns = 0;
  std::thread reader([&] {
    std::vector<char> buf(read_size);
    uint64_t total = 0;
    for (;;) {
      const int k = RecvSome(At(rx), buf.data(), static_cast<int>(buf.size()));
      if (k <= 0) break;
      total += static_cast<uint64_t>(k);
    }
    done_ns = NowNs();
    bytes = total;
  });
  std::vector<uint8_t> packet(kFullPacket, 0x5A);
  const int64_t start = NowNs();
  const int64_t end = start + static_cast<int64_t>(g_run.ceiling_s * 1e9);
  while (NowNs() < end) {
    for (int i = 0; i < 64; ++i) SendAll(tx, packet.data(), packet.size());
  }
  ShutdownSocket(At(tx));
  reader.join();
  CloseFd(tx);
  CloseFd(rx);
  return static_cast<double>(bytes.load()) / kFullPacket / Seconds(done_ns - start);
}

// Datagrams/s of 1447 bytes that arrive, sender as fast as sendto returns.
double RawUdp(double* sent_rate) {
  uint16_t rx_port = 0;
  const int rx = BindUdp(&rx_port);
  uint16_t tx_port = 0;
  const int tx = BindUdp(&tx_port);
  const SocketEndpoint dest = Loopback(rx_port);
  std::atomic<bool> stop{false};
  uint64_t received = 0;
  std::thread reader([&] {
    std::vector<char> buf(65536);
    for (;;) {
      const int k = RecvWithin(rx, buf.data(), buf.size(), stop.load() ? 0 : 50);
      if (k > 0) {
        ++received;
      } else if (stop.load()) {
        break;
      }
    }
  });
  std::vector<uint8_t> packet(kFullPacket, 0x5A);
  uint64_t sent = 0;
  const int64_t start = NowNs();
  const int64_t end = start + static_cast<int64_t>(g_run.ceiling_s * 1e9);
  while (NowNs() < end) {
    for (int i = 0; i < 64; ++i) {
      if (SendTo(At(tx), reinterpret_cast<const char*>(packet.data()), static_cast<int>(packet.size()), dest) > 0) {
        ++sent;
      }
    }
  }
  const double elapsed = Seconds(NowNs() - start);
  SleepUs(50000);
  stop = true;
  reader.join();
  CloseFd(tx);
  CloseFd(rx);
  *sent_rate = static_cast<double>(sent) / elapsed;
  return static_cast<double>(received) / elapsed;
}

}  // namespace

Ceiling MeasureCeiling() {
  Section("host ceiling: raw loopback, 1447-byte packets, one send each");
  Ceiling c;
  c.tcp_nodelay = RawTcp(true, 65536);
  Figure("TCP, TCP_NODELAY (reference)", c.tcp_nodelay, "packets/s", 1.0);
  std::printf("  %-46s %14.0f %-16s\n", "  = CAN frames/s at 60 per packet", c.tcp_nodelay * 60, "frames/s");
  c.tcp_nagle = RawTcp(false, 65536);
  Figure("TCP, Nagle on", c.tcp_nagle, "packets/s", c.tcp_nagle / c.tcp_nodelay);
  c.tcp_nodelay_2k = RawTcp(true, 2048);
  Figure("TCP, TCP_NODELAY, 2048-byte reads", c.tcp_nodelay_2k, "packets/s", c.tcp_nodelay_2k / c.tcp_nodelay);
  double sent = 0;
  c.udp = RawUdp(&sent);
  Figure("UDP, datagrams arriving", c.udp, "packets/s", c.udp / c.tcp_nodelay);
  Figure("UDP, datagrams sent", sent, "packets/s", sent / c.tcp_nodelay);
  return c;
}

}  // namespace tarnlink::e2e
