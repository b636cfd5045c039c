// What only Windows has: the DLLs' export tables as a program sees them,
// Winsock under the transports (blocked calls woken, refused connects seen,
// many clients watched), and unloading with devices started.
#include <windows.h>
#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarnlink/tarnlink.h"
#include "tests/support/eventually.h"
#include "transport/socket.h"
#include "transport/tcp_client.h"
#include "transport/tcp_server.h"
#include "transport/udp_service.h"

namespace tarnlink {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kNames[] = {
    "VELA_OpenDevice",   "VELA_CloseDevice",  "VELA_GetDeviceInf",       "VELA_InitCAN",           "VELA_StartCAN",
    "VELA_ResetCAN",     "VELA_ClearBuffer",  "VELA_ReadChannelErrInfo", "VELA_ReadChannelStatus", "VELA_Transmit",
    "VELA_Receive",      "VELA_TransmitFD",   "VELA_ReceiveFD",          "GetIProperty",           "ReleaseIProperty",
    "VELA_GetReference", "VELA_SetReference", "VELA_GetReceiveNum"};

struct Module {
  explicit Module(const char* path) : handle(LoadLibraryA(path)) {}
  ~Module() {
    if (handle != nullptr) FreeLibrary(handle);
  }
  template <typename F>
  F Get(const char* name) const {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
  }
  HMODULE handle;
};

// Collects what a transport receives and wakes a waiting test.
struct Inbox {
  std::mutex mu;
  std::condition_variable cv;
  std::string bytes;
  int ends = 0;
  RecvCallback Callback() {
    return [this](const char*, ByteSpan received) {
      std::lock_guard<std::mutex> lock(mu);
      if (received.empty()) ++ends;
      bytes.append(received.chars(), received.size());
      cv.notify_all();
    };
  }
  bool WaitFor(size_t n, int ms = 5000) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, milliseconds(ms), [&] { return bytes.size() >= n; });
  }
};

using test::Eventually;

TEST(WindowsExports, EveryFunctionAtItsOrdinalUnderItsName) {
  for (const char* path : {TARNLINK_TCP_LIB, TARNLINK_UDP_LIB}) {
    Module dll(path);
    ASSERT_NE(dll.handle, nullptr) << path;
    for (int ordinal = 1; ordinal <= 18; ++ordinal) {
      FARPROC by_name = GetProcAddress(dll.handle, kNames[ordinal - 1]);
      FARPROC by_ordinal = GetProcAddress(dll.handle, MAKEINTRESOURCEA(ordinal));
      ASSERT_NE(by_name, nullptr) << path << " " << kNames[ordinal - 1];
      EXPECT_EQ(by_name, by_ordinal) << path << " ordinal " << ordinal;
    }
    // One body under two names.
    EXPECT_EQ(GetProcAddress(dll.handle, "GetIProperty"), GetProcAddress(dll.handle, "ReleaseIProperty"));
    EXPECT_EQ(GetProcAddress(dll.handle, MAKEINTRESOURCEA(19)), GetProcAddress(dll.handle, "cJSON_AddArrayToObject"));
    // cJSON's own functions work through the DLL.
    using Parse = void*(__stdcall*)(const char*);
    using Delete = void(__stdcall*)(void*);
    auto parse = dll.Get<Parse>("cJSON_Parse");
    auto destroy = dll.Get<Delete>("cJSON_Delete");
    ASSERT_NE(parse, nullptr);
    ASSERT_NE(destroy, nullptr);
    void* json = parse("{\"a\": [1, 2]}");
    EXPECT_NE(json, nullptr);
    destroy(json);
    EXPECT_EQ(parse("{"), nullptr);
  }
}

TEST(WindowsExports, BadArgumentsGiveZero) {
  Module dll(TARNLINK_TCP_LIB);
  ASSERT_NE(dll.handle, nullptr);
  auto open = dll.Get<decltype(&VELA_OpenDevice)>("VELA_OpenDevice");
  auto close = dll.Get<decltype(&VELA_CloseDevice)>("VELA_CloseDevice");
  auto receive = dll.Get<decltype(&VELA_Receive)>("VELA_Receive");
  auto get = dll.Get<decltype(&VELA_GetReference)>("VELA_GetReference");
  auto property = dll.Get<decltype(&GetIProperty)>("GetIProperty");
  EXPECT_EQ(open(0, 0, 0), 0u);
  EXPECT_EQ(open(VELA_TYPE_LINK_2CH_TCP, 256, 0), 0u);
  EXPECT_EQ(close(0), 0u);
  EXPECT_EQ(receive(0x300100, nullptr, 10, 0), 0u);
  EXPECT_EQ(get(VELA_TYPE_LINK_2CH_TCP, 77, 0, VELA_REF_REMOTE_PORT, nullptr), 0u);
  EXPECT_EQ(property(12345), 0u);
}

