// The engine inside each component: it holds the properties and settings, records failures,
// writes the log, raises events through its sink and carries out the host's methods.
#ifndef OSTRASYNC_ENGINE_SYNC_ENGINE_H_
#define OSTRASYNC_ENGINE_SYNC_ENGINE_H_

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "engine/config_request.h"
#include "engine/error_codes.h"
#include "engine/engine_settings.h"
#include "engine/event_sink.h"
#include "engine/log_format.h"
#include "engine/per_thread.h"
#include "engine/thread_error_store.h"
#include "platform/platform.h"

namespace ostrasync::engine {

class SyncEngine {
 public:
  // `platform` is what the engine asks of the operating system; null means the process's own
  // (platform::DefaultPlatform()), looked up when first needed. Tests pass their own.
  explicit SyncEngine(EventSink* sink, platform::Platform* platform = nullptr);
  virtual ~SyncEngine();
  SyncEngine(const SyncEngine&) = delete;
  SyncEngine& operator=(const SyncEngine&) = delete;

  // ---- Per-thread error stores (the component's last error and event error) ----
  ThreadErrorStore& last_errors() { return last_errors_; }
  ThreadErrorStore& event_errors() { return event_errors_; }

  // ---- Failures and the log ----
  // Records `code` with its table or system text in the calling thread's last error, logs it, and
  // returns it. 0 records nothing but the code.
  int RecordError(int code);
  int RecordError(int code, std::string_view text);
  // The most recent OS failure of this engine; set where an OS call fails.
  void SetOsLastError(uint32_t code) { os_last_error_.store(code); }
  uint32_t OsLastError() const { return os_last_error_.load(); }
  // Reads the OS error and resets it to 0, as the settings that report it do.
  uint32_t TakeOsLastError() { return os_last_error_.exchange(0); }

  void Log(int level, std::u16string_view message);
  void Log(int level, std::u16string_view format, std::initializer_list<LogArg> args);

  // ---- Properties ----
  int State() const;
  bool ActiveOrActivating() const { return active_.load() != 0 || activating_.load() != 0; }
  int SetSyncRootIcon(std::u16string_view value);
  int SetSyncRootLabel(std::u16string_view value);
  int SetSyncRootPath(std::u16string_view value);
  std::u16string SyncRootIcon() const;
  std::u16string SyncRootLabel() const;
  std::u16string SyncRootPath() const;

  uint32_t code_page() const { return code_page_.load(); }

  // ---- Configuration ----
  // Runs one parsed Config request. A query's result is written to *result, which points into the
  // calling thread's result buffer and stays valid until that thread's next Configure; a write
  // leaves an empty result.
  int Configure(const ConfigRequest& request, const char** result);
  EngineSettings& settings() { return settings_; }

  // ---- Events: the engine side of each event ----
  // Raises a request event: runs `fire` (which delivers the event and returns the event error
  // code the handler left), lets a handler-reported code replace *result_code (-1 and exceptions
  // become 1359), and logs the outcome with the operation word and path.
  template <typename Fire>
  int FireRequest(std::u16string_view operation_word, std::u16string_view path, int* result_code,
                  Fire&& fire);
  // Raises Error; a failing Error handler is only logged.
  void FireError(int code, std::string_view description);
  void FireActivated(int result_code);
  int FireCancelTask(int64_t task_id, std::u16string_view path, int result_code);
  int FireResetFile(int64_t task_id, std::u16string_view path);
  EventSink& sink() { return *sink_; }
  platform::Platform& os();

