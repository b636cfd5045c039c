// Memory: resident bytes per queued frame, and what a drain gives back.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/e2e/harness.h"

namespace tarnlink::e2e {
namespace {

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
}  // namespace

void MemorySection(const Context& c) {
  const char* tcp_path = c.tcp_path;
  const char* udp_path = c.udp_path;
  char line[160];
  Section("memory: resident bytes per queued frame, channel queue at 1,000,000");
  const double can = MemoryInChild(tcp_path, udp_path, false);
  Figure("CAN", can, "bytes/frame");
  const double fd = MemoryInChild(tcp_path, udp_path, true);
  Figure("CAN FD", fd, "bytes/frame");
  std::snprintf(line, sizeof line, "memory <= 72 bytes per CAN frame, <= 128 per CAN FD frame: %.1f / %.1f", can, fd);
  c.Verdict(can > 0 && can <= 72 && fd > 0 && fd <= 128, line);

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

int MemoryChild(const Api& tcp, const Api& udp, const char* kind) {
  if (std::strcmp(kind, "drain") == 0) {
    const DrainFigures f = RunDrainMemory(tcp, udp);
    std::printf("%.1f %.1f %.1f %.1f\n", f.before_mb, f.filled_mb, f.drained_mb, f.reset_mb);
    return 0;
  }
  std::printf("%.3f\n", RunMemory(tcp, udp, std::strcmp(kind, "fd") == 0));
  return 0;
}

}  // namespace tarnlink::e2e
