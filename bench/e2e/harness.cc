// The shared harness of the end-to-end benchmark (harness.h).
#include "bench/e2e/harness.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <thread>

namespace tarnlink::e2e {

Durations g_run;

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

SocketEndpoint At(int fd) {
  SocketEndpoint e;
  e.sock = fd;
  return e;
}

SocketEndpoint Loopback(uint16_t port) {
  SocketEndpoint a;
  std::snprintf(a.ip, sizeof a.ip, "127.0.0.1");
  a.port = port;
  return a;
}

int ListenTcp(uint16_t* port) {
  SocketEndpoint e;
  if (CreateSocket(&e, true) != 0 || BindTo(&e, "127.0.0.1", 0) != 0 || ListenOn(e, 16) != 0) {
    CloseSocket(&e);
    return -1;
  }
  *port = e.port;
  return e.sock;
}

int AcceptWithin(int listener, int ms) {
  PollEntry p{listener};
  if (PollReadable(&p, 1, ms) != 1) return -1;
  SocketEndpoint accepted;
  return AcceptOne(At(listener), &accepted) == 0 ? accepted.sock : -1;
}

int ConnectTcp(uint16_t port, int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < deadline) {
    SocketEndpoint e;
    if (CreateSocket(&e, true) == 0 && ConnectWithTimeout(&e, "127.0.0.1", port) == 0) return e.sock;
    CloseSocket(&e);
    SleepUs(2000);
  }
  return -1;
}

int BindUdp(uint16_t* port) {
  SocketEndpoint e;
  if (CreateSocket(&e, false) != 0 || BindTo(&e, "127.0.0.1", *port) != 0) {
    CloseSocket(&e);
    return -1;
  }
  *port = e.port;
  return e.sock;
}

void SetNoDelay(int fd) { DisableNagle(At(fd)); }

bool SendAll(int fd, const uint8_t* p, size_t n) {
  // No time limit worth the name: the benchmark's peer drains, or it ends.
  return SendWhole(At(fd), reinterpret_cast<const char*>(p), static_cast<int>(n), 60000) == kSent;
}

int RecvWithin(int fd, char* buffer, size_t size, int ms) {
  PollEntry p{fd};
  if (PollReadable(&p, 1, ms) != 1) return 0;
  return RecvSome(At(fd), buffer, static_cast<int>(size));
}

void CloseFd(int fd) {
  SocketEndpoint e = At(fd);
  CloseSocket(&e);
}

void Section(const char* title) { std::printf("\n== %s\n", title); }

void Figure(const std::string& name, double value, const char* unit, double ratio) {
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

LatencyFigures LatencyOf(const std::vector<double>& us) {
  LatencyFigures f;
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

}  // namespace tarnlink::e2e
