// The two MQTT payloads of `tarnlink serve` (docs/mqtt.md, version 1):
// `candump`, the lines `tarnlink dump -L` writes, and `json`, one object per
// batch. Received frames go out in either; frames to send come in in either,
// read whole before any is sent.
#ifndef TARNLINK_TOOLS_SERVE_PAYLOAD_H_
#define TARNLINK_TOOLS_SERVE_PAYLOAD_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/arrival_order.h"
#include "tools/cli/frame_text.h"

namespace tarnlink::serve {

// The version docs/mqtt.md describes; the json payload carries it.
constexpr int kPayloadVersion = 1;
// A message to send larger than this, or with more frames, is refused whole.
constexpr size_t kMaxTxPayload = 1u << 20;
constexpr size_t kMaxTxFrames = 10000;

enum class PayloadFormat { kCandump, kJson };

// "candump" / "json"; false for anything else.
bool ParsePayloadFormat(std::string_view text, PayloadFormat* out);

// One batch of received frames of one gateway channel.
struct RxBatch {
  std::string_view gateway;
  uint32_t channel = 0;
  uint64_t seq = 0;      // consecutive per channel, from 0
  uint64_t dropped = 0;  // frames lost since the previous batch (queue limit, buffer)
  const cli::Received* frames = nullptr;
  size_t count = 0;
};

// candump: one `dump -L` line per frame, each ending in '\n', host time stamps.
std::string EncodeCandump(const RxBatch& batch);
// json: {"version":1,"gateway":..,"channel":..,"seq":..,"dropped":..,"frames":[..]}.
std::string EncodeJson(const RxBatch& batch);
std::string Encode(PayloadFormat format, const RxBatch& batch);

// Frames to send from a message in either payload (json when its first
// non-blank byte is '{'). All or nothing: on any fault `out` is left empty
// and `error` says what and where. Error frames are refused: a gateway sends
// none on request.
bool DecodeTx(std::string_view payload, std::vector<cli::Frame>* out, std::string* error);

}  // namespace tarnlink::serve

#endif  // TARNLINK_TOOLS_SERVE_PAYLOAD_H_
