// The engine's entry for the operating system's callbacks: admits a callback only while the
// engine runs and counts the admitted ones so that teardown can wait for them.
#include <array>
#include <chrono>
#include <thread>

#include "engine/sync_engine.h"

namespace ostrasync::engine {
namespace {

constexpr std::array<const char16_t*, platform::cf::kCallbackTypeCount> kCallbackNames = {
    u"FETCH_DATA",          u"VALIDATE_DATA",          u"CANCEL_FETCH_DATA",
    u"FETCH_PLACEHOLDERS",  u"CANCEL_FETCH_PLACEHOLDERS", u"NOTIFY_FILE_OPEN_COMPLETION",
    u"NOTIFY_FILE_CLOSE_COMPLETION", u"NOTIFY_DEHYDRATE", u"NOTIFY_DEHYDRATE_COMPLETION",
    u"NOTIFY_DELETE",       u"NOTIFY_DELETE_COMPLETION", u"NOTIFY_RENAME",
    u"NOTIFY_RENAME_COMPLETION"};

// Callbacks of any engine running on this thread right now; a teardown started from inside one
// waits only for the others.
thread_local int32_t t_callbacks_on_this_thread = 0;

}  // namespace

void SyncEngine::CallbackDispatcher(void* engine, platform::cf::CallbackType type, const platform::CallbackInfo& info,
                                    platform::CallbackParameters* parameters) {
  static_cast<SyncEngine*>(engine)->DispatchCallback(type, info, parameters);
}

void SyncEngine::DispatchCallback(platform::cf::CallbackType type, const platform::CallbackInfo& info,
                                  platform::CallbackParameters* parameters) {
  (void)info;
  (void)parameters;
  // Counted before the check, so a teardown that changes the flags after this point still sees
  // this callback and waits for it.
  callbacks_in_flight_.fetch_add(1);
  ++t_callbacks_on_this_thread;
  const bool admitted = activating_.load() != 0 || (active_.load() != 0 && deactivating_.load() == 0);
  if (admitted) {
    // The handlers of each callback type land with callback dispatch; until then a callback is
    // only logged and left unanswered (the OS times the request out).
    const char16_t* name = type < kCallbackNames.size() ? kCallbackNames[type] : u"UNKNOWN";
    Log(4, u"Callback received: %s", {name});
  }
  --t_callbacks_on_this_thread;
  callbacks_in_flight_.fetch_sub(1);
}

void SyncEngine::WaitForCallbacksToDrain() {
  while (callbacks_in_flight_.load() > t_callbacks_on_this_thread) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace ostrasync::engine
