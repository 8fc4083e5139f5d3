// ETW provider registration. The provider carries no events yet; being registered is what lets
// tracing tools (logman, WPR, PerfView) list the library and start a session for it.
#include "platform/trace_provider.h"

#include <windows.h>

#include <evntprov.h>

#include <mutex>

namespace ostrasync::platform {
namespace {

// The provider's identity. Generated once at random for this library and never to be changed:
// trace session configurations refer to the provider by this GUID.
// {01d307ec-29d5-4d2e-a9a9-062732526e20}
constexpr GUID kTraceProviderId = {
    0x01d307ec, 0x29d5, 0x4d2e, {0xa9, 0xa9, 0x06, 0x27, 0x32, 0x52, 0x6e, 0x20}};

// One lock orders registration against unregistration, so a handle is never released twice or
// used after release. Registration is rare (library load and unload), so contention is no concern.
std::mutex g_mutex;
REGHANDLE g_handle = 0;
bool g_registered = false;

}  // namespace

void RegisterTraceProvider() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_registered) {
    return;
  }
  REGHANDLE handle = 0;
  // Failure (e.g. too many providers in the process) only means the library cannot be traced;
  // the next call tries again.
  if (EventRegister(&kTraceProviderId, nullptr, nullptr, &handle) == ERROR_SUCCESS) {
    g_handle = handle;
    g_registered = true;
  }
}

void UnregisterTraceProvider() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_registered) {
    return;
  }
  EventUnregister(g_handle);
  g_handle = 0;
  g_registered = false;
}

bool TraceProviderRegistered() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_registered;
}

}  // namespace ostrasync::platform
