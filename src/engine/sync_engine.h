// The engine inside each component: it holds the properties and settings, records failures,
// writes the log, raises events through its sink and carries out the host's methods.
#ifndef OSTRASYNC_ENGINE_SYNC_ENGINE_H_
#define OSTRASYNC_ENGINE_SYNC_ENGINE_H_

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/change_watcher.h"
#include "engine/config_request.h"
#include "engine/engine_thread.h"
#include "engine/error_codes.h"
#include "engine/engine_settings.h"
#include "engine/event_sink.h"
#include "engine/log_format.h"
#include "engine/per_thread.h"
#include "engine/task_registry.h"
#include "items/placeholder_manager.h"
#include "engine/thread_error_store.h"
#include "platform/binding_log.h"
#include "platform/cloud_files_binding.h"
#include "platform/platform.h"
#include "tracking/metadata_cache.h"
#include "tracking/pending_operations.h"

namespace ostrasync::items {
struct LocalItem;
}

namespace ostrasync::engine {

struct RegistrationJob;
struct ActivationRun;

class SyncEngine : public platform::BindingLog {
 public:
  // `platform` is what the engine asks of the operating system; null means the process's own
  // (platform::DefaultPlatform()), looked up when first needed. Tests pass their own.
  explicit SyncEngine(EventSink* sink, platform::Platform* platform = nullptr);
  // Stops a running activation, deactivates, and tears down whatever a failed deactivation
  // left, waiting for every engine thread (never the calling one) before freeing what they use.
  ~SyncEngine() override;
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
  // Also the cloud-files binding's log (platform::BindingLog).
  void Log(int level, std::u16string_view format, std::initializer_list<LogArg> args) override;

  // ---- Properties ----
  int State() const;
  bool ActiveOrActivating() const { return active_.load() != 0 || activating_.load() != 0; }
  bool Deactivating() const { return deactivating_.load() != 0; }
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
  // Raises Error; a failing Error handler is only logged. Every part of the engine reports
  // through it.
  void FireErrorEvent(int code, std::string_view description);
  void FireActivated(int result_code);
  int FireCancelTask(int64_t task_id, std::u16string_view path, int result_code);
  int FireResetFile(int64_t task_id, std::u16string_view path);
  EventSink& sink() { return *sink_; }
  platform::Platform& os();
  // The cloud-files binding over os(), built on first use.
  platform::CloudFilesBinding& binding();
  tracking::MetadataCache& metadata_cache() { return metadata_cache_; }
  tracking::PendingOperations& pending_operations() { return pending_operations_; }
  TaskRegistry& task_registry() { return task_registry_; }
  // The placeholder manager of the current activation, kept alive for the caller; null while the
  // engine is not initialised.
  std::shared_ptr<items::PlaceholderManager> placeholder_manager() const;
  // Milliseconds of the monotonic clock: the time base of task and retry ages, immune to steps
  // of the wall clock.
  int64_t MonotonicMs();

  // ---- Tasks (task_firing.cc, task_completion.cc, task_cancellation.cc) ----
  // Takes a task for the relative `path` (may be empty; the full path is derived from it) and
  // registers it. Null only when memory runs out.
  [[nodiscard]] TaskRef NewTask(std::u16string_view path, OperationType type,
                                std::unique_ptr<OperationRecord> record = nullptr);
  // The absolute path of a task's relative path ("\" is the root; empty stays empty).
  std::u16string TaskFullPath(std::u16string_view path);
  // The one way an event is fired for a task: enters the task's handler lock, raises the event
  // through `fire` (as FireRequest does), and logs the outcome with `action_word`. Returns with
  // the handler lock still held by this thread unless the host finalised from inside its handler;
  // the caller ends the firing with EndTaskHandler.
  template <typename Fire>
  int FireTaskEvent(Task& task, std::u16string_view action_word, std::u16string_view path, int* result_code,
                    Fire&& fire);
  // Ends a firing: a result of 0x21000001 stamps the task's asynchronous start; the handler lock
  // is left if this thread still holds it.
  void EndTaskHandler(Task& task, int result);
  // Fires CancelTask for the task (once: a task already cancelled is not asked about again) and
  // marks it cancelled unless the host objected; a cancelled asynchronous task also counts as
  // finished. Returns the host's objection, or 0. Takes the task lock, never the registry lock;
  // the caller removes the task if it wants it gone.
  int DoCancelTask(Task& task, std::u16string_view path);
  // Cancels the registered tasks of `path` of `type` (-1: every type). True if at least one was
  // cancelled and none failed. The cancelled tasks stay registered until the host's FinalizeTask
  // (answered with 0x21000031) or deactivation removes them.
  bool CancelTransferByPath(std::u16string_view path, int type);
  // Completion of a finished asynchronous OP_READ_DATA task: sends what is still buffered, or
  // answers the OS with the failure the host finalised it with. 0 or the failure.
  int CompleteReadData(Task& task);
  // Re-evaluates whether an item is excluded after it moved. The exclusion rules fill it in;
  // until then every item counts as included (0).
  int ProcessExcludedState(std::u16string_view relative);
  // SyncRootPath joined with ItemDomain.
  std::u16string EffectiveRootPath();

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
  friend class TaskTestPeer;        // tests run single passes of the task threads and the dispatcher
  friend class EnumerationTestPeer;  // tests list with settings no caller uses

