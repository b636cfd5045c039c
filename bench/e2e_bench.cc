// End-to-end figures of both libraries on 127.0.0.1, each printed next to the
// host's own ceiling measured in the same run: raw loopback throughput, the
// driver's receive and transmit paths, latency, memory per queued frame, idle
// cost and the request round trip.
//
// The libraries are reached only through their exported functions (dlopen);
// the gateway side is this program's own sockets, with packets built by the
// protocol codecs.
// Not the simulator: its copies, recording and per-packet handling would be
// measured with the driver; this peer sends prepared packets, patching only
// the sequence numbers and checksum.
//
// Usage: e2e_bench [--quick] [--only receive,transmit,latency,request,stages,memory,bursts,idle]
//                  [path/libtarnlink_tcp.so path/libtarnlink_udp.so]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/commands.h"
#include "protocol/packet.h"
#include "protocol/records.h"
#include "protocol/stream_parser.h"
#include "tarnlink/tarnlink.h"
#include "tools/common/driver_api.h"
#include "tools/common/free_port.h"

#ifndef TARNLINK_TCP_LIBRARY
#define TARNLINK_TCP_LIBRARY "libtarnlink_tcp.so"
#endif
#ifndef TARNLINK_UDP_LIBRARY
#define TARNLINK_UDP_LIBRARY "libtarnlink_udp.so"
#endif

