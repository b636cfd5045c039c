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

struct Command {
  const char* name;
  int (*run)(int, char**);
  const char* summary;
};

constexpr Command kCommands[] = {
#define TARNLINK_CLI_ROW(name, function, summary) {#name, tarnlink::cli::function, summary},
    TARNLINK_CLI_COMMANDS(TARNLINK_CLI_ROW)
#undef TARNLINK_CLI_ROW
};

void PrintUsage(std::FILE* out) {
  std::fputs(
      "Usage: tarnlink COMMAND [options]\n"
      "\n"
      "Talk to a CAN / CAN FD to Ethernet gateway through the tarnlink driver, or play one.\n"
      "\n"
      "Commands:\n",
      out);
  for (const Command& c : kCommands) std::fprintf(out, "  %-9s %s\n", c.name, c.summary);
  std::fputs(
      "\n"
      "'tarnlink COMMAND --help' describes each command and the connection options.\n"
      "Exit codes: 0 done, 1 gateway or driver failure, 2 bad usage.\n",
      out);
}

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
    PrintUsage(stderr);
    return tarnlink::cli::kExitUsage;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "help") == 0) {
    PrintUsage(stdout);
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
