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
//
// A new section is one file of bench/e2e/ and one row of kSections.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "bench/e2e/harness.h"

#ifndef TARNLINK_TCP_LIBRARY
#define TARNLINK_TCP_LIBRARY "libtarnlink_tcp.so"
#endif
#ifndef TARNLINK_UDP_LIBRARY
#define TARNLINK_UDP_LIBRARY "libtarnlink_udp.so"
#endif

namespace tarnlink::e2e {
namespace {

struct SectionEntry {
  const char* name;
  void (*run)(const Context&);
};

// In the order they run; --only picks among them by name.
constexpr SectionEntry kSections[] = {
    {"receive", ReceiveSection}, {"transmit", TransmitSection}, {"latency", LatencySection},
    {"request", RequestSection}, {"stages", StagesSection},     {"memory", MemorySection},
    {"bursts", BurstsSection},   {"idle", IdleSection},
};

bool Wanted(const std::string& only, const char* section) {
  return only.empty() || ("," + only + ",").find(std::string(",") + section + ",") != std::string::npos;
}

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
  std::string only;  // comma-separated section names; empty runs all
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--memory-child") == 0 && i + 1 < argc) {
      memory_child = argv[++i];
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else if (std::strcmp(argv[i], "--quick") == 0) {
      g_run = Durations{0.3, 0.5, 0.3, 0.5, 500, 3.0, 30, 0.5};
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
  if (memory_child != nullptr) return MemoryChild(tcp, udp, memory_child);
  PrintMachine();

  const Ceiling ceiling = MeasureCeiling();
  std::vector<std::string> verdicts;
  const Context context{tcp,
                        udp,
                        tcp_path,
                        udp_path,
                        ceiling.tcp_nodelay * kMaxCanPerPacket,
                        ceiling.tcp_nodelay * kMaxCanFdPerPacket,
                        &verdicts};
  for (const SectionEntry& section : kSections) {
    if (Wanted(only, section.name)) section.run(context);
  }
  Section("targets");
  for (const std::string& v : verdicts) std::printf("  %s\n", v.c_str());
  return 0;
}

}  // namespace
}  // namespace tarnlink::e2e

int main(int argc, char** argv) { return tarnlink::e2e::Main(argc, argv); }