TEST(WindowsSocket, RefusedConnectFailsAtOnceAndStopWakesAWait) {
  const uint16_t port = FreePort();
  ASSERT_NE(port, 0);
  SocketEndpoint client;
  ASSERT_EQ(CreateSocket(&client, true), 0);
  const auto start = Clock::now();
  EXPECT_NE(ConnectWithTimeout(&client, "127.0.0.1", port), 0);
  EXPECT_LT(Clock::now() - start, milliseconds(kConnectTimeoutMs));
  CloseSocket(&client);

  // A wake handle is readable once signalled, and no longer once drained.
  const int wake = OpenWake();
  ASSERT_GE(wake, 0);
  PollEntry entry{wake};
  EXPECT_EQ(PollReadable(&entry, 1, 0), 0);
  SignalWake(wake);
  SignalWake(wake);
  EXPECT_EQ(PollReadable(&entry, 1, 1000), 1);
  EXPECT_TRUE(Readable(entry));
  DrainWake(wake);
  EXPECT_EQ(PollReadable(&entry, 1, 0), 0);
  CloseWake(wake);
}

TEST(WindowsSocket, ServerWatchesMoreClientsThanSelectCould) {
  const uint16_t port = FreePort();
  TcpServer server(port, 128);
  Inbox inbox;
  server.SetRecvCallback(inbox.Callback());
  ASSERT_TRUE(server.Start());
  // More than FD_SETSIZE (64): every one of them is heard.
  constexpr uint32_t kClients = FD_SETSIZE + 6;
  std::vector<std::unique_ptr<TcpClient>> clients;
  for (uint32_t i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<TcpClient>("127.0.0.1", port));
    ASSERT_TRUE(clients.back()->Start()) << i;
  }
  ASSERT_TRUE(Eventually([&] { return server.ClientCount() == kClients; }));
  for (auto& c : clients) ASSERT_TRUE(c->Send({"ab", 2}));
  EXPECT_TRUE(inbox.WaitFor(2 * kClients));
  // The server's send reaches a client.
  Inbox back;
  TcpClient listener("127.0.0.1", port);
  listener.SetRecvCallback(back.Callback());
  ASSERT_TRUE(listener.Start());
  ASSERT_TRUE(Eventually([&] { return server.ClientCount() == kClients + 1; }));
  EXPECT_TRUE(server.Send({"xyz", 3}));
  EXPECT_TRUE(back.WaitFor(3));
  // Stop ends the blocked accept and receive threads of both sides at once.
  const auto start = Clock::now();
  listener.Stop();
  clients.clear();
  server.Stop();
  EXPECT_LT(Clock::now() - start, milliseconds(5000));
}

TEST(WindowsSocket, DatagramsBothWaysAndStopWakesABlockedReceive) {
  SocketEndpoint probe_a, probe_b;
  ASSERT_EQ(CreateSocket(&probe_a, false), 0);
  ASSERT_EQ(CreateSocket(&probe_b, false), 0);
  ASSERT_EQ(BindAny(&probe_a, 0), 0);
  ASSERT_EQ(BindAny(&probe_b, 0), 0);
  const uint16_t port_a = probe_a.port, port_b = probe_b.port;
  CloseSocket(&probe_a);
  CloseSocket(&probe_b);
  UdpService a(port_a, "127.0.0.1", port_b, 1), b(port_b, "127.0.0.1", port_a, 1);
  Inbox at_a, at_b;
  a.SetRecvCallback(at_a.Callback());
  b.SetRecvCallback(at_b.Callback());
  ASSERT_TRUE(a.Start());
  ASSERT_TRUE(b.Start());
  EXPECT_TRUE(a.Send({"hello", 5}));
  EXPECT_TRUE(at_b.WaitFor(5));
  EXPECT_TRUE(b.Send({"ok", 2}));
  EXPECT_TRUE(at_a.WaitFor(2));
  // A datagram to a closed port must not break the receive (WSAECONNRESET).
  b.Stop();
  EXPECT_TRUE(a.Send({"lost", 4}));
  Sleep(50);
  ASSERT_TRUE(b.Start());
  EXPECT_TRUE(b.Send({"again", 5}));
  EXPECT_TRUE(at_a.WaitFor(7));
  const auto start = Clock::now();
  a.Stop();
  b.Stop();
  EXPECT_LT(Clock::now() - start, milliseconds(3000));
}

