// Command-line parsing shared by the subcommands: the connection options
// every subcommand takes, number parsing, and the exit-code conventions
// (0 done, 1 the gateway or the driver failed, 2 bad usage).
#ifndef TARNLINK_TOOLS_CLI_OPTIONS_H_
#define TARNLINK_TOOLS_CLI_OPTIONS_H_

#include <getopt.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/models.h"
#include "tools/cli/frame_text.h"

namespace tarnlink::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr uint16_t kDefaultGatewayPort = 8000;

struct ConnectOptions {
  bool udp = false;
  bool server = false;  // TCP work mode 1: the gateway connects to us
  std::string host = "127.0.0.1";
  bool host_given = false;
  uint16_t port = kDefaultGatewayPort;
  std::optional<uint16_t> local_port;
  std::optional<uint32_t> type;
  uint32_t index = 0;
  std::string lib;      // empty: TARNLINK_LIB, then the library next to the tool
  int wait_ms = 10000;  // server mode: how long to wait for the gateway to connect

  uint32_t device_type() const { return type ? *type : (udp ? kDefaultUdpType : kDefaultTcpType); }
  uint16_t effective_local_port() const { return local_port ? *local_port : (server ? kDefaultGatewayPort : 0); }
  // "127.0.0.1:8000 over TCP", "local port 8000 (TCP server)", ...
  std::string Describe() const;
};

// One subcommand's command line. Options of the subcommand go to `handler`
// as (code, argument); the connection options and --help are handled here.
struct CommandDef {
  std::string name;           // "dump"
  std::string usage;          // the whole --help text
  std::string short_options;  // getopt syntax, without 'h'
  std::vector<option> long_options;
  bool connects = true;  // takes the connection options
};

using OptionHandler = std::function<bool(int code, const char* arg, std::string* error)>;

// Parses argv (argv[0] is the subcommand name). On --help prints the usage and
// exits 0; on a bad option prints one line and exits 2. Returns the positional
// arguments.
std::vector<std::string> ParseCommandLine(const CommandDef& def, int argc, char** argv, ConnectOptions* connect,
                                          const OptionHandler& handler);

// Prints "tarnlink <command>: <message>" and exits with kExitUsage.
[[noreturn]] void UsageError(const std::string& command, const std::string& message);

// The block of connection options for the usage texts.
extern const char kConnectUsage[];

// Numbers: decimal, or hex with 0x (ParseHex, hex only, is in frame_text.h).
bool ParseUnsigned(std::string_view text, uint64_t max, uint64_t* out);
bool ParseDouble(std::string_view text, double min, double max, double* out);
// "0,1,3" -> {0, 1, 3}; each below limit, no duplicates.
bool ParseChannelList(std::string_view text, uint32_t limit, std::vector<uint32_t>* out, std::string* error);
// "HOST:PORT"; HOST may be a name, resolved to a dotted IPv4 address.
bool ParseHostPort(std::string_view text, std::string* host, uint16_t* port, std::string* error);
// A host name or dotted IPv4 text to dotted IPv4 text.
bool ResolveIpv4(const std::string& name, std::string* dotted);

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_OPTIONS_H_
