// tarnlink play: a candump -L log sent again, like canplayer.
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/driver.h"
#include "tools/cli/frame_input.h"
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
    "  -I FILE     the log or capture (default: standard input); what cannot be read\n"
    "              twice (a pipe) is copied once into an unnamed temporary file\n"
    "  -t          ignore the time stamps: send as fast as the link takes the frames\n"
    "  -g MS       a fixed gap between frames instead of the time stamps\n"
    "  -l COUNT    play the log COUNT times (default 1; i: until Ctrl-C)\n"
    "  -v          print each frame as it is sent\n"
    "  --strict    refuse an input cut short (a capture ending inside a block, a log\n"
    "              inside a line, as a killed writer leaves them) before sending;\n"
    "              without it, what is whole before the cut is played, with a warning\n";

constexpr int kOptStrict = 0x100;

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
  bool strict = false;
  std::map<std::string, uint32_t, std::less<>> assigned;  // source name -> destination channel
};

using EntryFn = std::function<bool(const Entry&)>;

// A gap longer than a century is played as one: the clock's arithmetic stays
// inside 64 bits of nanoseconds.
constexpr uint64_t kMaxOffsetUs = 100ull * 366 * 24 * 3600 * 1000000;

// Turns the frames of one log or capture into entries for fn, in order.
class EntrySink {
 public:
  EntrySink(const PlayOptions& o, uint32_t channel_count, const EntryFn& fn)
      : o_(o), channel_count_(channel_count), fn_(fn) {}

  // False when the name is no channel and none is assigned to it (with a
  // reason in *error), or when fn says stop (*error left empty).
  bool Add(std::string_view name, const Frame& frame, uint64_t us, std::string* error) {
    uint32_t channel = 0;
    if (!o_.assigned.empty()) {
      const auto it = o_.assigned.find(name);
      if (it == o_.assigned.end()) {
        unassigned_ += frame.error() ? 0 : 1;
        return true;
      }
      channel = it->second;
    } else {
      std::vector<uint32_t> one;
      std::string why;
      if (name.find(',') != std::string_view::npos || !ParseChannelList(name, channel_count_, &one, &why)) {
        // The name as the input has it, bounded: a capture's may be 64 KiB.
        *error = "interface " + Quoted(name) + " is not a channel of the device (assign it: ch0=NAME)";
        return false;
      }
      channel = one[0];
    }
    if (frame.error()) {
      ++error_frames_;
      return true;
    }
    if (first_) {
      first_us_ = us;
      first_ = false;
    }
    // A log whose clock stepped back is played without waiting for it.
    const uint64_t offset = us >= first_us_ ? us - first_us_ : 0;
    return fn_({offset < kMaxOffsetUs ? offset : kMaxOffsetUs, channel, frame});
  }
  uint64_t error_frames() const { return error_frames_; }
  uint64_t unassigned() const { return unassigned_; }

 private:
  const PlayOptions& o_;
  uint32_t channel_count_;
  const EntryFn& fn_;
  bool first_ = true;
  uint64_t first_us_ = 0;
  uint64_t error_frames_ = 0;
  uint64_t unassigned_ = 0;
};

// Hands every frame of a log or capture to the sink; false on the first bad
// line or block (or when the sink says stop: *error stays empty then). An
// input cut short is read up to the cut, which *cut then describes.
bool ReadInput(std::istream& in, EntrySink& sink, std::string* error, std::string* cut) {
  FileFrameReader reader(in);
  InputFrame f;
  for (;;) {
    std::string why;
    switch (reader.Next(&f, &why)) {
      case InputStatus::kFrame:
        if (!sink.Add(f.name, f.frame, f.micros, &why)) {
          // The reader's position names the frame: its line or its packet.
          if (!why.empty()) *error = why;
          return false;
        }
        continue;
      case InputStatus::kEnd:
        return true;
      case InputStatus::kCut:
        *cut = why;
        return true;
      case InputStatus::kError:
        *error = why;
        return false;
    }
  }
}

// The input, read once per pass. A regular file is read where it lies;
// anything that cannot be read twice (standard input, a pipe, a named pipe,
// <(...)) is copied once into an unnamed temporary file, so memory stays
// flat in the size of the input whatever it is.
class Input {
 public:
  Input() = default;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input() {
    spool_.close();  // Windows removes no open file
    if (!spool_path_.empty()) std::remove(spool_path_.c_str());
  }

  bool Open(const std::string& file, std::string* error) {
    std::error_code ec;
    if (!file.empty() && file != "-" && std::filesystem::is_regular_file(file, ec)) {
      file_.open(file, std::ios::binary);
      if (!file_) *error = "cannot read " + file;
      return static_cast<bool>(file_);
    }
    std::FILE* from = stdin;
    if (!file.empty() && file != "-") {
      from = std::fopen(file.c_str(), "rb");
      if (from == nullptr) {
        *error = "cannot read " + file;
        return false;
      }
    } else {
#if defined(_WIN32)
      _setmode(_fileno(stdin), _O_BINARY);
#endif
    }
    const bool ok = Spool(from, error);
    if (from != stdin) std::fclose(from);
    return ok;
  }

