// tarnlink send: frames in cansend's syntax.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/driver.h"
#include "tools/cli/traffic.h"

namespace tarnlink::cli {
namespace {

constexpr char kUsage[] =
    "Usage: tarnlink send [options] FRAME...\n"
    "\n"
    "Sends the frames in order, like cansend:\n"
    "  123#DEADBEEF       standard identifier (3 hex digits), up to 8 data bytes\n"
    "  12345678#11.22.33  extended identifier (8 hex digits); '.' between bytes is optional\n"
    "  123#R  123#R4      remote frame, optionally with its length (0-8)\n"
    "  123##1AABBCCDD     CAN FD: '##', a flags digit (1 = bit-rate switch), up to 64 bytes;\n"
    "                     lengths between the CAN FD lengths are padded with zeros\n"
    "\n"
    "Options:\n"
    "  -c CH       channel (default 0)\n"
    "  -g MS       gap between frames in ms (default 0: all at once)\n"
    "  -v          print each frame as it is sent\n";

}  // namespace

int RunSend(int argc, char** argv) {
  CommandDef def;
  def.name = "send";
  def.usage = kUsage;
  def.short_options = "c:g:v";
  ConnectOptions connect;
  std::string channel_text = "0";
  double gap_ms = 0;
  bool verbose = false;
  const std::vector<std::string> texts =
      ParseCommandLine(def, argc, argv, &connect, [&](int code, const char* arg, std::string* error) {
        switch (code) {
          case 'c':
            channel_text = arg;
            return true;
          case 'g':
            if (!ParseDouble(arg, 0, 3600000, &gap_ms)) {
              *error = std::string("-g: '") + arg + "' is not a gap in ms";
              return false;
            }
            return true;
          case 'v':
            verbose = true;
            return true;
          default:
            return false;
        }
      });
  std::vector<uint32_t> channel;
  std::string error;
  if (!ParseChannelList(channel_text, ChannelsOfType(connect.device_type()), &channel, &error) || channel.size() != 1) {
    UsageError("send", error.empty() ? "-c takes one channel" : error);
  }
  if (texts.empty()) UsageError("send", "no frame given");
  std::vector<Frame> frames;
  for (const std::string& t : texts) {
    Frame f;
    if (!ParseFrame(t, &f, &error)) UsageError("send", "bad frame '" + t + "': " + error);
    if (f.error()) UsageError("send", "bad frame '" + t + "': error frames are received, not sent");
    frames.push_back(f);
  }

  InstallStopSignals();
  std::unique_ptr<Driver> driver = Driver::Load(connect);
  if (!driver) return kExitFailure;
  std::unique_ptr<Session> session = Session::Open(*driver, connect, channel, false);
  if (!session) return kExitFailure;

  size_t sent = 0;
  if (gap_ms <= 0 && !verbose) {
    sent = SendFrames(*session, channel[0], frames);
  } else {
    auto next = std::chrono::steady_clock::now();
    for (const Frame& f : frames) {
      if (StopRequested()) break;
      if (!SleepUntilOrStop(next)) break;
      if (SendFrames(*session, channel[0], {f}) != 1) break;
      ++sent;
      if (verbose) std::printf("%s\n", ColumnsLine(f, channel[0]).c_str());
      next += std::chrono::microseconds(static_cast<int64_t>(gap_ms * 1000));
    }
  }
  // Over a stream, what the driver handed over may still sit in the socket;
  // one answered exchange shows the gateway read it before we hang up.
  if (!connect.udp && sent > 0) SyncWithGateway(*session);
  if (sent < frames.size() && !StopRequested()) {
    std::fprintf(stderr, "tarnlink: the driver accepted %zu of %zu frames (connection to the gateway lost?)\n", sent,
                 frames.size());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace tarnlink::cli
