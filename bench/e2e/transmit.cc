// Transmit: VELA_Transmit of full batches to a draining peer.
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

double RunTransmit(const Api& tcp, const Api& udp, Link link, bool fd, uint64_t* missing_bytes) {
  Rig rig(tcp, udp, link);
  if (!rig.Open()) return 0;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> bytes{0};
  std::thread drain([&] {
    std::vector<char> buf(65536);
    for (;;) {
      const int k = RecvWithin(rig.peer(), buf.data(), buf.size(), 100);
      if (k == 0) {
        if (stop.load()) break;
        continue;
      }
      if (k < 0) break;
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

}  // namespace

void TransmitSection(const Context& c) {
  const Api& tcp = c.tcp;
  const Api& udp = c.udp;
  const double can_ceiling = c.can_ceiling;
  const double fd_ceiling = c.fd_ceiling;
  char line[160];
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
  c.Verdict(can >= 0.6 * can_ceiling, line);
}

}  // namespace tarnlink::e2e
