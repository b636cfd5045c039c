// The DLL entry point. Nothing here may wait for a thread: the loader lock
// is held, and every thread start and end needs it too.
#include <windows.h>

#include "api/device_manager.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
  // A non-null reserved at detach: the process is exiting and its other
  // threads are already gone. (The devices' threads keep the library loaded
  // until then, so a FreeLibrary never unloads it under them.)
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) tarnlink::DeviceManager::AbandonAtExit();
  return TRUE;
}
