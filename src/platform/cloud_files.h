// The operating system's cloud-files facility: sync roots, connections, placeholders and the
// answers a provider gives to callbacks. Each operation mirrors one Windows cloud-files call and
// returns its HRESULT; outputs are left as they were when it fails.
#ifndef OSTRASYNC_PLATFORM_CLOUD_FILES_H_
#define OSTRASYNC_PLATFORM_CLOUD_FILES_H_

#include <cstdint>
#include <span>
#include <string>

#include "platform/file_handle.h"
#include "platform/win32_terms.h"

namespace ostrasync::platform {

// Safe for concurrent use.
class CloudFiles {
 public:
  virtual ~CloudFiles() = default;

  // CfRegisterSyncRoot. `flags` are cf::kRegister*. Registering an overlapping root fails.
  [[nodiscard]] virtual HResult RegisterSyncRoot(const std::u16string& path, const SyncRegistration& registration,
                                                 const SyncPolicies& policies, uint32_t flags) = 0;
  // CfUnregisterSyncRoot. HRESULT_FROM_WIN32(390) when `path` is not a sync root.
  [[nodiscard]] virtual HResult UnregisterSyncRoot(const std::u16string& path) = 0;
  // CfGetSyncRootInfoByPath for the root that holds `path`. HRESULT_FROM_WIN32(390) when there is none.
  [[nodiscard]] virtual HResult GetSyncRootInfo(const std::u16string& path, SyncRootInfo* info) = 0;

  // CfConnectSyncRoot. `callbacks` ends with a kCallbackNone entry; `context` comes back as
  // CallbackInfo::callback_context. On failure no callback is ever delivered.
  [[nodiscard]] virtual HResult ConnectSyncRoot(const std::u16string& path,
                                                std::span<const CallbackRegistration> callbacks,
                                                void* context, uint32_t flags, int64_t* connection_key) = 0;
  // CfDisconnectSyncRoot. When it returns, no callback of the connection runs or starts; requests
  // still open fail for their requesters.
  [[nodiscard]] virtual HResult DisconnectSyncRoot(int64_t connection_key) = 0;

  // CfExecute: answers a callback. `args` may be written (entries processed, entry results).
  [[nodiscard]] virtual HResult Execute(const OperationInfo& info, OperationArgs* args) = 0;
  // CfReportProviderProgress.
  [[nodiscard]] virtual HResult ReportProviderProgress(int64_t connection_key, int64_t transfer_key,
                                                       int64_t total, int64_t completed) = 0;

  // CfCreatePlaceholders under `base_directory`; each entry's own result is written back.
  [[nodiscard]] virtual HResult CreatePlaceholders(const std::u16string& base_directory,
                                                   std::span<PlaceholderCreateEntry> entries, uint32_t flags,
                                                   uint32_t* entries_processed) = 0;
  // CfConvertToPlaceholder. `flags` are cf::kConvert*.
  [[nodiscard]] virtual HResult ConvertToPlaceholder(FileHandle& file, std::span<const uint8_t> identity,
                                                     uint32_t flags) = 0;
  // CfUpdatePlaceholder. `metadata` and `identity` may be null/empty to leave them unchanged.
  [[nodiscard]] virtual HResult UpdatePlaceholder(FileHandle& file, const FsMetadata* metadata,
                                                  std::span<const uint8_t> identity,
                                                  std::span<const FileRange> dehydrate_ranges,
                                                  uint32_t flags) = 0;
  // CfHydratePlaceholder: blocks until the range is on disk (the provider is asked for it).
  [[nodiscard]] virtual HResult HydratePlaceholder(FileHandle& file, int64_t offset, int64_t length,
                                                   uint32_t flags) = 0;
  // CfDehydratePlaceholder.
  [[nodiscard]] virtual HResult DehydratePlaceholder(FileHandle& file, int64_t offset, int64_t length,
                                                     uint32_t flags) = 0;
  // CfGetPlaceholderInfo. `info_class` is cf::kPlaceholderInfoBasic or Standard; a Basic answer
  // leaves the Standard-only fields 0. HRESULT_FROM_WIN32(376) for a file that is no placeholder.
  [[nodiscard]] virtual HResult GetPlaceholderInfo(FileHandle& file, uint32_t info_class,
                                                   PlaceholderInfo* info) = 0;
  // CfGetPlaceholderStateFromFindData: cf::kState* bits.
  [[nodiscard]] virtual uint32_t PlaceholderStateFromFindData(const FindData& find_data) = 0;
  // CfSetPinState.
  [[nodiscard]] virtual HResult SetPinState(FileHandle& file, uint32_t pin_state, uint32_t flags) = 0;
  // CfSetInSyncState. `usn` may be null; when given it is read and updated.
  [[nodiscard]] virtual HResult SetInSyncState(FileHandle& file, uint32_t in_sync_state, uint32_t flags,
                                               int64_t* usn) = 0;
};

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_CLOUD_FILES_H_