// Opens and starts a UDP device (a bound socket and a receive thread) and a
// listening TCP server device.
bool StartDevices(const Module& udp, const Module& tcp) {
  auto open = udp.Get<decltype(&VELA_OpenDevice)>("VELA_OpenDevice");
  auto set = udp.Get<decltype(&VELA_SetReference)>("VELA_SetReference");
  auto init = udp.Get<decltype(&VELA_InitCAN)>("VELA_InitCAN");
  auto start = udp.Get<decltype(&VELA_StartCAN)>("VELA_StartCAN");
  const uint32_t device = open(VELA_TYPE_LINK_2CH_UDP, 0, 0);
  const uint32_t remote_port = 9;
  char address[32] = "127.0.0.1";
  if (device == 0 || set(VELA_TYPE_LINK_2CH_UDP, 0, 0, VELA_REF_REMOTE_ADDR, address) != 1 ||
      set(VELA_TYPE_LINK_2CH_UDP, 0, 0, VELA_REF_REMOTE_PORT, &remote_port) != 1 ||
      start(init(device, 0, nullptr)) != 1) {
    return false;
  }
  auto topen = tcp.Get<decltype(&VELA_OpenDevice)>("VELA_OpenDevice");
  auto tset = tcp.Get<decltype(&VELA_SetReference)>("VELA_SetReference");
  auto tinit = tcp.Get<decltype(&VELA_InitCAN)>("VELA_InitCAN");
  auto tstart = tcp.Get<decltype(&VELA_StartCAN)>("VELA_StartCAN");
  const uint32_t server = topen(VELA_TYPE_LINK_2CH_TCP, 1, 0);
  const uint32_t mode = 1, port = FreePort();
  return server != 0 && tset(VELA_TYPE_LINK_2CH_TCP, 1, 0, VELA_REF_WORK_MODE, &mode) == 1 &&
         tset(VELA_TYPE_LINK_2CH_TCP, 1, 0, VELA_REF_LOCAL_PORT, &port) == 1 && tstart(tinit(server, 0, nullptr)) == 1;
}

TEST(WindowsUnload, FreeLibraryWithStartedDevicesKeepsThemSafe) {
  auto udp = std::make_unique<Module>(TARNLINK_UDP_LIB);
  auto tcp = std::make_unique<Module>(TARNLINK_TCP_LIB);
  ASSERT_NE(udp->handle, nullptr);
  ASSERT_NE(tcp->handle, nullptr);
  ASSERT_TRUE(StartDevices(*udp, *tcp));
  udp.reset();  // FreeLibrary
  tcp.reset();
  // Their threads still run, so the libraries stay: no code is pulled from
  // under them, and loading again finds the same devices.
  Sleep(100);
  EXPECT_NE(GetModuleHandleA(TARNLINK_UDP_LIB), nullptr);
  Module again(TARNLINK_UDP_LIB);
  auto close = again.Get<decltype(&VELA_CloseDevice)>("VELA_CloseDevice");
  EXPECT_EQ(close((VELA_TYPE_LINK_2CH_UDP << 16) | 0), 1u);
}

TEST(WindowsUnload, ProcessExitsWithStartedDevices) {
  char self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, self, sizeof(self)), 0u);
  std::string command = std::string("\"") + self + "\" --exit-with-started-devices";
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
  const DWORD waited = WaitForSingleObject(child.hProcess, 20000);
  DWORD code = 1234;
  GetExitCodeProcess(child.hProcess, &code);
  if (waited != WAIT_OBJECT_0) TerminateProcess(child.hProcess, 99);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "the process hung at exit";
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace tarnlink

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--exit-with-started-devices") == 0) {
    tarnlink::Module udp(TARNLINK_UDP_LIB), tcp(TARNLINK_TCP_LIB);
    if (udp.handle == nullptr || tcp.handle == nullptr || !tarnlink::StartDevices(udp, tcp)) return 3;
    // Returning runs the exit with both devices' threads running.
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
