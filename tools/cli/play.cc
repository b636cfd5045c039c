// tarnlink play: a candump -L log sent again, like canplayer.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
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

using EntryFn = std::function<bool(const Entry&)>;

// Turns the frames of one log or capture into entries for fn, in order.
class EntrySink {
 public:
  EntrySink(const PlayOptions& o, uint32_t channel_count, uint64_t* error_frames, const EntryFn& fn)
      : o_(o), channel_count_(channel_count), error_frames_(error_frames), fn_(fn) {}

  // False when the name is no channel and none is assigned to it (with a
  // reason in *error), or when fn says stop (*error left empty).
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
    return fn_({us >= first_us_ ? us - first_us_ : 0, channel, frame});
  }

 private:
  const PlayOptions& o_;
  uint32_t channel_count_;
  uint64_t* error_frames_;
  const EntryFn& fn_;
  bool first_ = true;
  uint64_t first_us_ = 0;
};

// Reads a log line by line, handing each frame to the sink; false on the
// first bad line (or when the sink says stop: *error stays empty then).
bool ReadLog(std::istream& in, EntrySink& sink, std::string* error) {
  std::string line;
  uint64_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    // A NUL would cut the line short wherever it is shown, the message too.
    if (line.find('\0') != std::string::npos) {
      *error = "line " + std::to_string(number) + ": holds a NUL byte";
      return false;
    }
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    LogEntry e;
    std::string why;
    if (!ParseLogLine(line, &e, &why) || !sink.Add(e.name, e.frame, e.seconds * 1000000 + e.micros, &why)) {
      if (!why.empty()) *error = "line " + std::to_string(number) + ": " + why;
      return false;
    }
  }
  if (in.bad()) {
    *error = "read error";
    return false;
  }
  return true;
}

// A candump log, or a pcap or pcapng capture when it starts like one (a
// capture is read whole: its blocks are not lines).
bool ReadInput(std::istream& in, const PlayOptions& o, uint32_t channel_count, uint64_t* error_frames,
               std::string* error, const EntryFn& fn) {
  EntrySink sink(o, channel_count, error_frames, fn);
  // in must be seekable: the first bytes tell a capture from a log.
  char magic[4] = {};
  in.read(magic, sizeof(magic));
  const bool capture = in.gcount() == sizeof(magic) && LooksLikeCapture(std::string_view(magic, sizeof(magic)));
  in.clear();
  in.seekg(0);
  if (!capture) return ReadLog(in, sink, error);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<CaptureRecord> records;
  if (!ReadCapture(bytes, &records, error)) return false;
  for (size_t i = 0; i < records.size(); ++i) {
    std::string why;
    if (!sink.Add(records[i].name, records[i].frame, records[i].micros, &why)) {
      if (!why.empty()) *error = "packet " + std::to_string(i + 1) + ": " + why;
      return false;
    }
  }
  return true;
}

// Sends entries as they come: consecutive frames of one channel due at the
// same moment go in one driver call (all of them with -t).
class Player {
 public:
  Player(Session& session, const PlayOptions& o) : session_(session), o_(o) {}

  void BeginLoop() {
    base_ = std::chrono::steady_clock::now();
    next_ = base_;
  }
  // False once sending failed or a stop was asked for.
  bool Add(const Entry& e) {
    if (!run_.empty() && !Extends(e) && !Flush()) return false;
    if (run_.empty()) {
      run_channel_ = e.channel;
      run_time_us_ = e.time_us;
    }
    run_.push_back(e.frame);
    return !StopRequested();
  }
  bool Flush() {
    if (run_.empty()) return true;
    const bool paced = !o_.ignore_time && o_.gap_ms < 0;
    if (paced) {
      if (!SleepUntilOrStop(base_ + std::chrono::microseconds(run_time_us_))) return Stopped();
    } else if (o_.gap_ms >= 0) {
      if (!SleepUntilOrStop(next_)) return Stopped();
      next_ += std::chrono::microseconds(static_cast<int64_t>(o_.gap_ms * 1000));
    }
    const size_t accepted = SendFrames(session_, run_channel_, run_);
    const size_t want = run_.size();
    sent_ += accepted;
    wanted_ += want;
    if (o_.verbose && accepted == run_.size()) {
      std::printf("%s\n", ColumnsLine(run_[0], run_channel_).c_str());
      std::fflush(stdout);
    }
    run_.clear();
    if (accepted < want) failed_ = true;
    return !failed_;
  }
  bool failed() const { return failed_; }
  uint64_t sent() const { return sent_; }
  uint64_t wanted() const { return wanted_; }

