// The Windows terms the platform seam speaks on every operating system: result codes, attribute
// bits, cloud-files values and the records the seam's operations exchange. These are our own
// declarations, in the library's names; only src/platform/windows/ sees the real Windows types.
#ifndef OSTRASYNC_PLATFORM_WIN32_TERMS_H_
#define OSTRASYNC_PLATFORM_WIN32_TERMS_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ostrasync::platform {

// ---- Result codes ----
using HResult = int32_t;   // HRESULT: 0 success, negative failure
using NtStatus = int32_t;  // NTSTATUS
using Win32Error = uint32_t;  // GetLastError() value, 0 success

inline constexpr HResult kSOk = 0;
inline constexpr HResult kEInvalidArg = static_cast<HResult>(0x80070057);
inline constexpr HResult kEFail = static_cast<HResult>(0x80004005);
inline constexpr HResult kRpcEChangedMode = static_cast<HResult>(0x80010106);
inline constexpr HResult HResultFromWin32(Win32Error e) {
  return e == 0 ? 0 : static_cast<HResult>((e & 0xFFFF) | 0x80070000u);
}
// The Win32 code inside an HRESULT of the Win32 facility, else the HRESULT itself.
inline constexpr Win32Error Win32FromHResult(HResult hr) {
  return (static_cast<uint32_t>(hr) & 0xFFFF0000u) == 0x80070000u ? static_cast<uint32_t>(hr) & 0xFFFF
                                                                 : static_cast<uint32_t>(hr);
}

namespace win32 {
inline constexpr Win32Error kFileNotFound = 2;
inline constexpr Win32Error kPathNotFound = 3;
inline constexpr Win32Error kAccessDenied = 5;
inline constexpr Win32Error kInvalidHandle = 6;
inline constexpr Win32Error kNotReady = 21;
inline constexpr Win32Error kSharingViolation = 32;
inline constexpr Win32Error kFileExists = 80;
inline constexpr Win32Error kInvalidParameter = 87;
inline constexpr Win32Error kInsufficientBuffer = 122;
inline constexpr Win32Error kInvalidName = 123;
inline constexpr Win32Error kDirNotEmpty = 145;
inline constexpr Win32Error kAlreadyExists = 183;
inline constexpr Win32Error kDirectory = 267;  // ERROR_DIRECTORY: the directory name is invalid
inline constexpr Win32Error kCloudFileProviderNotRunning = 362;
inline constexpr Win32Error kNotACloudFile = 376;
inline constexpr Win32Error kCloudFileNotInSync = 377;
inline constexpr Win32Error kCloudFileAlreadyConnected = 378;
inline constexpr Win32Error kCloudFileInvalidRequest = 380;
inline constexpr Win32Error kCloudFileNotUnderSyncRoot = 390;
inline constexpr Win32Error kCloudFileInUse = 391;
inline constexpr Win32Error kCloudFilePinned = 392;
inline constexpr Win32Error kCloudFileRequestAborted = 393;
inline constexpr Win32Error kCloudFileAccessDenied = 395;
inline constexpr Win32Error kCloudFileRequestCanceled = 398;
inline constexpr Win32Error kNotACloudSyncRoot = 405;
inline constexpr Win32Error kCloudFileRequestTimeout = 426;
inline constexpr Win32Error kWaitTimeout = 258;
inline constexpr Win32Error kNotSupported = 50;
inline constexpr Win32Error kOperationAborted = 995;
inline constexpr Win32Error kIoIncomplete = 996;
inline constexpr Win32Error kIoPending = 997;
inline constexpr Win32Error kNotifyEnumDir = 1022;
inline constexpr Win32Error kNotFound = 1168;
inline constexpr Win32Error kInternalError = 1359;
}  // namespace win32

namespace ntstatus {
inline constexpr NtStatus kSuccess = 0;
inline constexpr NtStatus kCloudFileNotInSync = static_cast<NtStatus>(0xC000CF08);
inline constexpr NtStatus kCloudFileInvalidRequest = static_cast<NtStatus>(0xC000CF0B);
inline constexpr NtStatus kCloudFileUnsuccessful = static_cast<NtStatus>(0xC000CF12);
inline constexpr NtStatus kCloudFileRequestAborted = static_cast<NtStatus>(0xC000CF16);
inline constexpr NtStatus kCloudFileAccessDenied = static_cast<NtStatus>(0xC000CF18);
}  // namespace ntstatus

