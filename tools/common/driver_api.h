// The exported functions of one driver library, loaded privately: both
// libraries export the same names, so a process that drives either, or both
// side by side, reaches each through a table of its own.
#ifndef TARNLINK_TOOLS_COMMON_DRIVER_API_H_
#define TARNLINK_TOOLS_COMMON_DRIVER_API_H_

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

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
  // dlopen with RTLD_LOCAL (LoadLibrary on Windows) and every export bound;
  // ok() tells whether that worked, error() says why not.
  explicit DriverApi(const std::string& path) : path_(path) {
    std::string why;
    handle_ = Load(path, &why);
    if (handle_ == nullptr) {
      error_ = "cannot load the driver library " + path + (why.empty() ? std::string() : ": " + why);
      return;
    }
#define TARNLINK_BIND_EXPORT(member, name) Bind(member, #name);
    TARNLINK_DRIVER_EXPORTS(TARNLINK_BIND_EXPORT)
#undef TARNLINK_BIND_EXPORT
  }
  ~DriverApi() {
    if (handle_ != nullptr) Unload(handle_);
  }
  DriverApi(const DriverApi&) = delete;
  DriverApi& operator=(const DriverApi&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }
  // Any other symbol the library reaches (cJSON's, say); nullptr if none.
  void* Symbol(const char* name) const { return handle_ != nullptr ? Find(handle_, name) : nullptr; }

// A declaration per export: its arguments are names, not expressions.
#define TARNLINK_EXPORT_MEMBER(member, name) decltype(&::name) member = nullptr;  // NOLINT(bugprone-macro-parentheses)
  TARNLINK_DRIVER_EXPORTS(TARNLINK_EXPORT_MEMBER)
#undef TARNLINK_EXPORT_MEMBER

 private:
  template <typename F>
  void Bind(F& fn, const char* name) {
    fn = reinterpret_cast<F>(Find(handle_, name));
    if (fn == nullptr && error_.empty()) {
      error_ = path_ + " is not a tarnlink driver library (" + name + " is missing)";
    }
  }

#if defined(_WIN32)
  static void* Load(const std::string& path, std::string* why) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) *why = "error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(module);
  }
  static void Unload(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
  static void* Find(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
  }
#else
  static void* Load(const std::string& path, std::string* why) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* text = dlerror();
      if (text != nullptr) *why = text;
    }
    return handle;
  }
  static void Unload(void* handle) { dlclose(handle); }
  static void* Find(void* handle, const char* name) { return dlsym(handle, name); }
#endif

  std::string path_;
  std::string error_;
  void* handle_ = nullptr;
};

}  // namespace tarnlink

#endif  // TARNLINK_TOOLS_COMMON_DRIVER_API_H_