namespace tarnlink {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kFullPacket = kMinPacketSize + kMaxCanPerPacket * kCanRecordSize;  // 1447
constexpr uint32_t kReceiveBatch = 4096;

// Run lengths; --quick shortens them for a smoke run.
struct Durations {
  double ceiling_s = 1.5;
  double receive_s = 2.0;
  double transmit_s = 1.5;
  double idle_s = 3.0;
  size_t latency_frames = 10000;
  double latency_cap_s = 12.0;
  size_t requests = 300;
};
Durations g_run;
std::string g_only;  // comma-separated section names; empty runs all

bool Wanted(const char* section) {
  return g_only.empty() || ("," + g_only + ",").find(std::string(",") + section + ",") != std::string::npos;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double Seconds(int64_t ns) { return static_cast<double>(ns) / 1e9; }

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t total = 0;
  size_t resident = 0;
  statm >> total >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

void SleepUs(int64_t us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

// ---- The exported interface of one library -------------------------------

class Api : public DriverApi {
 public:
  explicit Api(const char* path) : DriverApi(path) {
    if (!ok()) std::fprintf(stderr, "%s\n", error().c_str());
  }
};

// ---- Sockets of the benchmark's gateway ------------------------------------

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

uint16_t LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

int ListenTcp(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  *port = LocalPort(fd);
  return fd;
}

int AcceptWithin(int listener, int ms) {
  pollfd p{listener, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return -1;
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

int ConnectTcp(uint16_t port, int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < deadline) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    close(fd);
    SleepUs(2000);
  }
  return -1;
}

int BindUdp(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(*port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  *port = LocalPort(fd);
  return fd;
}

void SetNoDelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool SendAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// ---- Traffic ---------------------------------------------------------------

uint8_t FoldBytes(uint64_t v) {
  v ^= v >> 32;
  v ^= v >> 16;
  v ^= v >> 8;
  return static_cast<uint8_t>(v);
}

// Full CanData / CanFdData packets for channel 0 whose frames carry a running
// sequence number in data bytes 0-7; the checksum is patched, not recomputed.
class FrameSource {
 public:
  explicit FrameSource(bool fd) : record_size_(fd ? kCanFdRecordSize : kCanRecordSize) {
    if (fd) {
      std::vector<VELA_CANFD_TRANSMIT> frames(kMaxCanFdPerPacket);
      for (auto& f : frames) {
        f.id = 0x123;
        f.len = 64;
        f.flags = VELA_FD_BRS;
      }
      BuildCanFdPacket(0, frames.data(), kMaxCanFdPerPacket, false, packet_);
      per_packet_ = kMaxCanFdPerPacket;
    } else {
      std::vector<VELA_CAN_TRANSMIT> frames(kMaxCanPerPacket);
      for (auto& f : frames) {
        f.id = VELA_ID_EFF_FLAG | 0x18DA00F1;
        f.len = 8;
      }
      BuildCanPacket(0, frames.data(), kMaxCanPerPacket, false, packet_);
      per_packet_ = kMaxCanPerPacket;
    }
    seq_.assign(per_packet_, 0);
  }

  uint32_t per_packet() const { return per_packet_; }
  size_t size() const { return packet_.size(); }

  const uint8_t* Next() {
    uint8_t& checksum = packet_.back();
    for (uint32_t i = 0; i < per_packet_; ++i) {
      uint8_t* data = packet_.data() + kHeaderSize + i * record_size_ + 16;
      const uint64_t v = next_++;
      checksum ^= static_cast<uint8_t>(FoldBytes(seq_[i]) ^ FoldBytes(v));
      StoreBe64(data, v);
      seq_[i] = v;
    }
    return packet_.data();
  }

 private:
  const size_t record_size_;
  uint32_t per_packet_ = 0;
  Packet packet_;
  std::vector<uint64_t> seq_;
  uint64_t next_ = 0;
};

// ---- One started device and the gateway socket that feeds it -----------------
// A bare socket, not the simulator: it writes prepared packets back to back,
// so the figure is the driver's and not the simulator's encoding.

enum class Link { kTcpClient, kTcpServer, kUdp };

const char* LinkName(Link link) {
  switch (link) {
    case Link::kTcpClient:
      return "TCP client";
    case Link::kTcpServer:
      return "TCP server";
    case Link::kUdp:
      return "UDP";
  }
  return "?";
}

class Rig {
 public:
  Rig(const Api& tcp, const Api& udp, Link link) : api_(link == Link::kUdp ? udp : tcp), link_(link) {}
  ~Rig() { Close(); }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  const Api& api() const { return api_; }
  uint32_t channel() const { return channel_; }
  int peer() const { return peer_; }
  const sockaddr_in& udp_destination() const { return udp_dest_; }

  bool Open() {
    static uint32_t next_index = 0;
    index_ = next_index++ % 256;
    type_ = link_ == Link::kUdp ? VELA_TYPE_LINK_4CH_UDP : VELA_TYPE_LINK_4CH_TCP;
    const char host[32] = "127.0.0.1";
    uint16_t peer_port = 0;
    int listener = -1;
    uint16_t local_port = 0;
    switch (link_) {
      case Link::kTcpClient:
        listener = ListenTcp(&peer_port);
        break;
      case Link::kTcpServer:
        local_port = FreePort(SOCK_STREAM);
        break;
      case Link::kUdp:
        peer_ = BindUdp(&peer_port);
        local_port = FreePort(SOCK_DGRAM);
        break;
    }
    device_ = api_.OpenDevice(type_, index_, local_port);
    if (device_ == 0) return false;
    const uint32_t remote = peer_port;
    const uint32_t local = local_port;
    const uint32_t server = link_ == Link::kTcpServer ? 1 : 0;
    api_.SetReference(type_, index_, 0, VELA_REF_REMOTE_ADDR, host);
    api_.SetReference(type_, index_, 0, VELA_REF_REMOTE_PORT, &remote);
    api_.SetReference(type_, index_, 0, VELA_REF_LOCAL_PORT, &local);
    if (link_ != Link::kUdp) api_.SetReference(type_, index_, 0, VELA_REF_WORK_MODE, &server);
    channel_ = api_.InitCAN(device_, 0, nullptr);
    if (channel_ == 0 || api_.StartCAN(channel_) != 1) {
      if (listener >= 0) close(listener);
      return false;
    }
    switch (link_) {
      case Link::kTcpClient:
        peer_ = AcceptWithin(listener, 3000);
        close(listener);
        break;
      case Link::kTcpServer:
        peer_ = ConnectTcp(local_port, 3000);
        break;
      case Link::kUdp:
        udp_dest_ = Loopback(local_port);
        break;
    }
    if (peer_ < 0) return false;
    if (link_ != Link::kUdp) SetNoDelay(peer_);  // a gateway sends each packet when full
    if (link_ == Link::kTcpServer) WaitForClient();
    return true;
  }

  void Close() {
    if (device_ != 0) {
      api_.ResetCAN(channel_);
      api_.CloseDevice(device_);
      device_ = 0;
    }
    if (peer_ >= 0) close(peer_);
    peer_ = -1;
  }

  // Ends blocking reads on the device (the registry marks it closed).
  void CloseDeviceOnly() {
    if (device_ == 0) return;
    api_.CloseDevice(device_);
    device_ = 0;
  }

  bool SendPacket(const uint8_t* p, size_t n) const {
    if (link_ == Link::kUdp) {
      return sendto(peer_, p, n, 0, reinterpret_cast<const sockaddr*>(&udp_dest_), sizeof udp_dest_) ==
             static_cast<ssize_t>(n);
    }
    return SendAll(peer_, p, n);
  }

 private:
  // The accept thread lists a client a moment after connect returns.
  void WaitForClient() {
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    uint32_t count = 0;
    while (Clock::now() < deadline) {
      if (api_.GetReference(type_, index_, 0, VELA_REF_CLIENT_COUNT, &count) == 1 && count > 0) return;
      SleepUs(1000);
    }
  }

  const Api& api_;
  const Link link_;
  uint32_t type_ = 0;
  uint32_t index_ = 0;
  uint32_t device_ = 0;
  uint32_t channel_ = 0;
  int peer_ = -1;
  sockaddr_in udp_dest_{};
};

// ---- Output ------------------------------------------------------------------

void Section(const char* title) { std::printf("\n== %s\n", title); }

void Figure(const std::string& name, double value, const char* unit, double ratio = -1.0) {
  if (ratio >= 0) {
    std::printf("  %-46s %14.2f %-16s %6.1f %% of ceiling\n", name.c_str(), value, unit, ratio * 100.0);
  } else {
    std::printf("  %-46s %14.2f %-16s\n", name.c_str(), value, unit);
  }
  std::fflush(stdout);
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  return v[i];
}

// ---- Host ceiling -------------------------------------------------------------

// Packets/s of 1447 bytes over a raw loopback pair, one send each.
double RawTcp(bool nodelay, size_t read_size) {
  uint16_t port = 0;
  const int listener = ListenTcp(&port);
  const int tx = ConnectTcp(port, 1000);
  const int rx = AcceptWithin(listener, 1000);
  close(listener);
  if (nodelay) SetNoDelay(tx);
  std::atomic<uint64_t> bytes{0};
  int64_t done_ns = 0;
  std::thread reader([&] {
    std::vector<char> buf(read_size);
    uint64_t total = 0;
    for (;;) {
      const ssize_t k = recv(rx, buf.data(), buf.size(), 0);
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
  shutdown(tx, SHUT_WR);
  reader.join();
  close(tx);
  close(rx);
  return static_cast<double>(bytes.load()) / kFullPacket / Seconds(done_ns - start);
}

// Datagrams/s of 1447 bytes that arrive, sender as fast as sendto returns.
double RawUdp(double* sent_rate) {
  uint16_t rx_port = 0;
  const int rx = BindUdp(&rx_port);
  uint16_t tx_port = 0;
  const int tx = BindUdp(&tx_port);
  const sockaddr_in dest = Loopback(rx_port);
  std::atomic<bool> stop{false};
  uint64_t received = 0;
  std::thread reader([&] {
    std::vector<char> buf(65536);
    pollfd p{rx, POLLIN, 0};
    while (!stop.load() || poll(&p, 1, 0) == 1) {
      if (poll(&p, 1, 50) != 1) continue;
      if (recv(rx, buf.data(), buf.size(), 0) > 0) ++received;
    }
  });
  std::vector<uint8_t> packet(kFullPacket, 0x5A);
  uint64_t sent = 0;
  const int64_t start = NowNs();
  const int64_t end = start + static_cast<int64_t>(g_run.ceiling_s * 1e9);
  while (NowNs() < end) {
    for (int i = 0; i < 64; ++i) {
      if (sendto(tx, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest) > 0) {
        ++sent;
      }
    }
  }
  const double elapsed = Seconds(NowNs() - start);
  SleepUs(50000);
  stop = true;
  reader.join();
  close(tx);
  close(rx);
  *sent_rate = static_cast<double>(sent) / elapsed;
  return static_cast<double>(received) / elapsed;
}

struct Ceiling {
  double tcp_nodelay = 0;  // packets/s, the reference of every ratio
  double tcp_nagle = 0;
  double tcp_nodelay_2k = 0;
  double udp = 0;
};

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

// ---- Receive path ------------------------------------------------------------

struct ReceiveFigures {
  uint64_t sent = 0;
  uint64_t received = 0;
  uint64_t out_of_order = 0;
  double frames_per_s = 0;
  double driver_cpu_s = 0;  // process CPU less the gateway thread
  double app_cpu_s = 0;     // the draining thread alone
};

ReceiveFigures RunReceive(const Api& tcp, const Api& udp, Link link, bool fd) {
  ReceiveFigures f;
  Rig rig(tcp, udp, link);
  if (!rig.Open()) {
    std::printf("  (%s: device did not start)\n", LinkName(link));
    return f;
  }
  std::atomic<bool> sender_done{false};
  std::atomic<uint64_t> sent{0};
  double sender_cpu = 0;
  const double cpu0 = ProcessCpuSeconds();
  const int64_t start = NowNs();
  std::thread sender([&] {
    const double c0 = ThreadCpuSeconds();
    FrameSource source(fd);
    const int64_t end = start + static_cast<int64_t>(g_run.receive_s * 1e9);
    uint64_t n = 0;
    while (NowNs() < end) {
      for (int i = 0; i < 16; ++i) {
        if (rig.SendPacket(source.Next(), source.size())) n += source.per_packet();
      }
    }
    sender_cpu = ThreadCpuSeconds() - c0;
    sent = n;
    sender_done = true;
  });
  const double app0 = ThreadCpuSeconds();
  std::vector<VELA_CAN_RECEIVE> can(fd ? 0 : kReceiveBatch);
  std::vector<VELA_CANFD_RECEIVE> canfd(fd ? kReceiveBatch : 0);
  uint64_t expected = 0;
  int64_t last_progress = NowNs();
  int64_t last_frame = start;
  for (;;) {
    const uint32_t n = fd ? rig.api().ReceiveFD(rig.channel(), canfd.data(), kReceiveBatch, 10)
                          : rig.api().Receive(rig.channel(), can.data(), kReceiveBatch, 10);
    const int64_t now = NowNs();
    if (n > 0) {
      for (uint32_t i = 0; i < n; ++i) {
        const uint64_t seq = LoadBe64(fd ? canfd[i].data : can[i].data);
        if (seq != expected) ++f.out_of_order;
        expected = seq + 1;
      }
      f.received += n;
      last_progress = now;
      last_frame = now;
    }
    if (sender_done.load() && (f.received >= sent.load() || now - last_progress > 300000000)) break;
  }
  f.app_cpu_s = ThreadCpuSeconds() - app0;
  sender.join();
  f.driver_cpu_s = ProcessCpuSeconds() - cpu0 - sender_cpu;
  f.sent = sent.load();
  f.frames_per_s = static_cast<double>(f.received) / Seconds(last_frame - start);
  return f;
}

void ReportReceive(const char* name, const ReceiveFigures& f, double ceiling_frames) {
  Figure(std::string(name) + ": frames/s", f.frames_per_s, "frames/s", f.frames_per_s / ceiling_frames);
  std::printf("  %-46s %14llu %-16s (%llu sent, %llu out of order)\n", "  lost",
              static_cast<unsigned long long>(f.sent - std::min(f.sent, f.received)), "frames",
              static_cast<unsigned long long>(f.sent), static_cast<unsigned long long>(f.out_of_order));
  if (f.received > 0) {
    const double ms_per_m = 1e9 / static_cast<double>(f.received);
    Figure("  CPU per million frames, driver + reader", f.driver_cpu_s * ms_per_m, "CPU ms");
    Figure("  of which the reading thread", f.app_cpu_s * ms_per_m, "CPU ms");
  }
}

// ---- Transmit path -----------------------------------------------------------

double RunTransmit(const Api& tcp, const Api& udp, Link link, bool fd, uint64_t* missing_bytes) {
  Rig rig(tcp, udp, link);
  if (!rig.Open()) return 0;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> bytes{0};
  std::thread drain([&] {
    std::vector<char> buf(65536);
    pollfd p{rig.peer(), POLLIN, 0};
    for (;;) {
      if (poll(&p, 1, 100) != 1) {
        if (stop.load()) break;
        continue;
      }
      const ssize_t k = recv(rig.peer(), buf.data(), buf.size(), 0);
      if (k <= 0) break;
      bytes += static_cast<uint64_t>(k);
    }
  });
  const uint32_t per = fd ? kMaxCanFdPerPacket : kMaxCanPerPacket;
  std::vector<VELA_CAN_TRANSMIT> can(kMaxCanPerPacket);
  std::vector<VELA_CANFD_TRANSMIT> canfd(kMaxCanFdPerPacket);
  for (auto& c : can) c.len = 8;
  for (auto& c : canfd) c.len = 64;
  uint64_t frames = 0;
  const int64_t start = NowNs();
  const int64_t end = start + static_cast<int64_t>(g_run.transmit_s * 1e9);
  while (NowNs() < end) {
    for (int i = 0; i < 16; ++i) {
      frames += fd ? rig.api().TransmitFD(rig.channel(), canfd.data(), per)
                   : rig.api().Transmit(rig.channel(), can.data(), per);
    }
  }
  const double elapsed = Seconds(NowNs() - start);
  const uint64_t expected = frames / per * (kMinPacketSize + per * (fd ? kCanFdRecordSize : kCanRecordSize));
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (bytes.load() < expected && Clock::now() < deadline) SleepUs(1000);
  stop = true;
  drain.join();
  *missing_bytes = expected - std::min(expected, bytes.load());
  return static_cast<double>(frames) / elapsed;
}

// ---- Latency -----------------------------------------------------------------

struct LatencyFigures {
  size_t n = 0;
  double p50_us = 0;
  double p99_us = 0;
  double max_us = 0;
};

// One frame at a time, stamped just before the gateway's send; the reader is
// blocked in VELA_Receive when it arrives.
LatencyFigures RunLatency(const Api& tcp, const Api& udp, Link link, int32_t wait_ms) {
  LatencyFigures f;
  Rig rig(tcp, udp, link);
  if (!rig.Open()) return f;
  std::mutex mu;
  std::condition_variable cv;
  size_t acked = 0;
  std::atomic<bool> stop{false};
  std::thread gateway([&] {
    VELA_CAN_TRANSMIT frame{};
    frame.len = 8;
    Packet packet;
    for (size_t k = 0; !stop.load(); ++k) {
      {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return acked >= k || stop.load(); });
      }
      if (stop.load()) break;
      SleepUs(150);  // the reader is back in its wait
      StoreBe64(frame.data, static_cast<uint64_t>(NowNs()));
      BuildCanPacket(0, &frame, 1, false, packet);
      rig.SendPacket(packet.data(), packet.size());
    }
  });
  std::vector<double> us;
  us.reserve(g_run.latency_frames);
  const int64_t cap = NowNs() + static_cast<int64_t>(g_run.latency_cap_s * 1e9);
  VELA_CAN_RECEIVE rec{};
  while (us.size() < g_run.latency_frames && NowNs() < cap) {
    if (rig.api().Receive(rig.channel(), &rec, 1, wait_ms) != 1) continue;
    const int64_t now = NowNs();
    us.push_back(static_cast<double>(now - static_cast<int64_t>(LoadBe64(rec.data))) / 1000.0);
    {
      std::lock_guard<std::mutex> lock(mu);
      acked = us.size();
    }
    cv.notify_one();
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    stop = true;
  }
  cv.notify_one();
  gateway.join();
  f.n = us.size();
  f.p50_us = Percentile(us, 0.50);
  f.p99_us = Percentile(us, 0.99);
  f.max_us = us.empty() ? 0 : *std::max_element(us.begin(), us.end());
  return f;
}

void ReportLatency(const std::string& name, const LatencyFigures& f) {
  std::printf("  %-46s p50 %8.1f  p99 %8.1f  max %8.1f us  (%zu frames)\n", name.c_str(), f.p50_us, f.p99_us, f.max_us,
              f.n);
  std::fflush(stdout);
}

// ---- Memory ------------------------------------------------------------------

// ---- The two halves of the receive path, one at a time ----------------------

struct StageFigures {
  double store_ns = 0;      // wall time per frame filling the queue, no reader
  double store_cpu_ns = 0;  // CPU of the library's receive thread per frame meanwhile
  double drain_ns = 0;      // wall time per frame draining the full queue
};

// Fills channel 0's queue with 990,000 frames while nobody reads (the
// receive thread alone, with the gateway), then drains it with
// VELA_Receive(4096, wait 0) (the reading side alone). Best of three: the
// shortest time is the one least disturbed by other load on the machine.
StageFigures RunStages(const Api& tcp, const Api& udp, Link link, bool fd) {
  constexpr uint32_t kFrames = 990000;
  // UDP has no flow control: the gateway keeps at most this many packets
  // ahead of the driver, well inside the socket's receive buffer.
  constexpr uint32_t kUdpAhead = 32;
  StageFigures best{1e18, 1e18, 1e18};
  Rig rig(tcp, udp, link);
  if (!rig.Open()) return {};
  FrameSource source(fd);
  const uint32_t kind = fd ? VELA_QUEUE_CANFD : VELA_QUEUE_CAN;
  std::vector<VELA_CAN_RECEIVE> can(kReceiveBatch);
  std::vector<VELA_CANFD_RECEIVE> canfd(kReceiveBatch);
  auto queued = [&] { return rig.api().GetReceiveNum(rig.channel(), kind); };
  for (int round = 0; round < 3; ++round) {
    const double cpu0 = ProcessCpuSeconds();
    const double own0 = ThreadCpuSeconds();
    const int64_t t0 = NowNs();
    const int64_t give_up = t0 + 5000000000;
    for (uint32_t sent = 0; sent < kFrames; sent += source.per_packet()) {
      if (link == Link::kUdp) {
        while (sent > queued() + kUdpAhead * source.per_packet() && NowNs() < give_up) std::this_thread::yield();
      }
      rig.SendPacket(source.Next(), source.size());
    }
    while (queued() < kFrames && NowNs() < give_up) SleepUs(100);
    const int64_t t1 = NowNs();
    // This thread only sent and watched; the rest is the receive thread.
    const double receive_cpu = ProcessCpuSeconds() - cpu0 - (ThreadCpuSeconds() - own0);
    const uint32_t filled = queued();
    if (filled < kFrames) std::printf("  (%u of %u frames arrived)\n", filled, kFrames);
    uint64_t drained = 0;
    while (drained < filled) {
      drained += fd ? rig.api().ReceiveFD(rig.channel(), canfd.data(), kReceiveBatch, 0)
                    : rig.api().Receive(rig.channel(), can.data(), kReceiveBatch, 0);
    }
    const int64_t t2 = NowNs();
    if (filled == 0) continue;
    best.store_ns = std::min(best.store_ns, static_cast<double>(t1 - t0) / filled);
    best.drain_ns = std::min(best.drain_ns, static_cast<double>(t2 - t1) / filled);
    best.store_cpu_ns = std::min(best.store_cpu_ns, receive_cpu * 1e9 / filled);
  }
  return best;
}

// Resident bytes per queued frame with channel 0's queue at its limit. Run in
// a fresh process each (MemoryInChild): memory freed by an earlier run stays
// mapped by malloc and would be counted as already resident.
double RunMemory(const Api& tcp, const Api& udp, bool fd) {
  constexpr uint32_t kLimit = 1000000;
  Rig rig(tcp, udp, Link::kTcpClient);
  if (!rig.Open()) return 0;
  SleepUs(50000);
  const size_t before = ResidentBytes();
  FrameSource source(fd);
  const uint64_t packets = kLimit / source.per_packet() + 2;  // a few past the limit
  for (uint64_t i = 0; i < packets; ++i) rig.SendPacket(source.Next(), source.size());
  const uint32_t kind = fd ? VELA_QUEUE_CANFD : VELA_QUEUE_CAN;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (rig.api().GetReceiveNum(rig.channel(), kind) < kLimit && Clock::now() < deadline) SleepUs(2000);
  SleepUs(100000);  // the last chunks, and the drops past the limit
  const size_t after = ResidentBytes();
  const uint32_t queued = rig.api().GetReceiveNum(rig.channel(), kind);
  rig.Close();
  if (queued != kLimit) std::printf("  (queue held %u frames, not %u)\n", queued, kLimit);
  return static_cast<double>(after - before) / queued;
}

// Resident MB of a process whose CAN and CAN FD queues of one channel were
// filled to 1,000,000 each: filled, after draining them with VELA_Receive,
// and after refilling and the last VELA_ResetCAN.
struct DrainFigures {
  double before_mb = 0;
  double filled_mb = 0;
  double drained_mb = 0;
  double reset_mb = 0;
};

DrainFigures RunDrainMemory(const Api& tcp, const Api& udp) {
  constexpr uint32_t kLimit = 1000000;
  DrainFigures f;
  Rig rig(tcp, udp, Link::kTcpClient);
  if (!rig.Open()) return f;
  SleepUs(50000);
  const auto mb = [] { return static_cast<double>(ResidentBytes()) / (1 << 20); };
  const auto fill = [&] {
    for (bool fd : {false, true}) {
      FrameSource source(fd);
      const uint64_t packets = kLimit / source.per_packet() + 2;
      for (uint64_t i = 0; i < packets; ++i) rig.SendPacket(source.Next(), source.size());
      const uint32_t kind = fd ? VELA_QUEUE_CANFD : VELA_QUEUE_CAN;
      const auto deadline = Clock::now() + std::chrono::seconds(20);
      while (rig.api().GetReceiveNum(rig.channel(), kind) < kLimit && Clock::now() < deadline) SleepUs(2000);
    }
    SleepUs(100000);
  };
  f.before_mb = mb();
  fill();
  f.filled_mb = mb();
  std::vector<VELA_CAN_RECEIVE> can(kReceiveBatch);
  std::vector<VELA_CANFD_RECEIVE> canfd(kReceiveBatch);
  while (rig.api().Receive(rig.channel(), can.data(), kReceiveBatch, 0) > 0) {
  }
  while (rig.api().ReceiveFD(rig.channel(), canfd.data(), kReceiveBatch, 0) > 0) {
  }
  f.drained_mb = mb();
  fill();
  rig.api().ResetCAN(rig.channel());
  f.reset_mb = mb();
  rig.Close();
  return f;
}

// UDP bursts: `datagrams` full CanData datagrams sent back to back, the
// application reading nothing meanwhile; the share of frames that never
// reached the queue (dropped by the socket before the driver saw them).
double RunUdpBurst(const Api& tcp, const Api& udp, uint32_t datagrams) {
  Rig rig(tcp, udp, Link::kUdp);
  if (!rig.Open()) return -1;
  SleepUs(50000);
  FrameSource source(false);
  // Built first, then handed to the kernel in as few calls as it takes, so
  // that they arrive faster than any reader drains them.
  std::vector<std::vector<uint8_t>> packets;
  for (uint32_t i = 0; i < datagrams; ++i) {
    const uint8_t* p = source.Next();
    packets.emplace_back(p, p + source.size());
  }
  sockaddr_in dest = rig.udp_destination();
  std::vector<iovec> iov(datagrams);
  std::vector<mmsghdr> messages(datagrams);
  for (uint32_t i = 0; i < datagrams; ++i) {
    iov[i] = {packets[i].data(), packets[i].size()};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = &dest;
    messages[i].msg_hdr.msg_namelen = sizeof dest;
    messages[i].msg_hdr.msg_iov = &iov[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  for (uint32_t done = 0; done < datagrams;) {
    const int n = sendmmsg(rig.peer(), messages.data() + done, std::min<uint32_t>(datagrams - done, 1024), 0);
    if (n <= 0) break;
    done += static_cast<uint32_t>(n);
  }
  uint32_t last = UINT32_MAX;
  uint32_t now = 0;
  // Settled: no change for 200 ms.
  while ((now = rig.api().GetReceiveNum(rig.channel(), VELA_QUEUE_CAN)) != last) {
    last = now;
    SleepUs(200000);
  }
  const double sent = static_cast<double>(datagrams) * source.per_packet();
  return 100.0 * (sent - now) / sent;
}

double MemoryInChild(const char* tcp_path, const char* udp_path, bool fd) {
  const std::string command = std::string("'/proc/") + std::to_string(getpid()) + "/exe' --memory-child " +
                              (fd ? "fd '" : "can '") + tcp_path + "' '" + udp_path + "'";
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return 0;
  double value = 0;
  if (std::fscanf(child, "%lf", &value) != 1) value = 0;
  pclose(child);
  return value;
}

// ---- Idle cost ---------------------------------------------------------------

// Share of one core used by a started device with nothing arriving; with
// reader, an application thread waits in VELA_Receive(wait -1) meanwhile.
double RunIdle(const Api& tcp, const Api& udp, Link link, bool reader) {
  Rig rig(tcp, udp, link);
  if (!rig.Open()) return -1;
  std::thread waiter;
  if (reader) {
    waiter = std::thread([&] {
      VELA_CAN_RECEIVE rec{};
      rig.api().Receive(rig.channel(), &rec, 1, -1);  // ends when the device closes
    });
  }
  SleepUs(300000);
  const double cpu0 = ProcessCpuSeconds();
  const int64_t t0 = NowNs();
  SleepUs(static_cast<int64_t>(g_run.idle_s * 1e6));
  const double cpu = ProcessCpuSeconds() - cpu0;
  const double wall = Seconds(NowNs() - t0);
  if (reader) {
    rig.CloseDeviceOnly();
    waiter.join();
  }
  return cpu / wall;
}

// ---- Request round trip ------------------------------------------------------

LatencyFigures RunRequests(const Api& tcp, const Api& udp, Link link, size_t* failures) {
  LatencyFigures f;
  Rig rig(tcp, udp, link);
  if (!rig.Open()) return f;
  std::atomic<bool> stop{false};
  std::thread gateway([&] {
    StreamParser parser;
    std::vector<PacketView> packets;
    std::vector<uint8_t> buf(4096);
    pollfd p{rig.peer(), POLLIN, 0};
    while (!stop.load()) {
      if (poll(&p, 1, 50) != 1) continue;
      const ssize_t k = recv(rig.peer(), buf.data(), buf.size(), 0);
      if (k <= 0) break;
      parser.AppendBytes(ByteSpan(buf.data(), static_cast<size_t>(k)));
      parser.ExtractPackets(packets);
      for (const PacketView& packet : packets) {
        uint8_t sequence = 0;
        bool is_answer = false;
        CommandMessage message;
        if (!ParseCommandPacket(packet, &sequence, &is_answer, &message) || is_answer) continue;
        const Packet answer = EncodeAnswer(EmulatedDeviceAnswers(message), sequence);
        rig.SendPacket(answer.data(), answer.size());
      }
    }
  });
  std::vector<double> us;
  *failures = 0;
  const uint32_t device = rig.channel() & ~0xFFu;
  for (size_t i = 0; i < g_run.requests; ++i) {
    VELA_DEVICE_INFO info{};
    const int64_t t0 = NowNs();
    if (rig.api().GetDeviceInf(device, &info) != 1) {
      ++*failures;
      continue;
    }
    us.push_back(static_cast<double>(NowNs() - t0) / 1000.0);
  }
  stop = true;
  gateway.join();
  f.n = us.size();
  f.p50_us = Percentile(us, 0.50);
  f.p99_us = Percentile(us, 0.99);
  f.max_us = us.empty() ? 0 : *std::max_element(us.begin(), us.end());
  return f;
}

// ---- Main --------------------------------------------------------------------

void PrintMachine() {
  utsname u{};
  uname(&u);
  std::string cpu = "?";
  std::ifstream info("/proc/cpuinfo");
  for (std::string line; std::getline(info, line);) {
    if (line.rfind("model name", 0) == 0) {
      cpu = line.substr(line.find(':') + 2);
      break;
    }
  }
  char date[64];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M %Z", std::localtime(&now));
  std::printf("tarnlink end-to-end benchmark, %s\n", date);
  std::printf("machine: %s %s, %s, %ld cores\n", u.sysname, u.release, cpu.c_str(), sysconf(_SC_NPROCESSORS_ONLN));
}

int Main(int argc, char** argv) {
  const char* tcp_path = TARNLINK_TCP_LIBRARY;
  const char* udp_path = TARNLINK_UDP_LIBRARY;
  std::vector<const char*> paths;
  const char* memory_child = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--memory-child") == 0 && i + 1 < argc) {
      memory_child = argv[++i];
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      g_only = argv[++i];
    } else if (std::strcmp(argv[i], "--quick") == 0) {
      g_run = Durations{0.3, 0.5, 0.3, 0.5, 500, 3.0, 30};
    } else {
      paths.push_back(argv[i]);
    }
  }
  if (paths.size() == 2) {
    tcp_path = paths[0];
    udp_path = paths[1];
  }
  Api tcp(tcp_path);
  Api udp(udp_path);
  if (!tcp.ok() || !udp.ok()) return 1;
  if (memory_child != nullptr && std::strcmp(memory_child, "drain") == 0) {
    const DrainFigures f = RunDrainMemory(tcp, udp);
    std::printf("%.1f %.1f %.1f %.1f\n", f.before_mb, f.filled_mb, f.drained_mb, f.reset_mb);
    return 0;
  }
  if (memory_child != nullptr) {
    std::printf("%.3f\n", RunMemory(tcp, udp, std::strcmp(memory_child, "fd") == 0));
    return 0;
  }
  PrintMachine();

  const Ceiling ceiling = MeasureCeiling();
  const double can_ceiling = ceiling.tcp_nodelay * kMaxCanPerPacket;
  const double fd_ceiling = ceiling.tcp_nodelay * kMaxCanFdPerPacket;
  std::vector<std::string> verdicts;
  auto verdict = [&](bool met, const std::string& text) { verdicts.push_back((met ? "met    " : "MISSED ") + text); };
  char line[160];

  if (Wanted("receive")) {
    Section("receive: full packets as fast as the socket takes them, VELA_Receive(4096, wait 10)");
    const ReceiveFigures can = RunReceive(tcp, udp, Link::kTcpClient, false);
    ReportReceive("TCP client, CAN", can, can_ceiling);
    ReportReceive("TCP client, CAN FD", RunReceive(tcp, udp, Link::kTcpClient, true), fd_ceiling);
    ReportReceive("TCP server, CAN", RunReceive(tcp, udp, Link::kTcpServer, false), can_ceiling);
    ReportReceive("UDP, CAN (socket drops count as lost)", RunReceive(tcp, udp, Link::kUdp, false), can_ceiling);
    std::snprintf(line, sizeof line, "receive >= 3,000,000 CAN frames/s over TCP: %.0f", can.frames_per_s);
    verdict(can.frames_per_s >= 3e6, line);
    std::snprintf(line, sizeof line, "receive >= 40 %% of the raw ceiling: %.1f %%",
                  100 * can.frames_per_s / can_ceiling);
    verdict(can.frames_per_s >= 0.4 * can_ceiling, line);
    std::snprintf(line, sizeof line, "no frame lost below the queue limit: %llu lost",
                  static_cast<unsigned long long>(can.sent - std::min(can.sent, can.received)));
    verdict(can.received >= can.sent && can.sent > 0, line);
  }

  if (Wanted("transmit")) {
    Section("transmit: VELA_Transmit of full batches to a draining peer");
    uint64_t missing = 0;
    const double can = RunTransmit(tcp, udp, Link::kTcpClient, false, &missing);
    Figure("TCP client, CAN, 60 per call", can, "frames/s", can / can_ceiling);
    if (missing > 0) std::printf("  (%llu bytes did not arrive)\n", static_cast<unsigned long long>(missing));
    const double fd = RunTransmit(tcp, udp, Link::kTcpClient, true, &missing);
    Figure("TCP client, CAN FD, 18 per call", fd, "frames/s", fd / fd_ceiling);
    const double over_udp = RunTransmit(tcp, udp, Link::kUdp, false, &missing);
    Figure("UDP, CAN, 60 per call", over_udp, "frames/s", over_udp / can_ceiling);
    std::snprintf(line, sizeof line, "transmit >= 60 %% of the raw ceiling: %.1f %%", 100 * can / can_ceiling);
    verdict(can >= 0.6 * can_ceiling, line);
  }

  if (Wanted("latency")) {
    Section("latency: gateway send -> VELA_Receive returns, one frame at a time");
    const LatencyFigures forever = RunLatency(tcp, udp, Link::kTcpClient, -1);
    ReportLatency("TCP client, wait -1", forever);
    const LatencyFigures bounded = RunLatency(tcp, udp, Link::kTcpClient, 100);
    ReportLatency("TCP client, wait 100", bounded);
    ReportLatency("TCP server, wait -1", RunLatency(tcp, udp, Link::kTcpServer, -1));
    ReportLatency("UDP, wait -1", RunLatency(tcp, udp, Link::kUdp, -1));
    for (const auto& [name, f] : {std::make_pair("wait -1", forever), std::make_pair("wait 100", bounded)}) {
      std::snprintf(line, sizeof line, "latency p50 < 100 us, p99 < 1 ms (TCP client, %s): %.1f / %.1f us", name,
                    f.p50_us, f.p99_us);
      verdict(f.n > 0 && f.p50_us < 100 && f.p99_us < 1000, line);
    }
  }

  if (Wanted("request")) {
    Section("request round trip: VELA_GetDeviceInf against an answering peer");
    size_t failures = 0;
    ReportLatency("TCP client", RunRequests(tcp, udp, Link::kTcpClient, &failures));
    if (failures > 0) std::printf("  (%zu requests failed)\n", failures);
  }

  if (Wanted("stages")) {
    Section("receive path by halves: fill 990,000 frames unread, then drain them (best of 3)");
    for (Link link : {Link::kTcpClient, Link::kUdp}) {
      for (bool fd : {false, true}) {
        const StageFigures st = RunStages(tcp, udp, link, fd);
        const std::string kind = std::string(LinkName(link)) + (fd ? ", CAN FD" : ", CAN");
        Figure(kind + ": gateway + receive thread, per frame", st.store_ns, "ns");
        Figure(kind + ": receive thread CPU, per frame", st.store_cpu_ns, "ns");
        Figure(kind + ": VELA_Receive drain, per frame", st.drain_ns, "ns");
      }
    }
  }

  if (Wanted("memory")) {
    Section("memory: resident bytes per queued frame, channel queue at 1,000,000");
    const double can = MemoryInChild(tcp_path, udp_path, false);
    Figure("CAN", can, "bytes/frame");
    const double fd = MemoryInChild(tcp_path, udp_path, true);
    Figure("CAN FD", fd, "bytes/frame");
    std::snprintf(line, sizeof line, "memory <= 72 bytes per CAN frame, <= 128 per CAN FD frame: %.1f / %.1f", can, fd);
    verdict(can > 0 && can <= 72 && fd > 0 && fd <= 128, line);
  }

  if (Wanted("memory")) {
    Section("memory given back: CAN and CAN FD queues of one channel at 1,000,000 each");
    const std::string command = std::string("'/proc/") + std::to_string(getpid()) + "/exe' --memory-child drain '" +
                                tcp_path + "' '" + udp_path + "'";
    DrainFigures f;
    if (FILE* child = popen(command.c_str(), "r")) {
      if (std::fscanf(child, "%lf %lf %lf %lf", &f.before_mb, &f.filled_mb, &f.drained_mb, &f.reset_mb) != 4) f = {};
      pclose(child);
    }
    Figure("resident before the fill", f.before_mb, "MB");
    Figure("filled", f.filled_mb, "MB");
    Figure("after draining with VELA_Receive", f.drained_mb, "MB");
    Figure("refilled, after the last VELA_ResetCAN", f.reset_mb, "MB");
  }

  if (Wanted("bursts")) {
    Section("UDP bursts: full CanData datagrams sent at once, nothing read meanwhile");
    for (uint32_t n : {500u, 2000u}) {
      Figure(std::to_string(n) + " datagrams: frames lost before the driver", RunUdpBurst(tcp, udp, n), "%");
    }
  }

  if (Wanted("idle")) {
    Section("idle: share of one core, started device, nothing arriving");
    double worst = 0;
    for (Link link : {Link::kTcpClient, Link::kTcpServer, Link::kUdp}) {
      for (bool reader : {false, true}) {
        const double share = RunIdle(tcp, udp, link, reader) * 100.0;
        worst = std::max(worst, share);
        Figure(std::string(LinkName(link)) + (reader ? ", reader in Receive(-1)" : ", device alone"), share,
               "% of a core");
      }
    }
    std::snprintf(line, sizeof line, "idle < 0.1 %% of a core per started device: worst %.2f %%", worst);
    verdict(worst < 0.1, line);
  }

  Section("targets");
  for (const std::string& v : verdicts) std::printf("  %s\n", v.c_str());
  return 0;
}

}  // namespace
}  // namespace tarnlink

int main(int argc, char** argv) { return tarnlink::Main(argc, argv); }
