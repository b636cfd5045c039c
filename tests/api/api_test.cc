// The exported interface of both libraries: handles, registry, lifecycle and
// connection settings, driven only through the exported functions.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/library.h"
#include "tests/support/loopback.h"

namespace tarnlink::test {
namespace {

constexpr uint32_t kType2 = VELA_TYPE_LINK_2CH_TCP;

struct LibParam {
  const char* name;
  const char* path;
  bool udp;
};

const LibParam kLibs[] = {{"tcp", TARNLINK_TCP_LIB, false}, {"udp", TARNLINK_UDP_LIB, true}};

class ApiTest : public ::testing::TestWithParam<LibParam> {
 protected:
  void SetUp() override { lib_ = std::make_unique<Library>(GetParam().path); }
  void TearDown() override {
    for (uint32_t h : opened_) lib_->CloseDevice(h);
  }
  uint32_t Open(uint32_t type, uint32_t index, uint32_t reserved = 0) {
    const uint32_t h = lib_->OpenDevice(type, index, reserved);
    if (h != 0) opened_.push_back(h);
    return h;
  }
  std::unique_ptr<Library> lib_;
  std::vector<uint32_t> opened_;
};

TEST_P(ApiTest, ZeroHandleIsRefusedEverywhere) {
  VELA_DEVICE_INFO info;
  VELA_CHANNEL_ERR_INFO err;
  VELA_CHANNEL_STATUS status;
  VELA_CAN_TRANSMIT tx{};
  VELA_CAN_RECEIVE rx[2];
  VELA_CANFD_TRANSMIT txfd{};
  VELA_CANFD_RECEIVE rxfd[2];
  ASSERT_NE(Open(kType2, 0), 0u);  // an open device is still not reached by handle 0
  EXPECT_EQ(lib_->CloseDevice(0), 0u);
  EXPECT_EQ(lib_->GetDeviceInf(0, &info), 0u);
  EXPECT_EQ(lib_->InitCAN(0, 0, nullptr), 0u);
  EXPECT_EQ(lib_->StartCAN(0), 0u);
  EXPECT_EQ(lib_->ResetCAN(0), 0u);
  EXPECT_EQ(lib_->ClearBuffer(0), 0u);
  EXPECT_EQ(lib_->ReadChannelErrInfo(0, &err), 0u);
  EXPECT_EQ(lib_->ReadChannelStatus(0, &status), 0u);
  EXPECT_EQ(lib_->Transmit(0, &tx, 1), 0u);
  EXPECT_EQ(lib_->Receive(0, rx, 2, 0), 0u);
  EXPECT_EQ(lib_->TransmitFD(0, &txfd, 1), 0u);
  EXPECT_EQ(lib_->ReceiveFD(0, rxfd, 2, 0), 0u);
  EXPECT_EQ(lib_->GetReceiveNum(0, 0), 0u);
}

TEST_P(ApiTest, OpenRefusesHandlesThatCannotReachTheDevice) {
  EXPECT_EQ(lib_->OpenDevice(kType2, 256, 0), 0u);                         // index needs more than 8 bits
  EXPECT_EQ(lib_->OpenDevice(0, 0, 0), 0u);                                // handle would be 0
  EXPECT_EQ(lib_->OpenDevice(0x10000, 0, 0), 0u);                          // low 16 bits of the type are 0
  EXPECT_EQ(lib_->GetU32(kType2, 256, VELA_REF_LOCAL_PORT), 0xDEADBEEFu);  // nothing was created
  EXPECT_EQ(lib_->GetU32(0, 0, VELA_REF_LOCAL_PORT), 0xDEADBEEFu);
  // Index 0 with a non-zero type is fine.
  EXPECT_EQ(Open(0x36, 0), 0x360000u);
  EXPECT_EQ(Open(kType2, 255), 0x30FF00u);
}

TEST_P(ApiTest, OpenTwiceReturnsTheSameDeviceAndKeepsItsSettings) {
  const uint32_t h = Open(kType2, 1, 8000);
  ASSERT_EQ(h, 0x300100u);
  EXPECT_EQ(lib_->GetU32(kType2, 1, VELA_REF_LOCAL_PORT), 8000u);
  EXPECT_EQ(lib_->OpenDevice(kType2, 1, 9000), h);
  EXPECT_EQ(lib_->GetU32(kType2, 1, VELA_REF_LOCAL_PORT), 8000u);  // the second open changes nothing
}

TEST_P(ApiTest, CloseRemovesOnceAndReopenGivesDefaults) {
  const uint32_t h = lib_->OpenDevice(kType2, 2, 0);
  ASSERT_TRUE(lib_->SetU32(kType2, 2, VELA_REF_REMOTE_PORT, 1234));
  EXPECT_EQ(lib_->CloseDevice(h | 5), 1u);  // a channel handle closes the whole device
  EXPECT_EQ(lib_->CloseDevice(h), 0u);
  EXPECT_EQ(lib_->CloseDevice(0x300900), 0u);  // never opened
  EXPECT_EQ(lib_->GetU32(kType2, 2, VELA_REF_REMOTE_PORT), 0xDEADBEEFu);
  ASSERT_EQ(Open(kType2, 2), h);
  EXPECT_EQ(lib_->GetU32(kType2, 2, VELA_REF_REMOTE_PORT), 0u);
}

TEST_P(ApiTest, ChannelCountFollowsTheModelTable) {
  // Key 26 is a channel key: it answers 1 exactly for channels below the count.
  struct Row {
    uint32_t type;
    uint32_t channels;
  };
  const Row rows[] = {{0x30, 2}, {0x31, 2}, {0x32, 1}, {0x33, 1}, {0x34, 4}, {0x35, 4}, {0x36, 2}, {0x1234, 2}};
  for (const Row& row : rows) {
    ASSERT_NE(Open(row.type, 3), 0u);
    EXPECT_TRUE(lib_->SetU32(row.type, 3, VELA_REF_TX_OPTION, 1, row.channels - 1)) << std::hex << row.type;
    EXPECT_FALSE(lib_->SetU32(row.type, 3, VELA_REF_TX_OPTION, 1, row.channels)) << std::hex << row.type;
  }
}

TEST_P(ApiTest, TypeBitsAbove15NameTheSameDevice) {
  ASSERT_EQ(Open(kType2, 4), 0x300400u);
  ASSERT_TRUE(lib_->SetU32(kType2, 4, VELA_REF_REMOTE_PORT, 4321));
  EXPECT_EQ(lib_->GetU32(kType2 | 0x10000, 4, VELA_REF_REMOTE_PORT), 4321u);
  EXPECT_EQ(lib_->OpenDevice(kType2 | 0x10000, 4, 0), 0x300400u);
}

TEST_P(ApiTest, TwoThreadsOpeningOneKeyGetOneDevice) {
  for (int round = 0; round < 20; ++round) {
    std::atomic<bool> go{false};
    uint32_t handles[2] = {};
    std::thread a([&] {
      while (!go) {
      }
      handles[0] = lib_->OpenDevice(kType2, 5, 100);
    });
    std::thread b([&] {
      while (!go) {
      }
      handles[1] = lib_->OpenDevice(kType2, 5, 200);
    });
    go = true;
    a.join();
    b.join();
    EXPECT_EQ(handles[0], handles[1]);
    const uint32_t port = lib_->GetU32(kType2, 5, VELA_REF_LOCAL_PORT);
    EXPECT_TRUE(port == 100 || port == 200);
    EXPECT_EQ(lib_->CloseDevice(handles[0]), 1u);
    EXPECT_EQ(lib_->CloseDevice(handles[0]), 0u);  // there was only one entry
  }
}

TEST_P(ApiTest, InitCanFormsChannelHandlesWithoutCheckingTheCount) {
  const uint32_t h = Open(kType2, 6);
  EXPECT_EQ(lib_->InitCAN(h, 7, nullptr), h + 7);
  EXPECT_EQ(lib_->InitCAN(h, 0x107, nullptr), h + 7);  // low byte only
  EXPECT_EQ(lib_->StartCAN(h + 7), 0u);
  EXPECT_EQ(lib_->InitCAN(0x300700, 0, nullptr), 0u);  // not open
  EXPECT_EQ(lib_->ClearBuffer(h + 7), 1u);             // any channel of an open device
  EXPECT_EQ(lib_->GetIProperty(12345), 0u);
  EXPECT_EQ(lib_->ReleaseIProperty(0xFFFFFFFF), 0u);
}

TEST_P(ApiTest, SettingsKeysReadBackAndRefuseWhatTheyCannotHold) {
  const uint32_t h = Open(kType2, 7, 70000);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(lib_->GetU32(kType2, 7, VELA_REF_LOCAL_PORT), 4464u);  // low 16 bits of the third argument
  EXPECT_TRUE(lib_->SetU32(kType2, 7, VELA_REF_LOCAL_PORT, 70001));
  EXPECT_EQ(lib_->GetU32(kType2, 7, VELA_REF_LOCAL_PORT), 4465u);
  EXPECT_TRUE(lib_->SetU32(kType2, 7, VELA_REF_REMOTE_PORT, 0x12345));
  EXPECT_EQ(lib_->GetU32(kType2, 7, VELA_REF_REMOTE_PORT), 0x2345u);
  EXPECT_EQ(lib_->GetU32(kType2, 7, VELA_REF_WORK_MODE), 0u);
  EXPECT_TRUE(lib_->SetU32(kType2, 7, VELA_REF_WORK_MODE, 7));
  EXPECT_EQ(lib_->GetU32(kType2, 7, VELA_REF_WORK_MODE), 7u);
  EXPECT_EQ(lib_->GetU32(kType2, 7, VELA_REF_MCAST_LOOP), 1u);
  EXPECT_TRUE(lib_->SetU32(kType2, 7, VELA_REF_MCAST_LOOP, 0));
  EXPECT_EQ(lib_->GetU32(kType2, 7, VELA_REF_MCAST_LOOP), 0u);

  char addr[32];
  std::memset(addr, 'x', sizeof addr);
  ASSERT_EQ(lib_->GetReference(kType2, 7, 0, VELA_REF_REMOTE_ADDR, addr), 1u);
  EXPECT_EQ(addr[0], '\0');
  ASSERT_EQ(lib_->SetReference(kType2, 7, 0, VELA_REF_REMOTE_ADDR, "192.168.100.200"), 1u);
  const std::string too_long(32, '1');
  EXPECT_EQ(lib_->SetReference(kType2, 7, 0, VELA_REF_REMOTE_ADDR, too_long.c_str()), 0u);
  const std::string longest(31, '1');
  ASSERT_EQ(lib_->GetReference(kType2, 7, 0, VELA_REF_REMOTE_ADDR, addr), 1u);
  EXPECT_STREQ(addr, "192.168.100.200");  // the refused text left the old one
  EXPECT_EQ(lib_->SetReference(kType2, 7, 0, VELA_REF_REMOTE_ADDR, longest.c_str()), 1u);
  ASSERT_EQ(lib_->GetReference(kType2, 7, 0, VELA_REF_REMOTE_ADDR, addr), 1u);
  EXPECT_EQ(std::string(addr), longest);

  for (uint32_t key : {3u, 8u, 9u, 13u, 20u, 41u, 1000u}) {
    uint32_t v = 1;
    EXPECT_EQ(lib_->GetReference(kType2, 7, 0, key, &v), 0u) << key;
    EXPECT_EQ(lib_->SetReference(kType2, 7, 0, key, &v), 0u) << key;
  }
  for (uint32_t key : {0u, 1u, 2u, 4u, 5u, 10u}) {
    EXPECT_EQ(lib_->GetReference(kType2, 7, 0, key, nullptr), 0u) << key;
    if (key != 5) {
      EXPECT_EQ(lib_->SetReference(kType2, 7, 0, key, nullptr), 0u) << key;
    }
  }
  EXPECT_EQ(lib_->GetReference(0x30, 99, 0, VELA_REF_REMOTE_PORT, addr), 0u);  // not open
}

TEST_P(ApiTest, OneChannelModelStartsOnlyChannelZero) {
  TcpListener gateway;
  ASSERT_TRUE(gateway.ok());
  const uint32_t type = GetParam().udp ? VELA_TYPE_AIR_1CH_UDP : VELA_TYPE_AIR_1CH_TCP;
  const uint32_t h = Open(type, 0);
  ASSERT_EQ(lib_->SetReference(type, 0, 0, VELA_REF_REMOTE_ADDR, "127.0.0.1"), 1u);
  ASSERT_TRUE(lib_->SetU32(type, 0, VELA_REF_REMOTE_PORT, gateway.port()));
  EXPECT_EQ(lib_->StartCAN(h + 1), 0u);
  EXPECT_EQ(lib_->ResetCAN(h + 1), 0u);
  EXPECT_EQ(lib_->StartCAN(h), 1u);
  if (!GetParam().udp) {
    EXPECT_TRUE(gateway.Accept(2000).valid());
  }
  EXPECT_EQ(lib_->ResetCAN(h), 1u);
}

TEST_P(ApiTest, ResetOfAnIdleDeviceFails) {
  const uint32_t h = Open(kType2, 8);
  EXPECT_EQ(lib_->ResetCAN(h), 0u);
  EXPECT_EQ(lib_->ResetCAN(h + 1), 0u);
  EXPECT_EQ(lib_->ResetCAN(h + 2), 0u);  // bad channel
}

TEST_P(ApiTest, FailedStartCanBeRetriedAfterFixingTheSettings) {
  const uint32_t h = Open(kType2, 9);
  EXPECT_EQ(lib_->StartCAN(h), 0u);  // no remote address
  TcpListener gateway;
  ASSERT_TRUE(gateway.ok());
  ASSERT_EQ(lib_->SetReference(kType2, 9, 0, VELA_REF_REMOTE_ADDR, "127.0.0.1"), 1u);
  ASSERT_TRUE(lib_->SetU32(kType2, 9, VELA_REF_REMOTE_PORT, gateway.port()));
  ASSERT_TRUE(lib_->SetU32(kType2, 9, VELA_REF_LOCAL_PORT, FreePort(false)));
  EXPECT_EQ(lib_->StartCAN(h), 1u);
  EXPECT_EQ(lib_->ResetCAN(h), 1u);
  // A failed start followed by a reset: Shutdown of the leftover transport.
  ASSERT_EQ(lib_->SetReference(kType2, 9, 0, VELA_REF_REMOTE_ADDR, ""), 1u);
  EXPECT_EQ(lib_->StartCAN(h), 0u);
  EXPECT_EQ(lib_->ResetCAN(h + 1), 1u);  // failed start: the leftover transport goes
  EXPECT_EQ(lib_->ResetCAN(h), 0u);      // now idle
}

TEST(ApiTcpTest, TransportStaysUntilTheLastChannelIsReset) {
  Library lib(TARNLINK_TCP_LIB);
  TcpListener gateway;
  ASSERT_TRUE(gateway.ok());
  const uint32_t h = lib.OpenDevice(kType2, 10, 0);
  ASSERT_EQ(lib.SetReference(kType2, 10, 0, VELA_REF_REMOTE_ADDR, "127.0.0.1"), 1u);
  ASSERT_TRUE(lib.SetU32(kType2, 10, VELA_REF_REMOTE_PORT, gateway.port()));
  ASSERT_EQ(lib.StartCAN(h), 1u);
  Fd conn = gateway.Accept(2000);
  ASSERT_TRUE(conn.valid());
  ASSERT_EQ(lib.StartCAN(h + 1), 1u);  // no second connection
  EXPECT_FALSE(gateway.Accept(200).valid());
  EXPECT_EQ(lib.ResetCAN(h), 1u);
  EXPECT_FALSE(WaitEof(conn.get(), 200));  // still connected
  EXPECT_EQ(lib.ResetCAN(h), 1u);          // never-started channel while another runs
  EXPECT_EQ(lib.ResetCAN(h + 1), 1u);
  EXPECT_TRUE(WaitEof(conn.get(), 2000));  // the last reset closed it
  EXPECT_EQ(lib.CloseDevice(h), 1u);
}

TEST(ApiTcpTest, WorkModeOneListensOnTheLocalPortFromOpen) {
  Library lib(TARNLINK_TCP_LIB);
  const uint16_t port = FreePort();
  const uint32_t h = lib.OpenDevice(kType2, 11, port);
  ASSERT_TRUE(lib.SetU32(kType2, 11, VELA_REF_WORK_MODE, 1));
  ASSERT_EQ(lib.StartCAN(h), 1u);
  EXPECT_TRUE(ConnectTcp(port).valid());
  // Changing the mode while running changes nothing until the next first start.
  ASSERT_TRUE(lib.SetU32(kType2, 11, VELA_REF_WORK_MODE, 0));
  EXPECT_TRUE(ConnectTcp(port).valid());
  EXPECT_EQ(lib.ResetCAN(h), 1u);
  EXPECT_FALSE(ConnectTcp(port).valid());
  EXPECT_EQ(lib.CloseDevice(h), 1u);
}

TEST(ApiUdpTest, WorkModeIsIgnoredByTheUdpLibrary) {
  Library lib(TARNLINK_UDP_LIB);
  const uint16_t port = FreePort(false);
  const uint32_t h = lib.OpenDevice(VELA_TYPE_LINK_2CH_UDP, 0, port);
  ASSERT_TRUE(lib.SetU32(VELA_TYPE_LINK_2CH_UDP, 0, VELA_REF_WORK_MODE, 1));
  ASSERT_EQ(lib.SetReference(VELA_TYPE_LINK_2CH_UDP, 0, 0, VELA_REF_REMOTE_ADDR, "127.0.0.1"), 1u);
  ASSERT_EQ(lib.StartCAN(h), 1u);
  // The UDP port is bound now: a second bind fails.
  SocketEndpoint probe;
  ASSERT_EQ(CreateSocket(&probe, false), 0);
  EXPECT_NE(BindAny(&probe, port), 0);
  CloseSocket(&probe);
  EXPECT_EQ(lib.CloseDevice(h), 1u);
}

TEST(ApiBothTest, LibrariesLoadSideBySideWithTheirOwnRegistries) {
  Library tcp(TARNLINK_TCP_LIB);
  Library udp(TARNLINK_UDP_LIB);
  ASSERT_NE(tcp.OpenDevice(kType2, 12, 0), 0u);
  ASSERT_TRUE(tcp.SetU32(kType2, 12, VELA_REF_REMOTE_PORT, 77));
  EXPECT_EQ(udp.GetU32(kType2, 12, VELA_REF_REMOTE_PORT), 0xDEADBEEFu);
  EXPECT_EQ(udp.CloseDevice(0x300C00), 0u);
  EXPECT_EQ(tcp.CloseDevice(0x300C00), 1u);
  EXPECT_NE(tcp.Symbol("cJSON_Parse"), nullptr);
  EXPECT_NE(udp.Symbol("cJSON_Delete"), nullptr);
  EXPECT_NE(udp.Symbol("cJSON_GetObjectItemCaseSensitive"), nullptr);
}

// The dynamic symbol table holds the 18 exports and nothing else of ours.
TEST(ApiBothTest, DynamicSymbolTablesHoldExactlyTheExports) {
  const std::set<std::string> expected = {
      "VELA_OpenDevice",   "VELA_CloseDevice",  "VELA_GetDeviceInf",       "VELA_InitCAN",           "VELA_StartCAN",
      "VELA_ResetCAN",     "VELA_ClearBuffer",  "VELA_ReadChannelErrInfo", "VELA_ReadChannelStatus", "VELA_Transmit",
      "VELA_Receive",      "VELA_TransmitFD",   "VELA_ReceiveFD",          "GetIProperty",           "ReleaseIProperty",
      "VELA_GetReference", "VELA_SetReference", "VELA_GetReceiveNum"};
  for (const char* path : {TARNLINK_TCP_LIB, TARNLINK_UDP_LIB}) {
    const std::string cmd = std::string("nm -D --defined-only ") + path;
    FILE* nm = popen(cmd.c_str(), "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> found;
    char line[512];
    while (fgets(line, sizeof line, nm) != nullptr) {
      char addr[64], kind[8], name[400];
      if (sscanf(line, "%63s %7s %399s", addr, kind, name) != 3) continue;
      std::string n(name);
      if (n.rfind("_init", 0) == 0 || n.rfind("_fini", 0) == 0) continue;
      if (std::string(kind) == "A") continue;  // version node
      // Sanitizer builds may add their own interceptors; ours start with VELA_ or *IProperty.
      if (n.rfind("__asan", 0) == 0 || n.rfind("__ubsan", 0) == 0 || n.rfind("__tsan", 0) == 0 ||
          n.rfind("__sanitizer", 0) == 0) {
        continue;
      }
      found.insert(n);
    }
    pclose(nm);
    EXPECT_EQ(found, expected) << path;
  }
}

// Sends racing starts and resets: a sender finds a live transport or none.
TEST(ApiConcurrencyTest, StartResetRacingSendsIsSafe) {
  Library lib(TARNLINK_TCP_LIB);
  TcpListener gateway;
  ASSERT_TRUE(gateway.ok());
  const uint32_t h = lib.OpenDevice(kType2, 13, 0);
  ASSERT_EQ(lib.SetReference(kType2, 13, 0, VELA_REF_REMOTE_ADDR, "127.0.0.1"), 1u);
  ASSERT_TRUE(lib.SetU32(kType2, 13, VELA_REF_REMOTE_PORT, gateway.port()));
  std::atomic<bool> stop{false};
  std::thread acceptor([&] {
    std::vector<Fd> conns;
    while (!stop) {
      Fd c = gateway.Accept(20);
      if (c.valid()) conns.push_back(std::move(c));
      for (Fd& fd : conns) {
        uint8_t buf[4096];
        while (WaitReadable(fd.get(), 0) && RecvSome(At(fd.get()), reinterpret_cast<char*>(buf), sizeof buf) > 0) {
        }
      }
    }
  });
  std::vector<std::thread> senders;
  std::atomic<uint64_t> sent{0};
  for (int t = 0; t < 3; ++t) {
    senders.emplace_back([&] {
      VELA_CAN_TRANSMIT frames[61] = {};
      while (!stop) sent += lib.Transmit(h, frames, 61);
    });
  }
  for (int i = 0; i < 30; ++i) {
    lib.StartCAN(h);
    lib.ResetCAN(h);
  }
  stop = true;
  for (auto& t : senders) t.join();
  acceptor.join();
  EXPECT_EQ(lib.CloseDevice(h), 1u);
}

INSTANTIATE_TEST_SUITE_P(Libraries, ApiTest, ::testing::ValuesIn(kLibs),
                         [](const ::testing::TestParamInfo<LibParam>& info) { return info.param.name; });

}  // namespace
}  // namespace tarnlink::test
