// Latency: gateway send to VELA_Receive's return, one frame at a time.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/e2e/harness.h"

namespace tarnlink::e2e {
namespace {

// One frame at a time, stamped just before the gateway's send; the reader is
// blocked in VELA_Receive when it arrives.
LatencyFigures RunLatency(const Api& tcp, const Api& udp, Link link, int32_t wait_ms) {
  Rig rig(tcp, udp, link);
  if (!rig.Open()) return {};
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
  return LatencyOf(us);
}

}  // namespace

void LatencySection(const Context& c) {
  const Api& tcp = c.tcp;
  const Api& udp = c.udp;
  char line[160];
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
    c.Verdict(f.n > 0 && f.p50_us < 100 && f.p99_us < 1000, line);
  }
}

}  // namespace tarnlink::e2e