  // The input from its start; null when it cannot be read again.
  std::istream* Rewind() {
    std::istream& s = spooled_ ? static_cast<std::istream&>(spool_) : file_;
    s.clear();
    s.seekg(0);
    return s ? &s : nullptr;
  }

 private:
  bool Spool(std::FILE* from, std::string* error) {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
#if defined(_WIN32)
    char name[MAX_PATH];
    if (ec || GetTempFileNameA(dir.string().c_str(), "tlp", 0, name) == 0) {
      *error = "cannot make a temporary file to hold the input";
      return false;
    }
    spool_path_ = name;
    spool_.open(spool_path_, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
#else
    std::string name = (ec ? std::string("/tmp") : dir.string()) + "/tarnlink-play-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) {
      *error = "cannot make a temporary file to hold the input: " + std::string(std::strerror(errno));
      return false;
    }
    close(fd);
    spool_path_ = name;
    spool_.open(spool_path_, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
    // The open file stays readable without its name, which goes at once:
    // nothing is left behind, not even when the process is killed.
    if (std::remove(spool_path_.c_str()) == 0) spool_path_.clear();
#endif
    spooled_ = true;
    if (!spool_.is_open()) {
      *error = "cannot open a temporary file to hold the input";
      return false;
    }
    std::vector<char> chunk(64 * 1024);
    for (;;) {
      const size_t n = std::fread(chunk.data(), 1, chunk.size(), from);
      if (n > 0) spool_.write(chunk.data(), static_cast<std::streamsize>(n));
      if (n < chunk.size()) break;
    }
    spool_.flush();
    if (std::ferror(from) != 0 || !spool_) {
      *error = std::ferror(from) != 0 ? "read error" : "cannot hold the input in a temporary file (disk full?)";
      return false;
    }
    return true;
  }

  std::ifstream file_;
  std::fstream spool_;
  std::string spool_path_;  // while it has a name to remove
  bool spooled_ = false;
};

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
  def.long_options = {{"strict", no_argument, nullptr, kOptStrict}};
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
          case kOptStrict:
            o.strict = true;
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

  // The input is checked whole in a first pass, so a bad line is reported
  // before anything is sent, and streamed in the next ones: an input of any
  // size costs no more memory than a short one.
  const std::string source = o.file.empty() || o.file == "-" ? std::string() : o.file + ": ";
  Input input;
  if (!input.Open(o.file, &error)) UsageError("play", error);
  std::vector<uint32_t> channels;
  uint64_t frames = 0;
  const EntryFn note = [&](const Entry& e) {
    ++frames;
    bool known = false;
    for (uint32_t c : channels) known = known || c == e.channel;
    if (!known) channels.push_back(e.channel);
    return true;
  };
  EntrySink check(o, channel_count, note);
  std::string cut;
  std::istream* in = input.Rewind();
  if (in == nullptr || !ReadInput(*in, check, &error, &cut)) {
    UsageError("play", source + (in == nullptr ? "cannot read it" : error));
  }
  if (!cut.empty()) {
    if (o.strict) UsageError("play", source + cut + " (--strict)");
    std::fprintf(stderr, "tarnlink play: %s%s: playing what is whole before it\n", source.c_str(), cut.c_str());
  }
  const uint64_t error_frames = check.error_frames();
  if (frames == 0 && check.unassigned() > 0) {
    std::fprintf(stderr, "tarnlink play: %snone of its %llu frames is on an assigned interface\n", source.c_str(),
                 static_cast<unsigned long long>(check.unassigned()));
    return kExitFailure;
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
  const EntryFn add = [&player](const Entry& e) { return player.Add(e); };
  for (uint64_t loop = 0; (o.loops == 0 || loop < o.loops) && !player.failed() && !StopRequested(); ++loop) {
    player.BeginLoop();
    EntrySink sink(o, channel_count, add);
    std::string changed;
    std::string cut_again;
    in = input.Rewind();
    if (in == nullptr || (!ReadInput(*in, sink, &changed, &cut_again) && !changed.empty())) {
      std::fprintf(stderr, "tarnlink play: %schanged while playing: %s\n", source.c_str(),
                   changed.empty() ? "cannot read it" : changed.c_str());
      return kExitFailure;
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
  // Frames the first pass found and no pass sent: never a success.
  if (sent == 0 && !StopRequested()) {
    std::fprintf(stderr, "tarnlink play: %snone of its %llu frames was sent\n", source.c_str(),
                 static_cast<unsigned long long>(frames));
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace tarnlink::cli