  // Fails with 21 "The sync operation is not active" unless the engine runs.
  int RequireActive();
  // 21 while stopped; 0x21000006 while running, for methods not carried out by this version.
  int NotAvailableYet();

  // ---- Registration (registration.cc) ----
  // Normalises the stored SyncRootPath the first time it is needed.
  void NormalizeSyncRootPathOnce();
  // 0, or 0x21000004 recorded when ItemDomain is not one plain folder name.
  [[nodiscard]] int CheckItemDomain();
  [[nodiscard]] int RegisterCloudProvider(bool install_mode);
  // A copy of everything registration reads, taken on the calling thread.
  [[nodiscard]] std::shared_ptr<RegistrationJob> SnapshotRegistration(bool install_mode);
  // The registration thread's work: registers (install mode) or connects. Logs, never records.
  [[nodiscard]] int RegisterSyncProvider(RegistrationJob& job);
  [[nodiscard]] int RegisterInShell(const RegistrationJob& job);
  [[nodiscard]] int UnregisterFromShell(const RegistrationJob& job);
  void RemoveStaleShellRegistration(const RegistrationJob& job);
  // The shell's id of this root: provider!SID!account. 0 or the Win32 error of the SID lookup.
  [[nodiscard]] platform::Win32Error BuildSyncRootId(const RegistrationJob& job, std::u16string* id);
  [[nodiscard]] platform::HResult SetupFolderForIndex(std::u16string_view path, bool add);
  // True when `path` itself is registered as a sync root under `provider_name`.
  [[nodiscard]] bool IsOurSyncRoot(const std::u16string& path, const std::u16string& provider_name);
  [[nodiscard]] bool IsDirectory(const std::u16string& path);
  // Removes the empty folders under `folder` (and `folder` itself unless it is the root); sets
  // *removed when `folder` went. False when a folder could not be read or removed.
  bool DeleteEmptyDirectories(const std::u16string& folder, const std::u16string& root, bool* removed);
  // Scans the connected root for changes made while the engine was stopped. Finds nothing until
  // the offline scan lands.
  [[nodiscard]] bool CheckFolderForOfflineChanges(const std::u16string& folder);
  // Joins registration threads that have finished; with `all`, waits for every one (never the
  // calling thread).
  void ReapRegistrationThreads(bool all);
  // REQUIRES: registration_mutex_ held.
  [[nodiscard]] bool RegistrationThreadIsCurrent() const;

