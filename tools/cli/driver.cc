#include "tools/cli/driver.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace tarnlink::cli {
namespace {

std::atomic<bool> g_stop{false};

#if defined(_WIN32)
// Ctrl-C, Ctrl-Break and closing the console: handled, the process goes on
// to its own orderly end.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  g_stop.store(true);
  return TRUE;
}

bool FileExists(const std::string& path) { return !path.empty() && _access(path.c_str(), 4) == 0; }

bool IsDirectory(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string ExecutableDir() {
  char buf[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof(buf));
  if (n == 0 || n >= sizeof(buf)) return {};
  std::string path(buf, n);
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
#else
extern "C" void OnStopSignal(int) { g_stop.store(true); }

bool FileExists(const std::string& path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

bool IsDirectory(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ExecutableDir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// `path` with symbolic links resolved, as /proc/self/exe names the program.
std::string RealPath(const char* path) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path, nullptr), &std::free);
  return real ? std::string(real.get()) : std::string(path);
}
#endif

// A driver call that may wait out a connect or request time-out (seconds),
// run on a thread of its own while this one watches for a stop. The driver
// cannot cut a connect short, and nothing has been opened or written yet
// that the process must close: a stop (Ctrl-C, Wireshark ending a capture)
// ends it here at once, with the exit code of a stopped command.
uint32_t StopAtOnce(const std::function<uint32_t()>& call) {
  std::future<uint32_t> result = std::async(std::launch::async, call);
  while (result.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
    if (StopRequested()) {
      std::fflush(nullptr);
      std::_Exit(kExitOk);
    }
  }
  return result.get();
}

}  // namespace

#if defined(_WIN32)
void InstallStopSignals() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }
#else
void InstallStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocking read returns on Ctrl-C
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A closed pipe (`tarnlink dump | head`) is an ordinary end of output,
  // told by the failed write (main ignores SIGPIPE for every command).
  signal(SIGPIPE, SIG_IGN);
}
#endif

