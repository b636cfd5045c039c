// The registry of open devices, one per loaded library.
#ifndef TARNLINK_API_DEVICE_MANAGER_H_
#define TARNLINK_API_DEVICE_MANAGER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "device/device.h"
#include "platform/thread_annotations.h"

namespace tarnlink {

class DeviceManager {
 public:
  // The one registry, created by the first call; null once it was destroyed
  // at unload (a late call on another thread then just fails).
  static DeviceManager* Instance();

  std::shared_ptr<Device> FindDevice(uint32_t type, uint32_t index);
  std::shared_ptr<Device> OpenDevice(uint32_t type, uint32_t index, uint32_t reserved);
  bool CloseDevice(uint32_t type, uint32_t index);

  // Called by the loader's detach at process exit (Windows): the exit-time
  // handler then leaves the devices and their threads alone.
  static void AbandonAtExit();

  // Bits 0-15 the type, bits 16-31 the index (low 16 bits of each).
  static uint32_t DeviceKey(uint32_t type, uint32_t index) { return (type & 0xFFFFu) | ((index & 0xFFFFu) << 16); }

  DeviceManager(const DeviceManager&) = delete;
  DeviceManager& operator=(const DeviceManager&) = delete;
  ~DeviceManager();

 private:
  DeviceManager();
  std::shared_ptr<Device> FindLocked(uint32_t type, uint32_t index) REQUIRES(mu_);

  // Recursive for callers that hold it while they look up.
  RecursiveMutex mu_;
  std::map<uint32_t, std::shared_ptr<Device>> devices_ GUARDED_BY(mu_);
};

}  // namespace tarnlink

#endif  // TARNLINK_API_DEVICE_MANAGER_H_
