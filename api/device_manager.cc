#include "api/device_manager.h"

#include <atomic>

#include "platform/platform.h"

namespace tarnlink {
namespace {

// Trivially destructible, so it is still readable after the registry is gone.
std::atomic<bool> g_registry_destroyed{false};
// Set when the process exits with the library loaded (Windows only).
std::atomic<bool> g_abandon_at_exit{false};

}  // namespace

DeviceManager* DeviceManager::Instance() {
  if (g_registry_destroyed.load(std::memory_order_acquire)) return nullptr;
  static DeviceManager instance;
  return &instance;
}

DeviceManager::DeviceManager() { RaiseTimerResolution(); }

// The exit-time handler: runs at library unload or process exit.
DeviceManager::~DeviceManager() {
  g_registry_destroyed.store(true, std::memory_order_release);
  RestoreTimerResolution();
  if (g_abandon_at_exit.load(std::memory_order_acquire)) {
    // The system has already ended the other threads, perhaps holding our
    // locks: joining them or taking those locks could hang the exit. The
    // devices stay undestroyed; the system closes their sockets.
    (void)std::make_unique<std::map<uint32_t, std::shared_ptr<Device>>>(std::move(devices_)).release();
    return;
  }
  std::map<uint32_t, std::shared_ptr<Device>> devices;
  {
    RecursiveMutexLock lock(mu_);
    devices.swap(devices_);
  }
  // Blocked reads on other threads end; each device not in use is destroyed
  // here, stopping its transport and joining its threads.
  for (auto& entry : devices) entry.second->MarkClosed();
  devices.clear();
}

std::shared_ptr<Device> DeviceManager::FindDevice(uint32_t type, uint32_t index) {
  RecursiveMutexLock lock(mu_);
  return FindLocked(type, index);
}

std::shared_ptr<Device> DeviceManager::FindLocked(uint32_t type, uint32_t index) {
  auto it = devices_.lower_bound(DeviceKey(type, index));
  if (it == devices_.end() || it->first != DeviceKey(type, index)) return nullptr;
  return it->second;
}

std::shared_ptr<Device> DeviceManager::OpenDevice(uint32_t type, uint32_t index, uint32_t reserved) {
  RecursiveMutexLock lock(mu_);
  const uint32_t key = DeviceKey(type, index);
  auto it = devices_.find(key);
  if (it != devices_.end()) return it->second;
  auto device = std::make_shared<Device>(type, index, reserved);
  devices_.emplace(key, device);
  KeepLibraryLoaded();
  return device;
}

void DeviceManager::AbandonAtExit() { g_abandon_at_exit.store(true, std::memory_order_release); }

bool DeviceManager::CloseDevice(uint32_t type, uint32_t index) {
  RecursiveMutexLock lock(mu_);
  std::shared_ptr<Device> device = FindLocked(type, index);
  if (!device) return false;
  devices_.erase(DeviceKey(type, index));
  // Threads blocked in a read on it return now and drop their references.
  device->MarkClosed();
  device.reset();  // the last reference destroys it, lock still held
  return true;
}

}  // namespace tarnlink