#if defined(_WIN32)
bool StdoutReaderGone() { return false; }
#else
bool StdoutReaderGone() {
  struct stat st {};
  if (fstat(STDOUT_FILENO, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return false;
  // The write end of a pipe without readers polls as an error, a socket whose peer left as hung up.
  pollfd p{STDOUT_FILENO, 0, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
}
#endif

bool StopRequested() { return g_stop.load(); }
void RequestStop() { g_stop.store(true); }

std::string Driver::PathFor(const ConnectOptions& options) {
#if defined(_WIN32)
  const char* const name = options.udp ? "tarnlink_udp.dll" : "tarnlink_tcp.dll";
#else
  const char* const name = options.udp ? "libtarnlink_udp.so" : "libtarnlink_tcp.so";
#endif
  // --lib and TARNLINK_LIB name the library or, as for the Python package,
  // the folder that holds both.
  const char* const env = std::getenv("TARNLINK_LIB");
  for (const char* given : {options.lib.c_str(), env}) {
    if (given == nullptr || *given == '\0') continue;
    return IsDirectory(given) ? std::string(given) + "/" + name : std::string(given);
  }
  const std::string dir = ExecutableDir();
#if defined(TARNLINK_CLI_BUILD_DIR) && defined(TARNLINK_CLI_TCP_LIB) && defined(TARNLINK_CLI_UDP_LIB)
  std::string built = options.udp ? TARNLINK_CLI_UDP_LIB : TARNLINK_CLI_TCP_LIB;
#if defined(_WIN32)
  if (FileExists(built)) return built;
#else
  // Only the tool in its build folder: an installed copy must not pick up
  // the libraries of the folder it was once built in.
  if (dir == RealPath(TARNLINK_CLI_BUILD_DIR) && FileExists(built)) return built;
#endif
#endif
  std::string beside = dir + "/" + name;
  if (FileExists(beside)) return beside;
#if defined(_WIN32)
  return name;  // the loader looks beside the program first
#else
  return std::string(name) + ".1";  // the installed library, by the loader's search
#endif
}

std::unique_ptr<Driver> Driver::Load(const ConnectOptions& options) {
  auto d = std::make_unique<Driver>(PathFor(options));
  if (!d->ok()) {
    std::fprintf(stderr, "tarnlink: %s\n", d->error().c_str());
    return nullptr;
  }
  return d;
}

bool Session::GetU32(uint32_t channel, uint32_t key, uint32_t* value) const {
  return driver_.GetReference(type(), index(), channel, key, value) == 1;
}

bool Session::SetU32(uint32_t channel, uint32_t key, uint32_t value) const {
  return driver_.SetReference(type(), index(), channel, key, &value) == 1;
}

std::unique_ptr<Session> Session::Open(const Driver& driver, const ConnectOptions& options,
                                       std::vector<uint32_t> channels, bool probe_udp) {
  std::unique_ptr<Session> s(new Session(driver, options));
  s->channel_count_ = ChannelsOfType(options.device_type());
  if (channels.empty()) {
    for (uint32_t c = 0; c < s->channel_count_; ++c) channels.push_back(c);
  }
  s->channels_ = channels;
  const uint32_t type = options.device_type();
  s->device_ = driver.OpenDevice(type, options.index, options.effective_local_port());
  if (s->device_ == 0) {
    std::fprintf(stderr, "tarnlink: the driver refused device type 0x%X index %u\n", type, options.index);
    return nullptr;
  }
  char address[32] = {};
  std::snprintf(address, sizeof(address), "%s", options.host.c_str());
  driver.SetReference(type, options.index, 0, VELA_REF_REMOTE_ADDR, address);
  s->SetU32(0, VELA_REF_REMOTE_PORT, options.port);
  s->SetU32(0, VELA_REF_LOCAL_PORT, options.effective_local_port());
  if (!options.udp) s->SetU32(0, VELA_REF_WORK_MODE, options.server ? 1 : 0);

  for (uint32_t c : channels) {
    const uint32_t handle = driver.InitCAN(s->device_, c, nullptr);
    if (handle == 0 || StopAtOnce([&] { return driver.StartCAN(handle); }) != 1) {
      if (!s->started_.empty()) {
        std::fprintf(stderr, "tarnlink: cannot start channel %u\n", c);
      } else if (options.server) {
        std::fprintf(stderr, "tarnlink: cannot listen on local port %u (in use or not permitted)\n",
                     options.effective_local_port());
      } else if (options.udp) {
        std::fprintf(stderr, "tarnlink: cannot bind UDP local port %u\n", options.effective_local_port());
      } else {
        std::fprintf(stderr, "tarnlink: cannot reach gateway %s:%u (connect failed or timed out)\n",
                     options.host.c_str(), options.port);
      }
      return nullptr;
    }
    s->started_.push_back(c);
  }

  if (options.server) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.wait_ms);
    uint32_t clients = 0;
    while ((!s->GetU32(0, VELA_REF_CLIENT_COUNT, &clients) || clients == 0) && !StopRequested()) {
      if (std::chrono::steady_clock::now() >= deadline) {
        std::fprintf(stderr, "tarnlink: no gateway connected to local port %u within %d ms\n",
                     options.effective_local_port(), options.wait_ms);
        return nullptr;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (clients == 0) return nullptr;  // interrupted
  } else if (options.udp && probe_udp) {
    // UDP has no connection: a device information exchange shows the gateway
    // is there, and tells a gateway that answers the last sender where we are.
    VELA_DEVICE_INFO info{};
    if (StopAtOnce([&] { return driver.GetDeviceInf(s->device_, &info); }) != 1) {
      std::fprintf(stderr, "tarnlink: no answer from gateway %s:%u over UDP (device information timed out)\n",
                   options.host.c_str(), options.port);
      return nullptr;
    }
  }
  return s;
}

Session::~Session() {
  for (uint32_t c : started_) driver_.ResetCAN(handle(c));
  if (device_ != 0) driver_.CloseDevice(device_);
}

}  // namespace tarnlink::cli
