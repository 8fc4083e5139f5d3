// The library's exported functions: the null-handle answers, the creation lock, and the guard
// that keeps every exception inside the library.
#include <mutex>
#include <new>

#include "component/kelvo.h"
#include "component/library_lifetime.h"
#include "engine/error_codes.h"
#include "ostrasync.h"
#include "platform/trace_provider.h"

using ostrasync::component::Kelvo;

namespace {

std::mutex& CreationLock() {
  static std::mutex lock;
  return lock;
}

void* g_module_instance = nullptr;

Kelvo* FromHandle(void* handle) { return static_cast<Kelvo*>(handle); }

// Runs `body`; an exception becomes `on_exception` (out of memory is also recorded as the
// thread's last error when there is a component to record it in).
template <typename Body, typename Result>
Result Guarded(Kelvo* component, Result on_exception, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    if (component != nullptr) {
      try {
        component->engine().last_errors().Set(OSTRASYNC_ERR_OUT_OF_MEMORY,
                                              ostrasync::engine::kTextOutOfMemory);
      } catch (...) {
      }
    }
  } catch (...) {
  }
  return on_exception;
}

}  // namespace

namespace ostrasync::component {

void OnLibraryLoad(void* module_instance) { OstraSync_Kelvo_StaticInit(module_instance); }

void OnLibraryUnload() { OstraSync_Kelvo_StaticDestroy(); }

}  // namespace ostrasync::component

extern "C" {

OSTRASYNC_API int OstraSync_Kelvo_StaticInit(void* module_instance) {
  if (module_instance != nullptr) g_module_instance = module_instance;
  ostrasync::platform::RegisterTraceProvider();
  return 0;
}

OSTRASYNC_API int OstraSync_Kelvo_StaticDestroy(void) {
  ostrasync::platform::UnregisterTraceProvider();
  return 0;
}

OSTRASYNC_API void* OstraSync_Kelvo_Create(KelvoEventCallback callback, void* context,
                                           void* /*reserved*/, int options) {
  Kelvo* component = nullptr;
  {
    // A throwing constructor leaves the lock released: later Creates must not deadlock.
    std::lock_guard<std::mutex> lock(CreationLock());
    try {
      component = new Kelvo(callback, context, (options & OSTRASYNC_WIDE_EVENTS) != 0);
    } catch (...) {
      component = nullptr;
    }
  }
  if (component == nullptr) return nullptr;
  char setting[] = "CodePage=65001";
  void* params[2] = {setting, nullptr};  // the Config method writes its result into slot 1
  int cbparams[2] = {0, 0};
  (void)OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_CONFIG, 1, params, cbparams);
  return component;
}

OSTRASYNC_API int OstraSync_Kelvo_Destroy(void* handle) {
  Kelvo* component = FromHandle(handle);
  if (component == nullptr) return 0;
  // A handler destroying the component that called it would pull the engine out from under the
  // event still being delivered.
  if (component->HandlerRunningOnThisThread()) return -1;
  delete component;
  return 0;
}

OSTRASYNC_API int OstraSync_Kelvo_Do(void* handle, int method_id, int param_count, void* params[],
                                     int cbparams[]) {
  Kelvo* component = FromHandle(handle);
  if (component == nullptr) return OSTRASYNC_ERR_OUT_OF_MEMORY;
  return Guarded(component, OSTRASYNC_ERR_OUT_OF_MEMORY,
                 [&] { return component->Do(method_id, param_count, params, cbparams); });
}

OSTRASYNC_API void* OstraSync_Kelvo_Get(void* handle, int prop_id) {
  Kelvo* component = FromHandle(handle);
  if (component == nullptr) return nullptr;
  return Guarded(component, static_cast<void*>(nullptr), [&] { return component->Get(prop_id); });
}

OSTRASYNC_API int OstraSync_Kelvo_Set(void* handle, int prop_id, int /*index*/, const void* value) {
  Kelvo* component = FromHandle(handle);
  if (component == nullptr) return OSTRASYNC_ERR_OUT_OF_MEMORY;
  return Guarded(component, OSTRASYNC_ERR_OUT_OF_MEMORY, [&] { return component->Set(prop_id, value); });
}

OSTRASYNC_API int OstraSync_Kelvo_CheckIndex(void* handle, int /*prop_id*/, int /*index*/) {
  return handle == nullptr ? OSTRASYNC_ERR_OUT_OF_MEMORY : 0;
}

OSTRASYNC_API const char* OstraSync_Kelvo_GetLastError(void* handle) {
  Kelvo* component = FromHandle(handle);
  if (component == nullptr) return nullptr;
  return Guarded(component, static_cast<const char*>(nullptr),
                 [&] { return component->engine().last_errors().Text(); });
}

OSTRASYNC_API int OstraSync_Kelvo_GetLastErrorCode(void* handle) {
  Kelvo* component = FromHandle(handle);
  if (component == nullptr) return OSTRASYNC_ERR_OUT_OF_MEMORY;
  return Guarded(component, OSTRASYNC_ERR_OUT_OF_MEMORY,
                 [&] { return component->engine().last_errors().Code(); });
}

OSTRASYNC_API int OstraSync_Kelvo_SetLastErrorAndCode(void* handle, int code, const char* text) {
  Kelvo* component = FromHandle(handle);
  if (component == nullptr) return OSTRASYNC_ERR_OUT_OF_MEMORY;
  return Guarded(component, OSTRASYNC_ERR_OUT_OF_MEMORY, [&] {
    component->engine().last_errors().Set(code, text ? text : "");
    return code;
  });
}

OSTRASYNC_API const char* OstraSync_Kelvo_GetEventError(void* handle) {
  Kelvo* component = FromHandle(handle);
  if (component == nullptr) return nullptr;
  return Guarded(component, static_cast<const char*>(nullptr),
                 [&] { return component->engine().event_errors().Text(); });
}

OSTRASYNC_API int OstraSync_Kelvo_GetEventErrorCode(void* handle) {
  Kelvo* component = FromHandle(handle);
  if (component == nullptr) return OSTRASYNC_ERR_OUT_OF_MEMORY;
  return Guarded(component, OSTRASYNC_ERR_OUT_OF_MEMORY,
                 [&] { return component->engine().event_errors().Code(); });
}

OSTRASYNC_API int OstraSync_Kelvo_SetEventErrorAndCode(void* handle, int code, const char* text) {
  Kelvo* component = FromHandle(handle);
  if (component == nullptr) return OSTRASYNC_ERR_OUT_OF_MEMORY;
  return Guarded(component, OSTRASYNC_ERR_OUT_OF_MEMORY, [&] {
    ostrasync::engine::ThreadErrorStore& store = component->engine().event_errors();
    store.Set(code, text ? text : "");
    return store.Code();
  });
}

}  // extern "C"
