// Runs cansend's frame syntax (send, autosend, the simulator's input) and
// the candump -L line reader on arbitrary text. What they take is written
// back by LogText / LogLine and read again as the same frame; what they
// refuse leaves the frame untouched and says why.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "tools/cli/frame_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnlink::cli;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  Frame f;
  f.id = 0x55;
  std::string error;
  if (ParseFrame(text, &f, &error)) {
    CHECK(f.extended() || f.error() || f.identifier() <= 0x7FF);
    CHECK(f.len <= (f.fd ? kCanFdMaxLen : kCanMaxLen));
    Frame back;
    CHECK(ParseFrame(LogText(f), &back, &error));
    CHECK(back == f);
    CHECK(!ColumnsLine(f, 0).empty());
  } else {
    CHECK(f.id == 0x55 && !error.empty() && error.size() < 200);
  }

  LogEntry e;
  error.clear();
  if (ParseLogLine(text, &e, &error)) {
    CHECK(e.micros < 1000000 && !e.name.empty());
    LogEntry back;
    CHECK(ParseLogLine(LogLine(e.frame, 7, e.seconds, e.micros), &back, &error));
    CHECK(back.frame == e.frame && back.seconds == e.seconds && back.micros == e.micros && back.name == "ch7");
  } else {
    // What a message quotes of the text is bounded and printable.
    CHECK(!error.empty() && error.size() < 300);
    for (char c : error) CHECK(c >= 0x20 && c < 0x7F);
  }

  const std::string quoted = Quoted(text);
  CHECK(quoted.size() <= 2 + 4 * 40 + 32);
  for (char c : quoted) CHECK(c >= 0x20 && c < 0x7F);
  return 0;
}
