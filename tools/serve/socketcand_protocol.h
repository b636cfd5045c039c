// socketcand's ASCII protocol as pure functions: splitting a client's byte
// stream into `< ... >` tokens, parsing a token into a command, and
// formatting what the server sends. No sockets here: the fuzz target and
// the unit tests drive these directly.
#ifndef TARNLINK_TOOLS_SERVE_SOCKETCAND_PROTOCOL_H_
#define TARNLINK_TOOLS_SERVE_SOCKETCAND_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/cli/frame_text.h"

namespace tarnlink::serve::socketcand {

using cli::Frame;

// Longer than any valid command (fdsend or filter with 64 bytes and generous
// spacing): a client that sends more without a '>' is closed.
constexpr size_t kMaxToken = 512;
constexpr size_t kMaxBusName = 16;

enum class Scan {
  kToken,     // *token is the text between '<' and '>'
  kNeedMore,  // no whole token yet (whitespace before it is consumed)
  kGarbage,   // bytes outside a token, or a '<' inside one: consumed, answer an error
  kOverlong,  // no '>' within kMaxToken bytes: close the connection
};
// Looks at the start of bytes. *consumed is how many bytes the caller drops.
Scan NextToken(std::string_view bytes, std::string_view* token, size_t* consumed);

enum class Verb {
  kOpen,
  kRawMode,
  kBcmMode,
  kControlMode,
  kIsoTpMode,
  kEcho,
  kSend,  // send, sendrtr and fdsend: the frame says which
  kAdd,
  kUpdate,
  kDelete,
  kSubscribe,
  kFilter,
  kUnsubscribe,
  kStatistics,
};

struct Command {
  Verb verb = Verb::kEcho;
  std::string_view bus;      // open: points into the parsed token
  Frame frame;               // send, add, update; filter: the mask bytes
  uint32_t id = 0;           // delete, subscribe, filter, unsubscribe: identifier word with VELA_ID_EFF_FLAG
  uint64_t interval_us = 0;  // add, subscribe, filter
  uint32_t ms = 0;           // statistics
};

enum class Parse { kOk, kUnknown, kInvalid };
// One token (without its angle brackets). kUnknown: no such command;
// kInvalid: a known command with arguments that do not fit it.
Parse ParseCommand(std::string_view token, Command* out);

// An identifier as the protocol writes it: eight hex digits (or a value
// above 7FF) is extended. Returns the identifier word; false when it is
// not hex or too large.
bool ParseId(std::string_view text, uint32_t* id_word);

// Server messages, appended to *out. Frames, error frames and statistics
// begin with a space: python-can 4.1 drops the byte after the last whole
// message it read, which is then that space rather than the next message's
// '<' (it would lose the frame a read cut in two).
void AppendFrame(const Frame& frame, uint64_t epoch_us, std::string* out);
void AppendStat(uint64_t rx_bytes, uint64_t rx_frames, uint64_t tx_bytes, uint64_t tx_frames, std::string* out);

}  // namespace tarnlink::serve::socketcand

#endif  // TARNLINK_TOOLS_SERVE_SOCKETCAND_PROTOCOL_H_
