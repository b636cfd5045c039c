// The exported functions of one driver library, loaded privately: both
// libraries export the same names, so a process that drives either, or both
// side by side, reaches each through a table of its own.
#ifndef TARNLINK_TOOLS_COMMON_DRIVER_API_H_
#define TARNLINK_TOOLS_COMMON_DRIVER_API_H_

#include <dlfcn.h>

#include <string>

#include "tarnlink/tarnlink.h"

// X(member, exported name) for every export.
#define TARNLINK_DRIVER_EXPORTS(X)               \
  X(OpenDevice, VELA_OpenDevice)                 \
  X(CloseDevice, VELA_CloseDevice)               \
  X(GetDeviceInf, VELA_GetDeviceInf)             \
  X(InitCAN, VELA_InitCAN)                       \
  X(StartCAN, VELA_StartCAN)                     \
  X(ResetCAN, VELA_ResetCAN)                     \
  X(ClearBuffer, VELA_ClearBuffer)               \
  X(ReadChannelErrInfo, VELA_ReadChannelErrInfo) \
  X(ReadChannelStatus, VELA_ReadChannelStatus)   \
  X(Transmit, VELA_Transmit)                     \
  X(Receive, VELA_Receive)                       \
  X(TransmitFD, VELA_TransmitFD)                 \
  X(ReceiveFD, VELA_ReceiveFD)                   \
  X(GetIProperty, GetIProperty)                  \
  X(ReleaseIProperty, ReleaseIProperty)          \
  X(GetReference, VELA_GetReference)             \
  X(SetReference, VELA_SetReference)             \
  X(GetReceiveNum, VELA_GetReceiveNum)

namespace tarnlink {

class DriverApi {
 public:
  // dlopen with RTLD_LOCAL and every export bound; ok() tells whether that
  // worked, error() says why not.
  explicit DriverApi(const std::string& path) : path_(path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      const char* why = dlerror();
      error_ = "cannot load the driver library " + path + (why != nullptr ? std::string(": ") + why : std::string());
      return;
    }
#define TARNLINK_BIND_EXPORT(member, name) Bind(member, #name);
    TARNLINK_DRIVER_EXPORTS(TARNLINK_BIND_EXPORT)
#undef TARNLINK_BIND_EXPORT
  }
  ~DriverApi() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  DriverApi(const DriverApi&) = delete;
  DriverApi& operator=(const DriverApi&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }
  // Any other symbol the library reaches (cJSON's, say); nullptr if none.
  void* Symbol(const char* name) const { return handle_ != nullptr ? dlsym(handle_, name) : nullptr; }

// A declaration per export: its arguments are names, not expressions.
#define TARNLINK_EXPORT_MEMBER(member, name) decltype(&::name) member = nullptr;  // NOLINT(bugprone-macro-parentheses)
  TARNLINK_DRIVER_EXPORTS(TARNLINK_EXPORT_MEMBER)
#undef TARNLINK_EXPORT_MEMBER

 private:
  template <typename F>
  void Bind(F& fn, const char* name) {
    fn = reinterpret_cast<F>(dlsym(handle_, name));
    if (fn == nullptr && error_.empty()) {
      error_ = path_ + " is not a tarnlink driver library (" + name + " is missing)";
    }
  }

  std::string path_;
  std::string error_;
  void* handle_ = nullptr;
};

}  // namespace tarnlink

#endif  // TARNLINK_TOOLS_COMMON_DRIVER_API_H_
