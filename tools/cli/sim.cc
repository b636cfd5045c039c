// tarnlink sim: the gateway simulator as a program a driver can talk to.
#if defined(_WIN32)
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/driver.h"
#include "tools/cli/frame_text.h"
#include "tools/sim/gateway.h"

namespace tarnlink::cli {
namespace {

#if defined(_WIN32)
// No poll on a console or pipe: a thread blocks in the read and hands the
// chunks on. It may stay blocked at exit, which ends it.
struct InputQueue {
  std::mutex mu;
  std::condition_variable cv;
  std::string data;
  bool ended = false;
};

int ReadInput(char* buf, size_t size, int timeout_ms) {
  static InputQueue* const queue = [] {
    static InputQueue q;
    std::thread([] {
      char chunk[1024];
      for (;;) {
        const int n = _read(0, chunk, sizeof(chunk));
        std::lock_guard<std::mutex> lock(q.mu);
        if (n <= 0) {
          q.ended = true;
          q.cv.notify_all();
          return;
        }
        q.data.append(chunk, static_cast<size_t>(n));
        q.cv.notify_all();
      }
    }).detach();
    return &q;
  }();
  std::unique_lock<std::mutex> lock(queue->mu);
  queue->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [] { return !queue->data.empty() || queue->ended; });
  if (queue->data.empty()) return queue->ended ? -1 : 0;
  const size_t n = std::min(size, queue->data.size());
  queue->data.copy(buf, n);
  queue->data.erase(0, n);
  return static_cast<int>(n);
}
#else
// Bytes read from stdin, 0 when none came within timeout_ms, -1 at its end.
int ReadInput(char* buf, size_t size, int timeout_ms) {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return 0;
  const ssize_t n = read(STDIN_FILENO, buf, size);
  return n > 0 ? static_cast<int>(n) : -1;
}
#endif

constexpr char kUsage[] =
    "Usage: tarnlink sim [options]\n"
    "\n"
    "Plays a CAN / CAN FD gateway on this machine until Ctrl-C (or --duration),\n"
    "then prints a one-line summary of what went in and out.\n"
    "\n"
    "Link (default --listen 8000):\n"
    "  --listen PORT        listen for a driver in TCP client mode (0 = any free port)\n"
    "  --connect HOST:PORT  connect to a driver in TCP server mode (and reconnect)\n"
    "  --udp PORT           exchange datagrams on this local UDP port (0 = any)\n"
    "  --peer HOST:PORT     UDP: where datagrams go (a 224.x.x.x group for multicast);\n"
    "                       default: back to whoever sent last\n"
    "  --bind ADDR          local address to listen or bind on (default 127.0.0.1)\n"
    "  --count N            play N gateways, each on a port of its own (--listen only: port 0\n"
    "                       gives N free ports, else N ports from PORT on); one line each at\n"
    "                       the start, and input lines go to every one\n"
    "Device:\n"
    "  --channels N         channels of the device (1, 2 or 4; up to 32; default 2)\n"
    "  --echo               frames a driver transmits come back as received, to every\n"
    "                       connected driver, the sender too (a loopback for tests)\n"
    "  --bus                a bench: a frame a driver transmits on a channel reaches every\n"
    "                       other driver connected on that channel, never the sender\n"
    "  --wire A-B           channels A and B cabled together (implies --bus; repeatable):\n"
    "                       what a driver transmits on one is received on the other by\n"
    "                       every connected driver\n"
    "  --model TEXT, --serial TEXT, --firmware TEXT, --hardware TEXT\n"
    "                       what the device information answer says\n"
    "Traffic:\n"
    "  --gen RATE           generate RATE frames/s on each channel (0 = as fast as possible)\n"
    "  --gen-channel CH     generate on this channel only\n"
    "  --gen-ids A-B        identifiers cycle from A to B (hex; default 100-1FF)\n"
    "  --gen-len A-B        lengths cycle from A to B (default 8-8); CAN FD lengths between\n"
    "                       the valid ones are padded up (9-11 to 12, ...)\n"
    "  --gen-fd, --gen-brs, --gen-ext, --gen-remote\n"
    "                       CAN FD, bit-rate switch, extended identifiers, remote frames\n"
    "Run:\n"
    "  --duration S         stop after S seconds\n"
    "  -v                   print what the gateway does\n"
    "\n"
    "While it runs, lines on standard input inject events ('help' lists them):\n"
    "  frame CH 123#DEADBEEF     error CH overflow|warning|passive|busoff|bus|B0 [D1 [X1 X2]]\n"
    "  marker CH   gps LAT LON   report CH   text SLOT TEXT   notice VALUE\n"
    "  gen CH RATE   stop CH   echo CH on|off   drop   junk N   split 123#1122   stats   quit\n";

enum : int {
  kOptListen = 3000,
  kOptConnect,
  kOptUdp,
  kOptPeer,
  kOptBind,
  kOptChannels,
  kOptEcho,
  kOptBus,
  kOptWire,
  kOptModel,
  kOptSerial,
  kOptFirmware,
  kOptHardware,
  kOptGen,
  kOptGenChannel,
  kOptGenIds,
  kOptGenLen,
  kOptGenFd,
  kOptGenBrs,
  kOptGenExt,
  kOptGenRemote,
  kOptDuration,
  kOptCount,
};

struct SimOptions {
  sim::GatewayConfig config;
  sim::DeviceIdentity identity;
  bool mode_given = false;
  bool verbose = false;
  double duration_s = 0;
  uint32_t count = 1;
  bool gen = false;
  int gen_channel = -1;
  sim::TrafficSpec traffic;
};

std::mutex g_print_mu;

void Print(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_print_mu);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool ParseRange(const std::string& text, bool hex, uint64_t max, uint64_t* a, uint64_t* b) {
  const size_t dash = text.find('-');
  const std::string first = text.substr(0, dash);
  const std::string last = dash == std::string::npos ? first : text.substr(dash + 1);
  auto parse = [&](const std::string& s, uint64_t* v) { return hex ? ParseHex(s, max, v) : ParseUnsigned(s, max, v); };
  return parse(first, a) && parse(last, b) && *a <= *b;
}

bool HandleSimOption(SimOptions* o, int code, const char* arg, std::string* error) {
  const std::string a = arg != nullptr ? arg : "";
  uint64_t v = 0;
  uint64_t w = 0;
  sim::GatewayConfig& c = o->config;
  auto mode = [&](sim::LinkMode m) {
    if (o->mode_given && c.mode != m) {
      *error = "--listen, --connect and --udp exclude each other";
      return false;
    }
    o->mode_given = true;
    c.mode = m;
    return true;
  };
  switch (code) {
    case kOptListen:
      if (!ParseUnsigned(a, 65535, &v)) {
        *error = "--listen: '" + a + "' is not a port number";
        return false;
      }
      c.local_port = static_cast<uint16_t>(v);
      return mode(sim::LinkMode::kTcpListen);
    case kOptConnect:
      if (!ParseHostPort(a, &c.remote_address, &c.remote_port, error)) return false;
      return mode(sim::LinkMode::kTcpConnect);
    case kOptUdp:
      if (!ParseUnsigned(a, 65535, &v)) {
        *error = "--udp: '" + a + "' is not a port number";
        return false;
      }
      c.local_port = static_cast<uint16_t>(v);
      return mode(sim::LinkMode::kUdp);
    case kOptPeer:
      if (!ParseHostPort(a, &c.remote_address, &c.remote_port, error)) return false;
      return true;
    case kOptBind:
      if (!ResolveIpv4(a, &c.bind_address)) {
        *error = "--bind: cannot resolve '" + a + "'";
        return false;
      }
      c.multicast_interface = c.bind_address;
      return true;
    case kOptChannels:
      if (!ParseUnsigned(a, 32, &v) || v == 0) {
        *error = "--channels: '" + a + "' is not 1-32";
        return false;
      }
      c.channels = static_cast<uint32_t>(v);
      return true;
    case kOptEcho:
      c.echo = true;
      return true;
    case kOptBus:
      c.bus = true;
      return true;
    case kOptWire: {
      const size_t dash = a.find('-');
      if (dash == std::string::npos || !ParseUnsigned(a.substr(0, dash), 31, &v) ||
          !ParseUnsigned(a.substr(dash + 1), 31, &w) || v == w) {
        *error = "--wire: '" + a + "' is not two channels like 0-1";
        return false;
      }
      c.bus = true;
      c.wires.emplace_back(static_cast<uint8_t>(v), static_cast<uint8_t>(w));
      return true;
    }
    case kOptModel:
      o->identity.model = a;
      return true;
    case kOptSerial:
      o->identity.serial = a;
      return true;
    case kOptFirmware:
      o->identity.firmware = a;
      return true;
    case kOptHardware:
      o->identity.hardware = a;
      return true;
    case kOptGen:
      if (!ParseDouble(a, 0, 1e7, &o->traffic.frames_per_second)) {
        *error = "--gen: '" + a + "' is not a rate in frames/s";
        return false;
      }
      o->gen = true;
      return true;
    case kOptGenChannel:
      if (!ParseUnsigned(a, 31, &v)) {
        *error = "--gen-channel: '" + a + "' is not a channel";
        return false;
      }
      o->gen_channel = static_cast<int>(v);
      return true;
    case kOptGenIds:
      if (!ParseRange(a, true, VELA_ID_MASK, &v, &w)) {
        *error = "--gen-ids: '" + a + "' is not a hex range like 100-1FF";
        return false;
      }
      o->traffic.id_first = static_cast<uint32_t>(v);
      o->traffic.id_last = static_cast<uint32_t>(w);
      return true;
    case kOptGenLen:
      if (!ParseRange(a, false, 64, &v, &w)) {
        *error = "--gen-len: '" + a + "' is not a range like 0-8";
        return false;
      }
      o->traffic.len_min = static_cast<uint8_t>(v);
      o->traffic.len_max = static_cast<uint8_t>(w);
      return true;
    case kOptGenFd:
      o->traffic.fd = true;
      return true;
    case kOptGenBrs:
      o->traffic.fd = o->traffic.brs = true;
      return true;
    case kOptGenExt:
      o->traffic.extended = true;
      return true;
    case kOptGenRemote:
      o->traffic.remote = true;
      return true;
    case kOptDuration:
      if (!ParseDouble(a, 0.001, 1e7, &o->duration_s)) {
        *error = "--duration: '" + a + "' is not a time in seconds";
        return false;
      }
      return true;
    case 'v':
      o->verbose = true;
      return true;
    case kOptCount:
      if (!ParseUnsigned(a, 1000, &v) || v == 0) {
        *error = "--count: '" + a + "' is not 1-1000";
        return false;
      }
      o->count = static_cast<uint32_t>(v);
      return true;
    default:
      return false;
  }
}

std::string LinkText(const sim::Gateway& g, const sim::GatewayConfig& c) {
  const std::string local = c.bind_address + ":" + std::to_string(g.LocalPort());
  switch (c.mode) {
    case sim::LinkMode::kTcpListen:
      return "listening on " + local;
    case sim::LinkMode::kTcpConnect:
      return "connecting to " + c.remote_address + ":" + std::to_string(c.remote_port);
    case sim::LinkMode::kUdp:
      return "on UDP " + local + ", sending to " +
             (c.remote_port != 0 ? c.remote_address + ":" + std::to_string(c.remote_port)
                                 : std::string("the last sender"));
  }
  return {};
}

std::string RoutingText(const sim::GatewayConfig& c) {
  if (!c.bus) return c.echo ? "echo on" : "echo off";
  std::string text = "bus";
  for (const auto& [a, b] : c.wires) text += " wire " + std::to_string(a) + "-" + std::to_string(b);
  return text;
}

// Error shortcuts: the gateway's error byte and E1 sub-code per condition.
bool ErrorBytes(const std::string& name, uint8_t* b0, uint8_t* d1) {
  struct Shortcut {
    const char* name;
    uint8_t b0, d1;
  };
  static constexpr Shortcut kShortcuts[] = {
      {"overflow", 0xE1, 64}, {"warning", 0xE2, 0}, {"passive", 0xE1, 0}, {"busoff", 0xE4, 0}, {"bus", 0xE1, 16},
      {"stuff", 0xE1, 16},    {"form", 0xE1, 8},    {"crc", 0xE1, 4},     {"ack", 0xE5, 0},
  };
  for (const Shortcut& s : kShortcuts) {
    if (name == s.name) {
      *b0 = s.b0;
      *d1 = s.d1;
      return true;
    }
  }
  return false;
}

sim::WireFrame ToWire(const sim::Gateway& g, uint8_t channel, const Frame& f) {
  sim::WireFrame w;
  w.timestamp = g.NowMicros();
  w.id = f.identifier();
  w.channel = channel;
  w.len = f.len;
  if (f.fd) w.flags |= sim::kWireFd;
  if ((f.fd_flags & VELA_FD_BRS) != 0) w.flags |= sim::kWireBrs;
  if ((f.fd_flags & VELA_FD_ESI) != 0) w.flags |= sim::kWireEsi;
  if (f.remote()) w.flags |= sim::kWireRemote;
  if (f.extended()) w.flags |= sim::kWireExtended;
  std::copy(std::begin(f.data), std::end(f.data), std::begin(w.data));
  return w;
}

// One line of standard input; false for "quit".
bool Command(sim::Gateway& g, const SimOptions& o, const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string t; in >> t;) w.push_back(t);
  if (w.empty()) return true;
  const std::string& cmd = w[0];
  auto channel = [&](size_t i, uint8_t* ch) {
    uint64_t v = 0;
    if (i >= w.size() || !ParseUnsigned(w[i], g.channels() - 1, &v)) {
      Print("sim: '" + cmd + "' needs a channel 0-" + std::to_string(g.channels() - 1));
      return false;
    }
    *ch = static_cast<uint8_t>(v);
    return true;
  };
  uint8_t ch = 0;
  uint64_t v = 0;
  bool ok = true;
  if (cmd == "quit" || cmd == "exit") return false;
  if (cmd == "help") {
    Print(
        "sim: frame CH FRAME | error CH overflow|warning|passive|busoff|bus|stuff|form|crc|ack or B0 [D1 [X1 X2]]\n"
        "     marker CH | gps LAT LON [ALT] | report CH | text SLOT TEXT | notice VALUE | gen CH RATE | stop CH\n"
        "     echo CH on|off | drop | junk N | split FRAME | stats | quit");
  } else if (cmd == "frame" && channel(1, &ch)) {
    Frame f;
    std::string error;
    if (w.size() < 3 || !ParseFrame(w[2], &f, &error)) {
      Print("sim: frame CH FRAME, e.g. frame 0 123#DEADBEEF" + (error.empty() ? "" : ": " + error));
      return true;
    }
    const sim::WireFrame wf = ToWire(g, ch, f);
    ok = f.fd ? g.SendCanFdFrames({wf}) : g.SendCanFrames({wf});
  } else if (cmd == "error" && channel(1, &ch)) {
    uint8_t b0 = 0, d1 = 0;
    uint64_t x1 = 0, x2 = 0;
    if (w.size() >= 3 && ErrorBytes(w[2], &b0, &d1)) {
      // named
    } else if (w.size() >= 3 && ParseHex(w[2], 0xFF, &v)) {
      b0 = static_cast<uint8_t>(v);
      if (w.size() >= 4 && ParseHex(w[3], 0xFF, &v)) d1 = static_cast<uint8_t>(v);
      if (w.size() >= 6) {
        ParseHex(w[4], 0xFF, &x1);
        ParseHex(w[5], 0xFF, &x2);
      }
    } else {
      Print("sim: error CH overflow|warning|passive|busoff|bus|stuff|form|crc|ack, or error CH B0 [D1 [X1 X2]] (hex)");
      return true;
    }
    ok = g.SendErrorFrame(ch, b0, d1, static_cast<uint8_t>(x1), static_cast<uint8_t>(x2));
  } else if (cmd == "marker" && channel(1, &ch)) {
    ok = g.SendMarker(ch, g.NowMicros());
  } else if (cmd == "gps") {
    sim::GpsFix fix;
    double lat = 0, lon = 0, alt = 0;
    if (w.size() < 3 || !ParseDouble(w[1], -90, 90, &lat) || !ParseDouble(w[2], -180, 180, &lon) ||
        (w.size() > 3 && !ParseDouble(w[3], -1000, 64535, &alt))) {
      Print("sim: gps LAT LON [ALT], degrees and metres");
      return true;
    }
    fix.utc_seconds = static_cast<uint64_t>(std::time(nullptr));
    fix.latitude = lat;
    fix.longitude = lon;
    fix.altitude = alt;
    ok = g.SendGps({fix});
  } else if (cmd == "report" && channel(1, &ch)) {
    sim::WireChannelReport r;
    r.channel = ch;
    r.value0 = g.NowMicros();
    ok = g.SendChannelReport(r);
  } else if (cmd == "text") {
    if (w.size() < 3 || !ParseUnsigned(w[1], 255, &v)) {
      Print("sim: text SLOT TEXT");
      return true;
    }
    const size_t at = line.find(w[2], line.find(w[1]) + w[1].size());
    ok = g.SendDeviceText(static_cast<uint8_t>(v), line.substr(at));
  } else if (cmd == "notice") {
    if (w.size() < 2 || !ParseUnsigned(w[1], UINT64_MAX, &v)) {
      Print("sim: notice VALUE");
      return true;
    }
    ok = g.SendNotice(v);
  } else if (cmd == "gen" && channel(1, &ch)) {
    sim::TrafficSpec traffic = o.traffic;
    traffic.channel = ch;
    if (w.size() < 3 || !ParseDouble(w[2], 0, 1e7, &traffic.frames_per_second)) {
      Print("sim: gen CH RATE");
      return true;
    }
    g.StartTraffic(traffic);
  } else if (cmd == "stop" && channel(1, &ch)) {
    g.StopTraffic(ch);
  } else if (cmd == "echo" && channel(1, &ch)) {
    if (w.size() < 3 || (w[2] != "on" && w[2] != "off")) {
      Print("sim: echo CH on|off");
      return true;
    }
    g.SetEcho(ch, w[2] == "on");
  } else if (cmd == "drop") {
    g.DropConnections();
  } else if (cmd == "junk") {
    if (w.size() < 2 || !ParseUnsigned(w[1], 65536, &v)) {
      Print("sim: junk N");
      return true;
    }
    std::mt19937 rng(std::random_device{}());
    std::vector<uint8_t> bytes(v);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    ok = g.SendRaw(bytes);
  } else if (cmd == "split") {
    Frame f;
    std::string error;
    if (w.size() < 2 || !ParseFrame(w[1], &f, &error)) {
      Print("sim: split FRAME (sent as one packet in three pieces)");
      return true;
    }
    std::vector<uint8_t> payload;
    sim::PutFrame(payload, ToWire(g, 0, f), f.fd);
    ok = g.SendInChunks(sim::FramePacket(f.fd ? sim::kTypeCanFd : sim::kTypeCan, 0, payload), {3, 7});
  } else if (cmd == "stats") {
    Print("sim: " + g.Summary());
  } else if (cmd != "frame" && cmd != "error" && cmd != "marker" && cmd != "report" && cmd != "gen" && cmd != "stop" &&
             cmd != "echo") {
    Print("sim: unknown command '" + cmd + "' (try 'help')");
  }
  if (!ok) Print("sim: not sent (no driver connected?)");
  return true;
}

}  // namespace