  // ---- Lifecycle (engine_lifecycle.cc) ----
  [[nodiscard]] int IntActivate(bool synchronous);
  [[nodiscard]] bool InitializeOsObjects();
  void UninitializeOsObjects();
  [[nodiscard]] int LaunchProvider();
  [[nodiscard]] int StartCheckExpiredPendingTasksThread();
  // Asks a running activation to give up and, unless called on the activating thread itself,
  // waits until it has ended.
  void IntStopActivating();
  [[nodiscard]] int IntDeactivate();
  // Stops the watcher, disconnects and waits for the callbacks already admitted. Idempotent.
  void DeactivateProvider();
  void IntUninitialize();
  // Stops and joins the monitor, the retry thread and the checker.
  void StopEngineThreads();
  // True on a thread the engine started (activation, registration, watcher, engine threads).
  [[nodiscard]] bool OnEngineThread() const;
  // Waits for the activation thread of an earlier asynchronous activation (never itself).
  void JoinActivationThread();
  // Lists the whole remote tree into the root, depth first (enumeration.cc).
  [[nodiscard]] int PopulateRoot();
  // Ends asynchronous work at deactivation; the task registry fills it in.
  [[nodiscard]] int CancelAllTransfers();

  // ---- Engine threads (engine_threads.cc) ----
  void PendingOperationsMonitor();
  void EventRetryThread();
  void ExpiredTaskChecker();

  // ---- Callback dispatch (callback_dispatch.cc) ----
  static void CallbackDispatcher(void* engine, platform::cf::CallbackType type, const platform::CallbackInfo& info,
                                 platform::CallbackParameters* parameters);
  void DispatchCallback(platform::cf::CallbackType type, const platform::CallbackInfo& info,
                        platform::CallbackParameters* parameters);
  // Polls every 100 ms until no callback admitted by the dispatcher is still running.
  void WaitForCallbacksToDrain();
  void LogRequestOutcome(std::u16string_view operation_word, std::u16string_view path,
                         int result_code);
  int SetRootProperty(const char16_t* operation, std::u16string_view value, std::u16string* field);

  // The dispatcher's work for one admitted callback: attaches a task, runs the type's handler,
  // reports a failure and drops the task unless it went asynchronous.
  void ServeCallback(platform::cf::CallbackType type, const platform::CallbackInfo& info,
                     platform::CallbackParameters* parameters);

  // ---- Callback handlers (callback_handlers.cc) ----
  // Each answers the OS itself where the callback needs an answer and returns the host-level
  // result the dispatcher reports.
  // The path relative to the sync root of a callback's NormalizedPath; 0x21000004 with "Failed
  // to get relative path for '%s'" logged when it lies outside the root.
  int RelativePathOf(std::u16string_view normalized_path, std::u16string* relative);
  int HandleFetchData(Task& task);
  int HandleCancelFetchData(Task& task);
  int HandleFetchPlaceholders(Task& task);
  int HandleCancelFetchPlaceholders(Task& task);
  int HandleNotifyDehydrate(Task& task);
  // Answers the OS for a callback that cannot be served, with the failure status of `result`.
  void RefuseCallback(Task& task, int result);

  // ---- Data transfer (fetch_data.cc, data_transfer.cc, local_data.cc) ----
  // Shows or clears the error mark of a fetched file, when WindowsUpdateIconOnRetrieveErrors asks.
  void MarkRetrieveError(Task& task, bool error);
  // Fires GetFileData for a fetch; returns with the handler lock held (EndTaskHandler ends it).
  int DoGetItemData(Task& task, std::u16string_view path, int64_t offset, int64_t length, int* result);
  // Sends the held bytes followed by `input` to the OS in whole parts, and with `final` the short
  // rest as well; keeps a short rest held otherwise. 0, 0x21000031 (cancelled) or 0x21000041 (the
  // OS refused a part). REQUIRES: transfer.mutex held.
  int TransferChunks(Task& task, TransferBuffer& transfer, std::span<const uint8_t> input, bool final);
  // One part, placed after what was already sent, with a progress report. REQUIRES: transfer.mutex held.
  int SendChunk(Task& task, TransferBuffer& transfer, std::span<const uint8_t> chunk);
  // Ends a fetch the host finalised: sends what is still held. A fetch finalised with an error, or
  // short of the range the requester needs (0x21000030), fails; the OS hears of every failure.
  // Returns 0 or the failure.
  int FinishTransfer(Task& task);
  // The OS hears the failure status of `code` over the range it asked for, unless it has already
  // had its last word. REQUIRES: transfer.mutex held.
  void AnswerFetchFailure(Task& task, TransferBuffer& transfer, int code);
  // A part could not be sent, or the fetch was cancelled under way: the OS hears of it and the
  // host gets CancelTask. Returns `code`.
  int FailTransfer(Task& task, int code);
  // A fetch the engine gives up on (cancelled, expired) is answered with `code`'s failure, so that
  // its reader fails now rather than at the OS's time-out. Does nothing for other tasks; may be
  // called under the task lock.
  void AbandonFetch(Task& task, int code);

