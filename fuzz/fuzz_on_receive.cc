// A started Device fed arbitrary chunks from several peers, with reads,
// command exchanges and stop/start steps between them, so that reassembly,
// dispatch, the queues, the answer hand-over and the report slots all see
// hostile input. The transport is a fake: it accepts or refuses each Send as
// the input decides, and answers the host's command requests synchronously
// with answer bodies taken from the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "device/device.h"
#include "fuzz/fuzz_support.h"
#include "protocol/commands.h"
#include "protocol/packet.h"
#include "tarnlink/tarnlink.h"
#include "transport/service.h"

namespace tarnlink {
namespace {

constexpr const char* kPeers[] = {"127.0.0.1:5000", "127.0.0.1:5001", "10.0.0.7:4001", ""};
// Answers come from a peer of their own: a fuzzed partial packet held for
// another peer would swallow them, and the request would wait its 1500 ms.
constexpr const char* kAnswerPeer = "198.51.100.1:4000";

using fuzz::Guarded;
using fuzz::Input;

// The one input being run; the fake transport draws its decisions from it.
Input* g_input = nullptr;
Device* g_device = nullptr;

class FakeService final : public IService {
 public:
  bool Start() override { return g_input == nullptr || (g_input->Byte() & 0x0F) != 0; }
  bool Stop() override { return true; }
  bool Send(ByteSpan bytes) override {
    CHECK(bytes.size() >= kMinPacketSize);
    const uint8_t* p = bytes.data();
    const auto len = static_cast<int>(bytes.size());
    // Everything the device sends is a whole, well-formed packet.
    CHECK(p[0] == kStartByte && HeaderIsValid(p, static_cast<size_t>(len)));
    CHECK(LoadBe16(p + 4) + kMinPacketSize == static_cast<size_t>(len));
    CHECK(PacketChecksum(p, static_cast<size_t>(len) - 1) == p[len - 1]);
    if (g_input == nullptr) return true;
    const uint8_t decision = g_input->Byte();
    if ((decision & 0x03) == 0) return false;
    // A command request from the host gets its answer before Send returns,
    // which the hand-over must accept (the answer precedes the wait). Every
    // accepted request is answered: an unanswered one would wait 1500 ms.
    if (p[1] == static_cast<uint8_t>(PacketType::kCommand) && (p[2] & kAnswerFlag) == 0 && g_device != nullptr) {
      uint8_t sequence = 0;
      bool is_answer = false;
      CommandMessage request;
      CHECK(ParseCommandPacket(PacketView{p, bytes.size()}, &sequence, &is_answer, &request));
      CommandMessage answer;
      answer.message_id = request.message_id;
      answer.code = g_input->Byte() & 0x01;
      size_t got = 0;
      const uint8_t* body = g_input->Take(g_input->U16() % 700, &got);
      answer.body.assign(body, body + got);
      const Packet packet = EncodeAnswer(answer, sequence);
      // Half the time split in two chunks, to cross the reassembly.
      const size_t cut = (decision & 0x08) != 0 ? packet.size() / 2 : packet.size();
      g_device->OnReceive(kAnswerPeer, ByteSpan(packet.data(), cut));
      if (cut < packet.size()) {
        g_device->OnReceive(kAnswerPeer, ByteSpan(packet).Sub(cut));
      }
    }
    return true;
  }
};

void ReadSomething(Device& device, uint32_t channels, Input& in) {
  const uint8_t op = in.Byte();
  const uint32_t channel = in.Byte() % 6;  // a few beyond the 4 channels too
  const uint32_t capacity = 1 + in.Byte() % 64;
  switch (op % 12) {
    case 0: {
      Guarded out(capacity * sizeof(VELA_CAN_RECEIVE));
      const uint32_t n = device.Receive(channel, reinterpret_cast<VELA_CAN_RECEIVE*>(out.data()), capacity, 0);
      CHECK(n <= capacity);
      CHECK(channel < channels || n == 0);
      out.Check();
      break;
    }
    case 1: {
      Guarded out(capacity * sizeof(VELA_CANFD_RECEIVE));
      const uint32_t n = device.ReceiveFD(channel, reinterpret_cast<VELA_CANFD_RECEIVE*>(out.data()), capacity, 0);
      CHECK(n <= capacity);
      out.Check();
      break;
    }
    case 2: {
      Guarded out(sizeof(VELA_CHANNEL_ERR_INFO));
      device.ReadChannelErrInfo(channel, reinterpret_cast<VELA_CHANNEL_ERR_INFO*>(out.data()));
      out.Check();
      break;
    }
    case 3: {
      Guarded stamps(capacity * sizeof(uint64_t));
      VELA_MARKER_READ record{reinterpret_cast<uint64_t*>(stamps.data()), capacity, 0};
      if (device.GetReference(channel, VELA_REF_MARKERS, &record)) CHECK(record.count <= capacity);
      stamps.Check();
      break;
    }
    case 4: {
      Guarded out(sizeof(VELA_CHANNEL_REPORT));
      device.GetReference(channel, VELA_REF_CHANNEL_REPORT, out.data());
      out.Check();
      break;
    }
    case 5: {
      Guarded out(sizeof(uint32_t));
      CHECK(device.GetReference(channel, VELA_REF_GPS_COUNT, out.data()));
      out.Check();
      break;
    }
    case 6: {
      Guarded records(capacity * sizeof(VELA_GPS));
      VELA_GPS_READ record{reinterpret_cast<VELA_GPS*>(records.data()), capacity, 0, 0};
      CHECK(device.GetReference(channel, VELA_REF_GPS_READ, &record));
      CHECK(record.count <= capacity);
      records.Check();
      break;
    }
    case 7: {
      Guarded out(sizeof(VELA_CHANNEL_STATUS));
      device.ReadChannelStatus(channel, reinterpret_cast<VELA_CHANNEL_STATUS*>(out.data()));
      out.Check();
      const uint32_t waiting = device.GetReceiveNum(channel, in.Byte());
      CHECK(waiting <= kQueueLimit);
      break;
    }
    case 8: {
      // Command exchanges: answered inside Send, or refused at once.
      Guarded info(sizeof(VELA_DEVICE_INFO));
      device.GetDeviceInf(reinterpret_cast<VELA_DEVICE_INFO*>(info.data()));
      info.Check();
      Guarded remain(sizeof(uint32_t));
      device.GetReference(channel, VELA_REF_SIZE_REMAIN, remain.data());
      remain.Check();
      break;
    }
    case 9: {
      Guarded text(capacity);
      VELA_TEXT_READ record{reinterpret_cast<char*>(text.data()), capacity, 0};
      device.GetReference(channel, VELA_REF_DEVICE_QUERY_1 + op % 4, &record);
      text.Check();
      break;
    }
    case 10: {
      // Keys 31 and 32 (33 and 34) as an application pairs them.
      const bool fd = (op & 0x10) != 0;
      uint32_t count = 0;
      if (device.GetReference(channel, fd ? VELA_REF_AUTOSEND_COUNT_FD : VELA_REF_AUTOSEND_COUNT, &count)) {
        CHECK(count <= kChannelSlots);
        const size_t size = fd ? sizeof(VELA_CANFD_AUTOSEND) : sizeof(VELA_CAN_AUTOSEND);
        Guarded list(count * size + 1);
        device.GetReference(channel, fd ? VELA_REF_AUTOSEND_LIST_FD : VELA_REF_AUTOSEND_LIST, list.data());
        list.Check();
      }
      break;
    }
    default:
      device.ClearBuffer(channel);
      break;
  }
}

}  // namespace

// The fuzz target's transport factory, in place of the libraries' own.
std::unique_ptr<IService> CreateTransport(const TransportSettings&) { return std::make_unique<FakeService>(); }

}  // namespace tarnlink

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnlink;
  Input in(data, size);
  const uint8_t head = in.Byte();
  // Model-table types and one outside it; 1, 2 or 4 channels.
  constexpr uint32_t kTypes[] = {VELA_TYPE_AIR_1CH_TCP, VELA_TYPE_LINK_2CH_TCP, VELA_TYPE_LINK_4CH_UDP, 0x77};
  Device device(kTypes[head & 3], 0, 0);
  const ModelInfo* model = FindModel(kTypes[head & 3]);
  const uint32_t channels = model != nullptr ? model->channels : kUnknownModel.channels;
  g_device = &device;
  if (device.StartCAN(0)) {
    g_input = &in;
    while (!in.empty()) {
      const uint8_t op = in.Byte();
      switch (op >> 5) {
        case 0:
        case 1:
        case 2:
        case 3: {
          // A chunk of up to 4 KiB from one of the peers.
          size_t got = 0;
          const uint8_t* chunk = in.Take(1 + in.U16() % 4096, &got);
          device.OnReceive(kPeers[op & 3], ByteSpan(chunk, got));
          break;
        }
        case 4:
        case 5:
          ReadSomething(device, channels, in);
          break;
        case 6:
          device.StartCAN(op & 0x07);
          break;
        default:
          // Resetting the last channel runs the shutdown; later sends fail
          // until a start makes a fresh transport.
          device.ResetCAN(op & 0x07);
          break;
      }
    }
  }
  g_input = nullptr;
  g_device = nullptr;
  return 0;
}
