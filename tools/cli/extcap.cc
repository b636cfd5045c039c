// tarnlink-extcap: the tool as a Wireshark extcap program. Wireshark asks for
// the interfaces, their link types and settings, then starts a capture that
// writes pcapng to a fifo; the capture is `tarnlink dump -w FIFO`.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/extcap_args.h"
#include "tools/cli/options.h"

namespace tarnlink::cli {
namespace {

constexpr char kInterface[] = "tarnlink";
constexpr char kVersion[] = "1.0.0";

constexpr char kUsage[] =
    "Usage: tarnlink-extcap --extcap-interfaces\n"
    "       tarnlink-extcap --extcap-interface tarnlink --extcap-dlts | --extcap-config\n"
    "       tarnlink-extcap --extcap-interface tarnlink --capture --fifo PATH [options]\n"
    "\n"
    "Wireshark's extcap program for tarnlink gateways: in Wireshark's extcap folder\n"
    "it adds the interface 'tarnlink', whose capture is 'tarnlink dump -w'.\n"
    "\n"
    "Options (as --opt value or --opt=value):\n"
    "  --host ADDR  --port PORT  --udp  --server  --local-port PORT\n"
    "  --type T  --channels LIST  --time host|gateway\n";

// The settings Wireshark asks for, in the order it shows them.
constexpr char kConfig[] =
    "arg {number=0}{call=--host}{display=Gateway address}{type=string}{default=127.0.0.1}"
    "{tooltip=Dotted IPv4 address of the gateway (or of the multicast group)}\n"
    "arg {number=1}{call=--port}{display=Gateway port}{type=unsigned}{range=1,65535}{default=8000}"
    "{tooltip=Port of the gateway}\n"
    "arg {number=2}{call=--udp}{display=UDP}{type=boolflag}{default=false}"
    "{tooltip=Use the UDP library instead of TCP}\n"
    "arg {number=3}{call=--server}{display=Server mode}{type=boolflag}{default=false}"
    "{tooltip=TCP server: the gateway connects to us on the local port}\n"
    "arg {number=4}{call=--local-port}{display=Local port}{type=unsigned}{range=0,65535}{default=0}"
    "{tooltip=Local port (0: any; 8000 in server mode)}\n"
    "arg {number=5}{call=--type}{display=Device type}{type=selector}{tooltip=The gateway model}\n"
    "value {arg=5}{value=0x30}{display=LINK 2 channels, TCP}{default=true}\n"
    "value {arg=5}{value=0x31}{display=LINK 2 channels, UDP}\n"
    "value {arg=5}{value=0x32}{display=AIR 1 channel, TCP}\n"
    "value {arg=5}{value=0x33}{display=AIR 1 channel, UDP}\n"
    "value {arg=5}{value=0x34}{display=LINK 4 channels, TCP}\n"
    "value {arg=5}{value=0x35}{display=LINK 4 channels, UDP}\n"
    "arg {number=6}{call=--channels}{display=Channels}{type=string}{default=}"
    "{tooltip=Channels to capture, e.g. 0,1 (empty: all)}\n"
    "arg {number=7}{call=--time}{display=Time stamps}{type=selector}"
    "{tooltip=Host time of arrival, or the gateway's time stamp read as microseconds}\n"
    "value {arg=7}{value=host}{display=Host}{default=true}\n"
    "value {arg=7}{value=gateway}{display=Gateway}\n";

bool Fail(const std::string& message) {
  std::fprintf(stderr, "tarnlink-extcap: %s\n", message.c_str());
  return false;
}

}  // namespace

int RunExtcap(int argc, char** argv) {
  ExtcapRequest r;
  std::string error;
  if (!ParseExtcapArgs(argc, argv, &r, &error)) {
    Fail(error);
    return kExitUsage;
  }
  if (r.help || (!r.interfaces && !r.dlts && !r.config && !r.capture)) {
    std::fputs(kUsage, r.help ? stdout : stderr);
    return r.help ? kExitOk : kExitUsage;
  }
  if (r.interfaces) {
    std::printf("extcap {version=%s}{display=tarnlink CAN and CAN FD gateway}\n", kVersion);
    std::printf("interface {value=%s}{display=tarnlink CAN and CAN FD gateway}\n", kInterface);
    return kExitOk;
  }
  if (r.interface != kInterface) {
    Fail(r.interface.empty() ? "no --extcap-interface given" : "unknown interface '" + r.interface + "'");
    return kExitUsage;
  }
  if (r.dlts) {
    std::printf("dlt {number=227}{name=CAN_SOCKETCAN}{display=CAN and CAN FD (SocketCAN)}\n");
    return kExitOk;
  }
  if (r.config) {
    std::fputs(kConfig, stdout);
    return kExitOk;
  }
  if (r.fifo.empty()) {
    Fail("--capture needs --fifo PATH");
    return kExitUsage;
  }
  if (!r.time.empty() && r.time != "host" && r.time != "gateway") {
    Fail("--time is host or gateway, not '" + r.time + "'");
    return kExitUsage;
  }
  std::vector<std::string> args = {"dump", "-q", "-w", r.fifo};
  auto add = [&](const char* option, const std::string& value) {
    if (value.empty()) return;
    args.push_back(option);
    args.push_back(value);
  };
  add("--host", r.host);
  add("--port", r.port);
  if (r.local_port != "0") add("--local-port", r.local_port);
  add("--type", r.type);
  add("-c", r.channels);
  if (r.time == "gateway") add("-t", "g");
  if (r.udp) args.push_back("--udp");
  if (r.server) args.push_back("--server");
  std::vector<char*> dump_argv;
  for (std::string& a : args) dump_argv.push_back(a.data());
  dump_argv.push_back(nullptr);
  return RunDump(static_cast<int>(args.size()), dump_argv.data());
}

}  // namespace tarnlink::cli
