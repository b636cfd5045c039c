#include "tools/cli/options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transport/socket.h"

namespace tarnlink::cli {
namespace {

// Long-only codes of the connection options, above every character.
enum : int {
  kOptUdp = 1000,
  kOptServer,
  kOptHost,
  kOptPort,
  kOptLocalPort,
  kOptType,
  kOptIndex,
  kOptLib,
  kOptWait,
};

const option kConnectLong[] = {
    {"udp", no_argument, nullptr, kOptUdp},
    {"server", no_argument, nullptr, kOptServer},
    {"host", required_argument, nullptr, kOptHost},
    {"port", required_argument, nullptr, kOptPort},
    {"local-port", required_argument, nullptr, kOptLocalPort},
    {"type", required_argument, nullptr, kOptType},
    {"index", required_argument, nullptr, kOptIndex},
    {"lib", required_argument, nullptr, kOptLib},
    {"wait", required_argument, nullptr, kOptWait},
};

bool HandleConnect(int code, const char* arg, ConnectOptions* c, std::string* error) {
  uint64_t v = 0;
  switch (code) {
    case kOptUdp:
      c->udp = true;
      return true;
    case kOptServer:
      c->server = true;
      return true;
    case kOptHost:
      if (!ResolveIpv4(arg, &c->host)) {
        *error = std::string("--host: cannot resolve '") + arg + "' to an IPv4 address";
        return false;
      }
      c->host_given = true;
      return true;
    case kOptPort:
      if (!ParseUnsigned(arg, 65535, &v) || v == 0) {
        *error = std::string("--port: '") + arg + "' is not a port number (1-65535)";
        return false;
      }
      c->port = static_cast<uint16_t>(v);
      return true;
    case kOptLocalPort:
      if (!ParseUnsigned(arg, 65535, &v)) {
        *error = std::string("--local-port: '") + arg + "' is not a port number (0-65535)";
        return false;
      }
      c->local_port = static_cast<uint16_t>(v);
      return true;
    case kOptType:
      if (!ParseUnsigned(arg, 0xFFFF, &v) || v == 0) {
        *error = std::string("--type: '") + arg + "' is not a device type (1-0xFFFF)";
        return false;
      }
      c->type = static_cast<uint32_t>(v);
      return true;
    case kOptIndex:
      if (!ParseUnsigned(arg, 255, &v)) {
        *error = std::string("--index: '") + arg + "' is not a device index (0-255)";
        return false;
      }
      c->index = static_cast<uint32_t>(v);
      return true;
    case kOptLib:
      c->lib = arg;
      return true;
    case kOptWait:
      if (!ParseUnsigned(arg, 3600000, &v)) {
        *error = std::string("--wait: '") + arg + "' is not a time in ms";
        return false;
      }
      c->wait_ms = static_cast<int>(v);
      return true;
    default:
      return false;
  }
}

}  // namespace

const char kConnectUsage[] =
    "Connection options:\n"
    "  --host ADDR        gateway address (default 127.0.0.1)\n"
    "  --port PORT        gateway port (default 8000)\n"
    "  --udp              use libtarnlink_udp (default libtarnlink_tcp)\n"
    "  --server           TCP server mode: the gateway connects to us on --local-port\n"
    "  --local-port PORT  local port (default 8000 in server mode, else any)\n"
    "  --wait MS          server mode: wait this long for the gateway (default 10000)\n"
    "  --type T           device type (default 0x30 TCP, 0x31 UDP)\n"
    "  --index N          device index (default 0)\n"
    "  --lib PATH         driver library, or its folder, to load (also TARNLINK_LIB)\n";

std::string ConnectOptions::Describe() const {
  if (server) return "local port " + std::to_string(effective_local_port()) + " (TCP server)";
  std::string s = host + ":" + std::to_string(port) + (udp ? " over UDP" : " over TCP");
  return s;
}

void UsageError(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "tarnlink%s%s: %s (see 'tarnlink%s%s --help')\n", command.empty() ? "" : " ", command.c_str(),
               message.c_str(), command.empty() ? "" : " ", command.c_str());
  std::exit(kExitUsage);
}

