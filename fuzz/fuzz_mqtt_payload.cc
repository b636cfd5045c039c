// Messages from an MQTT broker to send: any bytes are refused whole or read
// into frames that are sendable and survive the candump text unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/serve/payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tarnlink::cli::Frame;
  std::vector<Frame> frames;
  std::string error;
  const std::string_view payload(reinterpret_cast<const char*>(data), size);
  if (!tarnlink::serve::DecodeTx(payload, &frames, &error)) {
    if (!frames.empty() || error.empty()) std::abort();
    return 0;
  }
  if (frames.empty()) std::abort();
  for (const Frame& f : frames) {
    if (f.error() || (f.fd ? f.len > 64 : f.len > 8)) std::abort();
    Frame back;
    if (!tarnlink::cli::ParseFrame(tarnlink::cli::LogText(f), &back, &error) || back != f) std::abort();
  }
  return 0;
}
