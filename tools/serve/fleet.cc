#include "tools/serve/fleet.h"

#include <fstream>
#include <sstream>

#if defined(TARNLINK_HAVE_MQTT)
#include "tools/serve/mqtt_bridge.h"
#endif

namespace tarnlink::serve {
namespace {

enum : int {
  kOptGateway = 4000,
  kOptGateways,
  kOptMqtt,
  kOptMqttCafile,
  kOptMqttAuth,
  kOptMqttPrefix,
  kOptMqttFormat,
  kOptMqttQos,
  kOptMqttBuffer,
  kOptMqttStats,
};

bool Fail(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

}  // namespace

const char kFleetUsage[] =
    "  --gateway NAME=URL    serve this gateway under NAME (repeatable; instead of the\n"
    "                        connection options); URL as below\n"
    "  --gateways FILE       one NAME=URL per line\n";

void AppendFleetOptions(std::vector<option>* longs) {
  const option mine[] = {
      {"gateway", required_argument, nullptr, kOptGateway},
      {"gateways", required_argument, nullptr, kOptGateways},
      {"mqtt", required_argument, nullptr, kOptMqtt},
      {"mqtt-cafile", required_argument, nullptr, kOptMqttCafile},
      {"mqtt-auth", required_argument, nullptr, kOptMqttAuth},
      {"mqtt-prefix", required_argument, nullptr, kOptMqttPrefix},
      {"mqtt-format", required_argument, nullptr, kOptMqttFormat},
      {"mqtt-qos", required_argument, nullptr, kOptMqttQos},
      {"mqtt-buffer", required_argument, nullptr, kOptMqttBuffer},
      {"mqtt-stats", required_argument, nullptr, kOptMqttStats},
  };
  longs->insert(longs->end(), std::begin(mine), std::end(mine));
}

bool HandleFleetOption(FleetOptions* o, int code, const char* arg, bool* ok, std::string* error) {
  const std::string a = arg != nullptr ? arg : "";
  uint64_t v = 0;
  *ok = true;
  switch (code) {
    case kOptGateway: {
      GatewayEntry g;
      *ok = ParseGatewayUrl(a, &g, error);
      if (*ok) o->gateways.push_back(g);
      if (!*ok) *error = "--gateway: " + *error;
      return true;
    }
    case kOptGateways: {
      std::ifstream in(a);
      std::stringstream text;
      text << in.rdbuf();
      if (!in) {
        *ok = false;
        *error = "--gateways: cannot read " + a;
        return true;
      }
      *ok = ParseGatewayLines(text.str(), &o->gateways, error);
      if (!*ok) *error = "--gateways " + a + ": " + *error;
      return true;
    }
    case kOptMqtt:
      *ok = ParseMqttUrl(a, &o->mqtt, error);
      if (!*ok) *error = "--mqtt: " + *error;
      return true;
    case kOptMqttCafile:
      o->mqtt.cafile = a;
      return true;
    case kOptMqttAuth:
      o->auth_file = a;
      return true;
    case kOptMqttPrefix:
      *ok = ValidTopicPrefix(a);
      if (*ok) o->mqtt.prefix = a;
      if (!*ok) *error = "--mqtt-prefix: '" + a + "' is not a topic prefix (no + or #, no leading or trailing /)";
      return true;
    case kOptMqttFormat:
      *ok = ParsePayloadFormat(a, &o->mqtt.format);
      if (!*ok) *error = "--mqtt-format: candump or json, not '" + a + "'";
      return true;
    case kOptMqttQos:
      *ok = cli::ParseUnsigned(a, 1, &v);
      if (*ok) o->mqtt.qos = static_cast<int>(v);
      if (!*ok) *error = "--mqtt-qos: 0 or 1, not '" + a + "'";
      return true;
    case kOptMqttBuffer:
      *ok = cli::ParseUnsigned(a, 65536, &v) && v > 0;
      if (*ok) o->mqtt.buffer_bytes = static_cast<size_t>(v) << 20;
      if (!*ok) *error = "--mqtt-buffer: '" + a + "' is not a size in MB (1-65536)";
      return true;
    case kOptMqttStats:
      *ok = cli::ParseUnsigned(a, 86400, &v);
      if (*ok) o->mqtt.stats_seconds = static_cast<int>(v);
      if (!*ok) *error = "--mqtt-stats: '" + a + "' is not a time in seconds";
      return true;
    default:
      return false;
  }
}

bool FinishFleetOptions(FleetOptions* o, std::string* error) {
  if (!FinishGatewayList(&o->gateways, error)) return false;
  if (!ResolveGatewayHosts(&o->gateways, error)) return false;
  if (!o->mqtt.enabled) {
    if (!o->auth_file.empty() || !o->mqtt.cafile.empty())
      return Fail(error, "--mqtt-auth and --mqtt-cafile need --mqtt");
    return true;
  }
  if (!o->mqtt.cafile.empty() && !o->mqtt.tls) return Fail(error, "--mqtt-cafile is for mqtts:// brokers");
  if (!o->auth_file.empty()) return ReadMqttAuthFile(o->auth_file, &o->mqtt, error);
  ReadMqttAuthEnvironment(&o->mqtt);
  return true;
}

bool AddFleetGateways(Hub* hub, const FleetOptions& o, std::string* error) {
  for (const GatewayEntry& g : o.gateways) {
    if (!hub->AddGateway(g.name, g.connect, g.channels, error, /*retry=*/true)) return false;
  }
  return true;
}

#if defined(TARNLINK_HAVE_MQTT)

namespace {

// Reachable now: a TCP client connected, a gateway connected to our
// server; UDP has no connection to tell.
bool GatewayUp(const Gateway& g) {
  if (!g.ready()) return false;
  const cli::Session& s = g.session();
  if (s.options().udp) return true;
  uint32_t clients = 0;
  if (s.options().server) return s.GetU32(0, VELA_REF_CLIENT_COUNT, &clients) && clients > 0;
  VELA_STATS st{};
  st.size = sizeof(st);
  return g.ReadStats(&st) && st.connections_made > st.connections_lost;
}

}  // namespace

MqttConsumer::MqttConsumer(const Hub& hub, const MqttOptions& options)
    : bridge_(std::make_unique<MqttBridge>(options)) {
  for (const auto& g : hub.gateways()) {
    const Gateway* gw = g.get();
    BridgeGateway b;
    b.name = gw->name().empty() ? "default" : gw->name();
    b.channels = gw->channels();
    b.send = [gw](uint32_t channel, const cli::Frame& f) { return gw->Send(channel, f); };
    b.read_stats = [gw](VELA_STATS* out) {
      out->size = sizeof(*out);
      return gw->ReadStats(out);
    };
    b.up = [gw] { return GatewayUp(*gw); };
    index_[gw] = bridge_->AddGateway(std::move(b));
  }
}

MqttConsumer::~MqttConsumer() { Stop(); }

bool MqttConsumer::Start(std::string* error) { return bridge_->Start(error); }
void MqttConsumer::Stop() { bridge_->Stop(); }
std::string MqttConsumer::Fatal() const { return bridge_->Fatal(); }

void MqttConsumer::OnFrames(const Gateway& gateway, uint32_t channel, const Received* frames, size_t count) {
  const auto it = index_.find(&gateway);
  if (it != index_.end()) bridge_->OnFrames(it->second, channel, frames, count);
}

#else

class MqttBridge {};

MqttConsumer::MqttConsumer(const Hub&, const MqttOptions&) {}
MqttConsumer::~MqttConsumer() = default;
bool MqttConsumer::Start(std::string* error) {
  *error = "this build has no MQTT client (libmosquitto-dev was missing)";
  return false;
}
void MqttConsumer::Stop() {}
std::string MqttConsumer::Fatal() const { return {}; }
void MqttConsumer::OnFrames(const Gateway&, uint32_t, const Received*, size_t) {}

#endif

}  // namespace tarnlink::serve
