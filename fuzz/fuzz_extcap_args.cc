// Runs the extcap program's argument reader on arbitrary command lines (the
// input split at NUL bytes). A request it reads, written back as --opt=value
// arguments, reads as the same request.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/cli/extcap_args.h"

namespace {

using tarnlink::cli::ExtcapRequest;

bool Parse(const std::vector<std::string>& args, ExtcapRequest* r, std::string* error) {
  std::vector<const char*> argv = {"tarnlink-extcap"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return tarnlink::cli::ParseExtcapArgs(static_cast<int>(argv.size() - 1), argv.data(), r, error);
}

std::vector<std::string> Written(const ExtcapRequest& r) {
  std::vector<std::string> out;
  const std::pair<const char*, const std::string*> valued[] = {
      {"--extcap-interface", &r.interface}, {"--fifo", &r.fifo}, {"--host", &r.host},         {"--port", &r.port},
      {"--local-port", &r.local_port},      {"--type", &r.type}, {"--channels", &r.channels}, {"--time", &r.time}};
  for (const auto& [name, value] : valued) out.push_back(std::string(name) + "=" + *value);
  const std::pair<const char*, bool> flags[] = {{"--extcap-interfaces", r.interfaces},
                                                {"--extcap-dlts", r.dlts},
                                                {"--extcap-config", r.config},
                                                {"--capture", r.capture},
                                                {"--udp", r.udp},
                                                {"--server", r.server},
                                                {"--help", r.help}};
  for (const auto& [name, on] : flags) out.push_back(std::string(name) + (on ? "=true" : "=false"));
  return out;
}

bool Same(const ExtcapRequest& a, const ExtcapRequest& b) {
  return a.interfaces == b.interfaces && a.dlts == b.dlts && a.config == b.config && a.capture == b.capture &&
         a.help == b.help && a.interface == b.interface && a.fifo == b.fifo && a.host == b.host && a.port == b.port &&
         a.local_port == b.local_port && a.type == b.type && a.channels == b.channels && a.time == b.time &&
         a.udp == b.udp && a.server == b.server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size && args.size() < 64; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }
  ExtcapRequest r;
  std::string error;
  if (!Parse(args, &r, &error)) {
    CHECK(error.size() > 14 && error.compare(error.size() - 14, 14, " needs a value") == 0);
    return 0;
  }
  CHECK(error.empty());
  ExtcapRequest again;
  CHECK(Parse(Written(r), &again, &error));
  CHECK(Same(r, again));
  return 0;
}
