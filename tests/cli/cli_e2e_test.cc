// The tarnlink tool as a user runs it: separate processes, real sockets on
// 127.0.0.1, the simulator as the gateway.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/cli/capture_blocks.h"
#include "tests/cli/process.h"
#include "tests/support/sanitized.h"
#include "transport/socket.h"

namespace tarnlink::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

const std::string kTool = TARNLINK_CLI_TOOL;

using tarnlink::test::kSanitized;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

bool Digits(const std::string& s, size_t from, size_t n) {
  if (s.size() < from + n) return false;
  return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from), s.begin() + static_cast<std::ptrdiff_t>(from + n),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// The frame text of candump -L lines ("(0123456789.123456) chN FRAME"),
// without the time stamp.
std::vector<std::string> LogFrames(const std::string& text) {
  std::vector<std::string> frames;
  for (const std::string& l : Lines(text)) {
    const bool stamped = l.size() > 23 && l[0] == '(' && Digits(l, 1, 10) && l[11] == '.' && Digits(l, 12, 6) &&
                         l.compare(18, 4, ") ch") == 0;
    const std::string rest = stamped ? l.substr(20) : std::string();
    const size_t space = rest.find(' ');
    if (stamped && space != std::string::npos && space > 2 && rest.find(' ', space + 1) == std::string::npos &&
        space + 1 < rest.size()) {
      frames.push_back(rest);
    }
  }
  return frames;
}

// The port in "... listening on 127.0.0.1:PORT" or "... UDP 127.0.0.1:PORT".
std::string PortAfter(const std::string& text) {
  for (const char* key : {"listening on 127.0.0.1:", "UDP 127.0.0.1:"}) {
    const size_t at = text.find(key);
    if (at == std::string::npos) continue;
    const size_t from = at + std::strlen(key);
    size_t end = from;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (end > from && end < text.size()) return text.substr(from, end - from);
  }
  return {};
}

double LogSeconds(const std::string& line) { return std::strtod(line.c_str() + 1, nullptr); }

std::vector<std::string> Tool(std::vector<std::string> args) {
  args.insert(args.begin(), kTool);
  return args;
}

int RunTool(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr,
            milliseconds timeout = milliseconds(15000)) {
  Process p(Tool(args));
  p.CloseStdin();
  const int code = p.Wait(timeout);
  if (out != nullptr) *out = p.out();
  if (err != nullptr) *err = p.err();
  return code;
}

// A simulator process; the port it bound is read from its first line.
class Sim {
 public:
  explicit Sim(std::vector<std::string> args) : p_(Tool(Prepend(std::move(args)))) {
    if (p_.WaitForOutput([](const std::string& s) { return !PortAfter(s).empty(); }, milliseconds(5000))) {
      port_ = PortAfter(p_.out());
    }
  }
  Process& process() { return p_; }
  const std::string& port() const { return port_; }
  // SIGINT, then the exit code (the summary is the last line of output).
  int Stop() {
    p_.Signal(SIGINT);
    return p_.Wait(milliseconds(5000));
  }

 private:
  static std::vector<std::string> Prepend(std::vector<std::string> args) {
    args.insert(args.begin(), "sim");
    return args;
  }
  Process p_;
  std::string port_;
};

// Frames in cansend syntax and the candump -L text they come back as on channel 1.
const std::vector<std::string> kSent = {
    "123#DEADBEEF",
    "12345678#11.22.33",
    "000#",
    "7FF#R",
    "1ABCDEF0#R8",
    "456##1AABBCCDD",
    "456##0" + std::string(128, 'F'),
    "18DAF110##1",
    "5A5#0102030405060708",
    "001##1112233445566778899",
};
const std::vector<std::string> kEchoed = {
    "ch1 123#DEADBEEF",
    "ch1 12345678#112233",
    "ch1 000#",
    "ch1 7FF#R",
    "ch1 1ABCDEF0#R8",
    "ch1 456##1AABBCCDD",
    "ch1 456##0" + std::string(128, 'F'),
    "ch1 18DAF110##1",
    "ch1 5A5#0102030405060708",
    // 9 bytes are padded to the CAN FD length 12.
    "ch1 001##1112233445566778899000000",
};