  // ---- Methods ----
  int do_Activate(bool synchronous);
  int do_Deactivate();
  int Install();
  int Uninstall();
  int FinalizeTask(int64_t op_id, int error_code);
  int GetLocalData(int64_t op_id, int64_t offset, std::span<uint8_t> buffer, int index, int count,
                   int* bytes_read);
  int PutFileData(int64_t op_id, std::span<const uint8_t> buffer, int index, int count);
  int do_CreateFile(std::u16string_view path, int attributes, int64_t size, int64_t creation_time,
                    int64_t last_access_time, int64_t last_write_time);
  int do_CreateFolder(std::u16string_view path, int attributes, int64_t creation_time,
                      int64_t last_access_time, int64_t last_write_time);
  int do_UpdateFile(std::u16string_view path, int attributes, int64_t size, int64_t creation_time,
                    int64_t last_access_time, int64_t last_write_time);
  int do_UpdateFolder(std::u16string_view path, int attributes, int64_t creation_time,
                      int64_t last_access_time, int64_t last_write_time);
  int do_DeleteFile(std::u16string_view path);
  int do_DeleteFolder(std::u16string_view path, bool delete_children);
  int do_GetFileAttributes(std::u16string_view path, int* attributes);
  int do_GetFolderAttributes(std::u16string_view path, int* attributes);
  int do_GetFileStatus(std::u16string_view path, int* status);
  int do_GetFolderStatus(std::u16string_view path, int* status);
  int do_ListFile(int64_t enumeration_handle, std::u16string_view name, int attributes, int64_t size,
                  int64_t creation_time, int64_t last_access_time, int64_t last_write_time);
  int do_ListFolder(int64_t enumeration_handle, std::u16string_view name, int attributes,
                    int64_t creation_time, int64_t last_access_time, int64_t last_write_time);
  int do_PinFile(std::u16string_view path);
  int do_PinFolder(std::u16string_view path);
  int do_UnpinFile(std::u16string_view path);
  int do_UnpinFolder(std::u16string_view path);
  int do_RenameFile(std::u16string_view path, std::u16string_view new_path, bool overwrite);
  int do_RenameFolder(std::u16string_view path, std::u16string_view new_path);
  int do_ResetFile(std::u16string_view path);
  int do_ResetFolder(std::u16string_view path);
  int do_SetFileAttributes(std::u16string_view path, int attributes);
  int do_SetFolderAttributes(std::u16string_view path, int attributes);
  int do_SyncFile(std::u16string_view path);

 private:
  friend class SettingsTable;
  friend class SyncEngineTestPeer;  // tests drive the lifecycle flags directly

  // Fails with 21 "The sync operation is not active" unless the engine runs.
  int RequireActive();
  void LogRequestOutcome(std::u16string_view operation_word, std::u16string_view path,
                         int result_code);
  int SetRootProperty(const char16_t* operation, std::u16string_view value, std::u16string* field);

  EventSink* sink_;  // the component; outlives the engine
  std::atomic<platform::Platform*> platform_;  // set once: at construction or first use
  ThreadErrorStore last_errors_;
  ThreadErrorStore event_errors_;
  PerThread<std::string> config_results_;

  // Lifecycle flags, polled by several threads without a lock.
  std::atomic<uint32_t> active_{0};
  std::atomic<uint32_t> activating_{0};

  std::atomic<uint32_t> os_last_error_{0};
  std::atomic<uint32_t> code_page_{0};

  mutable std::mutex properties_mutex_;
  std::u16string sync_root_icon_{u",0"};  // guarded by properties_mutex_
  std::u16string sync_root_label_;        // guarded by properties_mutex_
  std::u16string sync_root_path_;         // guarded by properties_mutex_
  bool sync_root_path_normalized_ = false;  // guarded by properties_mutex_

  EngineSettings settings_;
};

template <typename Fire>
int SyncEngine::FireRequest(std::u16string_view operation_word, std::u16string_view path,
                            int* result_code, Fire&& fire) {
  int handler_code = 0;
  try {
    handler_code = fire(result_code);
  } catch (...) {
    handler_code = kWinInternalError;
  }
  if (handler_code != 0) *result_code = handler_code == -1 ? kWinInternalError : handler_code;
  LogRequestOutcome(operation_word, path, *result_code);
  return *result_code;
}

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_SYNC_ENGINE_H_
