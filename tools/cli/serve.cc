// tarnlink serve: gateways held in one process, bridged to an MQTT broker.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/driver.h"
#include "tools/serve/fleet.h"
#include "tools/serve/hub.h"

namespace tarnlink::cli {
namespace {

constexpr char kUsage[] =
    "Usage: tarnlink serve [options] [CHANNEL...]\n"
    "\n"
    "Holds one gateway (the connection options) or many (--gateway, --gateways) and\n"
    "bridges their channels to an MQTT broker. A gateway that cannot be reached is\n"
    "tried again in the background and reported; the others run meanwhile.\n"
    "\n"
    "Options:\n"
    "  --read-only           send nothing onto any bus\n";

enum : int { kOptReadOnly = 2000 };

}  // namespace

int RunServe(int argc, char** argv) {
  CommandDef def;
  def.name = "serve";
  def.usage = std::string(kUsage) + serve::kFleetUsage + "\n" + serve::kMqttUsage + "\n" + serve::kGatewaySpecUsage;
  def.long_options = {{"read-only", no_argument, nullptr, kOptReadOnly}};
  serve::AppendFleetOptions(&def.long_options);
  serve::FleetOptions fleet;
  ConnectOptions connect;
  const std::vector<std::string> positional =
      ParseCommandLine(def, argc, argv, &connect, [&](int code, const char* arg, std::string* error) {
        bool ok = true;
        if (serve::HandleFleetOption(&fleet, code, arg, &ok, error)) return ok;
        if (code == kOptReadOnly) {
          fleet.mqtt.read_only = true;
          return true;
        }
        return false;
      });
  std::vector<uint32_t> channels;
  if (!positional.empty()) {
    std::string text, error;
    for (const std::string& p : positional) text += (text.empty() ? "" : ",") + p;
    if (!ParseChannelList(text, ChannelsOfType(connect.device_type()), &channels, &error)) UsageError("serve", error);
  }
  std::string error;
  if (!serve::FinishFleetOptions(&fleet, &error)) UsageError("serve", error);
  if (!fleet.mqtt.enabled) UsageError("serve", "nothing to serve to: give --mqtt URL");

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
  serve::MqttConsumer mqtt(hub, fleet.mqtt);
  if (!mqtt.Start(&error)) {
    std::fprintf(stderr, "tarnlink serve: %s\n", error.c_str());
    return kExitFailure;
  }
  hub.AddConsumer(&mqtt);
  hub.Start();
  std::fprintf(stderr, "tarnlink serve: %zu gateway(s) to mqtt%s://%s:%u\n", hub.gateways().size(),
               fleet.mqtt.tls ? "s" : "", fleet.mqtt.host.c_str(), fleet.mqtt.port);
  int code = kExitOk;
  while (!StopRequested()) {
    const std::string fatal = mqtt.Fatal();
    if (!fatal.empty()) {
      std::fprintf(stderr, "tarnlink serve: %s\n", fatal.c_str());
      code = kExitFailure;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  hub.Stop();
  mqtt.Stop();
  return code;
}

}  // namespace tarnlink::cli