size_t Count(const std::string& s, const std::string& what, size_t from = 0) {
  size_t n = 0;
  for (size_t at = s.find(what, from); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

void SendEchoedFrames(const std::vector<std::string>& link) {
  std::vector<std::string> args = {"send", "-c", "1"};
  args.insert(args.end(), link.begin(), link.end());
  args.insert(args.end(), kSent.begin(), kSent.end());
  std::string err;
  EXPECT_EQ(RunTool(args, nullptr, &err), 0) << err;
}

TEST(CliEndToEnd, SentFramesComeBackThroughDumpByteForByte) {
  // UDP: the simulator sends to the dump's port, so frames the send process
  // transmits reach the other process.
  const uint16_t dump_port = tarnlink::FreePort(false);
  Sim sim({"--udp", "0", "--peer", "127.0.0.1:" + std::to_string(dump_port), "--echo", "-v"});
  ASSERT_FALSE(sim.port().empty()) << sim.process().out();
  Process dump(Tool({"dump", "-L", "--udp", "--port", sim.port(), "--local-port", std::to_string(dump_port), "-n",
                     std::to_string(kEchoed.size()), "-c", "1"}));
  // The dump has announced itself once the simulator answered its device information request.
  ASSERT_TRUE(sim.process().WaitForLine("command 1", milliseconds(5000))) << sim.process().out();
  SendEchoedFrames({"--udp", "--port", sim.port()});
  EXPECT_EQ(dump.Wait(milliseconds(5000)), 0) << dump.err();
  EXPECT_EQ(LogFrames(dump.out()), kEchoed) << dump.out();
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(CliEndToEnd, SentFramesComeBackThroughDumpByteForByteOverTcp) {
  // Two connections to one listening simulator: the echo of what the send
  // process transmits reaches the dump process too, as a bus shows a frame
  // to every node.
  Sim sim({"--listen", "0", "--echo", "-v"});
  ASSERT_FALSE(sim.port().empty()) << sim.process().out();
  Process dump(Tool({"dump", "-L", "--port", sim.port(), "-n", std::to_string(kEchoed.size()), "-c", "1"}));
  ASSERT_TRUE(sim.process().WaitForLine("sim: connected", milliseconds(5000))) << sim.process().out();
  SendEchoedFrames({"--port", sim.port()});
  EXPECT_EQ(dump.Wait(milliseconds(5000)), 0) << dump.err();
  EXPECT_EQ(LogFrames(dump.out()), kEchoed) << dump.out();
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_NE(sim.process().out().find("frames in 10, frames out 10,"), std::string::npos) << sim.process().out();
}

TEST(CliEndToEnd, DumpShowsOnlyWhatItsFiltersPass) {
  Sim sim({"--listen", "0", "--echo", "-v"});
  ASSERT_FALSE(sim.port().empty()) << sim.process().out();
  Process dump(
      Tool({"dump", "-L", "--port", sim.port(), "-c", "1", "-n", "4", "-f", "120:7F0", "-f", "18DAF100:9FFFFF00"}));
  ASSERT_TRUE(sim.process().WaitForLine("sim: connected", milliseconds(5000))) << sim.process().out();
  std::string err;
  EXPECT_EQ(RunTool({"send", "-c", "1", "--port", sim.port(), "100#01", "123#02", "00000124#03", "130#04",
                     "18DAF110##1AA", "7FF#05", "18DB0000##1BB", "12F#06"},
                    nullptr, &err),
            0)
      << err;
  EXPECT_EQ(dump.Wait(milliseconds(5000)), 0) << dump.err();
  // The extended 124 passes 120:7F0 too: that mask holds no flag bits.
  EXPECT_EQ(LogFrames(dump.out()),
            (std::vector<std::string>{"ch1 123#02", "ch1 00000124#03", "ch1 18DAF110##1AA", "ch1 12F#06"}))
      << dump.out();
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(CliEndToEnd, PlayedLogComesBackAsItWasLogged) {
  // What dump -L wrote, played again through the echoing simulator, reads
  // back the same: frames, channels and their order; error frames stay out.
  const std::string log =
      "# recorded earlier\n"
      "(1700000000.000000) ch0 123#DEADBEEF\n"
      "(1700000000.000000) ch0 00000124#01\n"
      "(1700000000.050000) ch1 18DAF110##1AABB\n"
      "(1700000000.060000) ch1 20000004#0004000000000000\n"
      "\n"
      "(1700000000.100000) ch1 7FF#R\n"
      "(1700000000.100000) ch0 5A5#0102\n";
  const std::string path = ::testing::TempDir() + "tarnlink_play_" + std::to_string(getpid()) + ".log";
  {
    std::ofstream f(path);
    f << log;
  }
  Sim sim({"--listen", "0", "--echo", "-v"});
  ASSERT_FALSE(sim.port().empty()) << sim.process().out();
  Process dump(Tool({"dump", "-L", "--port", sim.port(), "-n", "7"}));
  ASSERT_TRUE(sim.process().WaitForLine("sim: connected", milliseconds(5000))) << sim.process().out();
  std::string err;
  EXPECT_EQ(RunTool({"play", "--port", sim.port(), "-I", path}, nullptr, &err), 0) << err;
  EXPECT_NE(err.find("1 error frame left out"), std::string::npos) << err;
  // -t and an assignment: channel 1 of the log only, sent on channel 0.
  EXPECT_EQ(RunTool({"play", "--port", sim.port(), "-I", path, "-t", "ch0=ch1"}, nullptr, &err), 0) << err;
  EXPECT_EQ(dump.Wait(milliseconds(5000)), 0) << dump.err();
  EXPECT_EQ(LogFrames(dump.out()),
            (std::vector<std::string>{"ch0 123#DEADBEEF", "ch0 00000124#01", "ch1 18DAF110##1AABB", "ch1 7FF#R",
                                      "ch0 5A5#0102", "ch0 18DAF110##1AABB", "ch0 7FF#R"}))
      << dump.out();
  EXPECT_EQ(sim.Stop(), 0);
  std::remove(path.c_str());
}

TEST(CliEndToEnd, PlayEndsOnCtrlCInTheMiddleOfALongGap) {
  const std::string path = ::testing::TempDir() + "tarnlink_play_gap_" + std::to_string(getpid()) + ".log";
  {
    std::ofstream f(path);
    f << "(1700000000.000000) ch0 123#01\n(1700003600.000000) ch0 123#02\n";  // an hour apart
  }
  Sim sim({"--listen", "0", "-v"});
  ASSERT_FALSE(sim.port().empty()) << sim.process().out();
  Process play(Tool({"play", "--port", sim.port(), "-I", path}));
  ASSERT_TRUE(sim.process().WaitForLine("rx CanData", milliseconds(5000))) << sim.process().out();
  play.Signal(SIGINT);
  EXPECT_EQ(play.Wait(milliseconds(3000)), 0) << play.err();
  EXPECT_EQ(sim.Stop(), 0);
  std::remove(path.c_str());
}

// The tool with its standard output on /dev/full: a full disk.
int RunToFull(const std::string& args, std::string* err) {
  Process p({"/bin/sh", "-c", "exec " + kTool + " " + args + " >/dev/full"});
  p.CloseStdin();
  const int code = p.Wait(milliseconds(15000));
  *err = p.err();
  return code;
}

TEST(CliEndToEnd, OutputThatCannotBeWrittenIsAFailure) {
  Sim sim({"--listen", "0", "--echo", "-v"});
  ASSERT_FALSE(sim.port().empty()) << sim.process().out();
  std::string err;
  EXPECT_EQ(RunToFull("info -q --port " + sim.port(), &err), 1) << err;
  EXPECT_NE(err.find("cannot write the output"), std::string::npos) << err;
  EXPECT_EQ(RunToFull("send -v --port " + sim.port() + " 123#01", &err), 1) << err;
  EXPECT_NE(err.find("cannot write the output"), std::string::npos) << err;
  EXPECT_EQ(sim.Stop(), 0);
  // A simulator of its own: its first connection is the dump's.
  Sim echo({"--listen", "0", "--echo", "-v"});
  ASSERT_FALSE(echo.port().empty()) << echo.process().out();
  Process dump({"/bin/sh", "-c", "exec " + kTool + " dump -L -n 1 -c 1 --port " + echo.port() + " >/dev/full"});
  ASSERT_TRUE(echo.process().WaitForLine("sim: connected", milliseconds(5000))) << echo.process().out();
  EXPECT_EQ(RunTool({"send", "-c", "1", "--port", echo.port(), "123#02"}, nullptr, &err), 0) << err;
  EXPECT_EQ(dump.Wait(milliseconds(5000)), 1) << dump.err();
  EXPECT_NE(dump.err().find("cannot write the output"), std::string::npos) << dump.err();
  EXPECT_EQ(echo.Stop(), 0);
}

// A reader that goes away (`tarnlink dump | head`) is an ordinary end of
// output for every command: exit 0, no message.
TEST(CliEndToEnd, AClosedOutputPipeIsAnOrdinaryEnd) {
  Sim sim({"--listen", "0", "--gen", "200", "-v"});
  ASSERT_FALSE(sim.port().empty()) << sim.process().out();
  Process dump(Tool({"dump", "-L", "--port", sim.port()}));
  ASSERT_TRUE(dump.WaitForLine("\n", milliseconds(5000))) << dump.err();
  dump.CloseStdout();
  EXPECT_EQ(dump.Wait(milliseconds(5000)), 0) << dump.err();
  EXPECT_EQ(dump.err(), "");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"info", "--port", sim.port()}, {"stats", "-r", "--port", sim.port()}}) {
    Process p(Tool(args));
    p.CloseStdout();
    EXPECT_EQ(p.Wait(milliseconds(10000)), 0) << args[0] << ": " << p.err();
    EXPECT_EQ(p.err(), "") << args[0];
  }
  EXPECT_EQ(sim.Stop(), 0);
}

// TARNLINK_LIB and --lib may name the folder of the libraries, as for the Python package.
TEST(CliEndToEnd, LibraryFolderIsTakenForEitherLibrary) {
  Sim tcp({"--listen", "0"});
  Sim udp({"--udp", "0"});
  ASSERT_FALSE(tcp.port().empty() || udp.port().empty()) << tcp.process().out() << udp.process().out();
  std::string err;
  EXPECT_EQ(RunTool({"info", "-q", "--lib", TARNLINK_CLI_LIB_DIR, "--udp", "--port", udp.port()}, nullptr, &err), 0)
      << err;
  Process p(
      {"/usr/bin/env", std::string("TARNLINK_LIB=") + TARNLINK_CLI_LIB_DIR, kTool, "info", "-q", "--port", tcp.port()});
  p.CloseStdin();
  EXPECT_EQ(p.Wait(milliseconds(15000)), 0) << p.err();
  EXPECT_EQ(tcp.Stop(), 0);
  EXPECT_EQ(udp.Stop(), 0);
}

TEST(CliEndToEnd, PlayNamesANulByteAndStreamsALargeLog) {
  const std::string path = ::testing::TempDir() + "tarnlink_play_big_" + std::to_string(getpid()) + ".log";
  {
    std::ofstream f(path, std::ios::binary);
    f << "(1700000000.000000) ch0 12" << '\0' << "3#01\n";
  }
  std::string err;
  EXPECT_EQ(RunTool({"play", "-I", path}, nullptr, &err), 2) << err;
  EXPECT_NE(err.find("line 1: holds a NUL byte"), std::string::npos) << err;
  // 30 MB of log: held whole, it would cost the process a multiple of that.
  {
    std::ofstream f(path, std::ios::binary);
    const std::string line = "(1700000000.000000) ch0 123##0" + std::string(128, '1') + "\n";
    for (int i = 0; i < 200000; ++i) f << line;
  }
  Sim sim({"--listen", "0"});
  ASSERT_FALSE(sim.port().empty()) << sim.process().out();
  rusage before{};
  getrusage(RUSAGE_CHILDREN, &before);
  EXPECT_EQ(RunTool({"play", "-t", "--port", sim.port(), "-I", path}, nullptr, &err, milliseconds(60000)), 0) << err;
  rusage after{};
  getrusage(RUSAGE_CHILDREN, &after);
  // The largest waited-for child so far: play, unless an earlier one was larger.
  if (!kSanitized && after.ru_maxrss > before.ru_maxrss) {
    EXPECT_LT(after.ru_maxrss, 30 * 1024) << "KiB resident for a 30 MB log";
  }
  EXPECT_EQ(sim.Stop(), 0);
  std::remove(path.c_str());
}

TEST(CliEndToEnd, PlayReadsWhatCannotBeReadTwiceOnce) {
  // Standard input and /dev/stdin on a pipe: read once, sent whole.
  Sim sim({"--listen", "0", "--echo", "-v"});
  ASSERT_FALSE(sim.port().empty()) << sim.process().out();
  Process dump(Tool({"dump", "-L", "--port", sim.port(), "-n", "4"}));
  ASSERT_TRUE(sim.process().WaitForLine("sim: connected", milliseconds(5000))) << sim.process().out();
  const std::string log = "(1700000000.000000) can0 123#01\n(1700000000.010000) can0 00000124#02\n";
  for (const char* file : {"/dev/stdin", "-"}) {
    Process play(Tool({"play", "--port", sim.port(), "-I", file, "ch1=can0"}));
    ASSERT_TRUE(play.WriteStdin(log));
    play.CloseStdin();
    EXPECT_EQ(play.Wait(milliseconds(15000)), 0) << file << ": " << play.err();
  }
  EXPECT_EQ(dump.Wait(milliseconds(5000)), 0) << dump.err();
  EXPECT_EQ(LogFrames(dump.out()),
            (std::vector<std::string>{"ch1 123#01", "ch1 00000124#02", "ch1 123#01", "ch1 00000124#02"}));
  // Frames in the input and none sent is a failure: here none is assigned.
  Process play(Tool({"play", "--port", sim.port(), "ch1=can9"}));
  ASSERT_TRUE(play.WriteStdin(log));
  play.CloseStdin();
  EXPECT_EQ(play.Wait(milliseconds(15000)), 1) << play.err();
  EXPECT_NE(play.err().find("none of its 2 frames is on an assigned interface"), std::string::npos) << play.err();
  EXPECT_EQ(sim.Stop(), 0);
}

// Plays a capture file through a shell (ulimit -v keeps a runaway reader
// from taking the machine's memory: it then fails instead); the largest
// resident size of the children it waited for, in KiB, goes to *max_rss.
int PlayBounded(const std::string& play_args, long* max_rss, std::string* err) {
  rusage before{};
  getrusage(RUSAGE_CHILDREN, &before);
  Process p({"/bin/sh", "-c", "ulimit -v 1048576; " + play_args});
  p.CloseStdin();
  const int code = p.Wait(milliseconds(60000));
  *err = p.err();
  rusage after{};
  getrusage(RUSAGE_CHILDREN, &after);
  *max_rss = after.ru_maxrss > before.ru_maxrss ? after.ru_maxrss : 0;
  return code;
}

TEST(CliEndToEnd, PlayStreamsCapturesAndKeepsHostileNamesOnce) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's address space does not fit ulimit -v, its allocator no RSS bound";
  namespace pc = tarnlink::test::pcapng;
  const std::string path = ::testing::TempDir() + "tarnlink_play_capture_" + std::to_string(getpid()) + ".pcapng";
  Sim sim({"--listen", "0"});
  ASSERT_FALSE(sim.port().empty()) << sim.process().out();
  // 4.8 MB whose one interface has a 65,532-byte name: once copied into
  // every packet's record it cost 1,300 bytes per byte of file.
  const std::string name(65532, 'N');
  {
    std::ofstream f(path, std::ios::binary);
    f << pc::Section() << pc::Interface(name);
    for (uint64_t i = 0; i < 100000; ++i) f << pc::Packet(0, i, pc::ClassicRecord(0x123, "\x01\x02"));
  }
  long rss = 0;
  std::string err;
  EXPECT_EQ(PlayBounded("exec " + kTool + " play -t --port " + sim.port() + " -I " + path, &rss, &err), 2) << err;
  EXPECT_NE(err.find("interface 'NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN...' (65532 bytes) is not a channel"),
            std::string::npos)
      << err.substr(0, 300);
  EXPECT_LT(err.size(), 300u);
  EXPECT_EQ(PlayBounded("exec " + kTool + " play -t --port " + sim.port() + " -I " + path + " ch0=" + name, &rss, &err),
            0)
      << err.substr(0, 300);
  EXPECT_LT(rss, 30 * 1024) << "KiB resident for a 4.8 MB capture";
  // 21 MB of CAN FD records through a pipe: copied aside, then streamed.
  {
    std::ofstream f(path, std::ios::binary);
    f << pc::Section() << pc::Interface("ch1");
    std::string fd(72, '\x55');
    fd.replace(0, 8, std::string("\x00\x00\x01\x23\x40\x04\x00\x00", 8));
    for (uint64_t i = 0; i < 200000; ++i) f << pc::Packet(0, i, fd);
  }
  EXPECT_EQ(PlayBounded("cat " + path + " | " + kTool + " play -t --port " + sim.port(), &rss, &err), 0) << err;
  EXPECT_LT(rss, 30 * 1024) << "KiB resident for a 21 MB capture from a pipe";
  EXPECT_EQ(sim.Stop(), 0);
  std::remove(path.c_str());
}