  // ---- Enumeration (enumeration.cc, enumeration_items.cc) ----
  // Lists the folder `path` (relative) through the host and puts what it reports on disk, the
  // folders' own content too when `recursive`. 0x21000001 when the host finishes the listing later
  // (the monitor then completes it); callers that answer nobody count that as done.
  // `mark_populated_when_finished`: the OS asked, and is answered before such a later finish.
  // `complete` (optional): set false when an item reported could not be put on disk.
  [[nodiscard]] int ProcessDirectory(std::u16string_view path, std::u16string_view mask, int64_t context,
                                     int32_t batch_size, bool recursive, bool mark_populated_when_finished = false,
                                     bool* complete = nullptr);
  // Registers the listing's task and asks the host. On 0 and 0x21000001 *task is the registered
  // task; on any other result the task is gone and *task is empty.
  [[nodiscard]] int EnumerateRemoteItems(TaskRef* task, std::u16string_view path, std::u16string_view mask,
                                         int64_t context, int32_t batch_size, bool recursive,
                                         bool mark_populated_when_finished);
  // Fires ListDirectory for the task; returns with the handler lock held (EndTaskHandler ends it).
  int DoListItems(Task& task, std::u16string_view path, std::u16string_view mask);
  // ListFile and ListFolder: one item reported for the listing `handle`.
  int IntListItem(int64_t handle, std::u16string_view name, bool folder, int attributes, int64_t size,
                  int64_t creation_time, int64_t last_access_time, int64_t last_write_time);
  // Puts the items buffered so far on disk, in the order reported, recursing into folders when
  // the listing is recursive; with `remove_task`, the listing ends and its task leaves the
  // registry. 0, 0x21000031 (cancelled or stopping; the rest is dropped) or 0x21000100.
  // `taken`, when given, holds the items a flush already took out of the buffer.
  int FinishEnumeration(Task& task, bool remove_task, std::vector<items::ListedItem>* taken = nullptr);
  // Whether the listing's folder (at `full_path`) was empty when the listing first put items in
  // it; the first call of a listing reads the folder, the others repeat its answer.
  bool FolderWasEmptyAtStart(EnumerationBuffer& buffer, const std::u16string& full_path);
  // The monitor's completion of a listing the host finalised with `host_result`.
  int CompleteListing(Task& task, int host_result);
  // Tells the OS that the folder's content is all there, so that it stops asking for it.
  int MarkFolderPopulated(std::u16string_view relative);

  // ---- Task completion (task_completion.cc) ----
  // One pass of the monitor over the batch starting at *cursor (the index of the first task not
  // yet looked at). Returns true when tasks after the batch are still to be looked at, and
  // leaves *cursor on the first of them. A pass stops early, before any task, once the engine
  // deactivates or `owner` (the thread running it, if any) is told to stop.
  bool CompleteFinishedTasks(std::size_t* cursor, const EngineThread* owner);
  // Takes a finished asynchronous task out of the registry and completes it (CompleteTask); the
  // task counts as pending until its completion is over. False, with nothing done, when someone
  // else removed it first: its end is theirs.
  bool CompleteFinishedTask(Task& task);
  // Completes one finished asynchronous task by its type and reports a failure through Error.
  void CompleteTask(Task& task);
  // One pass of the expiry check; stops early as the monitor's pass does.
  void CancelExpiredTasks(const EngineThread* owner);
  bool Stopping(const EngineThread* owner) const;

