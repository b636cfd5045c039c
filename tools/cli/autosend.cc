// tarnlink autosend: the gateway's timed transmissions.
//
// The driver's host-side list lives only as long as this process, so every
// action that changes entries also sends them before it ends: `add` fills
// the list and sends it as one batch, `stop` rebuilds the running entries
// from the gateway's read-back and sends them disabled, frame and period kept.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/cli/commands.h"
#include "tools/cli/driver.h"
#include "tools/cli/traffic.h"

namespace tarnlink::cli {
namespace {

constexpr char kUsage[] =
    "Usage: tarnlink autosend ACTION [options] [FRAME...]\n"
    "\n"
    "Timed transmissions held and sent by the gateway itself.\n"
    "\n"
    "Actions:\n"
    "  add -p PERIOD FRAME...   put entries in the driver's list and send the list\n"
    "                           to the gateway in one batch (up to 10 per packet)\n"
    "  send -p PERIOD FRAME...  send each entry to the gateway on its own, now\n"
    "  stop [-i INDEX]...       disable the channel's running entries (all, or the given ones)\n"
    "  list                     the enabled entries the gateway holds\n"
    "Frames in cansend syntax (123#DEADBEEF, 123##1AABB, 12345678#R).\n"
    "\n"
    "Options:\n"
    "  -c CH       channel (default 0)\n"
    "  -p PERIOD   period in the gateway's unit (ms for the simulator), 1-65535\n"
    "  -i INDEX    index of the first entry (0-31; default 0, then one per frame);\n"
    "              for stop: an index to disable (repeatable)\n"
    "  -x          add or send the entries disabled\n"
    "  -a          stop: without reading the gateway's list, send every index (all 32, or\n"
    "              the given ones) disabled with an empty frame\n";

constexpr uint32_t kIndexes = 32;

struct AutoSendOptions {
  std::string channel_text = "0";
  uint32_t period = 0;
  std::vector<uint32_t> indexes;
  bool disabled = false;
  bool all = false;
};

VELA_CAN_AUTOSEND CanEntry(const Frame& f, uint32_t index, uint32_t period, bool enable) {
  VELA_CAN_AUTOSEND e{};
  e.enable = enable ? 1 : 0;
  e.index = static_cast<uint16_t>(index);
  e.period = period;
  e.frame = ToTransmit(f);
  return e;
}

VELA_CANFD_AUTOSEND FdEntry(const Frame& f, uint32_t index, uint32_t period, bool enable) {
  VELA_CANFD_AUTOSEND e{};
  e.enable = enable ? 1 : 0;
  e.index = static_cast<uint16_t>(index);
  e.period = period;
  e.frame = ToTransmitFd(f);
  return e;
}

// The gateway's enabled entries of one channel; false when it did not answer.
bool ReadBack(const Session& s, uint32_t ch, std::vector<VELA_CAN_AUTOSEND>* can,
              std::vector<VELA_CANFD_AUTOSEND>* fd) {
  const Driver& d = s.driver();
  uint32_t n_can = 0;
  uint32_t n_fd = 0;
  if (!s.GetU32(ch, VELA_REF_AUTOSEND_COUNT, &n_can) || !s.GetU32(ch, VELA_REF_AUTOSEND_COUNT_FD, &n_fd)) {
    return false;
  }
  can->assign(n_can, VELA_CAN_AUTOSEND{});
  fd->assign(n_fd, VELA_CANFD_AUTOSEND{});
  if (n_can > 0 && d.GetReference(s.type(), s.index(), ch, VELA_REF_AUTOSEND_LIST, can->data()) != 1) return false;
  if (n_fd > 0 && d.GetReference(s.type(), s.index(), ch, VELA_REF_AUTOSEND_LIST_FD, fd->data()) != 1) return false;
  return true;
}

int Add(const Session& s, uint32_t ch, const AutoSendOptions& o, const std::vector<Frame>& frames, bool batch) {
  const Driver& d = s.driver();
  const uint32_t first = o.indexes.empty() ? 0 : o.indexes[0];
  for (size_t i = 0; i < frames.size(); ++i) {
    const uint32_t index = first + static_cast<uint32_t>(i);
    uint32_t ok;
    if (frames[i].fd) {
      const VELA_CANFD_AUTOSEND e = FdEntry(frames[i], index, o.period, !o.disabled);
      ok = d.SetReference(s.type(), s.index(), ch, batch ? VELA_REF_AUTOSEND_ADD_FD : VELA_REF_AUTOSEND_ONE_FD, &e);
    } else {
      const VELA_CAN_AUTOSEND e = CanEntry(frames[i], index, o.period, !o.disabled);
      ok = d.SetReference(s.type(), s.index(), ch, batch ? VELA_REF_AUTOSEND_ADD : VELA_REF_AUTOSEND_ONE, &e);
    }
    if (ok != 1) {
      std::fprintf(stderr, "tarnlink: the driver refused timed entry %u (connection to the gateway lost?)\n", index);
      return kExitFailure;
    }
  }
  if (batch && d.SetReference(s.type(), s.index(), ch, VELA_REF_AUTOSEND_SEND, nullptr) != 1) {
    std::fprintf(stderr, "tarnlink: sending the timed entries failed (connection to the gateway lost?)\n");
    return kExitFailure;
  }
  if (!s.options().udp) SyncWithGateway(s);
  for (size_t i = 0; i < frames.size(); ++i) {
    std::printf("%s #%-2u %s  period %u  %s\n", ChannelName(ch).c_str(), first + static_cast<unsigned>(i),
                o.disabled ? "disabled" : "enabled ", o.period, LogText(frames[i]).c_str());
  }
  return kExitOk;
}

// Entries to disable, as the driver's list takes them; false on refusal.
bool Disable(const Session& s, uint32_t ch, uint32_t index, const VELA_CAN_AUTOSEND* can,
             const VELA_CANFD_AUTOSEND* fd) {
  const Driver& d = s.driver();
  if (fd != nullptr) {
    const VELA_CANFD_AUTOSEND off = FdEntry(FromTransmit(fd->frame), index, fd->period, false);
    return d.SetReference(s.type(), s.index(), ch, VELA_REF_AUTOSEND_ADD_FD, &off) == 1;
  }
  const VELA_CAN_AUTOSEND off = can != nullptr ? CanEntry(FromTransmit(can->frame), index, can->period, false)
                                               : CanEntry(Frame{}, index, 0, false);
  return d.SetReference(s.type(), s.index(), ch, VELA_REF_AUTOSEND_ADD, &off) == 1;
}

int Stop(const Session& s, uint32_t ch, const AutoSendOptions& o) {
  const Driver& d = s.driver();
  // The read-back lists every enabled entry of the channel, whatever the
  // gaps between their indexes, so the running ones are known exactly and
  // only they are sent, disabled, with the frame and period they have.
  std::vector<VELA_CAN_AUTOSEND> can;
  std::vector<VELA_CANFD_AUTOSEND> fd;
  if (!o.all && !ReadBack(s, ch, &can, &fd)) {
    std::fprintf(stderr, "tarnlink: the gateway did not answer the timed-entry read-back (-a stops without it)\n");
    return kExitFailure;
  }
  std::vector<uint32_t> targets = o.indexes;
  if (targets.empty() && o.all) {
    for (uint32_t i = 0; i < kIndexes; ++i) targets.push_back(i);
  }
  if (targets.empty()) {
    for (const VELA_CAN_AUTOSEND& e : can) targets.push_back(e.index);
    for (const VELA_CANFD_AUTOSEND& e : fd) targets.push_back(e.index);
  }
  std::sort(targets.begin(), targets.end());
  targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
  uint32_t sent = 0;
  std::vector<uint32_t> idle;
  for (uint32_t index : targets) {
    const auto c = std::find_if(can.begin(), can.end(), [&](const VELA_CAN_AUTOSEND& e) { return e.index == index; });
    const auto f = std::find_if(fd.begin(), fd.end(), [&](const VELA_CANFD_AUTOSEND& e) { return e.index == index; });
    const bool running = c != can.end() || f != fd.end();
    if (!running && !o.all) {
      idle.push_back(index);  // disabled or unused already: its slot is left as it is
      continue;
    }
    if (!Disable(s, ch, index, c != can.end() ? &*c : nullptr, f != fd.end() ? &*f : nullptr)) return kExitFailure;
    ++sent;
  }
  // Sends the list with every entry disabled, then empties it; an empty list sends nothing.
  if (d.SetReference(s.type(), s.index(), ch, VELA_REF_AUTOSEND_CLEAR, nullptr) != 1) {
    std::fprintf(stderr, "tarnlink: sending the stop failed (connection to the gateway lost?)\n");
    return kExitFailure;
  }
  if (sent > 0 && !s.options().udp) SyncWithGateway(s);
  if (o.all) {
    std::printf("%s: %u %s sent disabled\n", ChannelName(ch).c_str(), sent, sent == 1 ? "index" : "indexes");
  } else if (sent == 0 && idle.empty()) {
    std::printf("%s: no enabled timed entries\n", ChannelName(ch).c_str());
  } else {
    std::printf("%s: %u timed %s disabled\n", ChannelName(ch).c_str(), sent, sent == 1 ? "entry" : "entries");
  }
  for (uint32_t index : idle) std::printf("%s #%-2u was not running\n", ChannelName(ch).c_str(), index);
  return kExitOk;
}

std::string Line(uint32_t ch, uint32_t index, uint32_t period, const Frame& f) {
  char head[48];
  std::snprintf(head, sizeof(head), "%s #%-2u period %-5u ", ChannelName(ch).c_str(), index, period);
  return head + LogText(f);
}

int List(const Session& s, uint32_t ch) {
  std::vector<VELA_CAN_AUTOSEND> can;
  std::vector<VELA_CANFD_AUTOSEND> fd;
  if (!ReadBack(s, ch, &can, &fd)) {
    std::fprintf(stderr, "tarnlink: the gateway did not answer the timed-entry read-back\n");
    return kExitFailure;
  }
  if (can.empty() && fd.empty()) std::printf("%s: no enabled timed entries\n", ChannelName(ch).c_str());
  // CAN and CAN FD entries share the channel's indexes: listed by index.
  std::vector<std::pair<uint32_t, std::string>> lines;
  for (const VELA_CAN_AUTOSEND& e : can)
    lines.emplace_back(e.index, Line(ch, e.index, e.period, FromTransmit(e.frame)));
  for (const VELA_CANFD_AUTOSEND& e : fd)
    lines.emplace_back(e.index, Line(ch, e.index, e.period, FromTransmit(e.frame)));
  std::stable_sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [index, line] : lines) std::printf("%s\n", line.c_str());
  return kExitOk;
}

}  // namespace