// ---- File attributes (FILE_ATTRIBUTE_*) ----
namespace attr {
inline constexpr uint32_t kReadOnly = 0x1, kHidden = 0x2, kSystem = 0x4, kDirectory = 0x10,
                          kArchive = 0x20, kNormal = 0x80, kTemporary = 0x100, kSparseFile = 0x200,
                          kReparsePoint = 0x400, kOffline = 0x1000, kNotContentIndexed = 0x2000,
                          kPinned = 0x80000, kUnpinned = 0x100000, kRecallOnOpen = 0x40000,
                          kRecallOnDataAccess = 0x400000;
inline constexpr uint32_t kInvalid = 0xFFFFFFFF;  // INVALID_FILE_ATTRIBUTES
}  // namespace attr

inline constexpr uint32_t kReparseTagCloud = 0x9000001A;
inline constexpr uint32_t kReparseTagCloudMask = 0x0000F000;

// ---- Cloud-files values (CF_*) ----
namespace cf {
enum CallbackType : uint32_t {
  kFetchData = 0, kValidateData = 1, kCancelFetchData = 2, kFetchPlaceholders = 3,
  kCancelFetchPlaceholders = 4, kNotifyFileOpenCompletion = 5, kNotifyFileCloseCompletion = 6,
  kNotifyDehydrate = 7, kNotifyDehydrateCompletion = 8, kNotifyDelete = 9,
  kNotifyDeleteCompletion = 10, kNotifyRename = 11, kNotifyRenameCompletion = 12,
  kCallbackNone = 0xFFFFFFFF,
};
inline constexpr int kCallbackTypeCount = 13;

enum OperationType : uint32_t {
  kTransferData = 0, kRetrieveData = 1, kAckData = 2, kRestartHydration = 3,
  kTransferPlaceholders = 4, kAckDehydrate = 5, kAckDelete = 6, kAckRename = 7,
};

inline constexpr uint32_t kConnectRequireProcessInfo = 0x2, kConnectRequireFullFilePath = 0x4,
                          kConnectBlockSelfImplicitHydration = 0x8;
inline constexpr uint32_t kRegisterUpdate = 0x1, kRegisterDisableOnDemandPopulationOnRoot = 0x2,
                          kRegisterMarkInSyncOnRoot = 0x4;
inline constexpr uint32_t kPlaceholderCreateDisableOnDemandPopulation = 0x1,
                          kPlaceholderCreateMarkInSync = 0x2, kPlaceholderCreateSupersede = 0x4,
                          kPlaceholderCreateAlwaysFull = 0x8;
inline constexpr uint32_t kCreateStopOnError = 0x1;
inline constexpr uint32_t kConvertMarkInSync = 0x1, kConvertDehydrate = 0x2,
                          kConvertEnableOnDemandPopulation = 0x4, kConvertAlwaysFull = 0x8,
                          kConvertForceConvertToCloudFile = 0x10;
inline constexpr uint32_t kUpdateVerifyInSync = 0x1, kUpdateMarkInSync = 0x2, kUpdateDehydrate = 0x4,
                          kUpdateEnableOnDemandPopulation = 0x8,
                          kUpdateDisableOnDemandPopulation = 0x10, kUpdateRemoveFileIdentity = 0x20,
                          kUpdateClearInSync = 0x40, kUpdateRemoveProperty = 0x80,
                          kUpdatePassthroughFsMetadata = 0x100, kUpdateAlwaysFull = 0x200,
                          kUpdateAllowPartial = 0x400;
inline constexpr uint32_t kDehydrateBackground = 0x1;
enum PinState : uint32_t { kPinUnspecified = 0, kPinned = 1, kUnpinned = 2, kPinExcluded = 3, kPinInherit = 4 };
inline constexpr uint32_t kSetPinRecurse = 0x1, kSetPinRecurseOnly = 0x2, kSetPinRecurseStopOnError = 0x4;
enum InSyncState : uint32_t { kNotInSync = 0, kInSync = 1 };
inline constexpr uint32_t kStateNone = 0, kStatePlaceholder = 0x1, kStateSyncRoot = 0x2,
                          kStateEssentialPropPresent = 0x4, kStateInSync = 0x8, kStatePartial = 0x10,
                          kStatePartiallyOnDisk = 0x20, kStateInvalid = 0xFFFFFFFF;
enum PlaceholderInfoClass : uint32_t { kPlaceholderInfoBasic = 0, kPlaceholderInfoStandard = 1 };
enum SyncRootInfoClass : uint32_t { kSyncRootInfoBasic = 0, kSyncRootInfoStandard = 1, kSyncRootInfoProvider = 2 };
enum HydrationPolicy : uint16_t { kHydrationPartial = 0, kHydrationProgressive = 1, kHydrationFull = 2, kHydrationAlwaysFull = 3 };
enum PopulationPolicy : uint16_t { kPopulationPartial = 0, kPopulationFull = 2, kPopulationAlwaysFull = 3 };
inline constexpr uint32_t kTransferPlaceholdersStopOnError = 0x1,
                          kTransferPlaceholdersDisableOnDemandPopulation = 0x2;
inline constexpr uint32_t kMaxFileIdentityLength = 4096;
inline constexpr uint32_t kMaxProviderNameLength = 255;
}  // namespace cf