std::vector<std::string> ParseCommandLine(const CommandDef& def, int argc, char** argv, ConnectOptions* connect,
                                          const OptionHandler& handler) {
  std::vector<option> longs = def.long_options;
  if (def.connects) longs.insert(longs.end(), std::begin(kConnectLong), std::end(kConnectLong));
  longs.push_back({"help", no_argument, nullptr, 'h'});
  longs.push_back({nullptr, 0, nullptr, 0});
  // Leading ':' reports a missing argument as ':'; opterr 0 keeps getopt quiet.
  const std::string shorts = ":" + def.short_options + "h";
  opterr = 0;
  optind = 0;  // full re-initialisation in glibc
  for (;;) {
    const int code = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr);
    if (code == -1) break;
    const char* seen = optind > 0 && optind <= argc ? argv[optind - 1] : "?";
    if (code == 'h') {
      std::fputs(def.usage.c_str(), stdout);
      if (def.connects) {
        std::fputs("\n", stdout);
        std::fputs(kConnectUsage, stdout);
      }
      std::exit(kExitOk);
    }
    if (code == '?') {
      if (optopt != 0) UsageError(def.name, std::string("unknown option '-") + static_cast<char>(optopt) + "'");
      UsageError(def.name, std::string("unknown option '") + seen + "'");
    }
    if (code == ':') {
      if (optopt != 0 && optopt < 256) {
        UsageError(def.name, std::string("option '-") + static_cast<char>(optopt) + "' needs a value");
      }
      UsageError(def.name, std::string("option '") + seen + "' needs a value");
    }
    std::string error;
    bool ok;
    if (code >= kOptUdp && code <= kOptWait && def.connects) {
      ok = HandleConnect(code, optarg, connect, &error);
    } else {
      ok = handler(code, optarg, &error);
    }
    if (!ok) UsageError(def.name, error.empty() ? std::string("bad option '") + seen + "'" : error);
  }
  if (connect != nullptr && connect->server && connect->udp) UsageError(def.name, "--server is a TCP mode, not --udp");
  return std::vector<std::string>(argv + optind, argv + argc);
}

bool ParseUnsigned(std::string_view text, uint64_t max, uint64_t* out) {
  if (text.empty() || text.size() > 24) return false;
  const std::string s(text);
  if (s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (errno != 0 || end == s.c_str() || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

bool ParseDouble(std::string_view text, double min, double max, double* out) {
  if (text.empty() || text.size() > 32) return false;
  const std::string s(text);
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(s.c_str(), &end);
  if (errno != 0 || end == s.c_str() || *end != '\0' || !std::isfinite(v) || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseChannelList(std::string_view text, uint32_t limit, std::vector<uint32_t>* out, std::string* error) {
  std::vector<uint32_t> list;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view item = text.substr(start, comma - start);
    std::string_view digits = item;
    if (digits.size() > 2 && digits.substr(0, 2) == "ch") digits.remove_prefix(2);
    uint64_t v = 0;
    if (!ParseUnsigned(digits, 31, &v)) {
      *error = "'" + std::string(item) + "' is not a channel number";
      return false;
    }
    if (v >= limit) {
      *error = "channel " + std::to_string(v) + " does not exist (the device has " + std::to_string(limit) +
               (limit == 1 ? " channel)" : " channels)");
      return false;
    }
    for (uint32_t c : list) {
      if (c == v) {
        *error = "channel " + std::to_string(v) + " is listed twice";
        return false;
      }
    }
    list.push_back(static_cast<uint32_t>(v));
    start = comma + 1;
  }
  *out = list;
  return true;
}

bool ResolveIpv4(const std::string& name, std::string* dotted) {
  char ip[32];
  if (!ResolveIPv4(name.c_str(), ip)) return false;
  *dotted = ip;
  return true;
}

bool ParseHostPort(std::string_view text, std::string* host, uint16_t* port, std::string* error) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) {
    *error = "'" + std::string(text) + "' is not HOST:PORT";
    return false;
  }
  uint64_t v = 0;
  if (!ParseUnsigned(text.substr(colon + 1), 65535, &v) || v == 0) {
    *error = "'" + std::string(text.substr(colon + 1)) + "' is not a port number";
    return false;
  }
  if (!ResolveIpv4(std::string(text.substr(0, colon)), host)) {
    *error = "cannot resolve '" + std::string(text.substr(0, colon)) + "' to an IPv4 address";
    return false;
  }
  *port = static_cast<uint16_t>(v);
  return true;
}

}  // namespace tarnlink::cli
