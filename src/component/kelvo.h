// The Kelvo component a host handle designates: it owns the engine, converts strings at the
// boundary, dispatches methods and properties, and delivers the engine's events to the host.
#ifndef OSTRASYNC_COMPONENT_KELVO_H_
#define OSTRASYNC_COMPONENT_KELVO_H_

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/per_thread.h"
#include "engine/sync_engine.h"
#include "ostrasync.h"

namespace ostrasync::component {

class Kelvo final : public engine::EventSink {
 public:
  // `platform` null: the process's own operating system (tests pass a double).
  Kelvo(KelvoEventCallback callback, void* context, bool wide_events,
        platform::Platform* platform = nullptr);
  ~Kelvo() override;
  Kelvo(const Kelvo&) = delete;
  Kelvo& operator=(const Kelvo&) = delete;

  engine::SyncEngine& engine() { return *engine_; }
  uint32_t code_page() const { return engine_->code_page(); }

  // OstraSync_Kelvo_Do, _Get and _Set for a non-null handle.
  int Do(int method_id, int param_count, void** params, int* cbparams);
  void* Get(int prop_id);
  int Set(int prop_id, const void* value);

  // True while one of this component's handlers runs on the calling thread.
  bool HandlerRunningOnThisThread() const;

  // engine::EventSink
  int OnActivated(int result_code) override;
  int OnCancelTask(int64_t task_id, std::u16string_view path, int* result_code) override;
  int OnCreateFile(int64_t task_id, std::u16string_view path, int attributes, int64_t size,
                   int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                   int* result_code) override;
  int OnCreateFolder(int64_t task_id, std::u16string_view path, int attributes,
                     int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                     int* result_code) override;
  int OnDeleteFile(int64_t task_id, std::u16string_view path, int flags, int* result_code) override;
  int OnDeleteFolder(int64_t task_id, std::u16string_view path, int flags, int* result_code) override;
  int OnError(int error_code, std::string_view description) override;
  int OnGetFileData(int64_t task_id, std::u16string_view path, int64_t offset, int64_t length,
                    int* result_code) override;
  int OnListDirectory(int64_t task_id, std::u16string_view path, std::u16string_view mask,
                      int* result_code) override;
  int OnLog(int level, std::u16string_view line) override;
  int OnRenameFile(int64_t task_id, std::u16string_view path, std::u16string_view new_path,
                   int* result_code) override;
  int OnRenameFolder(int64_t task_id, std::u16string_view path, std::u16string_view new_path,
                     int* result_code) override;
  int OnResetFile(int64_t task_id, std::u16string_view path) override;
  int OnUpdateFile(int64_t task_id, std::u16string_view path, int change_flags, int attributes,
                   int64_t size, int64_t creation_time, int64_t last_access_time,
                   int64_t last_write_time, int* result_code) override;
  int OnUpdateFolder(int64_t task_id, std::u16string_view path, int change_flags, int attributes,
                     int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                     int* result_code) override;
  int OnPlatformRequest(int request_type, int count, void** values, int* lengths) override;

  // One parameter of an event, in the host's slot conventions.
  struct EventParam {
    enum class Kind { kInt, kInt64, kText, kCodePageText, kResultCode };
    Kind kind;
    int64_t number = 0;
    std::u16string_view text;
    std::string_view code_page_text;

    static EventParam Int(int value) { return {Kind::kInt, value, {}, {}}; }
    static EventParam Int64(int64_t value) { return {Kind::kInt64, value, {}, {}}; }
    static EventParam Text(std::u16string_view value) { return {Kind::kText, 0, value, {}}; }
    static EventParam CodePageText(std::string_view value) {
      return {Kind::kCodePageText, 0, {}, value};
    }
    static EventParam ResultCode() { return {Kind::kResultCode, 0, {}, {}}; }
  };

 private:
  // Runs `deliver` (which calls the host and returns the handler's result) inside a frame of its
  // own event error, and returns the event error code the handler left (see EventSink).
  template <typename Call>
  int FireFramed(int event_id, std::string_view name, Call&& deliver);
  // Calls the host's callback; an exception from a C++ host becomes 1359.
  int InvokeCallback(int event_id, int count, void** slots, int* cbparams);
  // Delivers one event and returns the event error code its handler left (see EventSink).
  int Fire(int event_id, std::string_view name, std::initializer_list<EventParam> params,
           int* result_code);
  // Calls the host's callback with the converted parameters; returns the handler's result or
  // the code of a failed string conversion.
  int Deliver(int event_id, std::initializer_list<EventParam> params, int* result_code);
  int UnhandledError(int event_id, std::string_view name, int handler_result);

  // Runs method 2-32; sets *conversion_failed when a string argument could not be converted.
  int DoMethod(int method, bool utf16, void** params, int* cbparams, bool* conversion_failed);
  int DoConfig(bool utf16, void** params, bool* conversion_failed);
  // Stores a method's or property write's result as the thread's last error code, with the text
  // "Out of memory." for 200 when nothing more precise was recorded.
  int RecordCallResult(int result);
  int ConvertToUtf16Service(int param_count, void** params, int* cbparams);

  KelvoEventCallback callback_;
  void* context_;
  bool wide_events_;
  std::unique_ptr<engine::SyncEngine> engine_;

  // Results handed to the host, one set per calling thread (see engine::PerThread).
  engine::PerThread<std::array<std::string, 3>> property_results_;
  engine::PerThread<std::array<std::u16string, 3>> property_results_utf16_;
  engine::PerThread<std::u16string> config_results_utf16_;
  // Copies of the buffers a host handed over in the calling thread's last platform request.
  engine::PerThread<std::vector<std::vector<char>>> retained_buffers_;
};

template <typename Call>
int Kelvo::FireFramed(int event_id, std::string_view name, Call&& deliver) {
  engine::ThreadErrorStore& event_errors = engine_->event_errors();
  // Each firing has its own event error: a nested firing (a Log raised by a method the handler
  // calls) neither sees nor clears the report of the handler around it.
  const engine::ThreadErrorStore::Snapshot outer = event_errors.Save();
  event_errors.Set(0, {});
  const int handler_result = deliver();
  if (handler_result != 0 && event_errors.TextEmpty()) {
    (void)UnhandledError(event_id, name, handler_result);
  }
  const int reported = event_errors.Code();
  event_errors.Restore(outer);
  return reported;
}

// Converts a host string pointer of the UTF-16 variants.
inline const char16_t* AsUtf16(const void* p) { return static_cast<const char16_t*>(p); }

}  // namespace ostrasync::component

#endif  // OSTRASYNC_COMPONENT_KELVO_H_
