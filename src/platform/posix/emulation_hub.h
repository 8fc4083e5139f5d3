// The process-wide part of the emulated cloud-files facility: which sync roots have a provider
// connected, the requests each connection has open, and the raising of callbacks on the
// connection's own threads. The provider's calls and the user side both go through it.
#ifndef OSTRASYNC_PLATFORM_POSIX_EMULATION_HUB_H_
#define OSTRASYNC_PLATFORM_POSIX_EMULATION_HUB_H_

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "platform/posix/file_state_lock.h"
#include "platform/posix/placeholder_xattrs.h"
#include "platform/win32_terms.h"

namespace ostrasync::platform::emulation {

// A registered sync root.
struct SyncRootLocation {
  std::string root_posix;
  xattrs::SyncRootRecord record;
  int64_t root_file_id = 0;
  uint32_t volume_serial = 0;
};

// The registered root that holds `posix_path` (the path itself or a folder above it).
[[nodiscard]] bool FindSyncRoot(const std::string& posix_path, SyncRootLocation* location);
// Drops what FindSyncRoot keeps of the last root found; every registration change calls it.
void ForgetSyncRoots();

// A file's state lock (FileStateGuard) is taken before a connection's own lock, never while
// holding it.

// Connects a provider to the root at `root_posix` (registered: the caller checked). Callbacks run
// on threads of the connection; requests wait `timeout_ms` for progress.
[[nodiscard]] HResult Connect(const std::string& root_posix, std::span<const CallbackRegistration> callbacks,
                              void* context, uint32_t flags, uint32_t timeout_ms, int64_t* connection_key);
// Ends a connection: queued callbacks are dropped, running ones awaited (except the caller's own,
// when a callback disconnects), open requests fail for their requesters.
[[nodiscard]] HResult Disconnect(int64_t connection_key);
// Ends the connection of the root at `root_posix`, if it has one, as Disconnect does: the root is
// going away (unregistered), and a provider must not go on answering for it.
void DisconnectRoot(const std::string& root_posix);
// Joins the threads of connections that were ended from one of their own callbacks.
void ReapEndedConnections();
[[nodiscard]] bool IsConnected(const std::string& root_posix);

// The provider's answers (CfExecute, CfReportProviderProgress). A FETCH_DATA is answered with
// TRANSFER_DATA and, where the root requires validation, with RETRIEVE_DATA and ACK_DATA once
// VALIDATE_DATA has asked; RESTART_HYDRATION starts its data over. A failure status ends the
// request at once for its requester, with the code Windows gives for it.
[[nodiscard]] HResult Execute(const OperationInfo& info, OperationArgs* args);
[[nodiscard]] HResult ReportProgress(int64_t connection_key, int64_t transfer_key);

// Requests that block the requester until the provider answers, fails, or lets the time-out pass.
// FETCH_DATA for the placeholder file at `posix_path` (open as `fd` when not -1), until
// [offset, offset + length) is on disk, and valid where the root requires validation.
[[nodiscard]] HResult FetchData(const std::string& posix_path, int64_t offset, int64_t length, uint32_t fetch_flags,
                                int fd = -1);
// FETCH_PLACEHOLDERS for the folder at `folder_posix`, until the provider has sent what it said.
[[nodiscard]] HResult FetchPlaceholders(const std::string& folder_posix, const std::u16string& pattern);
// NOTIFY_DELETE, NOTIFY_RENAME or NOTIFY_DEHYDRATE, until the provider acknowledges; S_OK when
// no provider is connected or it does not take the notification. A refusal comes back at once as
// the HRESULT of its completion status; silence as ERROR_CLOUD_FILE_REQUEST_TIMEOUT.
[[nodiscard]] HResult AskProvider(cf::CallbackType type, const std::string& posix_path, const CallbackArgs& args);
// CancelSynchronousIo: the request `thread` is blocked in ends at once with
// ERROR_OPERATION_ABORTED, and a fetch's provider hears the cancel. ERROR_NOT_FOUND when the
// thread waits for none.
[[nodiscard]] HResult CancelSynchronousIo(pthread_t thread);
// A notification nobody waits for (the completions).
void Tell(cf::CallbackType type, const std::string& posix_path, const CallbackArgs& args);

// The in-sync policy: which properties of a placeholder are tracked, so that changing them takes
// the placeholder out of sync. TrackedChanges says which of them `change` (a FileBasicInfo write:
// zero fields stay as they are) would alter on `item`, as the policy's file bits
// (creation time 0x1, read-only 0x2, hidden 0x4, system 0x8, last write time 0x100); call it
// before the write. ClearInSyncForTrackedChanges then clears the item's in-sync state when the
// root's policy tracks one of them (the folder bits for a folder), except for the sync engine's
// own changes under PRESERVE_INSYNC_FOR_SYNC_ENGINE.
[[nodiscard]] uint32_t TrackedChanges(xattrs::Target item, const FsMetadata& change);
void ClearInSyncForTrackedChanges(xattrs::Target item, const std::string& posix_path, uint32_t changed,
                                  bool by_sync_engine);

// The HRESULT a requester sees for a provider's completion status.
[[nodiscard]] HResult HResultFromCompletionStatus(NtStatus status);

}  // namespace ostrasync::platform::emulation

#endif  // OSTRASYNC_PLATFORM_POSIX_EMULATION_HUB_H_
