// A Platform with no operating system behind it: it records every call with its arguments,
// answers with results the test chose, tracks the handles it hands out and lets the test play the
// OS by invoking the callbacks a connection registered.
#ifndef OSTRASYNC_PLATFORM_TESTING_RECORDING_PLATFORM_H_
#define OSTRASYNC_PLATFORM_TESTING_RECORDING_PLATFORM_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/log_format.h"
#include "platform/binding_log.h"
#include "platform/platform.h"

namespace ostrasync::platform::testing {

// One call and what it was given. Operations are named as FaultInjectingPlatform names them
// ("CloudFiles.ConvertToPlaceholder", "FileSystem.Open"), plus "FileHandle.Close" when a handle
// the fake gave out is destroyed. Fields a call does not have stay at their defaults.
struct RecordedCall {
  std::string operation;
  std::u16string path;         // the path, base directory, pattern or root; a handle's own path
  std::u16string second_path;  // Rename's target
  uint32_t flags = 0;          // the call's flags argument (the open's flags_and_attributes)
  uint32_t value = 0;          // pin or in-sync state, info class, attributes written
  int64_t offset = 0;
  int64_t length = 0;
  std::vector<uint8_t> identity;
  std::optional<FsMetadata> metadata;
  std::vector<FileRange> ranges;
  std::vector<PlaceholderCreateEntry> entries;  // CreatePlaceholders, TRANSFER_PLACEHOLDERS
  OpenRequest open;
  std::vector<CallbackRegistration> callbacks;  // ConnectSyncRoot's table as given
  void* context = nullptr;
  int64_t connection_key = 0;
  int64_t transfer_key = 0;
  std::optional<int64_t> usn_in;   // SetInSyncState: the USN passed in, when one was
  OperationInfo operation_info;    // Execute
  NtStatus completion_status = 0;  // Execute
  const void* buffer = nullptr;    // Execute (TRANSFER_DATA)
  int64_t total = 0;               // ReportProviderProgress; TRANSFER_PLACEHOLDERS' total count
  int64_t completed = 0;
  SyncRegistration registration;
  SyncPolicies policies;
  bool error = false;  // Shell.SetLastSyncError
  ShellSyncRoot shell_root;  // ShellRegistration.RegisterSyncRoot (UnregisterSyncRoot's id is in path)
  RegistryRoot registry_root = RegistryRoot::kLocalMachine;  // Registry.* (the key is in path)
  std::u16string name;       // Registry.*: the value name
  std::u16string text;       // Registry.WriteString: the value written
};

// Thread-safe. Handles it gave out may outlive it: they share its state.
class RecordingPlatform final : public Platform {
 public:
  RecordingPlatform();
  ~RecordingPlatform() override;

  CloudFiles& cloud_files() override;
  FileSystem& file_system() override;
  ChangeNotifier& change_notifier() override;
  Shell& shell() override;
  SystemServices& system() override;
  ShellRegistration& shell_registration() override;
  SearchIndexer& search_indexer() override;
  Registry& registry() override;
  UserIdentity& user_identity() override;

  // ---- What the fake answers ----
  // The code `operation` returns from now on: a Win32 code or an HRESULT, as the operation
  // returns. 0 (the default for every operation) is success.
  void SetResult(std::string_view operation, uint32_t code);
  // ReadAttributes' answer for `path`; attr::kInvalid makes it "not found". Paths not set read as
  // an ordinary file (attr::kArchive).
  void SetAttributes(const std::u16string& path, uint32_t attributes);
  // Find's answer for `pattern`; patterns not set find nothing (kFileNotFound).
  void SetFindResult(const std::u16string& pattern, std::vector<FindData> entries);
  void SetPlaceholderState(uint32_t state);
  // GetSyncRootInfo's answer; without one it reports "not under a sync root".
  void SetSyncRootInfo(std::optional<SyncRootInfo> info);
  void SetPlaceholderInfo(const PlaceholderInfo& info);
  // The result written into every placeholder entry (CreatePlaceholders, TRANSFER_PLACEHOLDERS).
  void SetEntryResult(HResult result);
  // The USN SetInSyncState reports back.
  void SetNextUsn(int64_t usn);
  // MessageText's answer for `code`; codes not set give "System text of 0x<code>".
  void SetMessageText(uint32_t code, std::u16string text);
  // The shell-registration facilities keep their registrations, scope rules and registry values
  // in memory and behave as the OS does (an empty id is refused, unknown ids and keys are "not
  // found", key names compare ignoring ASCII case) unless SetResult gave their operation a
  // failure, which they then return without changing anything. CurrentUserSid answers this SID
  // (by default "S-1-5-21-1111111111-2222222222-3333333333-1001").
  void SetUserSid(std::u16string sid);

  // ---- What it saw ----
  std::vector<RecordedCall> calls() const;
  std::vector<RecordedCall> CallsTo(std::string_view operation) const;
  std::vector<std::string> operations() const;
  void ClearCalls();
  // Handles given out and not yet destroyed, and given out in all.
  int open_handles() const;
  int handles_opened() const;
  int connections() const;

  // ---- Playing the OS ----
  // Calls the function the latest connection registered for `type`, on this thread, with the
  // connection's context and key filled into `info`. False when there is no connection or the
  // type was registered with a null function. Like the OS, it delivers only while connected;
  // unlike it, DisconnectSyncRoot does not wait for callbacks already running, so whatever keeps
  // their context alive in the code under test is what is being tested.
  bool Deliver(cf::CallbackType type, CallbackInfo info, const CallbackArgs& args);
  // The same on a new thread; the caller joins it.
  std::thread DeliverOnNewThread(cf::CallbackType type, CallbackInfo info, CallbackArgs args);

  struct State;

 private:
  class Cloud;
  class Files;
  class Notifier;
  class ShellFake;
  class System;
  class ShellRegistrationFake;
  class SearchFake;
  class RegistryFake;
  class IdentityFake;

  std::shared_ptr<State> state_;
  std::unique_ptr<Cloud> cloud_;
  std::unique_ptr<Files> files_;
  std::unique_ptr<Notifier> notifier_;
  std::unique_ptr<ShellFake> shell_;
  std::unique_ptr<System> system_;
  std::unique_ptr<ShellRegistrationFake> shell_registration_;
  std::unique_ptr<SearchFake> search_;
  std::unique_ptr<RegistryFake> registry_;
  std::unique_ptr<IdentityFake> identity_;
};

// A BindingLog that keeps every line, formatted, with its level. Thread-safe.
class RecordingLog final : public BindingLog {
 public:
  struct Line {
    int level = 0;
    std::u16string text;
    bool operator==(const Line&) const = default;
  };

  void Log(int level, std::u16string_view format, std::initializer_list<engine::LogArg> args) override {
    std::u16string text = engine::FormatLogMessage(format, args);
    std::lock_guard lock(mutex_);
    lines_.push_back({level, std::move(text)});
  }
  std::vector<Line> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;  // guarded by mutex_
};

}  // namespace ostrasync::platform::testing

#endif  // OSTRASYNC_PLATFORM_TESTING_RECORDING_PLATFORM_H_
