// tarnlink serve: one process holds the gateway, or a fleet of named ones,
// and serves their channels to any number of socketcand clients (python-can's
// socketcand interface, SavvyCAN, Kayak) and to an MQTT broker.
#if !defined(_WIN32)
#include <signal.h>
#include <time.h>
#endif

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/driver.h"
#include "tools/cli/stats.h"
#include "tools/serve/fleet.h"
#include "tools/serve/hub.h"
#include "tools/serve/socketcand_server.h"

namespace tarnlink::cli {
namespace {

constexpr char kUsage[] =
    "Usage: tarnlink serve [options] [CHANNEL...]\n"
    "\n"
    "Holds the gateway and serves its channels to any number of socketcand clients\n"
    "(python-can's socketcand interface, SavvyCAN, Kayak) over TCP. Each channel is a\n"
    "bus named as the tool names channels (ch0, ch1, ...). Every client in raw mode\n"
    "gets every frame of its bus; a client that stops reading loses what does not fit\n"
    "its backlog (counted, and reported to it as '< error dropped N frames >') and is\n"
    "disconnected when a write stays unread for the time-out.\n"
    "\n"
    "The socketcand protocol has no authentication: whoever reaches the port can put\n"
    "frames on the bus. The default listens on loopback only; reach it from another\n"
    "machine through an SSH tunnel (ssh -L 29536:127.0.0.1:29536 HOST), or listen on\n"
    "the network with --listen 0.0.0.0:29536 together with --allow on a trusted one.\n"
    "SIGUSR1 prints the driver's counters and per-client counts.\n"
    "\n"
    "Fleets: --gateway NAME=URL (or --gateways FILE) holds many gateways, each with\n"
    "its own name in bus names (NAME.ch0) and topics; a gateway that cannot be reached\n"
    "is tried again in the background and reported, the others run meanwhile. With\n"
    "--mqtt, every channel's frames go to the broker (docs/mqtt.md), and socketcand is\n"
    "served only when --listen is given.\n"
    "\n"
    "Options:\n"
    "  --listen ADDR:PORT    listen here (repeatable; default 127.0.0.1:29536)\n"
    "  --allow CIDR          accept clients from this network only (repeatable,\n"
    "                        e.g. 192.168.1.0/24 or 10.1.2.3); default: any\n"
    "  --read-only           refuse every sending command (send, add, ...)\n"
    "  --max-clients N       at most N clients at once (default 32)\n"
    "  --backlog FRAMES      frames held per client before it loses some (default 4096)\n"
    "  --client-timeout MS   disconnect a client not reading for MS (default 5000)\n"
    "  -t MODE               time stamps: a host time (default), g the gateway's\n"
    "                        stamps mapped onto epoch time\n"
    "  -c LIST               channels to serve, e.g. 0,1 (default all)\n"
    "  --no-beacon           send no discovery beacon\n"
    "  --beacon-to ADDR:PORT where the beacon goes (default 255.255.255.255:42000,\n"
    "                        every 2 s)\n"
    "  --stats SECONDS       print the counters every SECONDS\n"
    "  -q                    no status lines on standard error\n";

enum : int {
  kOptListen = 2000,
  kOptAllow,
  kOptReadOnly,
  kOptMaxClients,
  kOptBacklog,
  kOptClientTimeout,
  kOptNoBeacon,
  kOptBeaconTo,
  kOptStats,
};

// "ADDR:PORT", port 0 allowed (the system picks one).
bool ParseListen(std::string_view text, serve::ListenAddress* out, std::string* error) {
  const size_t colon = text.rfind(':');
  uint64_t port = 0;
  if (colon == std::string_view::npos || colon == 0 || !ParseUnsigned(text.substr(colon + 1), 65535, &port)) {
    *error = "'" + std::string(text) + "' is not ADDR:PORT";
    return false;
  }
  if (!ResolveIpv4(std::string(text.substr(0, colon)), &out->ip)) {
    *error = "cannot resolve '" + std::string(text.substr(0, colon)) + "' to an IPv4 address";
    return false;
  }
  out->port = static_cast<uint16_t>(port);
  return true;
}

void PrintReport(const serve::Hub& hub, const serve::SocketcandServer& server) {
  for (const auto& g : hub.gateways()) {
    VELA_STATS st{};
    if (!g->ReadStats(&st)) continue;
    std::printf(
        "serve: gateway %s: packets CAN %s, CAN FD %s, bytes %s, skipped %s, bad checksums %s, "
        "connections lost %s, send failures %s\n",
        g->session().options().Describe().c_str(), Grouped(st.packets_can).c_str(), Grouped(st.packets_canfd).c_str(),
        Grouped(st.bytes_received).c_str(), Grouped(st.bytes_skipped).c_str(), Grouped(st.bad_checksums).c_str(),
        Grouped(st.connections_lost).c_str(), Grouped(st.send_failures).c_str());
    for (uint32_t ch : g->channels()) {
      if (ch >= VELA_STATS_CHANNELS) continue;
      const VELA_CHANNEL_STATS& c = st.channel[ch];
      std::printf("serve: %s: frames CAN %s, CAN FD %s, error frames %s, dropped at the queue limit %s\n",
                  g->BusName(ch).c_str(), Grouped(c.frames_can).c_str(), Grouped(c.frames_canfd).c_str(),
                  Grouped(c.error_frames).c_str(), Grouped(c.dropped_can + c.dropped_canfd).c_str());
    }
  }
  std::fputs(server.Report().c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int RunServe(int argc, char** argv) {
#if !defined(_WIN32)
  // SIGUSR1 is taken by sigtimedwait below: blocked before any thread starts,
  // so every thread inherits the mask and none is interrupted by it.
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
#endif
  CommandDef def;
  def.name = "serve";
  def.usage = std::string(kUsage) + serve::kFleetUsage + "\n" + serve::kMqttUsage + "\n" + serve::kGatewayUrlUsage;
  def.short_options = "t:c:q";
  def.long_options = {{"listen", required_argument, nullptr, kOptListen},
                      {"allow", required_argument, nullptr, kOptAllow},
                      {"read-only", no_argument, nullptr, kOptReadOnly},
                      {"max-clients", required_argument, nullptr, kOptMaxClients},
                      {"backlog", required_argument, nullptr, kOptBacklog},
                      {"client-timeout", required_argument, nullptr, kOptClientTimeout},
                      {"no-beacon", no_argument, nullptr, kOptNoBeacon},
                      {"beacon-to", required_argument, nullptr, kOptBeaconTo},
                      {"stats", required_argument, nullptr, kOptStats}};
  serve::AppendFleetOptions(&def.long_options);
  serve::FleetOptions fleet;
  serve::ServerOptions so;
  ConnectOptions connect;
  std::string channel_text;
  double stats_s = 0;
  bool quiet = false;
  std::vector<std::string> positional =
      ParseCommandLine(def, argc, argv, &connect, [&](int code, const char* arg, std::string* error) {
        uint64_t v = 0;
        bool ok = true;
        if (serve::HandleFleetOption(&fleet, code, arg, &ok, error)) return ok;
        switch (code) {
          case kOptListen: {
            serve::ListenAddress a;
            if (!ParseListen(arg, &a, error)) return false;
            so.listen.push_back(a);
            return true;
          }
          case kOptAllow: {
            serve::Cidr c;
            if (!serve::ParseCidr(arg, &c)) {
              *error = std::string("--allow: '") + arg + "' is not an IPv4 network (10.0.0.0/8, 192.168.1.7)";
              return false;
            }
            so.allow.push_back(c);
            return true;
          }
          case kOptReadOnly:
            so.read_only = true;
            fleet.mqtt.read_only = true;
            return true;
          case kOptMaxClients:
            if (!ParseUnsigned(arg, 100000, &v) || v == 0) {
              *error = std::string("--max-clients: '") + arg + "' is not a count";
              return false;
            }
            so.max_clients = v;
            return true;
          case kOptBacklog:
            if (!ParseUnsigned(arg, 10000000, &v) || v == 0) {
              *error = std::string("--backlog: '") + arg + "' is not a frame count";
              return false;
            }
            so.backlog_frames = v;
            return true;
          case kOptClientTimeout:
            if (!ParseUnsigned(arg, 3600000, &v) || v < 10) {
              *error = std::string("--client-timeout: '") + arg + "' is not a time in ms (at least 10)";
              return false;
            }
            so.client_timeout_ms = static_cast<int>(v);
            return true;
          case kOptNoBeacon:
            so.beacon = false;
            return true;
          case kOptBeaconTo:
            if (!ParseListen(arg, &so.beacon_to, error) || so.beacon_to.port == 0) {
              if (error->empty()) *error = "--beacon-to: port 0";
              return false;
            }
            return true;
          case kOptStats:
            if (!ParseDouble(arg, 0.01, 86400, &stats_s)) {
              *error = std::string("--stats: '") + arg + "' is not a time in seconds";
              return false;
            }
            return true;
          case 't':
            if (std::string(arg) != "a" && std::string(arg) != "g") {
              *error = std::string("-t: '") + arg + "' (a host time, g gateway time)";
              return false;
            }
            so.time_source = arg[0] == 'g' ? serve::TimeSource::kGateway : serve::TimeSource::kHost;
            return true;
          case 'c':
            channel_text += (channel_text.empty() ? "" : ",") + std::string(arg);
            return true;
          case 'q':
            quiet = true;
            return true;
          default:
            return false;
        }
      });
  for (const std::string& p : positional) channel_text += (channel_text.empty() ? "" : ",") + p;
  std::vector<uint32_t> channels;
  if (!channel_text.empty()) {
    std::string error;
    if (!ParseChannelList(channel_text, ChannelsOfType(connect.device_type()), &channels, &error)) {
      UsageError("serve", error);
    }
  }

  std::string error;
  if (!serve::FinishFleetOptions(&fleet, &error)) UsageError("serve", error);
  if (!fleet.gateways.empty() && !channels.empty()) UsageError("serve", "with --gateway, channels go in its URL");
  if (!fleet.gateways.empty() && (connect.host_given || connect.udp || connect.server)) {
    UsageError("serve", "--gateway and the connection options exclude each other: URL holds them");
  }
  // A fleet bridged to a broker serves socketcand only when asked to.
  const bool socketcand = !fleet.mqtt.enabled || !so.listen.empty();

  InstallStopSignals();
  serve::Hub hub;
  if (fleet.gateways.empty()) {
    if (!hub.AddGateway("", connect, channels, &error)) {
      if (StopRequested()) return kExitOk;
      std::fprintf(stderr, "tarnlink serve: %s\n", error.c_str());
      return kExitFailure;
    }
  } else if (!serve::AddFleetGateways(&hub, fleet, &error)) {
    std::fprintf(stderr, "tarnlink serve: %s\n", error.c_str());
    return kExitFailure;
  }
  serve::SocketcandServer server(hub, so);
  if (socketcand && !server.Listen(&error)) {
    std::fprintf(stderr, "tarnlink serve: %s\n", error.c_str());
    return kExitFailure;
  }
  serve::MqttConsumer mqtt(hub, fleet.mqtt);
  if (fleet.mqtt.enabled) {
    if (!mqtt.Start(&error)) {
      std::fprintf(stderr, "tarnlink serve: %s\n", error.c_str());
      return kExitFailure;
    }
    hub.AddConsumer(&mqtt);
    if (!quiet) {
      std::fprintf(stderr, "tarnlink serve: %zu gateway%s to mqtt%s://%s:%u\n", hub.gateways().size(),
                   hub.gateways().size() == 1 ? "" : "s", fleet.mqtt.tls ? "s" : "", fleet.mqtt.host.c_str(),
                   fleet.mqtt.port);
    }
  }
  if (socketcand) hub.AddConsumer(&server);
  hub.Start();
  if (socketcand) server.Start();
  std::string buses;
  for (const std::string& b : hub.BusNames()) buses += " " + b;
  for (const std::string& a : server.Addresses()) {
    std::printf("tarnlink serve: listening on %s (socketcand; buses%s)\n", a.c_str(), buses.c_str());
  }
  std::fflush(stdout);
  if (!quiet) {
    for (const serve::ListenAddress& a : server.options().listen) {
      if (a.ip.rfind("127.", 0) != 0 && server.options().allow.empty()) {
        std::fprintf(stderr,
                     "tarnlink serve: %s is reachable from the network and the protocol has no authentication: "
                     "anyone who reaches it can send onto the bus (limit it with --allow, or --read-only)\n",
                     a.ip.c_str());
      }
    }
  }

  const auto period = std::chrono::duration<double>(stats_s);
  auto next_stats = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::milliseconds>(period);
  int code = kExitOk;
  while (!StopRequested()) {
    const std::string fatal = mqtt.Fatal();
    if (!fatal.empty()) {
      std::fprintf(stderr, "tarnlink serve: %s\n", fatal.c_str());
      code = kExitFailure;
      break;
    }
#if !defined(_WIN32)
    timespec slice{0, 100 * 1000 * 1000};
    if (sigtimedwait(&usr1, nullptr, &slice) == SIGUSR1) PrintReport(hub, server);
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
#endif
    if (stats_s > 0 && std::chrono::steady_clock::now() >= next_stats) {
      next_stats += std::chrono::duration_cast<std::chrono::milliseconds>(period);
      PrintReport(hub, server);
    }
  }
  hub.Stop();
  server.Stop();
  mqtt.Stop();
  if (!quiet) std::fputs("tarnlink serve: stopped\n", stderr);
  return code;
}

}  // namespace tarnlink::cli
