#include "tools/serve/gateway_url.h"

#include <map>
#include <set>
#include <utility>

#include "tools/serve/hub.h"

namespace tarnlink::serve {
namespace {

bool Fail(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return false;
}

bool Port(std::string_view text, uint64_t min, uint16_t* out) {
  uint64_t v = 0;
  if (!cli::ParseUnsigned(text, 65535, &v) || v < min) return false;
  *out = static_cast<uint16_t>(v);
  return true;
}

bool Query(std::string_view query, GatewayEntry* g, std::string* channel_text, std::string* error) {
  std::set<std::string> seen;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return Fail(error, "'" + std::string(pair) + "' is not KEY=VALUE");
    const std::string key(pair.substr(0, eq));
    const std::string_view value = pair.substr(eq + 1);
    if (!seen.insert(key).second) return Fail(error, "'" + key + "' given twice");
    uint64_t v = 0;
    if (key == "type") {
      if (!cli::ParseUnsigned(value, 0xFFFF, &v) || v == 0) return Fail(error, "type: not a device type (1-0xFFFF)");
      g->connect.type = static_cast<uint32_t>(v);
    } else if (key == "channels") {
      *channel_text = std::string(value);
      if (channel_text->empty()) return Fail(error, "channels: empty");
    } else if (key == "index") {
      if (!cli::ParseUnsigned(value, 255, &v)) return Fail(error, "index: not a device index (0-255)");
      g->connect.index = static_cast<uint32_t>(v);
      g->index_given = true;
    } else if (key == "local-port") {
      uint16_t p = 0;
      if (!Port(value, 0, &p)) return Fail(error, "local-port: not a port number (0-65535)");
      g->connect.local_port = p;
    } else if (key == "wait") {
      if (!cli::ParseUnsigned(value, 3600000, &v)) return Fail(error, "wait: not a time in ms");
      g->connect.wait_ms = static_cast<int>(v);
    } else {
      return Fail(error, "unknown setting '" + key + "' (type, channels, index, local-port, wait)");
    }
  }
  return true;
}

}  // namespace

const char kGatewayUrlUsage[] =
    "Gateways (--gateway NAME=URL, repeatable, or --gateways FILE with one per line, # comments):\n"
    "  NAME=tcp://HOST:PORT          the gateway listens on HOST:PORT; we connect\n"
    "  NAME=udp://HOST:PORT          datagrams to the gateway at HOST:PORT\n"
    "  NAME=server://[ADDR]:PORT     TCP server: the gateway connects to us on PORT\n"
    "  followed by ?SETTING=VALUE&... of: type=T (device type), channels=0,1 (default all),\n"
    "  index=N (default: the next free one), local-port=P, wait=MS (server: first connection)\n"
    "  NAME: 1 to 11 letters, digits, '_' or '-'; used in topics and bus names (NAME.ch0).\n"
    "  e.g. --gateway bench1=tcp://192.0.2.10:4001?type=0x30&channels=0,1\n";

