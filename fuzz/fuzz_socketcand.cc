// The socketcand server's input side on arbitrary bytes: the stream split
// into tokens as a client's reads arrive (cut at an input-chosen point), each
// token parsed. Whatever comes in, the split makes progress and stays in
// bounds, and only a well-formed send command yields a frame, a valid one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "tools/serve/socketcand_protocol.h"

namespace {

using namespace tarnlink::serve::socketcand;

bool StartsWithWord(std::string_view token, std::string_view word) {
  const size_t at = token.find_first_not_of(" \t\r\n");
  return at != std::string_view::npos && token.substr(at, word.size()) == word &&
         (token.size() == at + word.size() ||
          std::string_view(" \t\r\n").find(token[at + word.size()]) != std::string_view::npos);
}

void CheckCommand(std::string_view token) {
  Command c;
  const Parse p = ParseCommand(token, &c);
  if (p != Parse::kOk) return;
  const tarnlink::cli::Frame& f = c.frame;
  if (c.verb == Verb::kSend) {
    CHECK(StartsWithWord(token, "send") || StartsWithWord(token, "sendrtr") || StartsWithWord(token, "fdsend"));
    CHECK(f.len <= (f.fd ? tarnlink::cli::kCanFdMaxLen : tarnlink::cli::kCanMaxLen));
    CHECK(!f.fd || f.len == tarnlink::cli::FdLengthRoundUp(f.len));
    CHECK(!f.error());
    CHECK(f.remote() == StartsWithWord(token, "sendrtr"));
    CHECK(f.identifier() <= (f.extended() ? VELA_ID_MASK : 0x7FFu));
    // What the server would send for it is one whole token again.
    std::string out;
    AppendFrame(f, 1234567, &out);
    std::string_view t;
    size_t used = 0;
    CHECK(NextToken(out, &t, &used) == Scan::kToken && used == out.size());
  }
  if (c.verb == Verb::kOpen) CHECK(!c.bus.empty() && c.bus.size() <= kMaxBusName);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t cut = data[0] % size;  // where the first read ends
  const std::string_view all(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string buffer;
  size_t fed = 0;
  for (int round = 0; round < 2; ++round) {
    const size_t chunk = round == 0 ? std::min(cut, all.size()) : all.size() - fed;
    buffer.append(all.substr(fed, chunk));
    fed += chunk;
    size_t at = 0;
    for (;;) {
      std::string_view token;
      size_t used = 0;
      const Scan s = NextToken(std::string_view(buffer).substr(at), &token, &used);
      CHECK(used <= buffer.size() - at);
      if (s == Scan::kOverlong) {
        buffer.clear();  // the server closes the connection
        at = 0;
        break;
      }
      at += used;
      if (s == Scan::kNeedMore) break;
      CHECK(used > 0);
      if (s == Scan::kToken) {
        CHECK(token.size() < kMaxToken);
        CHECK(token.find('<') == std::string_view::npos && token.find('>') == std::string_view::npos);
        CheckCommand(token);
      }
    }
    buffer.erase(0, at);  // what is left waits for bytes that never come
  }
  return 0;
}
