// tarnlink dump: received frames in candump's formats.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/driver.h"
#include "tools/cli/frame_filter.h"
#include "tools/cli/pcapng.h"
#include "tools/cli/stats.h"
#include "tools/cli/traffic.h"

namespace tarnlink::cli {
namespace {

constexpr char kUsage[] =
    "Usage: tarnlink dump [options] [CHANNEL...]\n"
    "\n"
    "Prints the frames the gateway delivers, like candump: by default in columns\n"
    "( ch0  123   [4]  DE AD BE EF), with -L in candump's log format\n"
    "((1700000000.123456) ch0 123#DEADBEEF) for tools that read candump logs.\n"
    "Error information arrives as error frames (identifier 2000xxxx, SocketCAN\n"
    "error classes); channel status changes are reported on standard error.\n"
    "Markers, GPS fixes and channel reports are shown as they are read, as\n"
    "comment lines with -L (# ch0 marker 123456, # gps 2026-12-09 10:00:00 lat ...,\n"
    "# ch1 report ...) and as plain lines otherwise; they do not count for -n.\n"
    "With -w FILE the frames go to a pcapng capture instead (link type 227, one\n"
    "interface per channel, ch0, ch1, ...), written block by block and flushed per\n"
    "batch: 'tarnlink dump -w - | wireshark -k -i -' shows them live.\n"
    "Frames dropped at the driver's queue limit are reported on standard error as\n"
    "it happens and in the summary at the end.\n"
    "Channels are given as numbers (0 1), names (ch0) or with -c 0,1; default all.\n"
    "\n"
    "Options:\n"
    "  -L           candump log format (host time stamps, or -t g)\n"
    "  -w FILE      write pcapng to FILE (- for standard output); -t g: gateway stamps\n"
    "  -t MODE      time stamps: a absolute, d delta, z from start, A date,\n"
    "               g the gateway's stamp read as microseconds\n"
    "  -c LIST      channels to dump, e.g. 0,1\n"
    "  -f FILTERS   only frames that pass one of candump's filters: id:mask passes\n"
    "               when the masked identifiers are equal, id~mask when they are not\n"
    "               (e.g. 123:7FF,18DAF100:1FFFFF00); error frames always pass\n"
    "  -n COUNT     stop after COUNT frames\n"
    "  -T MS        stop when no frame arrived for MS milliseconds\n"
    "  --duration S stop after S seconds\n"
    "  --no-events  no marker, GPS or channel report lines (--events: shown, the default)\n"
    "  -q           no status messages on standard error\n";

enum : int { kOptDuration = 2000, kOptEvents, kOptNoEvents };

constexpr uint32_t kEventBatch = 64;

struct DumpOptions {
  bool log = false;
  char time_mode = 0;
  std::vector<uint32_t> channels;
  std::string channel_text;
  std::vector<FrameFilter> filters;
  uint64_t count = 0;
  int64_t idle_ms = 0;
  double duration_s = 0;
  bool quiet = false;
  bool events = true;
  std::string pcap_file;  // -w; empty: text
};

std::string TimePrefix(const DumpOptions& o, const Received& r, std::chrono::system_clock::time_point start,
                       std::chrono::system_clock::time_point* last) {
  uint64_t sec = 0;
  uint32_t us = 0;
  char buf[64];
  switch (o.time_mode) {
    case 'a':
      SplitTime(r.host_time, &sec, &us);
      break;
    case 'g':
      sec = r.gateway_stamp / 1000000;
      us = static_cast<uint32_t>(r.gateway_stamp % 1000000);
      break;
    case 'z': {
      const auto d = std::chrono::duration_cast<std::chrono::microseconds>(r.host_time - start).count();
      sec = static_cast<uint64_t>(d / 1000000);
      us = static_cast<uint32_t>(d % 1000000);
      break;
    }
    case 'd': {
      const auto base = last->time_since_epoch().count() == 0 ? r.host_time : *last;
      const auto d = std::chrono::duration_cast<std::chrono::microseconds>(r.host_time - base).count();
      *last = r.host_time;
      sec = static_cast<uint64_t>(d / 1000000);
      us = static_cast<uint32_t>(d % 1000000);
      break;
    }
    case 'A': {
      SplitTime(r.host_time, &sec, &us);
      const time_t t = static_cast<time_t>(sec);
      std::tm tm{};
      localtime_r(&t, &tm);
      char date[32];
      std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &tm);
      std::snprintf(buf, sizeof(buf), "(%s.%06" PRIu32 ") ", date, us);
      return buf;
    }
    default:
      return {};
  }
  std::snprintf(buf, sizeof(buf), "(%010" PRIu64 ".%06" PRIu32 ") ", sec, us);
  return buf;
}

// Markers of the dumped channels, GPS fixes and fresh channel reports, as
// lines; none of these reads waits.
void DrainEvents(const Session& s, const DumpOptions& o, int name_width, std::string* out) {
  const Driver& d = s.driver();
  uint64_t stamps[kEventBatch];
  for (uint32_t ch : s.channels()) {
    for (int i = 0; i < 16; ++i) {  // bounded, like the error drain
      VELA_MARKER_READ m{stamps, kEventBatch, 0};
      if (d.GetReference(s.type(), s.index(), ch, VELA_REF_MARKERS, &m) != 1 || m.count == 0) break;
      for (uint32_t k = 0; k < m.count && k < kEventBatch; ++k) {
        *out += MarkerLine(ch, stamps[k], o.log, name_width) + '\n';
      }
      if (m.count < kEventBatch) break;
    }
    VELA_CHANNEL_REPORT report{};
    if (d.GetReference(s.type(), s.index(), ch, VELA_REF_CHANNEL_REPORT, &report) == 1) {
      *out += ReportLine(ch, report, o.log, name_width) + '\n';
    }
  }
  VELA_GPS fixes[kEventBatch];
  for (int i = 0; i < 16; ++i) {
    VELA_GPS_READ g{fixes, kEventBatch, 0, 0};
    if (d.GetReference(s.type(), s.index(), 0, VELA_REF_GPS_READ, &g) != 1 || g.count == 0) break;
    for (uint32_t k = 0; k < g.count && k < kEventBatch; ++k) *out += GpsLine(fixes[k], o.log, name_width) + '\n';
    if (g.count < kEventBatch) break;
  }
}

int DumpSession(const Session& session, DumpOptions o);

}  // namespace