 private:
  bool Extends(const Entry& e) const {
    const bool paced = !o_.ignore_time && o_.gap_ms < 0;
    return e.channel == run_channel_ && !o_.verbose && o_.gap_ms < 0 && (!paced || e.time_us == run_time_us_) &&
           run_.size() < kMaxRun;
  }
  bool Stopped() {
    run_.clear();
    return false;
  }

  static constexpr size_t kMaxRun = 4096;  // one driver call, bounded memory
  Session& session_;
  const PlayOptions& o_;
  std::chrono::steady_clock::time_point base_;
  std::chrono::steady_clock::time_point next_;
  std::vector<Frame> run_;
  uint32_t run_channel_ = 0;
  uint64_t run_time_us_ = 0;
  uint64_t sent_ = 0;
  uint64_t wanted_ = 0;
  bool failed_ = false;
};

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

  // A file is checked whole in a first pass, so a bad line is reported
  // before anything is sent, and streamed in the second: a log of any size
  // costs no more memory than a short one. Standard input cannot be read
  // twice: it is held.
  const bool from_stdin = o.file.empty() || o.file == "-";
  std::vector<Entry> held;
  std::vector<uint32_t> channels;
  uint64_t frames = 0;
  uint64_t error_frames = 0;
  const auto note = [&](const Entry& e) {
    ++frames;
    bool known = false;
    for (uint32_t c : channels) known = known || c == e.channel;
    if (!known) channels.push_back(e.channel);
    if (from_stdin) held.push_back(e);
    return true;
  };
  if (from_stdin) {
    std::istringstream input(std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()));
    if (!ReadInput(input, o, channel_count, &error_frames, &error, note)) UsageError("play", error);
  } else {
    std::ifstream in(o.file, std::ios::binary);
    if (!in) UsageError("play", "cannot read " + o.file);
    if (!ReadInput(in, o, channel_count, &error_frames, &error, note)) UsageError("play", o.file + ": " + error);
  }
  if (frames == 0) {
    std::fprintf(stderr, "tarnlink play: no frame to send\n");
    return kExitOk;
  }

  InstallStopSignals();
  std::unique_ptr<Driver> driver = Driver::Load(connect);
  if (!driver) return kExitFailure;
  std::unique_ptr<Session> session = Session::Open(*driver, connect, channels, false);
  if (!session) return kExitFailure;

  Player player(*session, o);
  const auto add = [&player](const Entry& e) { return player.Add(e); };
  for (uint64_t loop = 0; (o.loops == 0 || loop < o.loops) && !player.failed() && !StopRequested(); ++loop) {
    player.BeginLoop();
    if (from_stdin) {
      for (const Entry& e : held) {
        if (!add(e)) break;
      }
    } else {
      std::ifstream in(o.file, std::ios::binary);
      uint64_t ignored = 0;
      std::string changed;
      if (!in || (!ReadInput(in, o, channel_count, &ignored, &changed, add) && !changed.empty())) {
        std::fprintf(stderr, "tarnlink play: %s changed while playing: %s\n", o.file.c_str(),
                     changed.empty() ? "cannot read it" : changed.c_str());
        return kExitFailure;
      }
    }
    if (!player.failed() && !StopRequested()) player.Flush();
  }
  const uint64_t sent = player.sent();
  const uint64_t wanted = player.wanted();
  const bool failed = player.failed();
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
