// tarnlink gen: cangen-style traffic with a rate line and a summary.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/driver.h"
#include "tools/cli/traffic.h"

namespace tarnlink::cli {
namespace {

constexpr char kUsage[] =
    "Usage: tarnlink gen [options]\n"
    "\n"
    "Generates frames like cangen until -n frames are sent or Ctrl-C; shows the rate\n"
    "on a terminal and a summary at the end. With -g 0 frames go out in batches of\n"
    "60 (CAN) or 18 (CAN FD) per driver call, as fast as the link takes them.\n"
    "\n"
    "Options:\n"
    "  -c CH       channel (default 0)\n"
    "  -g MS       gap between frames in ms (default 200; fractions allowed; 0 = flood)\n"
    "  -n COUNT    stop after COUNT frames\n"
    "  -I MODE     identifier: r random (default), i incrementing, or a hex identifier\n"
    "  -L MODE     length: r random (default), i incrementing, or a length\n"
    "  -D MODE     data: r random (default), i incrementing, or hex bytes (also sets the length)\n"
    "  -e          extended identifiers\n"
    "  -f          CAN FD frames\n"
    "  -b          CAN FD frames with bit-rate switch\n"
    "  -R          remote frames\n"
    "  -v          print every frame (candump columns) instead of the rate line\n";

constexpr uint8_t kFdLengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

struct GenOptions {
  uint32_t channel = 0;
  std::string channel_text = "0";
  double gap_ms = 200;
  uint64_t count = 0;
  char id_mode = 'r';
  uint32_t fixed_id = 0;
  char len_mode = 'r';
  uint8_t fixed_len = 0;
  char data_mode = 'r';
  std::vector<uint8_t> fixed_data;
  bool extended = false;
  bool fd = false;
  bool brs = false;
  bool remote = false;
  bool verbose = false;
};

class Generator {
 public:
  explicit Generator(const GenOptions& o) : o_(o), rng_(std::random_device{}()) {}

  Frame Next() {
    Frame f;
    const uint32_t id_max = o_.extended ? VELA_ID_MASK : 0x7FFu;
    uint32_t id;
    switch (o_.id_mode) {
      case 'i':
        id = static_cast<uint32_t>(counter_ % (static_cast<uint64_t>(id_max) + 1));
        break;
      case 'f':
        id = o_.fixed_id;
        break;
      default:
        id = static_cast<uint32_t>(rng_() % (static_cast<uint64_t>(id_max) + 1));
        break;
    }
    f.id = id | (o_.extended ? VELA_ID_EFF_FLAG : 0u);
    if (o_.remote) f.id |= VELA_ID_RTR_FLAG;
    f.fd = o_.fd;
    f.fd_flags = o_.brs ? VELA_FD_BRS : 0;
    const size_t steps = o_.fd ? sizeof(kFdLengths) : kCanMaxLen + 1u;
    switch (o_.len_mode) {
      case 'i':
        f.len = o_.fd ? kFdLengths[counter_ % steps] : static_cast<uint8_t>(counter_ % steps);
        break;
      case 'f':
        f.len = o_.fixed_len;
        break;
      default:
        f.len = o_.fd ? kFdLengths[rng_() % steps] : static_cast<uint8_t>(rng_() % steps);
        break;
    }
    if (!o_.remote) {
      for (uint8_t i = 0; i < f.len; ++i) {
        switch (o_.data_mode) {
          case 'i':
            f.data[i] = static_cast<uint8_t>(counter_ >> (8 * (i % 8)));
            break;
          case 'f':
            f.data[i] = i < o_.fixed_data.size() ? o_.fixed_data[i] : 0;
            break;
          default:
            f.data[i] = static_cast<uint8_t>(rng_());
            break;
        }
      }
    }
    ++counter_;
    return f;
  }

