// The engine's only way to the operating system's cloud-files facility: each operation takes one
// request record, checks it, opens the item itself when the call needs a handle, makes the call,
// logs it and returns the result as an HRESULT.
#ifndef OSTRASYNC_PLATFORM_CLOUD_FILES_BINDING_H_
#define OSTRASYNC_PLATFORM_CLOUD_FILES_BINDING_H_

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "platform/binding_log.h"
#include "platform/callback_parameters.h"
#include "platform/cloud_files.h"
#include "platform/file_system.h"
#include "platform/platform.h"
#include "platform/shell.h"
#include "platform/system_services.h"
#include "platform/win32_terms.h"

namespace ostrasync::platform {

// The engine's entry for every callback of a connection. `parameters` is null for
// CANCEL_FETCH_DATA; otherwise it is borrowed for the duration of the call, and a handler that
// keeps it longer takes its own reference (CallbackParametersPtr::Retain).
using CallbackDispatcher = void (*)(void* engine, cf::CallbackType type, const CallbackInfo& info,
                                    CallbackParameters* parameters);

// The value a connection gives the OS as its callback context. Created by a successful
// ConnectPlaceholderRoot and owned by the connection: only a successful DisconnectPlaceholderRoot
// frees it, once no callback of the connection is still running. Safe for concurrent use.
class ConnectionContext {
 public:
  ConnectionContext(const ConnectionContext&) = delete;
  ConnectionContext& operator=(const ConnectionContext&) = delete;

  CallbackDispatcher dispatcher() const { return dispatcher_; }
  void* engine() const { return engine_; }
  // The key the OS returned. Callbacks may start before ConnectSyncRoot has returned it; they
  // should use CallbackInfo::connection_key, which the OS always fills.
  int64_t connection_key() const { return connection_key_.load(std::memory_order_acquire); }
  // Callbacks of this connection inside the dispatcher right now.
  int callbacks_in_flight() const;

  // How many contexts exist in the process; lets tests see that one was freed or kept.
  static int LiveContextsForTest();

 private:
  friend class CloudFilesBinding;
  friend struct CallbackAdapters;

  ConnectionContext(CallbackDispatcher dispatcher, void* engine);
  ~ConnectionContext();

  // Runs the dispatcher for one callback, counted as in flight. Does nothing once the connection
  // has been disconnected.
  void Dispatch(cf::CallbackType type, const CallbackInfo& info, CallbackParameters* parameters);
  // After the OS has disconnected: frees the context when the last callback in flight ends. When
  // called from inside one of this connection's callbacks, that callback frees it on its way out.
  void RetireAfterDisconnect();

  const CallbackDispatcher dispatcher_;
  void* const engine_;
  std::atomic<int64_t> connection_key_{0};
  // The table given to the OS, kept for as long as the connection may use it.
  std::array<CallbackRegistration, cf::kCallbackTypeCount + 1> callbacks_{};

