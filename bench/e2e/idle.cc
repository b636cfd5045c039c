// Idle cost: a started device with nothing arriving.
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

}  // namespace

void IdleSection(const Context& c) {
  const Api& tcp = c.tcp;
  const Api& udp = c.udp;
  char line[160];
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
  c.Verdict(worst < 0.1, line);
}

}  // namespace tarnlink::e2e
