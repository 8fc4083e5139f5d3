// The shell's side of a sync root: the storage-provider registration Explorer shows
// (Windows.Storage.Provider.StorageProviderSyncRootManager), the Windows Search scope rule for
// the folder, the registry keys the shell keeps for it, and the user the ids are built for.
#ifndef OSTRASYNC_PLATFORM_SHELL_REGISTRATION_H_
#define OSTRASYNC_PLATFORM_SHELL_REGISTRATION_H_

#include <cstdint>
#include <string>

#include "platform/win32_terms.h"

namespace ostrasync::platform {

// StorageProviderSyncRootInfo, as the engine fills it. Policy values use the WinRT numbering
// (population: Full 1, AlwaysFull 2 — not the cloud-files numbers).
struct ShellSyncRoot {
  std::u16string id;
  std::u16string path;            // an existing folder
  std::u16string display_name;
  std::u16string icon;            // "path,index"
  int32_t hydration_policy = 2;   // Full
  uint32_t hydration_policy_modifier = 0;
  int32_t population_policy = 2;  // AlwaysFull
  uint32_t in_sync_policy = 0;
  uint32_t hardlink_policy = 0;
  bool show_siblings_as_group = false;
  std::u16string version;
  bool allow_pinning = true;
  std::u16string recycle_bin_uri;  // empty: not set
};

inline constexpr HResult kHResultNotFound = static_cast<HResult>(0x80070490);
inline constexpr HResult kHResultSearchServiceDisabled = static_cast<HResult>(0x80070422);

// Safe for concurrent use; each call initialises what it needs of COM/WinRT on the calling
// thread and leaves the thread as it found it.
class ShellRegistration {
 public:
  virtual ~ShellRegistration() = default;
  // StorageProviderSyncRootManager.Register. Returns the failure's HRESULT.
  [[nodiscard]] virtual HResult RegisterSyncRoot(const ShellSyncRoot& root) = 0;
  // StorageProviderSyncRootManager.Unregister. kHResultNotFound when no such id is registered.
  [[nodiscard]] virtual HResult UnregisterSyncRoot(const std::u16string& id) = 0;
  // The registration stored under `id` (for checks and tests). kHResultNotFound when none.
  [[nodiscard]] virtual HResult GetSyncRoot(const std::u16string& id, ShellSyncRoot* root) = 0;
};

// The Windows Search crawl scope of the "SystemIndex" catalog.
class SearchIndexer {
 public:
  virtual ~SearchIndexer() = default;
  // AddDefaultScopeRule(url, include, FF_INDEXCOMPLEXURLS) then SaveAll; RemoveDefaultScopeRule
  // then SaveAll. kHResultSearchServiceDisabled when the service is off; else the first failure.
  [[nodiscard]] virtual HResult AddScopeRule(const std::u16string& url) = 0;
  [[nodiscard]] virtual HResult RemoveScopeRule(const std::u16string& url) = 0;
  // Whether `url` has a scope rule (for checks and tests).
  [[nodiscard]] virtual bool HasScopeRule(const std::u16string& url) = 0;
};

enum class RegistryRoot { kLocalMachine, kCurrentUser };

// The registry keys the shell keeps for sync roots.
class Registry {
 public:
  virtual ~Registry() = default;
  // A value of `key`: *type receives its REG_* type (REG_SZ 1) and *value its text when it is a
  // string. win32::kFileNotFound when the key or value does not exist.
  [[nodiscard]] virtual Win32Error ReadValue(RegistryRoot root, const std::u16string& key,
                                             const std::u16string& name, uint32_t* type,
                                             std::u16string* value) = 0;
  // RegDeleteTreeW of `key` itself and everything below it. win32::kFileNotFound when missing.
  [[nodiscard]] virtual Win32Error DeleteTree(RegistryRoot root, const std::u16string& key) = 0;
  // Writes a REG_SZ value, creating the key (the shell does this on Windows; tests and the
  // Linux stand-in of the shell use it).
  [[nodiscard]] virtual Win32Error WriteString(RegistryRoot root, const std::u16string& key,
                                               const std::u16string& name, const std::u16string& value) = 0;
};

inline constexpr uint32_t kRegSz = 1;

// The user the sync-root id names.
class UserIdentity {
 public:
  virtual ~UserIdentity() = default;
  // The TokenUser SID of the calling thread's effective token in string form ("S-1-5-21-…";
  // on Linux the conventional "S-1-22-1-<uid>").
  [[nodiscard]] virtual Win32Error CurrentUserSid(std::u16string* sid) = 0;
};

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_SHELL_REGISTRATION_H_
