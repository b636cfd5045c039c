#include "device/device.h"

#include "platform/platform.h"

namespace tarnlink {

Device::Device(uint32_t type, uint32_t index, uint32_t local_port)
    : type_(type), index_(index), local_port_(static_cast<uint16_t>(local_port)) {
  if (const ModelInfo* model = FindModel(type)) {
    channel_count_ = model->channels;
    model_name_ = model->name;
  }
}

Device::~Device() {
  started_.store(0, std::memory_order_release);
  Shutdown();
}

std::shared_ptr<IService> Device::transport() const {
  MutexLock lock(transport_mu_);
  return transport_;
}

bool Device::StartCAN(uint32_t channel) {
  if (!valid_channel(channel)) return false;
  const uint32_t bit = 1u << channel;
  // A start may report success only when the transport it joins is up. One
  // start at a time makes the transport: a start racing it waits (the lock
  // is not held across the connect), then joins the transport that came up
  // or, when that start failed, tries itself.
  {
    MutexLock lock(start_mu_);
    while (starting_) start_cv_.wait(lock.native());
    if (started_.load(std::memory_order_acquire) != 0) {
      started_.fetch_or(bit, std::memory_order_acq_rel);
      return true;
    }
    starting_ = true;
  }
  struct EndStarting {
    Device& d;
    ~EndStarting() {
      {
        MutexLock lock(d.start_mu_);
        d.starting_ = false;
      }
      d.start_cv_.notify_all();
    }
  } end_starting{*this};

  // A transport left by a failed start goes first.
  std::shared_ptr<IService> old;
  {
    MutexLock lock(transport_mu_);
    old.swap(transport_);
  }
  old.reset();

  TransportSettings settings;
  settings.work_mode = work_mode_;
  settings.remote_address = remote_address_;
  settings.remote_port = remote_port_;
  settings.local_port = local_port_;
  settings.multicast_loopback = multicast_loopback_;
  std::shared_ptr<IService> created = CreateTransport(settings);
  if (!created) return false;
  // Before the receive thread exists: it alone uses the parsers afterwards.
  reassembly_.Clear();
  reassembly_.SetPeerLimit(created->Connectionless() ? PeerParsers::kDatagramPeerLimit : 0);
  created->SetCounters(link_counters_);
  created->SetRecvCallback([this](const char* peer, ByteSpan bytes) { OnReceive(peer, bytes); });
  {
    MutexLock lock(transport_mu_);
    transport_ = created;
  }
  // Set before Start so that the first frames are kept; cleared again (before
  // a waiting start looks) when Start fails or throws.
  struct ClearUnlessUp {
    std::atomic<uint32_t>& started;
    uint32_t bit;
    bool up = false;
    ~ClearUnlessUp() {
      if (!up) started.fetch_and(~bit, std::memory_order_acq_rel);
    }
  } bit_guard{started_, bit};
  started_.fetch_or(bit, std::memory_order_acq_rel);
  start_time_.store(NowTicks(), std::memory_order_release);
  bit_guard.up = created->Start();
  return bit_guard.up;
}

bool Device::ResetCAN(uint32_t channel) {
  if (!valid_channel(channel)) return false;
  const uint32_t remaining = started_.fetch_and(~(1u << channel), std::memory_order_acq_rel) & ~(1u << channel);
  if (remaining != 0) return true;
  return Shutdown();
}

bool Device::Shutdown() {
  std::shared_ptr<IService> service = transport();
  if (!service) return false;
  // From here on no receive callback runs.
  service->Stop();
  reassembly_.Clear();
  for (uint32_t ch = 0; ch < channel_count_; ++ch) {
    ClearBuffer(ch);
    autosend_.ClearList(ch);
  }
  {
    // Nothing is queued any more: the pools' memory goes back whole.
    MutexLock pools(pool_mu_);
    TrimPools(0);
  }
  {
    // Waiting requests are not woken; each runs into its own time-out.
    requests_.Clear();
  }
  {
    MutexLock lock(transport_mu_);
    if (transport_ == service) transport_.reset();
  }
  service.reset();  // destroyed here unless a sender still holds it
  for (auto& flag : tx_option_) flag.store(0, std::memory_order_relaxed);
  {
    MutexLock lock(slots_mu_);
    for (DeviceTextSlot& slot : texts_) {
      slot.text.clear();
      slot.fresh = false;
    }
  }
  return true;
}

bool Device::SendPacket(ByteSpan bytes) {
  std::shared_ptr<IService> service = transport();
  return service && service->Send(bytes);
}

}  // namespace tarnlink