  mutable std::mutex mutex_;
  std::condition_variable idle_;  // signalled under mutex_ when in_flight_ drops
  int in_flight_ = 0;             // guarded by mutex_
  bool disconnected_ = false;     // guarded by mutex_
  bool free_on_last_exit_ = false;  // guarded by mutex_
};

// Every record starts with its own size, which the binding checks before anything else. Paths are
// full Win32 paths, NUL-terminated; a null required pointer makes the request invalid.

struct ConnectRootRequest {
  uint32_t size = sizeof(ConnectRootRequest);
  const char16_t* path = nullptr;
  CallbackDispatcher dispatcher = nullptr;  // required
  void* engine = nullptr;                   // handed back to the dispatcher
  uint32_t connect_flags = 0;               // cf::kConnect*
  ConnectionContext* context = nullptr;     // out: set on success only
  uint32_t open_close_notifications = 0;    // nonzero: deliver FILE_OPEN/CLOSE_COMPLETION
  uint32_t delete_rename_notifications = 0;  // nonzero: deliver the four DELETE/RENAME types
};

struct DisconnectRootRequest {
  uint32_t size = sizeof(DisconnectRootRequest);
  ConnectionContext* context = nullptr;
};

// Makes the folder known to the search indexer (`add`) or forgets it; the shell-side half of
// registration, supplied by the caller. Returns an HRESULT.
using FolderIndexHook = std::function<HResult(std::u16string_view path, bool add)>;

inline constexpr uint32_t kRegisterOptionSetUpIndex = 0x1;   // run the index hook
inline constexpr uint32_t kRegisterOptionForce = 0x2;        // register even when it already matches

struct RegisterRootRequest {
  uint32_t size = sizeof(RegisterRootRequest);
  const char16_t* path = nullptr;
  const char16_t* provider_name = nullptr;     // required, at most 255 units
  const char16_t* provider_version = nullptr;  // required, at most 255 units
  uint16_t hydration = 0;
  uint16_t hydration_modifier = 0;
  uint16_t population = 0;
  uint16_t population_modifier = 0;
  uint32_t in_sync_policy = 0;
  uint32_t hard_link_policy = 0;
  uint32_t register_flags = 0;  // cf::kRegister*
  uint32_t options = 0;         // kRegisterOption*
  const char16_t* provider_id = nullptr;  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" or null for zero
  FolderIndexHook index_hook;   // may be empty: no indexing step
};

struct UnregisterRootRequest {
  uint32_t size = sizeof(UnregisterRootRequest);
  const char16_t* path = nullptr;
  FolderIndexHook index_hook;  // may be empty
};

struct ConvertRequest {
  uint32_t size = sizeof(ConvertRequest);
  const char16_t* path = nullptr;
  std::span<const uint8_t> identity;
  uint32_t flags = 0;  // cf::kConvert*
};

struct CreatePlaceholderRequest {
  uint32_t size = sizeof(CreatePlaceholderRequest);
  const char16_t* base_directory = nullptr;
  const char16_t* relative_name = nullptr;
  int64_t file_size = 0;
  uint64_t creation_time = 0;
  uint64_t last_access_time = 0;
  uint64_t last_write_time = 0;
  uint64_t change_time = 0;
  uint32_t attributes = 0;  // attr::kDirectory makes it a directory placeholder
  std::span<const uint8_t> identity;
  uint32_t create_flags = 0;       // cf::kCreate* (the batch call's flags)
  uint32_t placeholder_flags = 0;  // cf::kPlaceholderCreate* (the entry's flags)
};

struct UpdatePlaceholderRequest {
  uint32_t size = sizeof(UpdatePlaceholderRequest);
  const char16_t* path = nullptr;
  int64_t file_size = 0;
  uint64_t creation_time = 0;
  uint64_t last_access_time = 0;
  uint64_t last_write_time = 0;
  uint64_t change_time = 0;
  uint32_t attributes = 0;
  std::span<const uint8_t> identity;
  uint32_t flags = 0;  // cf::kUpdate*
  std::span<const FileRange> dehydrate_ranges;
};

// For HydratePlaceholder and DehydratePlaceholder.
struct PlaceholderRangeRequest {
  uint32_t size = sizeof(PlaceholderRangeRequest);
  const char16_t* path = nullptr;
  int64_t offset = 0;
  int64_t length = 0;
  uint32_t flags = 0;
};

struct PlaceholderInfoRequest {
  uint32_t size = sizeof(PlaceholderInfoRequest);
  const char16_t* path = nullptr;
  uint32_t info_class = cf::kPlaceholderInfoBasic;
  PlaceholderInfo* info = nullptr;  // out, required
};

struct SyncErrorStateRequest {
  uint32_t size = sizeof(SyncErrorStateRequest);
  const char16_t* path = nullptr;
  bool error = false;
};

inline constexpr uint32_t kSetPinState = 0x1;
inline constexpr uint32_t kSetInSyncState = 0x2;

struct PlaceholderStatesRequest {
  uint32_t size = sizeof(PlaceholderStatesRequest);
  const char16_t* path = nullptr;
  uint32_t which = 0;  // kSetPinState | kSetInSyncState
  uint32_t in_sync_state = 0;
  uint32_t in_sync_flags = 0;
  uint32_t pin_state = 0;
  uint32_t pin_flags = 0;
  int64_t usn = 0;  // out: the USN after the in-sync state was set
};

struct ExecuteActionRequest {
  uint32_t size = sizeof(ExecuteActionRequest);
  uint32_t operation_type = cf::kTransferData;  // TRANSFER_DATA, TRANSFER_PLACEHOLDERS, ACK_*
  int64_t connection_key = 0;
  int64_t transfer_key = 0;
  const void* correlation_vector = nullptr;
  CallbackParameters* parameters = nullptr;  // required; the values the answer is built from
  NtStatus completion_status = ntstatus::kSuccess;
  // TRANSFER_PLACEHOLDERS only. The batch's flags are taken from here rather than from the set,
  // whose "Flags" are the listing callback's own flags, of another meaning.
  std::span<PlaceholderCreateEntry> placeholders;  // each entry's result is written back
  int64_t placeholder_total_count = 0;
  uint32_t placeholder_flags = 0;  // cf::kTransferPlaceholders*
  uint32_t entries_processed = 0;  // out
};

struct ProviderProgressRequest {
  uint32_t size = sizeof(ProviderProgressRequest);
  int64_t connection_key = 0;
  int64_t transfer_key = 0;
  int64_t total = 0;
  int64_t completed = 0;
};

// The NTSTATUS an answer to the OS carries for a host's result code: success for 0 and "pending"
// (0x21000001), and the nearest cloud-file status for the failures the OS knows about.
[[nodiscard]] NtStatus CompletionStatusFromHostResult(int32_t host_result);

// Keeps no state of its own between calls and takes no lock: safe for concurrent use from method,
// engine and OS callback threads. Every operation returns E_INVALIDARG without any OS call for a
// null record, a record of the wrong size or a missing required pointer.
class CloudFilesBinding {
 public:
  CloudFilesBinding(CloudFiles& cloud_files, FileSystem& file_system, Shell& shell, SystemServices& system,
                    BindingLog& log);
  CloudFilesBinding(Platform& platform, BindingLog& log);
  CloudFilesBinding(const CloudFilesBinding&) = delete;
  CloudFilesBinding& operator=(const CloudFilesBinding&) = delete;

