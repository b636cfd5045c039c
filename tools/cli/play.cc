// tarnlink play: a candump -L log sent again, like canplayer.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/driver.h"
#include "tools/cli/pcapng.h"
#include "tools/cli/traffic.h"

namespace tarnlink::cli {
namespace {

constexpr char kUsage[] =
    "Usage: tarnlink play [options] [DEST=SRC...]\n"
    "\n"
    "Sends the frames of a candump -L log (tarnlink dump -L, or candump -L) again,\n"
    "like canplayer: each on the channel its line names, at the pace of the log's\n"
    "time stamps. DEST=SRC assignments (ch1=ch0, or ch0=can0 for a candump log) send\n"
    "the frames of SRC on DEST and leave out every interface not assigned.\n"
    "Empty lines and comment lines (#) are passed over; error frames are counted\n"
    "and left out, as they are received, not sent. A pcap or pcapng capture of link\n"
    "type 227 (tarnlink dump -w, Wireshark, tcpdump) is played the same way; its\n"
    "interfaces are named as in the capture (ch0, ...), or ch<N> for the Nth.\n"
    "\n"
    "Options:\n"
    "  -I FILE     the log (default: standard input)\n"
    "  -t          ignore the time stamps: send as fast as the link takes the frames\n"
    "  -g MS       a fixed gap between frames instead of the time stamps\n"
    "  -l COUNT    play the log COUNT times (default 1; i: until Ctrl-C)\n"
    "  -v          print each frame as it is sent\n";

struct Entry {
  uint64_t time_us = 0;  // since the first line
  uint32_t channel = 0;
  Frame frame;
};

struct PlayOptions {
  std::string file;
  bool ignore_time = false;
  double gap_ms = -1;
  uint64_t loops = 1;  // 0: for ever
  bool verbose = false;
  std::map<std::string, uint32_t> assigned;  // source name -> destination channel
};

// Collects the entries of one log or capture, in order.
class EntrySink {
 public:
  EntrySink(const PlayOptions& o, uint32_t channel_count, std::vector<Entry>* out, uint64_t* error_frames)
      : o_(o), channel_count_(channel_count), out_(out), error_frames_(error_frames) {}

  // False, with a reason, when the name is no channel and none is assigned to it.
  bool Add(const std::string& name, const Frame& frame, uint64_t us, std::string* error) {
    uint32_t channel = 0;
    if (!o_.assigned.empty()) {
      const auto it = o_.assigned.find(name);
      if (it == o_.assigned.end()) return true;
      channel = it->second;
    } else {
      std::vector<uint32_t> one;
      if (!ParseChannelList(name, channel_count_, &one, error)) {
        *error += " (assign it: ch0=" + name + ")";
        return false;
      }
      channel = one[0];
    }
    if (frame.error()) {
      ++*error_frames_;
      return true;
    }
    if (first_) {
      first_us_ = us;
      first_ = false;
    }
    // A log whose clock stepped back is played without waiting for it.
    out_->push_back({us >= first_us_ ? us - first_us_ : 0, channel, frame});
    return true;
  }

 private:
  const PlayOptions& o_;
  uint32_t channel_count_;
  std::vector<Entry>* out_;
  uint64_t* error_frames_;
  bool first_ = true;
  uint64_t first_us_ = 0;
};

// Reads the whole log first, so a bad line is reported before anything is sent.
bool ReadLog(std::istream& in, const PlayOptions& o, uint32_t channel_count, std::vector<Entry>* out,
             uint64_t* error_frames, std::string* error) {
  EntrySink sink(o, channel_count, out, error_frames);
  std::string line;
  uint64_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    LogEntry e;
    std::string why;
    if (!ParseLogLine(line, &e, &why) || !sink.Add(e.name, e.frame, e.seconds * 1000000 + e.micros, &why)) {
      *error = "line " + std::to_string(number) + ": " + why;
      return false;
    }
  }
  return true;
}

// A candump log, or a pcap or pcapng capture when it starts like one.
bool ReadInput(std::istream& in, const PlayOptions& o, uint32_t channel_count, std::vector<Entry>* out,
               uint64_t* error_frames, std::string* error) {
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!LooksLikeCapture(bytes)) {
    std::istringstream text(bytes);
    return ReadLog(text, o, channel_count, out, error_frames, error);
  }
  std::vector<CaptureRecord> records;
  if (!ReadCapture(bytes, &records, error)) return false;
  EntrySink sink(o, channel_count, out, error_frames);
  for (size_t i = 0; i < records.size(); ++i) {
    std::string why;
    if (!sink.Add(records[i].name, records[i].frame, records[i].micros, &why)) {
      *error = "packet " + std::to_string(i + 1) + ": " + why;
      return false;
    }
  }
  return true;
}

}  // namespace

