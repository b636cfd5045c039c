// Loads one of the two shared libraries privately, so a test can drive
// either (or both side by side) through the exported functions only.
#ifndef TARNLINK_TESTS_SUPPORT_LIBRARY_H_
#define TARNLINK_TESTS_SUPPORT_LIBRARY_H_

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "tarnlink/tarnlink.h"

namespace tarnlink::test {

class Library {
 public:
  explicit Library(const std::string& path) : path_(path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    Bind(OpenDevice, "VELA_OpenDevice");
    Bind(CloseDevice, "VELA_CloseDevice");
    Bind(GetDeviceInf, "VELA_GetDeviceInf");
    Bind(InitCAN, "VELA_InitCAN");
    Bind(StartCAN, "VELA_StartCAN");
    Bind(ResetCAN, "VELA_ResetCAN");
    Bind(ClearBuffer, "VELA_ClearBuffer");
    Bind(ReadChannelErrInfo, "VELA_ReadChannelErrInfo");
    Bind(ReadChannelStatus, "VELA_ReadChannelStatus");
    Bind(Transmit, "VELA_Transmit");
    Bind(Receive, "VELA_Receive");
    Bind(TransmitFD, "VELA_TransmitFD");
    Bind(ReceiveFD, "VELA_ReceiveFD");
    Bind(GetIProperty, "GetIProperty");
    Bind(ReleaseIProperty, "ReleaseIProperty");
    Bind(GetReference, "VELA_GetReference");
    Bind(SetReference, "VELA_SetReference");
    Bind(GetReceiveNum, "VELA_GetReceiveNum");
  }
  ~Library() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  void* Symbol(const char* name) const { return dlsym(handle_, name); }
  const std::string& path() const { return path_; }

  decltype(&VELA_OpenDevice) OpenDevice = nullptr;
  decltype(&VELA_CloseDevice) CloseDevice = nullptr;
  decltype(&VELA_GetDeviceInf) GetDeviceInf = nullptr;
  decltype(&VELA_InitCAN) InitCAN = nullptr;
  decltype(&VELA_StartCAN) StartCAN = nullptr;
  decltype(&VELA_ResetCAN) ResetCAN = nullptr;
  decltype(&VELA_ClearBuffer) ClearBuffer = nullptr;
  decltype(&VELA_ReadChannelErrInfo) ReadChannelErrInfo = nullptr;
  decltype(&VELA_ReadChannelStatus) ReadChannelStatus = nullptr;
  decltype(&VELA_Transmit) Transmit = nullptr;
  decltype(&VELA_Receive) Receive = nullptr;
  decltype(&VELA_TransmitFD) TransmitFD = nullptr;
  decltype(&VELA_ReceiveFD) ReceiveFD = nullptr;
  decltype(&::GetIProperty) GetIProperty = nullptr;
  decltype(&::ReleaseIProperty) ReleaseIProperty = nullptr;
  decltype(&VELA_GetReference) GetReference = nullptr;
  decltype(&VELA_SetReference) SetReference = nullptr;
  decltype(&VELA_GetReceiveNum) GetReceiveNum = nullptr;

  // Convenience wrappers for the u32 settings keys.
  bool SetU32(uint32_t type, uint32_t index, uint32_t key, uint32_t value, uint32_t channel = 0) const {
    return SetReference(type, index, channel, key, &value) == 1;
  }
  uint32_t GetU32(uint32_t type, uint32_t index, uint32_t key, uint32_t channel = 0) const {
    uint32_t v = 0xDEADBEEF;
    return GetReference(type, index, channel, key, &v) == 1 ? v : 0xDEADBEEF;
  }

 private:
  template <typename F>
  void Bind(F& fn, const char* name) {
    fn = reinterpret_cast<F>(dlsym(handle_, name));
    if (fn == nullptr) throw std::runtime_error(std::string("missing export ") + name);
  }

  std::string path_;
  void* handle_ = nullptr;
};

}  // namespace tarnlink::test

#endif  // TARNLINK_TESTS_SUPPORT_LIBRARY_H_
