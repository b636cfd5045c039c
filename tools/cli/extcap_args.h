// The command line Wireshark gives its extcap program, read into a request.
#ifndef TARNLINK_TOOLS_CLI_EXTCAP_ARGS_H_
#define TARNLINK_TOOLS_CLI_EXTCAP_ARGS_H_

#include <string>

namespace tarnlink::cli {

struct ExtcapRequest {
  bool interfaces = false, dlts = false, config = false, capture = false, help = false;
  std::string interface, fifo, host, port, local_port, type, channels, time;
  bool udp = false, server = false;
};

// Options as --opt value or --opt=value; ones we do not know are passed over,
// as Wireshark adds its own (--extcap-version, --extcap-capture-filter, ...).
// False, with the reason in *error, when a valued option has no value.
bool ParseExtcapArgs(int argc, const char* const* argv, ExtcapRequest* r, std::string* error);

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_EXTCAP_ARGS_H_