int RunDump(int argc, char** argv) {
  CommandDef def;
  def.name = "dump";
  def.usage = kUsage;
  def.short_options = "Lt:c:f:n:T:qw:";
  def.long_options = {{"duration", required_argument, nullptr, kOptDuration},
                      {"events", no_argument, nullptr, kOptEvents},
                      {"no-events", no_argument, nullptr, kOptNoEvents}};
  DumpOptions o;
  ConnectOptions connect;
  std::vector<std::string> positional =
      ParseCommandLine(def, argc, argv, &connect, [&](int code, const char* arg, std::string* error) {
        uint64_t v = 0;
        switch (code) {
          case 'L':
            o.log = true;
            return true;
          case 't':
            if (std::string(arg).size() != 1 || std::string("adzAg").find(arg[0]) == std::string::npos) {
              *error = std::string("-t: unknown time stamp mode '") + arg + "' (a, d, z, A or g)";
              return false;
            }
            o.time_mode = arg[0];
            return true;
          case 'c':
            o.channel_text += (o.channel_text.empty() ? "" : ",") + std::string(arg);
            return true;
          case 'f':
            if (!ParseFilterList(arg, &o.filters, error)) {
              *error = "-f: " + *error;
              return false;
            }
            return true;
          case 'n':
            if (!ParseUnsigned(arg, UINT64_MAX, &v) || v == 0) {
              *error = std::string("-n: '") + arg + "' is not a frame count";
              return false;
            }
            o.count = v;
            return true;
          case 'T':
            if (!ParseUnsigned(arg, 86400000, &v) || v == 0) {
              *error = std::string("-T: '") + arg + "' is not a time in ms";
              return false;
            }
            o.idle_ms = static_cast<int64_t>(v);
            return true;
          case kOptDuration:
            if (!ParseDouble(arg, 0.001, 1e7, &o.duration_s)) {
              *error = std::string("--duration: '") + arg + "' is not a time in seconds";
              return false;
            }
            return true;
          case 'q':
            o.quiet = true;
            return true;
          case 'w':
            o.pcap_file = arg;
            return true;
          case kOptEvents:
          case kOptNoEvents:
            o.events = code == kOptEvents;
            return true;
          default:
            return false;
        }
      });
  for (const std::string& p : positional) o.channel_text += (o.channel_text.empty() ? "" : ",") + p;
  const uint32_t channel_count = ChannelsOfType(connect.device_type());
  if (!o.channel_text.empty()) {
    std::string error;
    if (!ParseChannelList(o.channel_text, channel_count, &o.channels, &error)) UsageError("dump", error);
  }
  if (o.log && o.time_mode != 0 && o.time_mode != 'a' && o.time_mode != 'g') {
    UsageError("dump", "-L takes -t a (host time) or -t g (gateway time)");
  }
  if (!o.pcap_file.empty()) {
    if (o.log) UsageError("dump", "-w writes pcapng: it takes no -L");
    if (o.time_mode != 0 && o.time_mode != 'a' && o.time_mode != 'g') {
      UsageError("dump", "-w takes -t a (host time) or -t g (gateway time)");
    }
    // Frames only: a capture has no place for the event lines.
    o.events = false;
  }
  if (o.log && o.time_mode == 0) o.time_mode = 'a';

  InstallStopSignals();
  std::unique_ptr<Driver> driver = Driver::Load(connect);
  if (!driver) return kExitFailure;
  std::unique_ptr<Session> session = Session::Open(*driver, connect, o.channels);
  if (!session) return StopRequested() ? kExitOk : kExitFailure;
  return DumpSession(*session, o);
}

