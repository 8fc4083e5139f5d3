// A small host for component tests: creates a component through the exports and records the
// events it receives, decoded from their slots.
#ifndef OSTRASYNC_TESTS_COMPONENT_TEST_HOST_H_
#define OSTRASYNC_TESTS_COMPONENT_TEST_HOST_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "component/kelvo.h"
#include "ostrasync.h"

namespace ostrasync::engine {
// Reaches the engine's lifecycle flags, which only activation sets.
class SyncEngineTestPeer {
 public:
  static void SetActive(SyncEngine& engine, bool active) { engine.active_.store(active ? 1 : 0); }
  static void SetActivating(SyncEngine& engine, bool on) { engine.activating_.store(on ? 1 : 0); }
};
}  // namespace ostrasync::engine

namespace ostrasync::testing {

struct RecordedEvent {
  int id = 0;
  int count = 0;
  std::vector<void*> slots;  // as delivered (pointers valid only during the callback)
  std::vector<std::string> texts;  // string slots, as UTF-8 (narrow events) or converted (wide)
  int level = 0;                   // Log: level; Error: code
};

class TestHost {
 public:
  using Handler = std::function<int(int event_id, int count, void** params)>;

  explicit TestHost(int options = 0, bool with_callback = true)
      : wide_((options & OSTRASYNC_WIDE_EVENTS) != 0) {
    handle_ = OstraSync_Kelvo_Create(with_callback ? &TestHost::Callback : nullptr, this, nullptr, options);
  }
  ~TestHost() { OstraSync_Kelvo_Destroy(handle_); }
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  void* handle() const { return handle_; }
  component::Kelvo& kelvo() const { return *static_cast<component::Kelvo*>(handle_); }
  engine::SyncEngine& engine() const { return kelvo().engine(); }

  // Runs for every event before it is recorded; its result is the callback's result.
  void set_handler(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
  }

  std::vector<RecordedEvent> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<RecordedEvent> events_of(int id) {
    std::vector<RecordedEvent> out;
    for (auto& e : events()) if (e.id == id) out.push_back(e);
    return out;
  }
  // Log lines received, in order.
  std::vector<std::string> log_lines() {
    std::vector<std::string> out;
    for (auto& e : events_of(OSTRASYNC_EVENT_LOG)) out.push_back(e.texts.at(0));
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

  // Config through the exports; returns the result code and the value read.
  int Config(const std::string& text, std::string* value = nullptr) {
    void* params[2] = {const_cast<char*>(text.c_str()), nullptr};
    int cbparams[2] = {0, 0};
    const int rc = OstraSync_Kelvo_Do(handle_, OSTRASYNC_METHOD_CONFIG, 1, params, cbparams);
    if (value) *value = params[1] ? static_cast<const char*>(params[1]) : "<null>";
    return rc;
  }
  std::string Query(const std::string& name) {
    std::string value;
    Config(name, &value);
    return value;
  }

  int last_error_code() const { return OstraSync_Kelvo_GetLastErrorCode(handle_); }
  std::string last_error() const { return OstraSync_Kelvo_GetLastError(handle_); }

 private:
  static int Callback(void* context, int event_id, int count, void* params[], int cbparams[]);

  const bool wide_;
  void* handle_ = nullptr;
  std::mutex mutex_;
  Handler handler_;                     // guarded by mutex_ (copied out before the call)
  std::vector<RecordedEvent> events_;   // guarded by mutex_
};

// UTF-16 literal helpers for the wide variants.
inline const ostrasync_wchar* W(const char16_t* s) { return reinterpret_cast<const ostrasync_wchar*>(s); }
std::string ToUtf8(const ostrasync_wchar* s);

}  // namespace ostrasync::testing

#endif  // OSTRASYNC_TESTS_COMPONENT_TEST_HOST_H_
