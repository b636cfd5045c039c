// Runs what play reads, a candump -L log or a capture told apart by its
// first bytes, on arbitrary input. Every frame is one cansend's syntax
// writes back as itself; an input cut one byte short reads as the same
// frames up to the cut.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/cli/frame_input.h"

namespace {

using tarnlink::cli::InputFrame;
using tarnlink::cli::InputStatus;

struct Outcome {
  std::vector<std::string> frames;
  InputStatus end;
};

Outcome Read(const std::string& bytes) {
  std::istringstream in(bytes);
  tarnlink::cli::FileFrameReader reader(in);
  Outcome o;
  InputFrame f;
  for (;;) {
    std::string error;
    o.end = reader.Next(&f, &error);
    if (o.end != InputStatus::kFrame) {
      CHECK((o.end == InputStatus::kEnd) == error.empty());
      CHECK(error.size() < 300);
      return o;
    }
    CHECK(!f.name.empty() && f.name.size() <= 65536);
    const std::string text = tarnlink::cli::LogText(f.frame);
    tarnlink::cli::Frame back;
    std::string why;
    CHECK(tarnlink::cli::ParseFrame(text, &back, &why));
    CHECK(back == f.frame);
    o.frames.push_back(std::string(f.name) + " " + text + " " + std::to_string(f.micros));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const Outcome whole = Read(bytes);
  if (size > 0) {
    const Outcome cut = Read(bytes.substr(0, size - 1));
    // A log's last line may lose a digit and still be a frame, as tshark
    // and canplayer read it: one more, or the last one changed.
    CHECK(cut.frames.size() <= whole.frames.size() + 1);
    for (size_t i = 0; i + 1 < cut.frames.size(); ++i) CHECK(cut.frames[i] == whole.frames[i]);
  }
  return 0;
}
