// The shared harness of the end-to-end benchmark: the libraries' exported
// interface, the gateway's sockets, prepared traffic, one started device with
// the socket that feeds it, and the output. Each section is a file of its own
// (bench/e2e/*.cc) listed in main.cc.
#ifndef TARNLINK_BENCH_E2E_HARNESS_H_
#define TARNLINK_BENCH_E2E_HARNESS_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/packet.h"
#include "protocol/records.h"
#include "tarnlink/tarnlink.h"
#include "tools/common/driver_api.h"
#include "transport/socket.h"

namespace tarnlink::e2e {

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
  double request_load_s = 2.0;
};
// Set once by main before any section runs.
extern Durations g_run;

int64_t NowNs();
double Seconds(int64_t ns);
double ProcessCpuSeconds();
double ThreadCpuSeconds();
size_t ResidentBytes();
void SleepUs(int64_t us);

// ---- The exported interface of one library -------------------------------

class Api : public DriverApi {
 public:
  explicit Api(const char* path) : DriverApi(path) {
    if (!ok()) std::fprintf(stderr, "%s\n", error().c_str());
  }
};

// What every section gets: both libraries, their paths (for a child
// process), the host ceiling in frames/s, and the verdicts on the targets.
struct Context {
  const Api& tcp;
  const Api& udp;
  const char* tcp_path;
  const char* udp_path;
  double can_ceiling;
  double fd_ceiling;
  std::vector<std::string>* verdicts;
  void Verdict(bool met, const std::string& text) const { verdicts->push_back((met ? "met    " : "MISSED ") + text); }
};

// ---- Sockets of the benchmark's gateway ------------------------------------

// Over transport's socket layer, on plain descriptors: -1 on failure.
SocketEndpoint At(int fd);
SocketEndpoint Loopback(uint16_t port);
int ListenTcp(uint16_t* port);
int AcceptWithin(int listener, int ms);
int ConnectTcp(uint16_t port, int ms);
int BindUdp(uint16_t* port);
void SetNoDelay(int fd);
bool SendAll(int fd, const uint8_t* p, size_t n);
// One receive after waiting at most ms: the byte count, 0 after the wait
// found nothing, -1 at the end of the stream.
int RecvWithin(int fd, char* buffer, size_t size, int ms);
void CloseFd(int fd);

// ---- Traffic ---------------------------------------------------------------

inline uint8_t FoldBytes(uint64_t v) {
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

inline const char* LinkName(Link link) {
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
  const SocketEndpoint& udp_destination() const { return udp_dest_; }

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
        local_port = FreePort(true);
        break;
      case Link::kUdp:
        peer_ = BindUdp(&peer_port);
        local_port = FreePort(false);
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
      CloseFd(listener);
      return false;
    }
    switch (link_) {
      case Link::kTcpClient:
        peer_ = AcceptWithin(listener, 3000);
        CloseFd(listener);
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
    CloseFd(peer_);
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
      return SendTo(At(peer_), reinterpret_cast<const char*>(p), static_cast<int>(n), udp_dest_) == static_cast<int>(n);
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
  SocketEndpoint udp_dest_;
};

// ---- Output ------------------------------------------------------------------

void Section(const char* title);
void Figure(const std::string& name, double value, const char* unit, double ratio = -1.0);
double Percentile(std::vector<double> v, double q);

struct LatencyFigures {
  size_t n = 0;
  double p50_us = 0;
  double p99_us = 0;
  double max_us = 0;
};

// The figures of a set of round trips in microseconds.
LatencyFigures LatencyOf(const std::vector<double>& us);
void ReportLatency(const std::string& name, const LatencyFigures& f);

// ---- The sections ------------------------------------------------------------

struct Ceiling {
  double tcp_nodelay = 0;  // packets/s, the reference of every ratio
  double tcp_nagle = 0;
  double tcp_nodelay_2k = 0;
  double udp = 0;
};
// Always measured first: every throughput figure is a share of it.
Ceiling MeasureCeiling();

void ReceiveSection(const Context& c);
void TransmitSection(const Context& c);
void LatencySection(const Context& c);
void RequestSection(const Context& c);
void StagesSection(const Context& c);
void MemorySection(const Context& c);
void BurstsSection(const Context& c);
void IdleSection(const Context& c);
// The memory figures' child process (--memory-child can|fd|drain).
int MemoryChild(const Api& tcp, const Api& udp, const char* kind);

}  // namespace tarnlink::e2e

#endif  // TARNLINK_BENCH_E2E_HARNESS_H_
