#include "tools/serve/mqtt_options.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <cstdlib>
#include <fstream>

#include "tools/cli/options.h"

namespace tarnlink::serve {
namespace {

bool Fail(std::string* error, const std::string& why) {
  if (error != nullptr) *error = why;
  return false;
}

}  // namespace

const char kMqttUsage[] =
    "MQTT (frames of every gateway to a broker, and frames to send from it):\n"
    "  --mqtt URL            mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883, TLS)\n"
    "  --mqtt-cafile FILE    mqtts: the certificate authority that signed the broker's certificate\n"
    "  --mqtt-auth FILE      the login: a first line USER:PASSWORD, in a file only its owner reads;\n"
    "                        else TARNLINK_MQTT_USER and TARNLINK_MQTT_PASSWORD; never on the command line\n"
    "  --mqtt-prefix P       topic prefix (default tarnlink): P/NAME/chN/rx, P/NAME/chN/tx,\n"
    "                        P/NAME/status (retained online/offline), P/NAME/stats, P/NAME/errors\n"
    "  --mqtt-format F       candump (the lines of 'tarnlink dump -L') or json (docs/mqtt.md)\n"
    "  --mqtt-qos Q          0 or 1 (default 0)\n"
    "  --mqtt-buffer MB      batches held while the broker is away, all gateways together\n"
    "                        (default 64); beyond it the oldest are dropped and counted\n"
    "  --mqtt-stats S        publish the driver's counters every S seconds (default 10, 0 = never)\n"
    "  --read-only           (as above) also: P/NAME/chN/tx is not subscribed\n";

bool ValidTopicPrefix(std::string_view prefix) {
  if (prefix.empty() || prefix.size() > 200 || prefix.front() == '/' || prefix.back() == '/') return false;
  for (char c : prefix) {
    if (c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return prefix.find("//") == std::string_view::npos;
}

bool ParseMqttUrl(std::string_view url, MqttOptions* out, std::string* error) {
  MqttOptions o = *out;
  if (url.substr(0, 7) == "mqtt://") {
    o.tls = false;
    o.port = 1883;
    url.remove_prefix(7);
  } else if (url.substr(0, 8) == "mqtts://") {
    o.tls = true;
    o.port = 8883;
    url.remove_prefix(8);
  } else {
    return Fail(error, "'" + std::string(url) + "' is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
  }
  if (!url.empty() && url.back() == '/') url.remove_suffix(1);
  const size_t colon = url.rfind(':');
  std::string_view host = url.substr(0, colon);
  if (colon != std::string_view::npos) {
    uint64_t v = 0;
    if (!cli::ParseUnsigned(url.substr(colon + 1), 65535, &v) || v == 0) {
      return Fail(error, "'" + std::string(url.substr(colon + 1)) + "' is not a port number");
    }
    o.port = static_cast<uint16_t>(v);
  }
  if (host.empty()) return Fail(error, "no broker host in the URL");
  for (char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!ok) return Fail(error, "'" + std::string(host) + "' is not a host name or IPv4 address");
  }
  o.host = std::string(host);
  o.enabled = true;
  *out = o;
  return true;
}

bool ReadMqttAuthFile(const std::string& path, MqttOptions* out, std::string* error) {
#if !defined(_WIN32)
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(error, "cannot read " + path);
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    return Fail(error, path + " may be read by others: chmod 600 it");
  }
#endif
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return Fail(error, "cannot read " + path);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return Fail(error, path + ": the first line is not USER:PASSWORD");
  out->user = line.substr(0, colon);
  out->password = line.substr(colon + 1);
  return true;
}

void ReadMqttAuthEnvironment(MqttOptions* out) {
  const char* user = std::getenv("TARNLINK_MQTT_USER");
  const char* password = std::getenv("TARNLINK_MQTT_PASSWORD");
  if (user != nullptr && *user != '\0') {
    out->user = user;
    out->password = password != nullptr ? password : "";
  }
}

}  // namespace tarnlink::serve