 private:
  const GenOptions& o_;
  std::mt19937_64 rng_;
  uint64_t counter_ = 0;
};

bool ParseGenOption(GenOptions* o, int code, const char* arg, std::string* error) {
  uint64_t v = 0;
  const std::string a = arg != nullptr ? arg : "";
  switch (code) {
    case 'c':
      o->channel_text = a;
      return true;
    case 'g':
      if (!ParseDouble(a, 0, 3600000, &o->gap_ms)) {
        *error = "-g: '" + a + "' is not a gap in ms";
        return false;
      }
      return true;
    case 'n':
      if (!ParseUnsigned(a, UINT64_MAX, &v) || v == 0) {
        *error = "-n: '" + a + "' is not a frame count";
        return false;
      }
      o->count = v;
      return true;
    case 'I':
      if (a == "r" || a == "i") {
        o->id_mode = a[0];
      } else if (ParseHex(a, VELA_ID_MASK, &v)) {
        o->id_mode = 'f';
        o->fixed_id = static_cast<uint32_t>(v);
      } else {
        *error = "-I: '" + a + "' is not r, i or a hex identifier";
        return false;
      }
      return true;
    case 'L':
      if (a == "r" || a == "i") {
        o->len_mode = a[0];
      } else if (ParseUnsigned(a, kCanFdMaxLen, &v)) {
        o->len_mode = 'f';
        o->fixed_len = static_cast<uint8_t>(v);
      } else {
        *error = "-L: '" + a + "' is not r, i or a length";
        return false;
      }
      return true;
    case 'D':
      if (a == "r" || a == "i") {
        o->data_mode = a[0];
      } else {
        Frame f;
        std::string why;
        if (!ParseFrame("000##0" + a, &f, &why)) {
          *error = "-D: '" + a + "' is not r, i or hex data: " + why;
          return false;
        }
        // The bytes as written, before the FD length padding.
        size_t digits = 0;
        for (char c : a) digits += c != '.' ? 1 : 0;
        o->data_mode = 'f';
        o->fixed_data.assign(f.data, f.data + digits / 2);
      }
      return true;
    case 'e':
      o->extended = true;
      return true;
    case 'f':
      o->fd = true;
      return true;
    case 'b':
      o->fd = o->brs = true;
      return true;
    case 'R':
      o->remote = true;
      return true;
    case 'v':
      o->verbose = true;
      return true;
    default:
      return false;
  }
}

void CheckGenOptions(GenOptions* o) {
  if (o->id_mode == 'f' && !o->extended && o->fixed_id > 0x7FF) {
    UsageError("gen", "-I: identifier above 7FF needs -e");
  }
  if (o->remote && o->fd) UsageError("gen", "-R: CAN FD has no remote frames");
  const uint8_t max_len = o->fd ? kCanFdMaxLen : kCanMaxLen;
  if (o->data_mode == 'f') {
    if (o->fixed_data.size() > max_len) UsageError("gen", "-D: more data bytes than the frame holds");
    if (o->len_mode == 'r') {
      o->len_mode = 'f';
      o->fixed_len = static_cast<uint8_t>(o->fixed_data.size());
    }
  }
  if (o->len_mode == 'f') {
    if (o->fixed_len > max_len) UsageError("gen", "-L: length above " + std::to_string(max_len));
    if (o->fd) o->fixed_len = FdLengthRoundUp(o->fixed_len);
  }
}

}  // namespace

int RunGen(int argc, char** argv) {
  CommandDef def;
  def.name = "gen";
  def.usage = kUsage;
  def.short_options = "c:g:n:I:L:D:efbRv";
  ConnectOptions connect;
  GenOptions o;
  const std::vector<std::string> rest = ParseCommandLine(
      def, argc, argv, &connect,
      [&](int code, const char* arg, std::string* error) { return ParseGenOption(&o, code, arg, error); });
  if (!rest.empty()) UsageError("gen", "unexpected argument '" + rest[0] + "'");
  std::vector<uint32_t> channel;
  std::string error;
  if (!ParseChannelList(o.channel_text, ChannelsOfType(connect.device_type()), &channel, &error) ||
      channel.size() != 1) {
    UsageError("gen", error.empty() ? "-c takes one channel" : error);
  }
  o.channel = channel[0];
  CheckGenOptions(&o);

  InstallStopSignals();
  std::unique_ptr<Driver> driver = Driver::Load(connect);
  if (!driver) return kExitFailure;
  std::unique_ptr<Session> session = Session::Open(*driver, connect, channel, false);
  if (!session) return kExitFailure;

  const bool live = !o.verbose && isatty(STDOUT_FILENO) == 1;
  Generator gen(o);
  const size_t batch_size = o.gap_ms > 0 ? 1 : (o.fd ? 18 : 60);
  const auto gap = std::chrono::nanoseconds(static_cast<int64_t>(o.gap_ms * 1e6));
  const auto start = std::chrono::steady_clock::now();
  auto next = start;
  auto last_report = start;
  auto last_clear = start;
  uint64_t sent = 0;
  uint64_t sent_at_report = 0;
  bool failed = false;
  std::vector<Frame> batch;
  while (!StopRequested() && (o.count == 0 || sent < o.count)) {
    batch.clear();
    const uint64_t left = o.count == 0 ? UINT64_MAX : o.count - sent;
    for (size_t i = 0; i < batch_size && i < left; ++i) batch.push_back(gen.Next());
    if (o.gap_ms > 0 && !SleepUntilOrStop(next)) break;
    const size_t n = SendFrames(*session, o.channel, batch);
    sent += n;
    if (o.verbose) {
      for (size_t i = 0; i < n; ++i) std::printf("%s\n", ColumnsLine(batch[i], o.channel).c_str());
    }
    if (n < batch.size()) {
      failed = true;
      break;
    }
    next += gap;
    const auto now = std::chrono::steady_clock::now();
    // Whatever the gateway sends back (echoes) is not ours to keep.
    if (now - last_clear >= std::chrono::seconds(1)) {
      driver->ClearBuffer(session->handle(o.channel));
      last_clear = now;
    }
    if (live && now - last_report >= std::chrono::milliseconds(500)) {
      const double dt = std::chrono::duration<double>(now - last_report).count();
      std::printf("\r  %llu frames sent, %.0f frames/s   ", static_cast<unsigned long long>(sent),
                  static_cast<double>(sent - sent_at_report) / dt);
      std::fflush(stdout);
      last_report = now;
      sent_at_report = sent;
    }
  }
  if (!connect.udp && sent > 0) SyncWithGateway(*session);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (live) std::printf("\r%60s\r", "");
  std::printf("gen: %llu frames sent on %s in %.2f s (%.0f frames/s)\n", static_cast<unsigned long long>(sent),
              ChannelName(o.channel).c_str(), elapsed, elapsed > 0 ? static_cast<double>(sent) / elapsed : 0.0);
  if (failed) {
    std::fprintf(stderr, "tarnlink: the driver refused frames (connection to the gateway lost?)\n");
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace tarnlink::cli
