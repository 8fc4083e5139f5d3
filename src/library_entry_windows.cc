// Windows entry point of ostrasync.dll. All the work is in component/library_lifetime; this file
// only translates the loader's notifications.
#include <windows.h>

#include "component/library_lifetime.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // The library keeps no per-thread state that needs the thread notifications, and skipping
      // them spares every thread start and exit in the host a trip through the loader lock.
      DisableThreadLibraryCalls(instance);
      ostrasync::component::OnLibraryLoad(instance);
      break;
    case DLL_PROCESS_DETACH:
      // A non-null reserved means the process is exiting: its other threads are already gone,
      // possibly in the middle of holding one of our locks, and Windows reclaims memory, handles
      // and the trace registration by itself. Cleaning up then could only deadlock or touch
      // half-destroyed state, so it runs only when the host unloads the library with FreeLibrary.
      if (reserved == nullptr) {
        ostrasync::component::OnLibraryUnload();
      }
      break;
    default:
      break;
  }
  return TRUE;
}