  // Connects the sync root. On success request->context holds the new connection's context; on
  // failure it is null and no callback will ever be delivered.
  [[nodiscard]] HResult ConnectPlaceholderRoot(ConnectRootRequest* request);
  // Disconnects and, on success, frees the context (after the callbacks in flight, if any, have
  // returned). On failure the context stays valid and the connection may still call back.
  [[nodiscard]] HResult DisconnectPlaceholderRoot(DisconnectRootRequest* request);
  // Registers the sync root unless it is already registered with the same settings.
  [[nodiscard]] HResult RegisterPlaceholderRoot(const RegisterRootRequest* request);
  // Unregisters (a path that is not a sync root counts as done) and runs the index hook.
  [[nodiscard]] HResult UnregisterPlaceholderRoot(const UnregisterRootRequest* request);

  [[nodiscard]] HResult ConvertToPlaceholder(const ConvertRequest* request);
  // A file placeholder is created under base_directory; a directory base\name, which must exist,
  // is converted. A file whose own entry failed returns that entry's result.
  [[nodiscard]] HResult CreatePlaceholder(const CreatePlaceholderRequest* request);
  // File placeholders in one call of the OS: every request names a file under the same
  // base_directory and carries the same create_flags. results[i] is requests[i]'s own result (the
  // call's failure for an entry it never reached); the call returns the first failure, or S_OK.
  [[nodiscard]] HResult CreateFilePlaceholders(std::span<const CreatePlaceholderRequest* const> requests,
                                               std::span<HResult> results);
  [[nodiscard]] HResult UpdatePlaceholder(const UpdatePlaceholderRequest* request);
  [[nodiscard]] HResult HydratePlaceholder(const PlaceholderRangeRequest* request);
  [[nodiscard]] HResult DehydratePlaceholder(const PlaceholderRangeRequest* request);
  [[nodiscard]] HResult GetPlaceholderInfo(PlaceholderInfoRequest* request);
  // The cf::kState* bits of the item at `path`, or cf::kStateInvalid when it cannot be found, the
  // path is null or it holds wildcards.
  [[nodiscard]] uint32_t GetPlaceholderState(const char16_t* path);
  // The cf::kState* bits of an item whose find record the caller has already.
  [[nodiscard]] uint32_t PlaceholderStateOf(const FindData& found);
  // Sets or clears the sync-error mark the shell shows on the item. Nothing is logged.
  [[nodiscard]] HResult SetItemSyncErrorState(const SyncErrorStateRequest* request);
  // Sets the pin state, then (only if that worked) the in-sync state, as `which` asks.
  [[nodiscard]] HResult SetPlaceholderStates(PlaceholderStatesRequest* request);
  // Answers a callback. A value the answer needs that cannot be read from the set gives the set's
  // failure (E_INVALIDARG when it is absent) without any OS call.
  [[nodiscard]] HResult ExecutePlaceholderAction(ExecuteActionRequest* request);
  [[nodiscard]] HResult ReportProviderProgress(const ProviderProgressRequest* request);

 private:
  // Opens `path` as every single-item call does; the handle closes when *file goes.
  [[nodiscard]] HResult OpenItem(const std::u16string& path, bool normal_attribute, FileHandlePtr* file);
  // The result line (trace level on success, error level on failure) and, on failure, the
  // system's text of the code.
  void LogOutcome(HResult hr, std::u16string_view format, std::initializer_list<engine::LogArg> args);
  void LogSystemText(HResult hr);

  CloudFiles& cloud_files_;
  FileSystem& file_system_;
  Shell& shell_;
  SystemServices& system_;
  BindingLog& log_;
};

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_CLOUD_FILES_BINDING_H_
