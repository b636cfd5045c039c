// A --gateways file of any bytes: a list of gateways or a reason, never more.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/serve/gateway_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<tarnlink::serve::GatewayEntry> list;
  std::string error;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!tarnlink::serve::ParseGatewayLines(text, &list, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (!tarnlink::serve::FinishGatewayList(&list, &error)) return 0;
  for (const auto& g : list) {
    if (!tarnlink::serve::ValidGatewayName(g.name) || g.connect.index > 255) std::abort();
  }
  return 0;
}
