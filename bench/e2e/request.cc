// Request round trip: VELA_GetDeviceInf against a peer that answers at once.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/e2e/harness.h"
#include "protocol/commands.h"
#include "protocol/stream_parser.h"

namespace tarnlink::e2e {
namespace {

// The round trip one request at a time, then `load_threads` threads asking
// at once for request_load_s: *load_rate answered requests per second.
LatencyFigures RunRequests(const Api& tcp, const Api& udp, Link link, size_t* failures, int load_threads,
                           double* load_rate, size_t* load_failures) {
  Rig rig(tcp, udp, link);
  if (!rig.Open()) return {};
  std::atomic<bool> stop{false};
  std::thread gateway([&] {
    StreamParser parser;
    std::vector<PacketView> packets;
    std::vector<char> buf(4096);
    while (!stop.load()) {
      const int k = RecvWithin(rig.peer(), buf.data(), buf.size(), 50);
      if (k == 0) continue;
      if (k < 0) break;
      parser.AppendBytes(ByteSpan::Received(buf.data(), k));
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
  std::atomic<size_t> answered{0};
  std::atomic<size_t> failed{0};
  std::atomic<bool> stop_load{false};
  std::vector<std::thread> askers;
  const int64_t load_start = NowNs();
  for (int t = 0; t < load_threads; ++t) {
    askers.emplace_back([&] {
      while (!stop_load.load()) {
        VELA_DEVICE_INFO info{};
        ++(rig.api().GetDeviceInf(device, &info) == 1 ? answered : failed);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(g_run.request_load_s));
  stop_load = true;
  for (std::thread& t : askers) t.join();
  *load_rate = static_cast<double>(answered.load()) / Seconds(NowNs() - load_start);
  *load_failures = failed.load();
  stop = true;
  gateway.join();
  return LatencyOf(us);
}

}  // namespace

void RequestSection(const Context& c) {
  const Api& tcp = c.tcp;
  const Api& udp = c.udp;
  Section("request round trip: VELA_GetDeviceInf against an answering peer");
  size_t failures = 0;
  size_t load_failures = 0;
  double load_rate = 0;
  ReportLatency("TCP client", RunRequests(tcp, udp, Link::kTcpClient, &failures, 64, &load_rate, &load_failures));
  if (failures > 0) std::printf("  (%zu requests failed)\n", failures);
  Figure("TCP client, 64 threads asking at once: answered", load_rate, "/s");
  if (load_failures > 0) std::printf("  (%zu requests failed under load)\n", load_failures);
}

}  // namespace tarnlink::e2e