  // ---- Item methods (items/item_methods.cc) ----
  // Validates a method's LocalPath: a path of plain item names below the root (not the root
  // itself); else records 0x21000004 "The LocalPath parameter could not be parsed".
  [[nodiscard]] int CheckLocalPath(std::u16string_view local_path);
  // 0, or 0x21000041 recorded (with the OS error kept) for an item that could not be looked at.
  [[nodiscard]] int RefuseUnreadable(const items::LocalItem& local, const std::u16string& full_path);
  // The create and update routines every path to a placeholder goes through; `flags` are
  // items::placeholder_flag values. `local_path` is the key of the cache record; the placeholder's
  // identity is `item_id`, or `local_path` when it is empty. Every failure is recorded here.
  // A failed create leaves the cache as it was unless the item now exists on disk.
  int CreateFileInt(std::u16string_view local_path, uint32_t attributes, int64_t size, uint64_t creation_time,
                    uint64_t last_access_time, uint64_t last_write_time, uint32_t flags,
                    std::u16string_view item_id = {});
  // Cancels the path's running transfers unless kKeepTransfers, then CreateFileInt with
  // kForceUpdate.
  int UpdateFileInt(std::u16string_view local_path, uint32_t attributes, int64_t size, uint64_t creation_time,
                    uint64_t last_access_time, uint64_t last_write_time, uint32_t flags,
                    std::u16string_view item_id = {});
  // The common body of the four create and update methods: every check before the pending
  // entry, the cache or the disk is touched.
  int CreateOrUpdateItem(bool update, bool folder, std::u16string_view path, int attributes, int64_t size,
                         int64_t creation_time, int64_t last_access_time, int64_t last_write_time);

  EventSink* sink_;  // the component; outlives the engine
  std::atomic<platform::Platform*> platform_;  // set once: at construction or first use
  ThreadErrorStore last_errors_;
  ThreadErrorStore event_errors_;
  PerThread<std::string> config_results_;

  // Lifecycle flags, polled by several threads without a lock.
  std::atomic<uint32_t> active_{0};
  std::atomic<uint32_t> activating_{0};
  std::atomic<uint32_t> deactivating_{0};
  std::atomic<uint32_t> stop_activation_requested_{0};
  std::atomic<uint32_t> install_mode_{0};
  // Callbacks past the dispatcher's activity check and not yet returned.
  std::atomic<int32_t> callbacks_in_flight_{0};

  std::once_flag binding_once_;
  std::unique_ptr<platform::CloudFilesBinding> binding_;  // set once under binding_once_

  // Owned for the engine's whole life; each carries its own locks.
  tracking::MetadataCache metadata_cache_;
  tracking::PendingOperations pending_operations_;
  TaskRegistry task_registry_;

  // The activation-time objects. The lifecycle runs one Activate/Deactivate at a time, but the
  // dispatcher, the engine threads and a destroying thread read these too.
  mutable std::mutex lifecycle_mutex_;
  std::shared_ptr<items::PlaceholderManager> placeholder_manager_;  // guarded by lifecycle_mutex_
  // Shared so that a callback holding it keeps it alive through a deactivation it causes.
  std::shared_ptr<std::recursive_mutex> serialize_events_lock_;  // guarded by lifecycle_mutex_
  std::unique_ptr<ChangeWatcher> watcher_;                    // guarded by lifecycle_mutex_
  platform::ConnectionContext* connection_ = nullptr;         // guarded by lifecycle_mutex_
  std::shared_ptr<ActivationRun> activation_run_;             // guarded by lifecycle_mutex_
  std::thread activation_thread_;                             // guarded by lifecycle_mutex_
  std::thread::id deactivating_thread_;                       // guarded by lifecycle_mutex_

  EngineThread monitor_thread_;
  EngineThread retry_thread_;
  EngineThread checker_thread_;

  // Registration threads, each holding its own copy of the request; joined before the engine
  // goes, since each uses the engine to log and to fire Error.
  mutable std::mutex registration_mutex_;
  std::vector<std::shared_ptr<RegistrationJob>> registration_jobs_;  // guarded by registration_mutex_

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

template <typename Fire>
int SyncEngine::FireTaskEvent(Task& task, std::u16string_view action_word, std::u16string_view path,
                              int* result_code, Fire&& fire) {
  task.handler_lock.Enter();
  *result_code = 0;
  return FireRequest(action_word, path, result_code, std::forward<Fire>(fire));
}

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_SYNC_ENGINE_H_