// ---- Records ----

// FILE_BASIC_INFO plus a size: what a placeholder's metadata carries. Times are FILETIMEs.
struct FsMetadata {
  uint64_t creation_time = 0;
  uint64_t last_access_time = 0;
  uint64_t last_write_time = 0;
  uint64_t change_time = 0;
  uint32_t attributes = 0;
  int64_t file_size = 0;
};

// One entry of a placeholder batch (CF_PLACEHOLDER_CREATE_INFO).
struct PlaceholderCreateEntry {
  std::u16string relative_name;
  FsMetadata metadata;
  std::vector<uint8_t> identity;
  uint32_t flags = 0;       // kPlaceholderCreate*
  HResult result = 0;       // out: this entry's own result
  int64_t create_usn = 0;   // out
};

struct SyncPolicies {
  uint16_t hydration = cf::kHydrationFull;
  uint16_t hydration_modifier = 0;
  uint16_t population = cf::kPopulationFull;
  uint16_t population_modifier = 0;
  uint32_t in_sync = 0;
  uint32_t hard_link = 0;
  uint32_t placeholder_management = 0;
};

struct SyncRegistration {
  std::u16string provider_name;     // at most 255 units
  std::u16string provider_version;  // at most 255 units
  std::vector<uint8_t> sync_root_identity;
  std::vector<uint8_t> file_identity;
  uint8_t provider_id[16] = {};     // GUID bytes
};

// CF_SYNC_ROOT_STANDARD_INFO (BASIC is its first field).
struct SyncRootInfo {
  int64_t sync_root_file_id = 0;
  SyncPolicies policies;
  uint32_t provider_status = 0;
  std::u16string provider_name;
  std::u16string provider_version;
  std::vector<uint8_t> sync_root_identity;
};

// CF_PLACEHOLDER_STANDARD_INFO (BASIC holds pin state, in-sync state, ids and identity).
struct PlaceholderInfo {
  int64_t on_disk_data_size = 0;
  int64_t validated_data_size = 0;
  int64_t modified_data_size = 0;
  int64_t properties_size = 0;
  uint32_t pin_state = cf::kPinUnspecified;
  uint32_t in_sync_state = cf::kNotInSync;
  int64_t file_id = 0;
  int64_t sync_root_file_id = 0;
  std::vector<uint8_t> identity;
};

struct FileRange {
  int64_t offset = 0;
  int64_t length = 0;
};

// WIN32_FIND_DATAW in our terms.
struct FindData {
  uint32_t attributes = 0;
  uint64_t creation_time = 0;
  uint64_t last_access_time = 0;
  uint64_t last_write_time = 0;
  int64_t file_size = 0;
  uint32_t reparse_tag = 0;  // dwReserved0 when the reparse-point attribute is set
  std::u16string name;
};