int RunPlay(int argc, char** argv) {
  CommandDef def;
  def.name = "play";
  def.usage = kUsage;
  def.short_options = "I:tg:l:v";
  ConnectOptions connect;
  PlayOptions o;
  const std::vector<std::string> positional =
      ParseCommandLine(def, argc, argv, &connect, [&](int code, const char* arg, std::string* error) {
        uint64_t v = 0;
        switch (code) {
          case 'I':
            o.file = arg;
            return true;
          case 't':
            o.ignore_time = true;
            return true;
          case 'g':
            if (!ParseDouble(arg, 0, 3600000, &o.gap_ms)) {
              *error = std::string("-g: '") + arg + "' is not a gap in ms";
              return false;
            }
            return true;
          case 'l':
            if (std::string(arg) == "i") {
              o.loops = 0;
              return true;
            }
            if (!ParseUnsigned(arg, UINT32_MAX, &v) || v == 0) {
              *error = std::string("-l: '") + arg + "' is not a count (or i)";
              return false;
            }
            o.loops = v;
            return true;
          case 'v':
            o.verbose = true;
            return true;
          default:
            return false;
        }
      });
  const uint32_t channel_count = ChannelsOfType(connect.device_type());
  std::string error;
  for (const std::string& a : positional) {
    const size_t eq = a.find('=');
    std::vector<uint32_t> dest;
    if (eq == std::string::npos || eq + 1 == a.size() ||
        !ParseChannelList(std::string_view(a).substr(0, eq), channel_count, &dest, &error)) {
      UsageError("play", "'" + a + "' is not an assignment DEST=SRC" + (error.empty() ? "" : ": " + error));
    }
    o.assigned[a.substr(eq + 1)] = dest[0];
  }

  std::vector<Entry> entries;
  uint64_t error_frames = 0;
  if (o.file.empty() || o.file == "-") {
    if (!ReadInput(std::cin, o, channel_count, &entries, &error_frames, &error)) UsageError("play", error);
  } else {
    std::ifstream in(o.file, std::ios::binary);
    if (!in) UsageError("play", "cannot read " + o.file);
    if (!ReadInput(in, o, channel_count, &entries, &error_frames, &error)) UsageError("play", o.file + ": " + error);
  }
  std::vector<uint32_t> channels;
  for (const Entry& e : entries) {
    bool known = false;
    for (uint32_t c : channels) known = known || c == e.channel;
    if (!known) channels.push_back(e.channel);
  }
  if (entries.empty()) {
    std::fprintf(stderr, "tarnlink play: no frame to send\n");
    return kExitOk;
  }

  InstallStopSignals();
  std::unique_ptr<Driver> driver = Driver::Load(connect);
  if (!driver) return kExitFailure;
  std::unique_ptr<Session> session = Session::Open(*driver, connect, channels, false);
  if (!session) return kExitFailure;

  uint64_t sent = 0;
  uint64_t wanted = 0;
  bool failed = false;
  for (uint64_t loop = 0; (o.loops == 0 || loop < o.loops) && !failed && !StopRequested(); ++loop) {
    const auto base = std::chrono::steady_clock::now();
    auto next = base;
    size_t i = 0;
    while (i < entries.size() && !StopRequested()) {
      // A run: consecutive frames of one channel due at the same moment go
      // in one driver call (all of them with -t).
      size_t j = i + 1;
      const bool paced = !o.ignore_time && o.gap_ms < 0;
      while (j < entries.size() && entries[j].channel == entries[i].channel && !o.verbose && o.gap_ms < 0 &&
             (!paced || entries[j].time_us == entries[i].time_us)) {
        ++j;
      }
      if (paced) {
        if (!SleepUntilOrStop(base + std::chrono::microseconds(entries[i].time_us))) break;
      } else if (o.gap_ms >= 0) {
        if (!SleepUntilOrStop(next)) break;
        next += std::chrono::microseconds(static_cast<int64_t>(o.gap_ms * 1000));
      }
      std::vector<Frame> run;
      run.reserve(j - i);
      for (size_t k = i; k < j; ++k) run.push_back(entries[k].frame);
      const size_t accepted = SendFrames(*session, entries[i].channel, run);
      sent += accepted;
      wanted += run.size();
      if (o.verbose && accepted == run.size()) {
        std::printf("%s\n", ColumnsLine(run[0], entries[i].channel).c_str());
        std::fflush(stdout);
      }
      if (accepted < run.size()) {
        failed = true;
        break;
      }
      i = j;
    }
  }
  // As with send: the gateway has read it all before we hang up.
  if (!connect.udp && sent > 0) SyncWithGateway(*session);
  if (error_frames > 0) {
    std::fprintf(stderr, "tarnlink play: %llu error frame%s left out\n", static_cast<unsigned long long>(error_frames),
                 error_frames == 1 ? "" : "s");
  }
  if (failed) {
    std::fprintf(stderr, "tarnlink: the driver accepted %llu of %llu frames (connection to the gateway lost?)\n",
                 static_cast<unsigned long long>(sent), static_cast<unsigned long long>(wanted));
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace tarnlink::cli
