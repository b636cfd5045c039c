// Runs the answer readers on arbitrary bodies. Input: offset byte, count
// byte (also the channel), then the body.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "protocol/commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnlink;
  if (size < 2) return 0;
  const uint32_t offset = data[0] % 40;
  const uint32_t num = data[1] % 40;
  const uint8_t channel = data[1];
  const std::vector<uint8_t> body(data + 2, data + size);

  const std::string text = AnswerText(body);
  CHECK(text.find('\0') == std::string::npos);
  CHECK(text.size() <= body.size() && (text.empty() || std::memcmp(text.data(), body.data(), text.size()) == 0));

  DeviceInfoAnswer info;
  const bool parsed = ReadDeviceInfoAnswer(body, &info);
  uint32_t remain = 0;
  CHECK(ReadSizeRemainAnswer(body, &remain) == parsed);

  std::vector<AutoSendEntry> out(1);
  const uint32_t found = ReadAutoSendAnswer(body, channel, offset, num, out);
  CHECK(found <= num && out.size() == 1 + found);
  CHECK(parsed || found == 0);
  for (uint32_t k = 0; k < found; ++k) {
    const AutoSendEntry& e = out[1 + k];
    CHECK(e.index == static_cast<uint8_t>(offset + k));
    CHECK(e.reserved == 0 && e.frame.timestamp == 0 && e.frame.channel == channel);
    CHECK(e.frame.len <= 64);
    for (size_t i = e.frame.len; i < 64; ++i) CHECK(e.frame.data[i] == 0);
  }

  if (size >= 10) {
    double value;
    std::memcpy(&value, data + 2, sizeof(value));
    const int64_t t = TruncateJsonNumber(value);
    if (!std::isfinite(value)) {
      CHECK(t == 0);
    } else if (std::fabs(value) < 9.0e18) {
      CHECK(static_cast<double>(t) == std::trunc(value));
    } else {
      CHECK((t > 0) == (value > 0));
    }
  }
  return 0;
}
