// tarnlink info: what the gateway says about itself.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/driver.h"
#include "tools/cli/traffic.h"

namespace tarnlink::cli {
namespace {

constexpr char kUsage[] =
    "Usage: tarnlink info [options]\n"
    "\n"
    "Prints the device information (model, serial number, versions, channels), the\n"
    "answers to the four device queries, each channel's size/remain figure and, in\n"
    "server mode, the gateways connected to us.\n"
    "\n"
    "Options:\n"
    "  -q          device information only (no queries)\n";

// The text of a fixed-size field that is terminated only when shorter.
std::string FieldText(const char* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len] != '\0') ++len;
  return std::string(p, len);
}

bool Query(const Session& s, uint32_t key, std::string* text) {
  std::vector<char> buf(1024);
  for (int attempt = 0; attempt < 2; ++attempt) {
    VELA_TEXT_READ read{};
    read.text = buf.data();
    read.size = static_cast<uint32_t>(buf.size());
    if (s.driver().GetReference(s.type(), s.index(), 0, key, &read) != 1) return false;
    if (read.needed <= buf.size()) {
      *text = FieldText(buf.data(), buf.size());
      return true;
    }
    buf.resize(read.needed);  // the answer was longer; ask again with room for it
  }
  return false;
}

// Answers are JSON with CR LF breaks: shown on one line.
std::string OneLine(const std::string& text) {
  std::string s;
  bool space = false;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\t') {
      space = !s.empty();
      continue;
    }
    if (space && c != ' ') s += ' ';
    space = false;
    s += c;
  }
  return s;
}

}  // namespace

int RunInfo(int argc, char** argv) {
  CommandDef def;
  def.name = "info";
  def.usage = kUsage;
  def.short_options = "q";
  ConnectOptions connect;
  bool brief = false;
  const std::vector<std::string> rest =
      ParseCommandLine(def, argc, argv, &connect, [&](int code, const char*, std::string*) {
        if (code != 'q') return false;
        brief = true;
        return true;
      });
  if (!rest.empty()) UsageError("info", "unexpected argument '" + rest[0] + "'");

  InstallStopSignals();
  std::unique_ptr<Driver> driver = Driver::Load(connect);
  if (!driver) return kExitFailure;
  std::unique_ptr<Session> session = Session::Open(*driver, connect, {0});
  if (!session) return kExitFailure;

  VELA_DEVICE_INFO info{};
  if (driver->GetDeviceInf(session->device(), &info) != 1) {
    std::fprintf(stderr, "tarnlink: the gateway at %s did not answer the device information request\n",
                 connect.Describe().c_str());
    return kExitFailure;
  }
  std::printf("Gateway     %s, device type 0x%02X index %u\n", connect.Describe().c_str(), session->type(),
              session->index());
  std::printf("Model       %s\n", FieldText(info.model, sizeof(info.model)).c_str());
  std::printf("Serial      %s\n", FieldText(info.serial, sizeof(info.serial)).c_str());
  std::printf("Firmware    %s\n", VersionText(info.fw_version).c_str());
  std::printf("Hardware    %s\n", VersionText(info.hw_version).c_str());
  std::printf("Driver      %s (interface %s)\n", VersionText(info.driver_version).c_str(),
              VersionText(info.interface_version).c_str());
  std::printf("Channels    %u\n", info.channel_count);
  if (brief) return kExitOk;

  for (uint32_t q = 0; q < 4; ++q) {
    std::string text;
    const bool ok = Query(*session, VELA_REF_DEVICE_QUERY_1 + q, &text);
    std::printf("Query %u     %s\n", q + 1, ok ? OneLine(text).c_str() : "(no answer)");
  }
  for (uint32_t ch = 0; ch < session->channel_count(); ++ch) {
    uint32_t remain = 0;
    if (session->GetU32(ch, VELA_REF_SIZE_REMAIN, &remain)) {
      std::printf("%-11s remain %u\n", ChannelName(ch).c_str(), remain);
    } else {
      std::printf("%-11s remain (no answer)\n", ChannelName(ch).c_str());
    }
  }
  if (connect.server) {
    uint32_t count = 0;
    session->GetU32(0, VELA_REF_CLIENT_COUNT, &count);
    std::printf("Clients     %u\n", count);
    for (uint32_t i = 0; i < count; ++i) {
      VELA_CLIENT client{};
      client.index = static_cast<int32_t>(i);
      if (driver->GetReference(session->type(), session->index(), 0, VELA_REF_CLIENT_INFO, &client) != 1) break;
      std::printf("  #%u        %s:%u (socket %u)\n", i, FieldText(client.ip, sizeof(client.ip)).c_str(), client.port,
                  client.socket);
    }
  }
  return kExitOk;
}

}  // namespace tarnlink::cli
