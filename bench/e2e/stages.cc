// The receive path by halves: the fill unread, then the drain.
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

}  // namespace

void StagesSection(const Context& c) {
  const Api& tcp = c.tcp;
  const Api& udp = c.udp;
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

}  // namespace tarnlink::e2e