// The hub's rule (Hub::ValidGatewayName; a test holds them equal), here
// without linking the hub, so the parser is fuzzed alone: the name also
// makes the socketcand bus names.
bool ValidGatewayName(std::string_view name) {
  if (name.empty() || name.size() > kMaxGatewayName) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool ParseGatewayUrl(std::string_view text, GatewayEntry* out, std::string* error) {
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos) return Fail(error, "'" + std::string(text) + "' is not NAME=URL");
  GatewayEntry g;
  g.name = std::string(text.substr(0, eq));
  if (!ValidGatewayName(g.name)) {
    return Fail(error, "'" + g.name + "' is not a gateway name (1 to 11 letters, digits, '_' or '-')");
  }
  std::string_view url = text.substr(eq + 1);
  const std::string where = g.name + ": ";
  const size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return Fail(error, where + "no tcp://, udp:// or server://");
  const std::string_view scheme = url.substr(0, scheme_end);
  url.remove_prefix(scheme_end + 3);
  if (scheme == "udp") {
    g.connect.udp = true;
  } else if (scheme == "server") {
    g.connect.server = true;
  } else if (scheme != "tcp") {
    return Fail(error, where + "unknown scheme '" + std::string(scheme) + "' (tcp, udp or server)");
  }
  const size_t q = url.find('?');
  const std::string_view address = url.substr(0, q);
  const size_t colon = address.rfind(':');
  if (colon == std::string_view::npos) return Fail(error, where + "'" + std::string(address) + "' has no :PORT");
  const std::string_view host = address.substr(0, colon);
  uint16_t port = 0;
  if (!Port(address.substr(colon + 1), 1, &port)) {
    return Fail(error, where + "'" + std::string(address.substr(colon + 1)) + "' is not a port number (1-65535)");
  }
  for (char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!ok) return Fail(error, where + "'" + std::string(host) + "' is not a host name or IPv4 address");
  }
  if (g.connect.server) {
    // The driver's server listens on every address; ADDR is for the reader.
    g.connect.local_port = port;
  } else {
    if (host.empty()) return Fail(error, where + "no host");
    g.connect.host = std::string(host);
    g.connect.host_given = true;
    g.connect.port = port;
  }
  std::string channel_text;
  if (q != std::string_view::npos) {
    std::string why;
    if (!Query(url.substr(q + 1), &g, &channel_text, &why)) return Fail(error, where + why);
  }
  if (!channel_text.empty()) {
    std::string why;
    if (!cli::ParseChannelList(channel_text, cli::ChannelsOfType(g.connect.device_type()), &g.channels, &why)) {
      return Fail(error, where + "channels: " + why);
    }
  }
  *out = std::move(g);
  return true;
}

bool ParseGatewayLines(std::string_view text, std::vector<GatewayEntry>* out, std::string* error) {
  size_t line_no = 0;
  while (!text.empty()) {
    ++line_no;
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    GatewayEntry g;
    std::string why;
    if (!ParseGatewayUrl(line, &g, &why)) return Fail(error, "line " + std::to_string(line_no) + ": " + why);
    out->push_back(std::move(g));
  }
  return true;
}

bool FinishGatewayList(std::vector<GatewayEntry>* list, std::string* error) {
  std::set<std::string> names;
  // (library, type) -> indexes taken
  std::map<std::pair<bool, uint32_t>, std::set<uint32_t>> taken;
  std::set<uint16_t> server_ports;
  for (const GatewayEntry& g : *list) {
    if (!names.insert(g.name).second) return Fail(error, "gateway name '" + g.name + "' given twice");
    if (g.index_given && !taken[{g.connect.udp, g.connect.device_type()}].insert(g.connect.index).second) {
      return Fail(error, g.name + ": index " + std::to_string(g.connect.index) + " of this type is taken");
    }
    if (g.connect.server && !server_ports.insert(g.connect.effective_local_port()).second) {
      return Fail(error, g.name + ": another server gateway listens on port " +
                             std::to_string(g.connect.effective_local_port()));
    }
  }
  for (GatewayEntry& g : *list) {
    if (g.index_given) continue;
    std::set<uint32_t>& used = taken[{g.connect.udp, g.connect.device_type()}];
    uint32_t i = 0;
    while (used.count(i) != 0) ++i;
    if (i > 255) return Fail(error, g.name + ": more than 256 gateways of one type");
    used.insert(i);
    g.connect.index = i;
  }
  return true;
}

bool ResolveGatewayHosts(std::vector<GatewayEntry>* list, std::string* error) {
  for (GatewayEntry& g : *list) {
    if (g.connect.server) continue;
    std::string dotted;
    if (!cli::ResolveIpv4(g.connect.host, &dotted)) {
      return Fail(error, g.name + ": cannot resolve '" + g.connect.host + "' to an IPv4 address");
    }
    g.connect.host = dotted;
  }
  return true;
}

}  // namespace tarnlink::serve