TEST(CliEndToEnd, InjectedFramesAndErrorsReachDumpOverTcp) {
  Sim sim({"--listen", "0", "-v"});
  ASSERT_FALSE(sim.port().empty()) << sim.process().out();
  Process dump(Tool({"dump", "-L", "--port", sim.port(), "-n", "5"}));
  ASSERT_TRUE(sim.process().WaitForLine("connected", milliseconds(5000))) << sim.process().out();
  sim.process().WriteStdin(
      "frame 0 123#DEADBEEF\nframe 1 12345678##1AABB\nerror 0 busoff\nerror 1 overflow\nsplit 7FF#R3\n");
  EXPECT_EQ(dump.Wait(milliseconds(5000)), 0) << dump.err();
  std::vector<std::string> frames = LogFrames(dump.out());
  // Error information is read alongside the frames, so only the set is fixed.
  std::sort(frames.begin(), frames.end());
  const std::vector<std::string> expected = {
      "ch0 123#DEADBEEF",
      "ch0 20000040#0000000000000000",  // bus off
      "ch0 7FF#R3",                     // sent in pieces by the simulator
      "ch1 12345678##1AABB",
      "ch1 20000004#0001000000000000",  // controller: receive overflow
  };
  EXPECT_EQ(frames, expected) << dump.out();
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(CliEndToEnd, TimedEntriesAreTransmittedAtAboutTheirPeriod) {
  // With echo on, what the gateway puts on the bus comes back to every driver.
  Sim sim({"--listen", "0", "--echo"});
  ASSERT_FALSE(sim.port().empty());
  Process dump(Tool({"dump", "-L", "--port", sim.port(), "--duration", "1.6"}));
  std::string out, err;
  ASSERT_EQ(RunTool({"autosend", "add", "--port", sim.port(), "-p", "100", "-i", "0", "321#0102"}, &out, &err), 0)
      << err;
  EXPECT_EQ(RunTool({"autosend", "list", "--port", sim.port()}, &out, &err), 0) << err;
  EXPECT_NE(out.find("#0  period 100   321#0102"), std::string::npos) << out;
  ASSERT_EQ(dump.Wait(milliseconds(5000)), 0) << dump.err();

  std::vector<double> stamps;
  for (const std::string& l : Lines(dump.out())) {
    if (l.find("ch0 321#0102") != std::string::npos) stamps.push_back(LogSeconds(l));
  }
  ASSERT_GE(stamps.size(), 6u) << dump.out();
  EXPECT_LE(stamps.size(), 20u) << dump.out();
  std::vector<double> gaps;
  for (size_t i = 1; i < stamps.size(); ++i) gaps.push_back(stamps[i] - stamps[i - 1]);
  std::sort(gaps.begin(), gaps.end());
  const double median = gaps[gaps.size() / 2];
  EXPECT_GT(median, 0.05);
  EXPECT_LT(median, 0.2);

  ASSERT_EQ(RunTool({"autosend", "stop", "--port", sim.port()}, &out, &err), 0) << err;
  Process after(Tool({"dump", "-L", "--port", sim.port(), "--duration", "0.5"}));
  ASSERT_EQ(after.Wait(milliseconds(5000)), 0);
  EXPECT_EQ(after.out().find("321#0102"), std::string::npos) << after.out();
  EXPECT_EQ(RunTool({"autosend", "list", "--port", sim.port()}, &out, &err), 0);
  EXPECT_NE(out.find("no enabled timed entries"), std::string::npos) << out;
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(CliEndToEnd, TimedEntriesAtAnyIndexAreListedAndStopped) {
  Sim sim({"--listen", "0"});
  ASSERT_FALSE(sim.port().empty());
  const std::string port = sim.port();
  std::string out, err;
  ASSERT_EQ(RunTool({"autosend", "add", "--port", port, "-p", "60000", "-i", "5", "105#05", "106#06"}, &out, &err), 0)
      << err;
  ASSERT_EQ(RunTool({"autosend", "add", "--port", port, "-p", "60000", "-i", "30", "11E##0AA"}, &out, &err), 0) << err;
  // Indexes 0-4 and 7-29 are free: the read-back goes past them.
  ASSERT_EQ(RunTool({"autosend", "list", "--port", port}, &out, &err), 0) << err;
  EXPECT_EQ(Lines(out), (std::vector<std::string>{"ch0 #5  period 60000 105#05", "ch0 #6  period 60000 106#06",
                                                  "ch0 #30 period 60000 11E##0AA"}))
      << out;

  ASSERT_EQ(RunTool({"autosend", "stop", "--port", port, "-i", "6", "-i", "7"}, &out, &err), 0) << err;
  EXPECT_EQ(out, "ch0: 1 timed entry disabled\nch0 #7  was not running\n");
  ASSERT_EQ(RunTool({"autosend", "list", "--port", port}, &out, &err), 0) << err;
  EXPECT_EQ(Lines(out), (std::vector<std::string>{"ch0 #5  period 60000 105#05", "ch0 #30 period 60000 11E##0AA"}))
      << out;

  ASSERT_EQ(RunTool({"autosend", "stop", "--port", port}, &out, &err), 0) << err;
  EXPECT_EQ(out, "ch0: 2 timed entries disabled\n");
  ASSERT_EQ(RunTool({"autosend", "list", "--port", port}, &out, &err), 0) << err;
  EXPECT_EQ(out, "ch0: no enabled timed entries\n");
  ASSERT_EQ(RunTool({"autosend", "stop", "--port", port}, &out, &err), 0) << err;
  EXPECT_EQ(out, "ch0: no enabled timed entries\n");
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(CliEndToEnd, DumpShowsMarkersGpsAndReportsBesideTheFrames) {
  Sim sim({"--listen", "0", "-v"});
  ASSERT_FALSE(sim.port().empty());
  // One simulator, three dumps: the log format, the columns, the log format without events.
  Process log(Tool({"dump", "-L", "--port", sim.port(), "-n", "1"}));
  Process columns(Tool({"dump", "--port", sim.port(), "-n", "1"}));
  Process bare(Tool({"dump", "-L", "--no-events", "--port", sim.port(), "-n", "1"}));
  ASSERT_TRUE(sim.process().WaitForOutput([](const std::string& s) { return Count(s, "sim: connected ") >= 3; },
                                          milliseconds(5000)))
      << sim.process().out();
  // The frame comes last: each dump stops at it, having shown what came before.
  sim.process().WriteStdin("marker 1\ngps 48.5 -11.25 58\nreport 0\nframe 0 123#11\n");
  for (Process* p : {&log, &columns, &bare}) EXPECT_EQ(p->Wait(milliseconds(5000)), 0) << p->err();

  auto line_with = [](const std::string& text, const std::string& head, const std::string& tail = "") {
    for (const std::string& l : Lines(text)) {
      if (l.rfind(head, 0) == 0 && l.size() >= head.size() + tail.size() &&
          l.compare(l.size() - tail.size(), tail.size(), tail) == 0) {
        return l;
      }
    }
    return std::string();
  };
  const std::string gps_values = " lat 48.500000 lon -11.250000 alt 58.0 speed 0.0 course 0.00";
  const std::string marker = line_with(log.out(), "# ch1 marker ");
  ASSERT_FALSE(marker.empty()) << log.out();
  EXPECT_TRUE(Digits(marker, 13, marker.size() - 13)) << marker;
  EXPECT_FALSE(line_with(log.out(), "# ch0 report value0 ", " value1 0 byte17 0 value16 0 value32 0").empty())
      << log.out();
  const std::string gps = line_with(log.out(), "# gps ", gps_values);
  ASSERT_EQ(gps.size(), 6 + 19 + gps_values.size()) << log.out();  // "YYYY-MM-DD HH:MM:SS"
  EXPECT_EQ(LogFrames(log.out()), std::vector<std::string>{"ch0 123#11"}) << log.out();

  EXPECT_FALSE(line_with(columns.out(), " ch1  marker ").empty()) << columns.out();
  EXPECT_FALSE(line_with(columns.out(), " ch0  report value0 ").empty()) << columns.out();
  EXPECT_FALSE(line_with(columns.out(), " gps  ", gps_values).empty()) << columns.out();
  EXPECT_FALSE(line_with(columns.out(), " ch0  123   [1]  11").empty()) << columns.out();

  EXPECT_EQ(Lines(bare.out()).size(), 1u) << bare.out();
  EXPECT_EQ(LogFrames(bare.out()), std::vector<std::string>{"ch0 123#11"}) << bare.out();
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(CliEndToEnd, SimulatorGeneratesOnlyValidCanFdLengths) {
  Sim sim({"--listen", "0", "--gen", "2000", "--gen-channel", "0", "--gen-fd", "--gen-len", "0-64"});
  ASSERT_FALSE(sim.port().empty());
  Process dump(Tool({"dump", "-L", "--port", sim.port(), "-c", "0", "-n", "48"}));
  ASSERT_EQ(dump.Wait(milliseconds(5000)), 0) << dump.err();
  const std::vector<std::string> frames = LogFrames(dump.out());
  ASSERT_EQ(frames.size(), 48u) << dump.out();
  const std::vector<size_t> valid = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
  std::vector<size_t> seen;
  for (const std::string& f : frames) {
    const size_t fd = f.find("##");
    ASSERT_NE(fd, std::string::npos) << f;
    const size_t len = (f.size() - fd - 3) / 2;  // "##", the flags digit, then hex pairs
    EXPECT_NE(std::find(valid.begin(), valid.end(), len), valid.end()) << f;
    if (std::find(seen.begin(), seen.end(), len) == seen.end()) seen.push_back(len);
  }
  EXPECT_EQ(seen.size(), valid.size()) << dump.out();  // 48 frames in a row cover every length
  EXPECT_EQ(sim.Stop(), 0);
}

TEST(CliEndToEnd, BadArgumentsGiveExitCodeTwoAndOneLine) {
  const std::vector<std::vector<std::string>> cases = {
      {"send", "123#XYZ"},
      {"send", "1234#11"},
      {"send", "800#11"},
      {"send", "123#112233445566778899"},
      {"send", "123##411"},
      {"send", "123#R9"},
      {"send", "20000004#00"},
      {"send"},
      {"dump", "-x"},
      {"dump", "--bogus"},
      {"dump", "-n"},
      {"dump", "-c", "5"},
      {"dump", "-t", "q"},
      {"gen", "-I", "zz"},
      {"gen", "-f", "-R"},
      {"gen", "-L", "9"},
      {"info", "--port", "70000"},
      {"info", "--type", "0x10000"},
      {"autosend", "add", "123#11"},
      {"autosend", "frob"},
      {"autosend", "add", "-p", "70000", "1#1"},
      {"sim", "--listen", "1", "--udp", "2"},
      {"sim", "--channels", "0"},
      {"demo", "--rtt", "x"},
      {"frobnicate"},
      {"send", "--server", "--udp", "123#11"},
      {"play", "-l", "0"},
      {"play", "ch9=ch0"},
      {"play", "-I", "/nonexistent/log"},
  };
  for (const std::vector<std::string>& args : cases) {
    std::string out, err;
    const int code = RunTool(args, &out, &err);
    std::string joined;
    for (const std::string& a : args) joined += a + " ";
    EXPECT_EQ(code, 2) << joined << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << joined << err;
    EXPECT_EQ(err.rfind("tarnlink", 0), 0u) << joined << err;
    EXPECT_TRUE(out.empty()) << joined << out;
  }
}

TEST(CliEndToEnd, HelpOnEveryCommandExitsZero) {
  for (const char* cmd : {"dump", "send", "play", "gen", "info", "autosend", "sim", "demo"}) {
    std::string out;
    EXPECT_EQ(RunTool({cmd, "--help"}, &out), 0) << cmd;
    EXPECT_EQ(out.rfind("Usage: tarnlink", 0), 0u) << cmd << ": " << out;
  }
  std::string out;
  EXPECT_EQ(RunTool({"--help"}, &out), 0);
  EXPECT_NE(out.find("demo"), std::string::npos);
}

TEST(CliEndToEnd, UnreachableGatewayGivesExitCodeOneWithinSeconds) {
  const std::string tcp = std::to_string(tarnlink::FreePort(true));
  const std::string udp = std::to_string(tarnlink::FreePort(false));
  const std::vector<std::vector<std::string>> cases = {
      {"dump", "--port", tcp},
      {"send", "--port", tcp, "123#11"},
      {"info", "--port", tcp},
      {"info", "--udp", "--port", udp},
      {"dump", "--server", "--local-port", tcp, "--wait", "300"},
  };
  for (const std::vector<std::string>& args : cases) {
    std::string err;
    const auto t0 = Clock::now();
    EXPECT_EQ(RunTool(args, nullptr, &err, milliseconds(10000)), 1) << args[0] << " " << err;
    EXPECT_LT(Clock::now() - t0, milliseconds(5000)) << args[0];
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
  std::string err;
  RunTool({"send", "--port", tcp, "123#11"}, nullptr, &err);
  EXPECT_EQ(err, "tarnlink: cannot reach gateway 127.0.0.1:" + tcp + " (connect failed or timed out)\n");
}

// Whether a TCP socket of this host is connecting (SYN sent) to 127.0.0.1:port.
bool ConnectingTo(uint16_t port) {
  std::ifstream tcp("/proc/net/tcp");
  char remote[32];
  std::snprintf(remote, sizeof(remote), "0100007F:%04X", port);
  for (std::string line; std::getline(tcp, line);) {
    std::istringstream fields(line);
    std::string slot, local, rem, state;
    if (fields >> slot >> local >> rem >> state && rem == remote && state == "02") return true;
  }
  return false;
}

// Wireshark ends a capture with SIGTERM; while the extcap is still connecting
// it stops at once, as a capture stopped later does, not after the connect
// time-out with "cannot reach gateway".
TEST(CliEndToEnd, ExtcapStoppedWhileConnectingEndsAtOnce) {
  // A listener whose accept queue is full: further connects wait, unanswered.
  tarnlink::SocketEndpoint listener;
  tarnlink::SocketEndpoint filler;
  ASSERT_EQ(tarnlink::CreateSocket(&listener, true), 0);
  ASSERT_EQ(tarnlink::BindTo(&listener, "127.0.0.1", 0), 0);
  ASSERT_EQ(tarnlink::ListenOn(listener, 0), 0);
  ASSERT_EQ(tarnlink::CreateSocket(&filler, true), 0);
  ASSERT_EQ(tarnlink::ConnectWithTimeout(&filler, "127.0.0.1", listener.port), 0);
  const uint16_t port = listener.port;
  const std::string fifo = ::testing::TempDir() + "tarnlink_extcap_never_" + std::to_string(getpid());
  const std::string extcap = kTool + "-extcap";
  Process p({extcap, "--capture", "--extcap-interface", "tarnlink", "--fifo", fifo, "--port", std::to_string(port)});
  const auto deadline = Clock::now() + milliseconds(5000);
  while (!ConnectingTo(port) && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
  EXPECT_TRUE(ConnectingTo(port));
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Wait(milliseconds(10000)), 0) << p.err();
  EXPECT_EQ(p.err(), "");
  tarnlink::CloseSocket(&filler);
  tarnlink::CloseSocket(&listener);
  std::remove(fifo.c_str());
}

TEST(CliEndToEnd, SimulatorSurvivesDriversThatComeAndGo) {
  Sim sim({"--listen", "0", "-v"});
  ASSERT_FALSE(sim.port().empty());
  std::string out, err;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(RunTool({"info", "-q", "--port", sim.port()}, &out, &err), 0) << err;
    EXPECT_NE(out.find("Serial      1234567890"), std::string::npos) << out;
  }
  {
    // A driver killed without closing anything.
    Process doomed(Tool({"dump", "--port", sim.port()}));
    ASSERT_TRUE(sim.process().WaitForOutput([&](const std::string& s) { return Count(s, "sim: connected ") >= 4; },
                                            milliseconds(5000)));
    doomed.Signal(SIGKILL);
    doomed.Wait(milliseconds(2000));
    ASSERT_TRUE(sim.process().WaitForOutput([&](const std::string& s) { return Count(s, "sim: disconnected ") >= 4; },
                                            milliseconds(5000)));
  }
  // A dump whose connection the gateway drops: the driver reconnects, and
  // frames sent after that arrive.
  size_t seen = sim.process().out().size();
  Process dump(Tool({"dump", "-L", "--port", sim.port(), "-n", "1"}));
  ASSERT_TRUE(sim.process().WaitForOutput([&](const std::string& s) { return Count(s, "sim: connected ", seen) >= 1; },
                                          milliseconds(5000)));
  seen = sim.process().out().size();
  sim.process().WriteStdin("drop\n");
  ASSERT_TRUE(sim.process().WaitForOutput(
      [&](const std::string& s) {
        const size_t gone = s.find("sim: disconnected ", seen);
        return gone != std::string::npos && Count(s, "sim: connected ", gone) >= 1;
      },
      milliseconds(5000)))
      << sim.process().out();
  sim.process().WriteStdin("frame 0 5A5#CAFE\n");
  EXPECT_EQ(dump.Wait(milliseconds(5000)), 0);
  EXPECT_EQ(LogFrames(dump.out()), std::vector<std::string>{"ch0 5A5#CAFE"}) << dump.out();
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_NE(sim.process().out().find("tarnlink sim: frames in"), std::string::npos) << sim.process().out();
}

TEST(CliEndToEnd, GenFloodArrivesWholeBeforeTheToolExits) {
  Sim sim({"--listen", "0"});
  ASSERT_FALSE(sim.port().empty());
  std::string out, err;
  ASSERT_EQ(RunTool({"gen", "--port", sim.port(), "-g", "0", "-n", "30001", "-L", "8"}, &out, &err), 0) << err;
  EXPECT_NE(out.find("gen: 30001 frames sent on ch0"), std::string::npos) << out;
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_NE(sim.process().out().find("frames in 30001,"), std::string::npos) << sim.process().out();
}

TEST(CliEndToEnd, DemoRunsToItsSummaryAndExitsZero) {
  std::string out, err;
  const auto t0 = Clock::now();
  ASSERT_EQ(RunTool({"demo"}, &out, &err, milliseconds(30000)), 0) << err << out;
  EXPECT_LT(Clock::now() - t0, milliseconds(20000));
  EXPECT_NE(out.find("Device information"), std::string::npos) << out;
  EXPECT_NE(out.find("back      ch0  123   [4]  DE AD BE EF"), std::string::npos) << out;
  EXPECT_FALSE(LogFrames(out).empty()) << out;
  EXPECT_NE(out.find("lost              0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("round trip        p50"), std::string::npos) << out;
}

}  // namespace
}  // namespace tarnlink::test