int RunAutoSend(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    if (argc >= 2) std::fputs((std::string("\n") + kConnectUsage).c_str(), stdout);
    return argc < 2 ? kExitUsage : kExitOk;
  }
  const std::string action = argv[1];
  if (action != "add" && action != "send" && action != "stop" && action != "list") {
    UsageError("autosend", "unknown action '" + action + "' (add, send, stop or list)");
  }
  CommandDef def;
  def.name = "autosend " + action;
  def.usage = kUsage;
  def.short_options = "c:p:i:xa";
  ConnectOptions connect;
  AutoSendOptions o;
  const std::vector<std::string> texts =
      ParseCommandLine(def, argc - 1, argv + 1, &connect, [&](int code, const char* arg, std::string* error) {
        uint64_t v = 0;
        switch (code) {
          case 'c':
            o.channel_text = arg;
            return true;
          case 'p':
            if (!ParseUnsigned(arg, 65535, &v) || v == 0) {
              *error = std::string("-p: '") + arg + "' is not a period (1-65535)";
              return false;
            }
            o.period = static_cast<uint32_t>(v);
            return true;
          case 'i':
            if (!ParseUnsigned(arg, kIndexes - 1, &v)) {
              *error = std::string("-i: '") + arg + "' is not an index (0-31)";
              return false;
            }
            o.indexes.push_back(static_cast<uint32_t>(v));
            return true;
          case 'x':
            o.disabled = true;
            return true;
          case 'a':
            o.all = true;
            return true;
          default:
            return false;
        }
      });
  std::vector<uint32_t> channel;
  std::string error;
  if (!ParseChannelList(o.channel_text, ChannelsOfType(connect.device_type()), &channel, &error) ||
      channel.size() != 1) {
    UsageError(def.name, error.empty() ? "-c takes one channel" : error);
  }
  std::vector<Frame> frames;
  if (action == "add" || action == "send") {
    if (texts.empty()) UsageError(def.name, "no frame given");
    if (o.period == 0) UsageError(def.name, "-p PERIOD is required");
    if (o.indexes.size() > 1) UsageError(def.name, "-i gives the first index once");
    const uint32_t first = o.indexes.empty() ? 0 : o.indexes[0];
    if (first + texts.size() > kIndexes) UsageError(def.name, "more entries than indexes 0-31 hold");
    for (const std::string& t : texts) {
      Frame f;
      if (!ParseFrame(t, &f, &error)) UsageError(def.name, "bad frame '" + t + "': " + error);
      if (f.error()) UsageError(def.name, "bad frame '" + t + "': error frames are received, not sent");
      frames.push_back(f);
    }
  } else if (!texts.empty()) {
    UsageError(def.name, "unexpected argument '" + texts[0] + "'");
  }

  InstallStopSignals();
  std::unique_ptr<Driver> driver = Driver::Load(connect);
  if (!driver) return kExitFailure;
  std::unique_ptr<Session> session = Session::Open(*driver, connect, channel);
  if (!session) return kExitFailure;
  if (action == "add") return Add(*session, channel[0], o, frames, true);
  if (action == "send") return Add(*session, channel[0], o, frames, false);
  if (action == "stop") return Stop(*session, channel[0], o);
  return List(*session, channel[0]);
}

}  // namespace tarnlink::cli
