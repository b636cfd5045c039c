#include "tools/cli/extcap_args.h"

#include <cstring>

namespace tarnlink::cli {

bool ParseExtcapArgs(int argc, const char* const* argv, ExtcapRequest* r, std::string* error) {
  struct Valued {
    const char* name;
    std::string ExtcapRequest::*field;
  };
  const Valued valued[] = {{"--extcap-interface", &ExtcapRequest::interface},
                           {"--fifo", &ExtcapRequest::fifo},
                           {"--host", &ExtcapRequest::host},
                           {"--port", &ExtcapRequest::port},
                           {"--local-port", &ExtcapRequest::local_port},
                           {"--type", &ExtcapRequest::type},
                           {"--channels", &ExtcapRequest::channels},
                           {"--time", &ExtcapRequest::time}};
  struct Flag {
    const char* name;
    bool ExtcapRequest::*field;
  };
  const Flag flags[] = {{"--extcap-interfaces", &ExtcapRequest::interfaces},
                        {"--extcap-dlts", &ExtcapRequest::dlts},
                        {"--extcap-config", &ExtcapRequest::config},
                        {"--capture", &ExtcapRequest::capture},
                        {"--udp", &ExtcapRequest::udp},
                        {"--server", &ExtcapRequest::server},
                        {"--help", &ExtcapRequest::help}};
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    const size_t eq = arg.find('=');
    const bool inline_value = arg.rfind("--", 0) == 0 && eq != std::string::npos;
    if (inline_value) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    bool known = false;
    for (const Valued& v : valued) {
      if (arg != v.name) continue;
      known = true;
      if (!inline_value) {
        if (i + 1 >= argc) {
          *error = arg + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      r->*v.field = value;
    }
    for (const Flag& f : flags) {
      if (arg != f.name) continue;
      known = true;
      bool on = true;
      // A boolean may also come as --udp=true or --udp false.
      if (!inline_value && i + 1 < argc &&
          (std::strcmp(argv[i + 1], "true") == 0 || std::strcmp(argv[i + 1], "false") == 0)) {
        value = argv[++i];
      }
      if (!value.empty()) on = value == "true" || value == "1";
      r->*f.field = on;
    }
    (void)known;
  }
  return true;
}

}  // namespace tarnlink::cli
