// Fleets for `tarnlink serve`: named gateways (--gateway, --gateways) and
// the MQTT bridge as a consumer of the hub. The serve command adds these
// options to its own and calls the pieces below.
#ifndef TARNLINK_TOOLS_SERVE_FLEET_H_
#define TARNLINK_TOOLS_SERVE_FLEET_H_

#include <getopt.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/serve/gateway_url.h"
#include "tools/serve/hub.h"
#include "tools/serve/mqtt_options.h"

namespace tarnlink::serve {

struct FleetOptions {
  std::vector<GatewayEntry> gateways;  // empty: the command's own connection options
  MqttOptions mqtt;
  std::string auth_file;
};

// The usage text of the options below.
extern const char kFleetUsage[];
// Appends the long options (codes from 4000).
void AppendFleetOptions(std::vector<option>* longs);
// True when `code` is one of them; *ok then says whether its value was good.
bool HandleFleetOption(FleetOptions* o, int code, const char* arg, bool* ok, std::string* error);
// After the command line: names checked, indexes given, hosts resolved, the
// login read; false, with a reason, on anything wrong.
bool FinishFleetOptions(FleetOptions* o, std::string* error);
// Every named gateway into the hub; those unreachable now are opened later
// by their receive threads.
bool AddFleetGateways(Hub* hub, const FleetOptions& o, std::string* error);

class MqttBridge;

// The MQTT bridge on the hub: each gateway's frames to the broker, frames
// from it to the gateway. Without libmosquitto, Start says so.
class MqttConsumer : public FrameConsumer {
 public:
  MqttConsumer(const Hub& hub, const MqttOptions& options);
  ~MqttConsumer() override;
  MqttConsumer(const MqttConsumer&) = delete;
  MqttConsumer& operator=(const MqttConsumer&) = delete;

  bool Start(std::string* error);
  void Stop();
  // Non-empty when the broker refused us for good: exit code 1.
  std::string Fatal() const;
  void OnFrames(const Gateway& gateway, uint32_t channel, const Received* frames, size_t count) override;

 private:
  std::unique_ptr<MqttBridge> bridge_;
  std::map<const Gateway*, size_t> index_;  // fixed before Start
};

}  // namespace tarnlink::serve

#endif  // TARNLINK_TOOLS_SERVE_FLEET_H_
