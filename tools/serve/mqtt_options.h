// The MQTT side of `tarnlink serve`: its options, the broker URL and where
// the login comes from (a file or the environment, never the command line).
#ifndef TARNLINK_TOOLS_SERVE_MQTT_OPTIONS_H_
#define TARNLINK_TOOLS_SERVE_MQTT_OPTIONS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/serve/payload.h"

namespace tarnlink::serve {

struct MqttOptions {
  bool enabled = false;
  std::string host;
  uint16_t port = 1883;
  bool tls = false;
  std::string cafile;
  std::string user;  // empty: anonymous
  std::string password;
  std::string prefix = "tarnlink";
  PayloadFormat format = PayloadFormat::kCandump;
  int qos = 0;
  size_t buffer_bytes = size_t{64} << 20;
  bool read_only = false;
  int stats_seconds = 10;
  // A batch leaves when its first frame is this old or it holds this many.
  int batch_ms = 10;
  size_t batch_frames = 200;
};

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883).
bool ParseMqttUrl(std::string_view url, MqttOptions* out, std::string* error);
// A topic prefix: not empty, no '+', '#', leading or trailing '/'.
bool ValidTopicPrefix(std::string_view prefix);
// The login from a file: its first line USER:PASSWORD (the password may hold
// ':'); a file others can read is refused.
bool ReadMqttAuthFile(const std::string& path, MqttOptions* out, std::string* error);
// The login from TARNLINK_MQTT_USER and TARNLINK_MQTT_PASSWORD, when set.
void ReadMqttAuthEnvironment(MqttOptions* out);

extern const char kMqttUsage[];

}  // namespace tarnlink::serve

#endif  // TARNLINK_TOOLS_SERVE_MQTT_OPTIONS_H_