int RunSim(int argc, char** argv) {
  CommandDef def;
  def.name = "sim";
  def.usage = kUsage;
  def.short_options = "v";
  def.connects = false;
  def.long_options = {
      {"listen", required_argument, nullptr, kOptListen},
      {"connect", required_argument, nullptr, kOptConnect},
      {"udp", required_argument, nullptr, kOptUdp},
      {"peer", required_argument, nullptr, kOptPeer},
      {"bind", required_argument, nullptr, kOptBind},
      {"channels", required_argument, nullptr, kOptChannels},
      {"echo", no_argument, nullptr, kOptEcho},
      {"bus", no_argument, nullptr, kOptBus},
      {"wire", required_argument, nullptr, kOptWire},
      {"model", required_argument, nullptr, kOptModel},
      {"serial", required_argument, nullptr, kOptSerial},
      {"firmware", required_argument, nullptr, kOptFirmware},
      {"hardware", required_argument, nullptr, kOptHardware},
      {"gen", required_argument, nullptr, kOptGen},
      {"gen-channel", required_argument, nullptr, kOptGenChannel},
      {"gen-ids", required_argument, nullptr, kOptGenIds},
      {"gen-len", required_argument, nullptr, kOptGenLen},
      {"gen-fd", no_argument, nullptr, kOptGenFd},
      {"gen-brs", no_argument, nullptr, kOptGenBrs},
      {"gen-ext", no_argument, nullptr, kOptGenExt},
      {"gen-remote", no_argument, nullptr, kOptGenRemote},
      {"duration", required_argument, nullptr, kOptDuration},
      {"count", required_argument, nullptr, kOptCount},
  };
  SimOptions o;
  o.config.echo = false;
  o.config.local_port = kDefaultGatewayPort;
  // Nothing here reads the record of what the driver sent, and the simulator
  // may run for days: keep none of it (the counters still count).
  o.config.record_limit = 0;
  o.config.frame_record_limit = 0;
  o.config.autosend_read_all_slots = true;
  o.traffic.id_first = 0x100;
  o.traffic.id_last = 0x1FF;
  o.traffic.fd_valid_lengths = true;
  const std::vector<std::string> rest = ParseCommandLine(
      def, argc, argv, nullptr,
      [&](int code, const char* arg, std::string* error) { return HandleSimOption(&o, code, arg, error); });
  if (!rest.empty()) UsageError("sim", "unexpected argument '" + rest[0] + "'");
  if (o.config.mode == sim::LinkMode::kTcpConnect && o.config.remote_port == 0) {
    UsageError("sim", "--connect needs HOST:PORT");
  }
  if (o.gen_channel >= static_cast<int>(o.config.channels)) UsageError("sim", "--gen-channel beyond --channels");
  if (o.config.echo && o.config.bus) UsageError("sim", "--echo excludes --bus and --wire");
  for (const auto& [a, b] : o.config.wires) {
    if (std::max(a, b) >= o.config.channels) UsageError("sim", "--wire names a channel beyond --channels");
  }
  if (o.traffic.remote && o.traffic.fd) UsageError("sim", "--gen-remote and --gen-fd exclude each other");
  if (!o.traffic.fd && o.traffic.len_max > 8) UsageError("sim", "--gen-len above 8 needs --gen-fd");

  if (o.count > 1 && o.config.mode != sim::LinkMode::kTcpListen) UsageError("sim", "--count is for --listen");
  if (o.count > 1 && o.config.local_port != 0 && o.config.local_port + o.count - 1 > 65535) {
    UsageError("sim", "--count: the ports run past 65535");
  }

  InstallStopSignals();
  // Many gateways in one process (fleet measurements): each its own Gateway,
  // every input line to all of them.
  std::vector<std::unique_ptr<sim::Gateway>> gateways;
  for (uint32_t i = 0; i < o.count; ++i) {
    sim::GatewayConfig config = o.config;
    if (config.local_port != 0) config.local_port = static_cast<uint16_t>(config.local_port + i);
    auto g = std::make_unique<sim::Gateway>(config);
    g->SetIdentity(o.identity);
    if (o.verbose) g->SetLog([](const std::string& line) { Print("sim: " + line); });
    if (!g->Start()) {
      std::fprintf(stderr, "tarnlink sim: cannot start the gateway (%s port %u in use or not permitted?)\n",
                   config.bind_address.c_str(), config.local_port);
      return kExitFailure;
    }
    Print("tarnlink sim: gateway " + LinkText(*g, config) + ", " + std::to_string(g->channels()) +
          (g->channels() == 1 ? " channel" : " channels") + ", " + RoutingText(config));
    gateways.push_back(std::move(g));
  }
  for (auto& g : gateways) {
    if (!o.gen) break;
    for (uint32_t ch = 0; ch < g->channels(); ++ch) {
      if (o.gen_channel >= 0 && static_cast<uint32_t>(o.gen_channel) != ch) continue;
      sim::TrafficSpec t = o.traffic;
      t.channel = static_cast<uint8_t>(ch);
      g->StartTraffic(t);
    }
  }

  const auto start = std::chrono::steady_clock::now();
  bool read_stdin = true;
  std::string pending;
  while (!StopRequested()) {
    if (o.duration_s > 0 && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(o.duration_s)) {
      break;
    }
    if (!read_stdin) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    char buf[1024];
    const int n = ReadInput(buf, sizeof(buf), 50);
    if (n == 0) continue;
    if (n < 0) {
      read_stdin = false;  // end of input: run on until stopped
      continue;
    }
    pending.append(buf, static_cast<size_t>(n));
    bool quit = false;
    for (size_t nl; !quit && (nl = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      for (auto& g : gateways) quit = !Command(*g, o, line) || quit;
    }
    if (quit) break;
  }
  for (auto& g : gateways) {
    g->StopAllTraffic();
    g->Stop();
    Print("tarnlink sim: " + g->Summary());
  }
  return kExitOk;
}

}  // namespace tarnlink::cli
