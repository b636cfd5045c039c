// tarnlink: CAN / CAN FD gateway tool in the style of can-utils.
#if !defined(_WIN32)
#include <signal.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/cli/commands.h"
#include "tools/cli/driver.h"
#include "tools/cli/options.h"

namespace {

constexpr char kUsage[] =
    "Usage: tarnlink COMMAND [options]\n"
    "\n"
    "Talk to a CAN / CAN FD to Ethernet gateway through the tarnlink driver, or play one.\n"
    "\n"
    "Commands:\n"
    "  demo      a ten-second session on the built-in simulator (or --host GATEWAY)\n"
    "  dump      print received frames (candump formats; -L for the log format)\n"
    "  send      send frames given in cansend syntax (123#DEADBEEF, 123##1AABB, 123#R)\n"
    "  play      send a candump -L log again, at its pace, like canplayer\n"
    "  gen       generate traffic like cangen, with a rate summary\n"
    "  info      device information, device queries, size/remain, connected gateways\n"
    "  autosend  add, send, stop and list the gateway's timed transmissions\n"
    "  sim       run the gateway simulator for a driver to talk to\n"
    "  stats     the driver's counters: traffic, loss, connections, requests\n"
    "  serve     share gateways: a socketcand server, and an MQTT bridge for fleets\n"
    "\n"
    "'tarnlink COMMAND --help' describes each command and the connection options.\n"
    "Exit codes: 0 done, 1 gateway or driver failure, 2 bad usage.\n";

struct Command {
  const char* name;
  int (*run)(int, char**);
};

constexpr Command kCommands[] = {
    {"demo", tarnlink::cli::RunDemo},   {"dump", tarnlink::cli::RunDump}, {"send", tarnlink::cli::RunSend},
    {"gen", tarnlink::cli::RunGen},     {"info", tarnlink::cli::RunInfo}, {"autosend", tarnlink::cli::RunAutoSend},
    {"sim", tarnlink::cli::RunSim},     {"play", tarnlink::cli::RunPlay}, {"stats", tarnlink::cli::RunStats},
    {"serve", tarnlink::cli::RunServe},
};

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
  // A reader that goes away shows as a failed write, never as a killed
  // process: each command ends as it would at the end of its output.
  signal(SIGPIPE, SIG_IGN);
#endif
  // Installed into Wireshark's extcap folder under this name.
  const char* slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
  if (argc > 0 && std::strcmp(slash != nullptr ? slash + 1 : argv[0], "tarnlink-extcap") == 0) {
    return tarnlink::cli::RunExtcap(argc, argv);
  }
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return tarnlink::cli::kExitUsage;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "help") == 0) {
    std::fputs(kUsage, stdout);
    return tarnlink::cli::kExitOk;
  }
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) != 0) continue;
    const int code = c.run(argc - 1, argv + 1);
    // Output that could not be written (a full disk) is a failure, not a
    // success with nothing to show; a reader that went away is an ordinary end.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
      if (code == tarnlink::cli::kExitOk && !tarnlink::cli::StdoutReaderGone()) {
        std::fprintf(stderr, "tarnlink %s: cannot write the output: %s\n", c.name, std::strerror(errno));
        return tarnlink::cli::kExitFailure;
      }
    }
    return code;
  }
  tarnlink::cli::UsageError("", std::string("unknown command '") + argv[1] + "'");
}
