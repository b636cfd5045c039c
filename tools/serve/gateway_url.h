// A gateway of `tarnlink serve` in one word: NAME=URL on the command line
// (--gateway) or one per line of a file (--gateways), mapped onto the
// connection options every command takes.
//
//   NAME=tcp://HOST:PORT[?QUERY]       the gateway listens, we connect
//   NAME=udp://HOST:PORT[?QUERY]       datagrams to the gateway
//   NAME=server://[ADDR]:PORT[?QUERY]  TCP server: the gateway connects to PORT
//   QUERY: type=T & channels=0,1 & index=N & local-port=P & wait=MS
#ifndef TARNLINK_TOOLS_SERVE_GATEWAY_URL_H_
#define TARNLINK_TOOLS_SERVE_GATEWAY_URL_H_

#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/options.h"

namespace tarnlink::serve {

struct GatewayEntry {
  std::string name;  // used in topics and bus names: Hub::ValidGatewayName
  cli::ConnectOptions connect;
  bool index_given = false;
  std::vector<uint32_t> channels;  // empty: every channel of the type
};

// The help text of the forms above.
extern const char kGatewayUrlUsage[];

bool ValidGatewayName(std::string_view name);
// "NAME=URL". The host is kept as written (see ResolveGatewayHosts).
bool ParseGatewayUrl(std::string_view text, GatewayEntry* out, std::string* error);
// One NAME=URL per line; blank lines and lines starting with '#' are passed
// over. Appends; errors name the line.
bool ParseGatewayLines(std::string_view text, std::vector<GatewayEntry>* out, std::string* error);
// Across the whole list: names unique, and each device of one library and
// type an index of its own (the driver finds an open device by type and
// index): those without ?index= get the lowest free one.
bool FinishGatewayList(std::vector<GatewayEntry>* list, std::string* error);
// Host names to dotted IPv4 addresses.
bool ResolveGatewayHosts(std::vector<GatewayEntry>* list, std::string* error);

}  // namespace tarnlink::serve

#endif  // TARNLINK_TOOLS_SERVE_GATEWAY_URL_H_