// BY_HANDLE_FILE_INFORMATION in our terms.
struct FileInformation {
  uint32_t attributes = 0;
  uint64_t creation_time = 0;
  uint64_t last_access_time = 0;
  uint64_t last_write_time = 0;
  uint32_t volume_serial = 0;
  int64_t file_size = 0;
  uint32_t link_count = 0;
  uint64_t file_index = 0;  // the FileId
};

// One FILE_NOTIFY_EXTENDED_INFORMATION record.
struct ChangeRecord {
  uint32_t action = 0;  // FILE_ACTION_*
  uint64_t creation_time = 0;
  uint64_t last_modification_time = 0;
  uint64_t last_change_time = 0;
  uint64_t last_access_time = 0;
  int64_t allocated_length = 0;
  int64_t file_size = 0;
  uint32_t attributes = 0;
  uint32_t reparse_tag = 0;
  int64_t file_id = 0;
  int64_t parent_file_id = 0;
  std::u16string name;  // relative to the watched folder
};

namespace file_action {
inline constexpr uint32_t kAdded = 1, kRemoved = 2, kModified = 3, kRenamedOldName = 4,
                          kRenamedNewName = 5;
}

// What one cloud-files callback tells the provider (CF_CALLBACK_INFO).
struct CallbackInfo {
  int64_t connection_key = 0;
  void* callback_context = nullptr;
  std::u16string volume_guid_name;
  std::u16string volume_dos_name;
  uint32_t volume_serial = 0;
  int64_t sync_root_file_id = 0;
  std::span<const uint8_t> sync_root_identity;
  int64_t file_id = 0;
  int64_t file_size = 0;
  std::span<const uint8_t> file_identity;
  std::u16string normalized_path;  // volume-relative, e.g. \Users\me\Cloud\a.txt
  int64_t transfer_key = 0;
  uint8_t priority_hint = 0;
  const void* correlation_vector = nullptr;
  uint32_t process_id = 0;
  std::u16string process_image_path;
  int64_t request_key = 0;
};

// The type-specific part of a callback (CF_CALLBACK_PARAMETERS); fields not used by a type are 0.
struct CallbackArgs {
  uint32_t flags = 0;
  int64_t required_file_offset = 0;  // FetchData, ValidateData
  int64_t required_length = 0;
  int64_t optional_file_offset = 0;  // FetchData
  int64_t optional_length = 0;
  uint64_t last_dehydration_time = 0;
  uint32_t last_dehydration_reason = 0;
  int64_t cancel_file_offset = 0;    // Cancel (of a fetch)
  int64_t cancel_length = 0;
  std::u16string pattern;            // FetchPlaceholders
  uint32_t reason = 0;               // Dehydrate, DehydrateCompletion
  std::u16string target_path;        // Rename
  std::u16string source_path;        // RenameCompletion
};

// A provider's handler of one callback type. Called on a thread of the facility, never on the
// thread whose request caused it.
using CallbackFunction = void (*)(cf::CallbackType type, const CallbackInfo& info, const CallbackArgs& args);

struct CallbackRegistration {
  cf::CallbackType type = cf::kCallbackNone;
  CallbackFunction function = nullptr;  // null: the type is not delivered
};

// Identifies a request being answered (CF_OPERATION_INFO).
struct OperationInfo {
  uint32_t struct_size = 48;  // 32 or 48, as callers built it
  uint32_t type = cf::kTransferData;
  int64_t connection_key = 0;
  int64_t transfer_key = 0;
  const void* correlation_vector = nullptr;
  int64_t request_key = 0;
};

// The operation's parameters (CF_OPERATION_PARAMETERS); fields a type does not use are ignored.
struct OperationArgs {
  uint32_t flags = 0;
  NtStatus completion_status = 0;
  const void* buffer = nullptr;            // TransferData
  int64_t offset = 0;                      // TransferData, AckData
  int64_t length = 0;
  std::span<PlaceholderCreateEntry> placeholders;  // TransferPlaceholders; results written back
  int64_t placeholder_total_count = 0;
  uint32_t entries_processed = 0;          // out
  std::span<const uint8_t> file_identity;  // AckDehydrate
};

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_WIN32_TERMS_H_