namespace {

// The dump itself, on an open session.
int DumpSession(const Session& session_ref, DumpOptions o) {
  const Session* const session = &session_ref;
  const Driver* const driver = &session->driver();
  FILE* sink = stdout;
  std::unique_ptr<FILE, int (*)(FILE*)> file(nullptr, std::fclose);
  if (!o.pcap_file.empty() && o.pcap_file != "-") {
    file.reset(std::fopen(o.pcap_file.c_str(), "wb"));
    if (!file) {
      std::fprintf(stderr, "tarnlink dump: cannot write %s\n", o.pcap_file.c_str());
      return kExitFailure;
    }
    sink = file.get();
  }
  const bool pcap = !o.pcap_file.empty();
  const PcapngWriter pcap_writer(session->channels());
  LossWatch loss(*session);

  int name_width = 3;
  for (uint32_t ch : session->channels()) {
    name_width = std::max(name_width, static_cast<int>(ChannelName(ch).size()));
  }
  std::vector<VELA_CHANNEL_STATUS> status(session->channel_count());
  const auto start = std::chrono::system_clock::now();
  const auto start_steady = std::chrono::steady_clock::now();
  auto last_frame = start_steady;
  auto last_errors = start_steady - std::chrono::seconds(1);
  auto last_loss = start_steady;
  std::chrono::system_clock::time_point last_delta{};
  uint64_t printed = 0;
  std::vector<Received> batch;
  std::string out;

  int write_error = 0;
  auto write = [sink, &write_error](const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), sink) == text.size() && std::fflush(sink) == 0) return true;
    write_error = errno;
    return false;
  };
  bool write_failed = false;
  if (pcap) {
    pcap_writer.AppendHeader(&out);
    write_failed = !write(out);
    out.clear();
  }

  // Appends the lines of `frames` to `out`, up to the count; false once it is reached.
  auto format = [&](const std::vector<Received>& frames) {
    for (const Received& r : frames) {
      if (o.count != 0 && printed == o.count) break;
      if (!FiltersPass(o.filters, r.frame)) continue;
      if (pcap) {
        uint64_t sec = 0;
        uint32_t us = 0;
        SplitTime(r.host_time, &sec, &us);
        pcap_writer.AppendFrame(r.channel, r.frame, o.time_mode == 'g' ? r.gateway_stamp : sec * 1000000 + us, &out);
        ++printed;
        continue;
      }
      if (o.log) {
        uint64_t sec = 0;
        uint32_t us = 0;
        if (o.time_mode == 'g') {
          sec = r.gateway_stamp / 1000000;
          us = static_cast<uint32_t>(r.gateway_stamp % 1000000);
        } else {
          SplitTime(r.host_time, &sec, &us);
        }
        out += LogLine(r.frame, r.channel, sec, us);
      } else {
        out += TimePrefix(o, r, start, &last_delta);
        out += ColumnsLine(r.frame, r.channel, name_width);
      }
      out += '\n';
      ++printed;
    }
    return o.count == 0 || printed < o.count;
  };

  FrameReader reader(*session);
  while (!write_failed && !StopRequested()) {
    batch.clear();
    out.clear();
    const auto now_steady = std::chrono::steady_clock::now();
    if (now_steady - last_errors >= std::chrono::milliseconds(20)) {
      last_errors = now_steady;
      if (now_steady - last_loss >= std::chrono::seconds(1)) {
        last_loss = now_steady;
        for (const std::string& line : loss.Poll()) {
          if (!o.quiet) std::fprintf(stderr, "tarnlink dump: %s\n", line.c_str());
        }
      }
      for (uint32_t ch : session->channels()) {
        DrainErrors(*session, ch, &batch);
        VELA_CHANNEL_STATUS st{};
        if (driver->ReadChannelStatus(session->handle(ch), &st) == 1 &&
            (st.err_detail1 != status[ch].err_detail1 || st.err_detail2 != status[ch].err_detail2)) {
          status[ch] = st;
          if (!o.quiet) {
            std::fprintf(stderr, "tarnlink dump: %s status: last error details %02X %02X\n", ChannelName(ch).c_str(),
                         st.err_detail1, st.err_detail2);
          }
        }
      }
    }
    // Events first: what arrived before the frames of this pass is printed before them.
    if (o.events) DrainEvents(*session, o, name_width, &out);
    reader.Poll(&batch);
    if (batch.empty()) {
      if (!out.empty() && !write(out)) {
        write_failed = true;
        break;
      }
      // Frames held for their order are due on the next pass: not idle yet.
      if (reader.held() == 0 && o.idle_ms > 0 && now_steady - last_frame >= std::chrono::milliseconds(o.idle_ms)) {
        break;
      }
      if (o.duration_s > 0 && now_steady - start_steady >= std::chrono::duration<double>(o.duration_s)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    last_frame = now_steady;
    const bool more = format(batch);
    if (!write(out)) {
      write_failed = true;
      break;
    }
    if (!more) break;
    if (o.duration_s > 0 && now_steady - start_steady >= std::chrono::duration<double>(o.duration_s)) break;
  }
  // Frames read but still held for their order were received: show them.
  if (!write_failed && reader.held() > 0 && (o.count == 0 || printed < o.count)) {
    batch.clear();
    out.clear();
    reader.Flush(&batch);
    format(batch);
    write_failed = !write(out);
  }
  // Events the gateway sent before the last frame are in their queues by now
  // (one stream, dispatched in order): none is left unshown.
  if (o.events && !write_failed) {
    out.clear();
    DrainEvents(*session, o, name_width, &out);
    write_failed = !write(out);
  }
  if (write_failed) {
    // Its reader went away (`dump | head`, Wireshark closing the capture's fifo): an ordinary end.
    if (write_error == EPIPE) return kExitOk;
    std::fprintf(stderr, "tarnlink dump: cannot write the output: %s\n", std::strerror(write_error));
    return kExitFailure;
  }
  if (!o.quiet) {
    std::string summary = Grouped(printed) + (printed == 1 ? " frame" : " frames");
    const std::vector<std::string> lost = loss.Summary();
    if (lost.empty()) summary += ", none lost";
    for (const std::string& line : lost) summary += "; " + line;
    std::fprintf(stderr, "tarnlink dump: %s\n", summary.c_str());
  }
  return kExitOk;
}

}  // namespace

}  // namespace tarnlink::cli
