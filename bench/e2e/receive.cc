// Receive: full packets as fast as the socket takes them.
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

}  // namespace

void ReceiveSection(const Context& c) {
  const Api& tcp = c.tcp;
  const Api& udp = c.udp;
  const double can_ceiling = c.can_ceiling;
  const double fd_ceiling = c.fd_ceiling;
  char line[160];
  Section("receive: full packets as fast as the socket takes them, VELA_Receive(4096, wait 10)");
  const ReceiveFigures can = RunReceive(tcp, udp, Link::kTcpClient, false);
  ReportReceive("TCP client, CAN", can, can_ceiling);
  ReportReceive("TCP client, CAN FD", RunReceive(tcp, udp, Link::kTcpClient, true), fd_ceiling);
  ReportReceive("TCP server, CAN", RunReceive(tcp, udp, Link::kTcpServer, false), can_ceiling);
  ReportReceive("UDP, CAN (socket drops count as lost)", RunReceive(tcp, udp, Link::kUdp, false), can_ceiling);
  std::snprintf(line, sizeof line, "receive >= 3,000,000 CAN frames/s over TCP: %.0f", can.frames_per_s);
  c.Verdict(can.frames_per_s >= 3e6, line);
  std::snprintf(line, sizeof line, "receive >= 40 %% of the raw ceiling: %.1f %%",
                100 * can.frames_per_s / can_ceiling);
  c.Verdict(can.frames_per_s >= 0.4 * can_ceiling, line);
  std::snprintf(line, sizeof line, "no frame lost below the queue limit: %llu lost",
                static_cast<unsigned long long>(can.sent - std::min(can.sent, can.received)));
  c.Verdict(can.received >= can.sent && can.sent > 0, line);
}

}  // namespace tarnlink::e2e
