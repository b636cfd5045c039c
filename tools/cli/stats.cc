// tarnlink stats: the driver's counters, once or refreshed with rates.
#include "tools/cli/stats.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <thread>

#include "tools/cli/commands.h"
#include "tools/cli/traffic.h"

namespace tarnlink::cli {
namespace {

constexpr char kUsage[] =
    "Usage: tarnlink stats [options]\n"
    "\n"
    "Connects, takes the frames the gateway sends (and passes them over), then prints\n"
    "the driver's counters: packets by type, bytes received and skipped, checksum\n"
    "failures, ignored datagrams, connections, send failures, requests, and per\n"
    "channel the frames queued and dropped at the queue limit. The counters count\n"
    "since this tool opened the device.\n"
    "\n"
    "Options:\n"
    "  -r           refresh every second, with rates per second, until Ctrl-C\n"
    "  -n COUNT     with -r: stop after COUNT refreshes\n"
    "  --duration S without -r: count for S seconds before printing (default 1)\n";

enum : int { kOptDuration = 2000 };

struct Row {
  const char* name;
  uint64_t VELA_STATS::*field;
};

constexpr Row kDeviceRows[] = {
    {"packets CAN", &VELA_STATS::packets_can},
    {"packets CAN FD", &VELA_STATS::packets_canfd},
    {"packets GPS", &VELA_STATS::packets_gps},
    {"packets channel report", &VELA_STATS::packets_report},
    {"packets device text", &VELA_STATS::packets_text},
    {"packets command", &VELA_STATS::packets_command},
    {"packets notice", &VELA_STATS::packets_notice},
    {"packets other", &VELA_STATS::packets_other},
    {"bytes received", &VELA_STATS::bytes_received},
    {"bytes skipped", &VELA_STATS::bytes_skipped},
    {"bad checksums", &VELA_STATS::bad_checksums},
    {"datagrams ignored (foreign)", &VELA_STATS::datagrams_foreign},
    {"datagrams ignored (own)", &VELA_STATS::datagrams_own},
    {"connections made", &VELA_STATS::connections_made},
    {"connections lost", &VELA_STATS::connections_lost},
    {"send failures", &VELA_STATS::send_failures},
    {"send time-outs", &VELA_STATS::send_timeouts},
    {"requests sent", &VELA_STATS::requests_sent},
    {"requests answered", &VELA_STATS::requests_answered},
    {"requests timed out", &VELA_STATS::requests_timed_out},
    {"late answers", &VELA_STATS::late_answers},
    {"requests delayed (no free key)", &VELA_STATS::requests_delayed},
    {"requests refused (no free key)", &VELA_STATS::requests_refused},
    {"GPS dropped", &VELA_STATS::dropped_gps},
};

struct ChannelRow {
  const char* name;
  uint64_t VELA_CHANNEL_STATS::*field;
};

constexpr ChannelRow kChannelRows[] = {
    {"frames CAN", &VELA_CHANNEL_STATS::frames_can},           {"frames CAN FD", &VELA_CHANNEL_STATS::frames_canfd},
    {"error frames", &VELA_CHANNEL_STATS::error_frames},       {"dropped CAN", &VELA_CHANNEL_STATS::dropped_can},
    {"dropped CAN FD", &VELA_CHANNEL_STATS::dropped_canfd},    {"dropped errors", &VELA_CHANNEL_STATS::dropped_errors},
    {"dropped markers", &VELA_CHANNEL_STATS::dropped_markers},
};

std::string Line(const std::string& name, uint64_t value, const uint64_t* before, double seconds) {
  char buf[160];
  if (before == nullptr) {
    std::snprintf(buf, sizeof buf, "%-30s %15s\n", name.c_str(), Grouped(value).c_str());
  } else {
    const double rate = seconds > 0 ? static_cast<double>(value - *before) / seconds : 0;
    std::snprintf(buf, sizeof buf, "%-30s %15s %12.0f/s\n", name.c_str(), Grouped(value).c_str(), rate);
  }
  return buf;
}

std::string Report(const Session& s, const VELA_STATS& now, const VELA_STATS* before, double seconds) {
  std::string out;
  for (const Row& r : kDeviceRows) {
    out += Line(r.name, now.*r.field, before != nullptr ? &(before->*r.field) : nullptr, seconds);
  }
  for (uint32_t ch : s.channels()) {
    if (ch >= VELA_STATS_CHANNELS || ch >= now.channels) continue;
    for (const ChannelRow& r : kChannelRows) {
      out += Line(ChannelName(ch) + " " + r.name, now.channel[ch].*r.field,
                  before != nullptr ? &(before->channel[ch].*r.field) : nullptr, seconds);
    }
  }
  if (now.last_frame_time != 0) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%-30s (%" PRIu64 ".%06" PRIu64 ")\n", "last frame", now.last_frame_time / 1000000,
                  now.last_frame_time % 1000000);
    out += buf;
  }
  return out;
}

}  // namespace

bool ReadStats(const Session& session, VELA_STATS* out) {
  *out = VELA_STATS{};
  out->size = sizeof *out;
  return session.driver().GetReference(session.type(), session.index(), 0, VELA_REF_STATS, out) == 1;
}

std::string Grouped(uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::vector<std::string> LossWatch::Poll() {
  std::vector<std::string> lines;
  VELA_STATS now;
  if (!ReadStats(session_, &now)) return lines;
  for (uint32_t ch : session_.channels()) {
    if (ch >= VELA_STATS_CHANNELS) continue;
    const VELA_CHANNEL_STATS& a = last_.channel[ch];
    const VELA_CHANNEL_STATS& b = now.channel[ch];
    const uint64_t frames = (b.dropped_can - a.dropped_can) + (b.dropped_canfd - a.dropped_canfd);
    const uint64_t others = (b.dropped_errors - a.dropped_errors) + (b.dropped_markers - a.dropped_markers);
    if (frames > 0) lines.push_back(ChannelName(ch) + ": " + Grouped(frames) + " frames dropped at the queue limit");
    if (others > 0) {
      lines.push_back(ChannelName(ch) + ": " + Grouped(others) +
                      " error records and markers dropped at the queue limit");
    }
  }
  last_ = now;
  return lines;
}

std::vector<std::string> LossWatch::Summary() const {
  std::vector<std::string> lines;
  VELA_STATS now;
  if (!ReadStats(session_, &now)) return lines;
  for (uint32_t ch : session_.channels()) {
    if (ch >= VELA_STATS_CHANNELS) continue;
    const VELA_CHANNEL_STATS& c = now.channel[ch];
    const uint64_t frames = c.dropped_can + c.dropped_canfd;
    if (frames > 0) lines.push_back(ChannelName(ch) + ": " + Grouped(frames) + " frames dropped at the queue limit");
  }
  if (now.bytes_skipped > 0) {
    lines.push_back(Grouped(now.bytes_skipped) + " bytes skipped while resynchronising (" + Grouped(now.bad_checksums) +
                    " bad checksums)");
  }
  if (now.dropped_gps > 0) lines.push_back(Grouped(now.dropped_gps) + " GPS records dropped at the queue limit");
  return lines;
}

int RunStats(int argc, char** argv) {
  CommandDef def;
  def.name = "stats";
  def.usage = kUsage;
  def.short_options = "rn:";
  def.long_options = {{"duration", required_argument, nullptr, kOptDuration}};
  bool refresh = false;
  uint64_t count = 0;
  double duration_s = 1;
  ConnectOptions connect;
  ParseCommandLine(def, argc, argv, &connect, [&](int code, const char* arg, std::string* error) {
    switch (code) {
      case 'r':
        refresh = true;
        return true;
      case 'n':
        if (!ParseUnsigned(arg, UINT32_MAX, &count) || count == 0) {
          *error = std::string("-n: '") + arg + "' is not a count";
          return false;
        }
        return true;
      case kOptDuration:
        if (!ParseDouble(arg, 0, 1e7, &duration_s)) {
          *error = std::string("--duration: '") + arg + "' is not a time in seconds";
          return false;
        }
        return true;
      default:
        return false;
    }
  });
  InstallStopSignals();
  std::unique_ptr<Driver> driver = Driver::Load(connect);
  if (!driver) return kExitFailure;
  std::unique_ptr<Session> session = Session::Open(*driver, connect, {});
  if (!session) return StopRequested() ? kExitOk : kExitFailure;
  VELA_STATS before;
  if (!ReadStats(*session, &before)) {
    std::fprintf(stderr, "tarnlink stats: %s has no statistics key\n", driver->path().c_str());
    return kExitFailure;
  }
  FrameReader reader(*session);
  std::vector<Received> batch;
  using Clock = std::chrono::steady_clock;
  auto last = Clock::now();
  const auto period = refresh ? std::chrono::duration<double>(1.0) : std::chrono::duration<double>(duration_s);
  uint64_t shown = 0;
  while (!StopRequested()) {
    batch.clear();
    reader.Drain(&batch);  // taken so the queues never fill; not shown
    const auto now = Clock::now();
    if (now - last < period) {
      if (batch.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    VELA_STATS stats;
    if (!ReadStats(*session, &stats)) return kExitFailure;
    const double seconds = std::chrono::duration<double>(now - last).count();
    std::string out = Report(*session, stats, refresh ? &before : nullptr, seconds);
    if (refresh) out += '\n';
    // Output that cannot be written ends the report; main tells a closed pipe from a failure.
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) break;
    before = stats;
    last = now;
    if (!refresh || (count != 0 && ++shown == count)) break;
  }
  return kExitOk;
}

}  // namespace tarnlink::cli
