// Our own declarations of the Windows cloud-files API (cldapi.dll): the CF_* types the Windows
// platform layer passes to it and the signatures of its functions. The MinGW-w64 headers carry
// none of this, so every layout is written out here and pinned by the static_asserts below to the
// offsets and sizes Windows uses on x64; a layout that drifts fails the build, not a sync root.
#ifndef OSTRASYNC_PLATFORM_WINDOWS_CFAPI_DECLARATIONS_H_
#define OSTRASYNC_PLATFORM_WINDOWS_CFAPI_DECLARATIONS_H_

#include <windows.h>

#include <cstddef>

#include "platform/win32_terms.h"

namespace ostrasync::platform::cfapi {

// ---- Enums and flags ----
// Flag words travel as the seam's own uint32 values, so the flag enums only name their empty value.

enum CF_CALLBACK_TYPE : DWORD {
  CF_CALLBACK_TYPE_FETCH_DATA = 0,
  CF_CALLBACK_TYPE_VALIDATE_DATA = 1,
  CF_CALLBACK_TYPE_CANCEL_FETCH_DATA = 2,
  CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS = 3,
  CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS = 4,
  CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION = 5,
  CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION = 6,
  CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE = 7,
  CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION = 8,
  CF_CALLBACK_TYPE_NOTIFY_DELETE = 9,
  CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION = 10,
  CF_CALLBACK_TYPE_NOTIFY_RENAME = 11,
  CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION = 12,
  CF_CALLBACK_TYPE_NONE = 0xFFFFFFFF,
};

enum CF_OPERATION_TYPE : DWORD {
  CF_OPERATION_TYPE_TRANSFER_DATA = 0,
  CF_OPERATION_TYPE_RETRIEVE_DATA = 1,
  CF_OPERATION_TYPE_ACK_DATA = 2,
  CF_OPERATION_TYPE_RESTART_HYDRATION = 3,
  CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS = 4,
  CF_OPERATION_TYPE_ACK_DEHYDRATE = 5,
  CF_OPERATION_TYPE_ACK_DELETE = 6,
  CF_OPERATION_TYPE_ACK_RENAME = 7,
};

enum CF_CONNECT_FLAGS : DWORD { CF_CONNECT_FLAG_NONE = 0 };
enum CF_REGISTER_FLAGS : DWORD { CF_REGISTER_FLAG_NONE = 0 };
enum CF_INSYNC_POLICY : DWORD { CF_INSYNC_POLICY_NONE = 0 };
enum CF_HARDLINK_POLICY : DWORD { CF_HARDLINK_POLICY_NONE = 0 };
enum CF_PLACEHOLDER_MANAGEMENT_POLICY : DWORD { CF_PLACEHOLDER_MANAGEMENT_POLICY_DEFAULT = 0 };
enum CF_PLACEHOLDER_CREATE_FLAGS : DWORD { CF_PLACEHOLDER_CREATE_FLAG_NONE = 0 };
enum CF_CREATE_FLAGS : DWORD { CF_CREATE_FLAG_NONE = 0 };
enum CF_CONVERT_FLAGS : DWORD { CF_CONVERT_FLAG_NONE = 0 };
enum CF_UPDATE_FLAGS : DWORD { CF_UPDATE_FLAG_NONE = 0 };
enum CF_HYDRATE_FLAGS : DWORD { CF_HYDRATE_FLAG_NONE = 0 };
enum CF_DEHYDRATE_FLAGS : DWORD { CF_DEHYDRATE_FLAG_NONE = 0 };
enum CF_PIN_STATE : DWORD { CF_PIN_STATE_UNSPECIFIED = 0 };
enum CF_SET_PIN_FLAGS : DWORD { CF_SET_PIN_FLAG_NONE = 0 };
enum CF_IN_SYNC_STATE : DWORD { CF_IN_SYNC_STATE_NOT_IN_SYNC = 0 };
enum CF_SET_IN_SYNC_FLAGS : DWORD { CF_SET_IN_SYNC_FLAG_NONE = 0 };
enum CF_PLACEHOLDER_STATE : DWORD { CF_PLACEHOLDER_STATE_NO_STATES = 0, CF_PLACEHOLDER_STATE_INVALID = 0xFFFFFFFF };
enum CF_PLACEHOLDER_INFO_CLASS : DWORD { CF_PLACEHOLDER_INFO_BASIC = 0, CF_PLACEHOLDER_INFO_STANDARD = 1 };
enum CF_SYNC_ROOT_INFO_CLASS : DWORD { CF_SYNC_ROOT_INFO_BASIC = 0, CF_SYNC_ROOT_INFO_STANDARD = 1 };
enum CF_SYNC_PROVIDER_STATUS : DWORD { CF_PROVIDER_STATUS_DISCONNECTED = 0 };
enum CF_CALLBACK_DEHYDRATION_REASON : DWORD { CF_CALLBACK_DEHYDRATION_REASON_NONE = 0 };

// The seam's numbers are the Windows numbers; conversions are casts only because of this.
constexpr DWORD Number(auto value) { return static_cast<DWORD>(value); }
static_assert(Number(CF_CALLBACK_TYPE_FETCH_DATA) == Number(cf::kFetchData) &&
              Number(CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION) == Number(cf::kNotifyRenameCompletion) &&
              Number(CF_CALLBACK_TYPE_NONE) == Number(cf::kCallbackNone) && cf::kCallbackTypeCount == 13);
static_assert(Number(CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS) == Number(cf::kTransferPlaceholders) &&
              Number(CF_OPERATION_TYPE_ACK_DELETE) == Number(cf::kAckDelete) &&
              Number(CF_OPERATION_TYPE_ACK_RENAME) == Number(cf::kAckRename));
static_assert(Number(CF_PLACEHOLDER_INFO_STANDARD) == Number(cf::kPlaceholderInfoStandard) &&
              Number(CF_SYNC_ROOT_INFO_STANDARD) == Number(cf::kSyncRootInfoStandard) &&
              Number(CF_PLACEHOLDER_STATE_INVALID) == cf::kStateInvalid);

// ---- Scalars and small structs ----

struct CF_CONNECTION_KEY {
  LONGLONG Internal;
};
using CF_TRANSFER_KEY = LARGE_INTEGER;
using CF_REQUEST_KEY = LARGE_INTEGER;
using USN = LONGLONG;

// The policy enums are stored as 2-byte wrappers inside the policy structs.
struct CF_HYDRATION_POLICY {
  USHORT Primary;
  USHORT Modifier;
};
using CF_POPULATION_POLICY = CF_HYDRATION_POLICY;

struct CORRELATION_VECTOR {
  CHAR Version;
  CHAR Vector[129];
};

struct CF_FS_METADATA {
  FILE_BASIC_INFO BasicInfo;
  LARGE_INTEGER FileSize;
};

struct CF_PLACEHOLDER_CREATE_INFO {
  LPCWSTR RelativeFileName;
  CF_FS_METADATA FsMetadata;
  LPCVOID FileIdentity;
  DWORD FileIdentityLength;
  CF_PLACEHOLDER_CREATE_FLAGS Flags;
  HRESULT Result;
  USN CreateUsn;
};

struct CF_PROCESS_INFO {
  DWORD StructSize;
  DWORD ProcessId;
  PCWSTR ImagePath;
  PCWSTR PackageName;
  PCWSTR ApplicationId;
  PCWSTR CommandLine;
  DWORD SessionId;
};

struct CF_SYNC_POLICIES {
  ULONG StructSize;
  CF_HYDRATION_POLICY Hydration;
  CF_POPULATION_POLICY Population;
  CF_INSYNC_POLICY InSync;
  CF_HARDLINK_POLICY HardLink;
  CF_PLACEHOLDER_MANAGEMENT_POLICY PlaceholderManagement;
};

struct CF_SYNC_REGISTRATION {
  ULONG StructSize;
  LPCWSTR ProviderName;
  LPCWSTR ProviderVersion;
  LPCVOID SyncRootIdentity;
  DWORD SyncRootIdentityLength;
  LPCVOID FileIdentity;
  DWORD FileIdentityLength;
  GUID ProviderId;
};

struct CF_SYNC_STATUS {
  ULONG StructSize;
  ULONG Code;
  ULONG DescriptionOffset;
  ULONG DescriptionLength;
  ULONG DeviceIdOffset;
  ULONG DeviceIdLength;
};

struct CF_FILE_RANGE {
  LARGE_INTEGER StartingOffset;
  LARGE_INTEGER Length;
};

struct CF_SYNC_ROOT_BASIC_INFO {
  LARGE_INTEGER SyncRootFileId;
};

struct CF_SYNC_ROOT_STANDARD_INFO {
  LARGE_INTEGER SyncRootFileId;
  CF_HYDRATION_POLICY HydrationPolicy;
  CF_POPULATION_POLICY PopulationPolicy;
  CF_INSYNC_POLICY InSyncPolicy;
  CF_HARDLINK_POLICY HardLinkPolicy;
  CF_SYNC_PROVIDER_STATUS ProviderStatus;
  WCHAR ProviderName[256];
  WCHAR ProviderVersion[256];
  ULONG SyncRootIdentityLength;
  BYTE SyncRootIdentity[1];  // SyncRootIdentityLength bytes, running past the struct
};

struct CF_PLACEHOLDER_BASIC_INFO {
  CF_PIN_STATE PinState;
  CF_IN_SYNC_STATE InSyncState;
  LARGE_INTEGER FileId;
  LARGE_INTEGER SyncRootFileId;
  ULONG FileIdentityLength;
  BYTE FileIdentity[1];  // FileIdentityLength bytes, running past the struct
};

struct CF_PLACEHOLDER_STANDARD_INFO {
  LARGE_INTEGER OnDiskDataSize;
  LARGE_INTEGER ValidatedDataSize;
  LARGE_INTEGER ModifiedDataSize;
  LARGE_INTEGER PropertiesSize;
  CF_PIN_STATE PinState;
  CF_IN_SYNC_STATE InSyncState;
  LARGE_INTEGER FileId;
  LARGE_INTEGER SyncRootFileId;
  ULONG FileIdentityLength;
  BYTE FileIdentity[1];  // FileIdentityLength bytes, running past the struct
};

// ---- Callbacks ----

struct CF_CALLBACK_INFO {
  DWORD StructSize;
  CF_CONNECTION_KEY ConnectionKey;
  LPVOID CallbackContext;
  PCWSTR VolumeGuidName;
  PCWSTR VolumeDosName;
  DWORD VolumeSerialNumber;
  LARGE_INTEGER SyncRootFileId;
  LPCVOID SyncRootIdentity;
  DWORD SyncRootIdentityLength;
  LARGE_INTEGER FileId;
  LARGE_INTEGER FileSize;
  LPCVOID FileIdentity;
  DWORD FileIdentityLength;
  PCWSTR NormalizedPath;
  CF_TRANSFER_KEY TransferKey;
  UCHAR PriorityHint;
  CORRELATION_VECTOR* CorrelationVector;
  CF_PROCESS_INFO* ProcessInfo;
  CF_REQUEST_KEY RequestKey;
};

struct CF_CALLBACK_PARAMETERS {
  ULONG ParamSize;
  union {
    struct {
      DWORD Flags;
      union {
        struct {
          LARGE_INTEGER FileOffset;
          LARGE_INTEGER Length;
        } FetchData;
      };
    } Cancel;
    struct {
      DWORD Flags;
      LARGE_INTEGER RequiredFileOffset;
      LARGE_INTEGER RequiredLength;
      LARGE_INTEGER OptionalFileOffset;
      LARGE_INTEGER OptionalLength;
      LARGE_INTEGER LastDehydrationTime;
      CF_CALLBACK_DEHYDRATION_REASON LastDehydrationReason;
    } FetchData;
    struct {
      DWORD Flags;
      LARGE_INTEGER RequiredFileOffset;
      LARGE_INTEGER RequiredLength;
    } ValidateData;
    struct {
      DWORD Flags;
      PCWSTR Pattern;
    } FetchPlaceholders;
    struct {
      DWORD Flags;
    } OpenCompletion, CloseCompletion, Delete, DeleteCompletion;
    struct {
      DWORD Flags;
      CF_CALLBACK_DEHYDRATION_REASON Reason;
    } Dehydrate, DehydrateCompletion;
    struct {
      DWORD Flags;
      PCWSTR TargetPath;
    } Rename;
    struct {
      DWORD Flags;
      PCWSTR SourcePath;
    } RenameCompletion;
  };
};

using CF_CALLBACK = void(CALLBACK*)(const CF_CALLBACK_INFO* info, const CF_CALLBACK_PARAMETERS* parameters);

struct CF_CALLBACK_REGISTRATION {
  CF_CALLBACK_TYPE Type;
  CF_CALLBACK Callback;
};

// ---- Operations (answers to callbacks) ----

struct CF_OPERATION_INFO {
  DWORD StructSize;
  CF_OPERATION_TYPE Type;
  CF_CONNECTION_KEY ConnectionKey;
  CF_TRANSFER_KEY TransferKey;
  const CORRELATION_VECTOR* CorrelationVector;
  const CF_SYNC_STATUS* SyncStatus;  // absent from the older, 32-byte form
  CF_REQUEST_KEY RequestKey;         // absent from the older, 32-byte form
};

struct CF_OPERATION_PARAMETERS {
  ULONG ParamSize;
  union {
    struct {
      DWORD Flags;
      LONG CompletionStatus;  // NTSTATUS
      LPCVOID Buffer;
      LARGE_INTEGER Offset;
      LARGE_INTEGER Length;
    } TransferData;
    struct {
      DWORD Flags;
      LPVOID Buffer;
      LARGE_INTEGER Offset;
      LARGE_INTEGER Length;
      LARGE_INTEGER ReturnedLength;
    } RetrieveData;
    struct {
      DWORD Flags;
      LONG CompletionStatus;
      LARGE_INTEGER Offset;
      LARGE_INTEGER Length;
    } AckData;
    struct {
      DWORD Flags;
      const CF_FS_METADATA* FsMetadata;
      LPCVOID FileIdentity;
      DWORD FileIdentityLength;
    } RestartHydration;
    struct {
      DWORD Flags;
      LONG CompletionStatus;
      LARGE_INTEGER PlaceholderTotalCount;
      CF_PLACEHOLDER_CREATE_INFO* PlaceholderArray;
      DWORD PlaceholderCount;
      DWORD EntriesProcessed;
    } TransferPlaceholders;
    struct {
      DWORD Flags;
      LONG CompletionStatus;
      LPCVOID FileIdentity;
      DWORD FileIdentityLength;
    } AckDehydrate;
    struct {
      DWORD Flags;
      LONG CompletionStatus;
    } AckRename, AckDelete;
  };
};

// ParamSize of each operation: the offset of its member's end, as Windows expects it.
inline constexpr ULONG kTransferDataParamSize = 40, kRetrieveDataParamSize = 48, kAckDataParamSize = 32,
                       kRestartHydrationParamSize = 40, kTransferPlaceholdersParamSize = 40,
                       kAckDehydrateParamSize = 32, kAckRenameParamSize = 16, kAckDeleteParamSize = 16;
inline constexpr DWORD kOperationInfoSizeOld = 32, kOperationInfoSize = 48;

// ---- cldapi.dll entry points ----

using CfRegisterSyncRootFn = HRESULT(WINAPI*)(LPCWSTR sync_root_path, const CF_SYNC_REGISTRATION* registration,
                                              const CF_SYNC_POLICIES* policies, CF_REGISTER_FLAGS flags);
using CfUnregisterSyncRootFn = HRESULT(WINAPI*)(LPCWSTR sync_root_path);
using CfGetSyncRootInfoByPathFn = HRESULT(WINAPI*)(LPCWSTR file_path, CF_SYNC_ROOT_INFO_CLASS info_class,
                                                   PVOID info_buffer, DWORD info_buffer_length,
                                                   DWORD* returned_length);
using CfConnectSyncRootFn = HRESULT(WINAPI*)(LPCWSTR sync_root_path, const CF_CALLBACK_REGISTRATION* callback_table,
                                             LPCVOID callback_context, CF_CONNECT_FLAGS flags,
                                             CF_CONNECTION_KEY* connection_key);
using CfDisconnectSyncRootFn = HRESULT(WINAPI*)(CF_CONNECTION_KEY connection_key);
using CfExecuteFn = HRESULT(WINAPI*)(const CF_OPERATION_INFO* info, CF_OPERATION_PARAMETERS* parameters);
using CfReportProviderProgressFn = HRESULT(WINAPI*)(CF_CONNECTION_KEY connection_key, CF_TRANSFER_KEY transfer_key,
                                                    LARGE_INTEGER total, LARGE_INTEGER completed);
using CfCreatePlaceholdersFn = HRESULT(WINAPI*)(LPCWSTR base_directory_path, CF_PLACEHOLDER_CREATE_INFO* infos,
                                                DWORD count, CF_CREATE_FLAGS flags, PDWORD entries_processed);
using CfConvertToPlaceholderFn = HRESULT(WINAPI*)(HANDLE file, LPCVOID file_identity, DWORD file_identity_length,
                                                  CF_CONVERT_FLAGS flags, USN* convert_usn, LPOVERLAPPED overlapped);
using CfUpdatePlaceholderFn = HRESULT(WINAPI*)(HANDLE file, const CF_FS_METADATA* metadata, LPCVOID file_identity,
                                               DWORD file_identity_length, const CF_FILE_RANGE* dehydrate_ranges,
                                               DWORD dehydrate_range_count, CF_UPDATE_FLAGS flags,
                                               USN* update_usn, LPOVERLAPPED overlapped);
using CfHydratePlaceholderFn = HRESULT(WINAPI*)(HANDLE file, LARGE_INTEGER starting_offset, LARGE_INTEGER length,
                                                CF_HYDRATE_FLAGS flags, LPOVERLAPPED overlapped);
using CfDehydratePlaceholderFn = HRESULT(WINAPI*)(HANDLE file, LARGE_INTEGER starting_offset, LARGE_INTEGER length,
                                                  CF_DEHYDRATE_FLAGS flags, LPOVERLAPPED overlapped);
using CfGetPlaceholderInfoFn = HRESULT(WINAPI*)(HANDLE file, CF_PLACEHOLDER_INFO_CLASS info_class, PVOID info_buffer,
                                                DWORD info_buffer_length, PDWORD returned_length);
using CfGetPlaceholderStateFromFindDataFn = CF_PLACEHOLDER_STATE(WINAPI*)(const WIN32_FIND_DATAW* find_data);
using CfSetPinStateFn = HRESULT(WINAPI*)(HANDLE file, CF_PIN_STATE pin_state, CF_SET_PIN_FLAGS flags,
                                         LPOVERLAPPED overlapped);
using CfSetInSyncStateFn = HRESULT(WINAPI*)(HANDLE file, CF_IN_SYNC_STATE in_sync_state, CF_SET_IN_SYNC_FLAGS flags,
                                            USN* in_sync_usn);

// The entry points the platform layer calls, resolved from cldapi.dll (or supplied by a test).
// A null entry is an entry point this system lacks.
struct CldApi {
  CfRegisterSyncRootFn CfRegisterSyncRoot = nullptr;
  CfUnregisterSyncRootFn CfUnregisterSyncRoot = nullptr;
  CfGetSyncRootInfoByPathFn CfGetSyncRootInfoByPath = nullptr;
  CfConnectSyncRootFn CfConnectSyncRoot = nullptr;
  CfDisconnectSyncRootFn CfDisconnectSyncRoot = nullptr;
  CfExecuteFn CfExecute = nullptr;
  CfReportProviderProgressFn CfReportProviderProgress = nullptr;
  CfCreatePlaceholdersFn CfCreatePlaceholders = nullptr;
  CfConvertToPlaceholderFn CfConvertToPlaceholder = nullptr;
  CfUpdatePlaceholderFn CfUpdatePlaceholder = nullptr;
  CfHydratePlaceholderFn CfHydratePlaceholder = nullptr;
  CfDehydratePlaceholderFn CfDehydratePlaceholder = nullptr;
  CfGetPlaceholderInfoFn CfGetPlaceholderInfo = nullptr;
  CfGetPlaceholderStateFromFindDataFn CfGetPlaceholderStateFromFindData = nullptr;
  CfSetPinStateFn CfSetPinState = nullptr;
  CfSetInSyncStateFn CfSetInSyncState = nullptr;
};

// ---- Layouts Windows expects (x64) ----

#define OSTRASYNC_CF_AT(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)

static_assert(sizeof(CF_CONNECTION_KEY) == 8 && sizeof(CF_TRANSFER_KEY) == 8 && sizeof(CF_REQUEST_KEY) == 8);
static_assert(sizeof(CF_CALLBACK_TYPE) == 4 && sizeof(CF_OPERATION_TYPE) == 4 && sizeof(CF_PLACEHOLDER_STATE) == 4);
static_assert(sizeof(CORRELATION_VECTOR) == 130 && alignof(CORRELATION_VECTOR) == 1);
OSTRASYNC_CF_AT(CORRELATION_VECTOR, Version, 0);
OSTRASYNC_CF_AT(CORRELATION_VECTOR, Vector, 1);

static_assert(sizeof(CF_HYDRATION_POLICY) == 4 && alignof(CF_HYDRATION_POLICY) == 2);
OSTRASYNC_CF_AT(CF_HYDRATION_POLICY, Primary, 0);
OSTRASYNC_CF_AT(CF_HYDRATION_POLICY, Modifier, 2);

static_assert(sizeof(FILE_BASIC_INFO) == 40);
OSTRASYNC_CF_AT(FILE_BASIC_INFO, CreationTime, 0);
OSTRASYNC_CF_AT(FILE_BASIC_INFO, LastAccessTime, 8);
OSTRASYNC_CF_AT(FILE_BASIC_INFO, LastWriteTime, 16);
OSTRASYNC_CF_AT(FILE_BASIC_INFO, ChangeTime, 24);
OSTRASYNC_CF_AT(FILE_BASIC_INFO, FileAttributes, 32);

static_assert(sizeof(CF_FS_METADATA) == 48);
OSTRASYNC_CF_AT(CF_FS_METADATA, BasicInfo, 0);
OSTRASYNC_CF_AT(CF_FS_METADATA, FileSize, 40);

static_assert(sizeof(CF_PLACEHOLDER_CREATE_INFO) == 88);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_CREATE_INFO, RelativeFileName, 0);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_CREATE_INFO, FsMetadata, 8);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_CREATE_INFO, FileIdentity, 56);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_CREATE_INFO, FileIdentityLength, 64);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_CREATE_INFO, Flags, 68);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_CREATE_INFO, Result, 72);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_CREATE_INFO, CreateUsn, 80);

static_assert(sizeof(CF_PROCESS_INFO) == 48);
OSTRASYNC_CF_AT(CF_PROCESS_INFO, StructSize, 0);
OSTRASYNC_CF_AT(CF_PROCESS_INFO, ProcessId, 4);
OSTRASYNC_CF_AT(CF_PROCESS_INFO, ImagePath, 8);
OSTRASYNC_CF_AT(CF_PROCESS_INFO, PackageName, 16);
OSTRASYNC_CF_AT(CF_PROCESS_INFO, ApplicationId, 24);
OSTRASYNC_CF_AT(CF_PROCESS_INFO, CommandLine, 32);
OSTRASYNC_CF_AT(CF_PROCESS_INFO, SessionId, 40);

static_assert(sizeof(CF_CALLBACK_REGISTRATION) == 16);
OSTRASYNC_CF_AT(CF_CALLBACK_REGISTRATION, Type, 0);
OSTRASYNC_CF_AT(CF_CALLBACK_REGISTRATION, Callback, 8);

static_assert(sizeof(CF_SYNC_POLICIES) == 24);
OSTRASYNC_CF_AT(CF_SYNC_POLICIES, StructSize, 0);
OSTRASYNC_CF_AT(CF_SYNC_POLICIES, Hydration, 4);
OSTRASYNC_CF_AT(CF_SYNC_POLICIES, Population, 8);
OSTRASYNC_CF_AT(CF_SYNC_POLICIES, InSync, 12);
OSTRASYNC_CF_AT(CF_SYNC_POLICIES, HardLink, 16);
OSTRASYNC_CF_AT(CF_SYNC_POLICIES, PlaceholderManagement, 20);

static_assert(sizeof(CF_SYNC_REGISTRATION) == 72);
OSTRASYNC_CF_AT(CF_SYNC_REGISTRATION, StructSize, 0);
OSTRASYNC_CF_AT(CF_SYNC_REGISTRATION, ProviderName, 8);
OSTRASYNC_CF_AT(CF_SYNC_REGISTRATION, ProviderVersion, 16);
OSTRASYNC_CF_AT(CF_SYNC_REGISTRATION, SyncRootIdentity, 24);
OSTRASYNC_CF_AT(CF_SYNC_REGISTRATION, SyncRootIdentityLength, 32);
OSTRASYNC_CF_AT(CF_SYNC_REGISTRATION, FileIdentity, 40);
OSTRASYNC_CF_AT(CF_SYNC_REGISTRATION, FileIdentityLength, 48);
OSTRASYNC_CF_AT(CF_SYNC_REGISTRATION, ProviderId, 52);

static_assert(sizeof(CF_OPERATION_INFO) == kOperationInfoSize);
OSTRASYNC_CF_AT(CF_OPERATION_INFO, StructSize, 0);
OSTRASYNC_CF_AT(CF_OPERATION_INFO, Type, 4);
OSTRASYNC_CF_AT(CF_OPERATION_INFO, ConnectionKey, 8);
OSTRASYNC_CF_AT(CF_OPERATION_INFO, TransferKey, 16);
OSTRASYNC_CF_AT(CF_OPERATION_INFO, CorrelationVector, 24);
OSTRASYNC_CF_AT(CF_OPERATION_INFO, SyncStatus, 32);
OSTRASYNC_CF_AT(CF_OPERATION_INFO, RequestKey, 40);
static_assert(offsetof(CF_OPERATION_INFO, SyncStatus) == kOperationInfoSizeOld);

static_assert(sizeof(CF_SYNC_STATUS) == 24);
OSTRASYNC_CF_AT(CF_SYNC_STATUS, StructSize, 0);
OSTRASYNC_CF_AT(CF_SYNC_STATUS, Code, 4);
OSTRASYNC_CF_AT(CF_SYNC_STATUS, DescriptionOffset, 8);
OSTRASYNC_CF_AT(CF_SYNC_STATUS, DescriptionLength, 12);
OSTRASYNC_CF_AT(CF_SYNC_STATUS, DeviceIdOffset, 16);
OSTRASYNC_CF_AT(CF_SYNC_STATUS, DeviceIdLength, 20);

static_assert(sizeof(CF_FILE_RANGE) == 16);
OSTRASYNC_CF_AT(CF_FILE_RANGE, StartingOffset, 0);
OSTRASYNC_CF_AT(CF_FILE_RANGE, Length, 8);

static_assert(sizeof(CF_SYNC_ROOT_BASIC_INFO) == 8);
OSTRASYNC_CF_AT(CF_SYNC_ROOT_BASIC_INFO, SyncRootFileId, 0);

static_assert(sizeof(CF_SYNC_ROOT_STANDARD_INFO) == 1064);
OSTRASYNC_CF_AT(CF_SYNC_ROOT_STANDARD_INFO, SyncRootFileId, 0);
OSTRASYNC_CF_AT(CF_SYNC_ROOT_STANDARD_INFO, HydrationPolicy, 8);
OSTRASYNC_CF_AT(CF_SYNC_ROOT_STANDARD_INFO, PopulationPolicy, 12);
OSTRASYNC_CF_AT(CF_SYNC_ROOT_STANDARD_INFO, InSyncPolicy, 16);
OSTRASYNC_CF_AT(CF_SYNC_ROOT_STANDARD_INFO, HardLinkPolicy, 20);
OSTRASYNC_CF_AT(CF_SYNC_ROOT_STANDARD_INFO, ProviderStatus, 24);
OSTRASYNC_CF_AT(CF_SYNC_ROOT_STANDARD_INFO, ProviderName, 28);
OSTRASYNC_CF_AT(CF_SYNC_ROOT_STANDARD_INFO, ProviderVersion, 540);
OSTRASYNC_CF_AT(CF_SYNC_ROOT_STANDARD_INFO, SyncRootIdentityLength, 1052);
OSTRASYNC_CF_AT(CF_SYNC_ROOT_STANDARD_INFO, SyncRootIdentity, 1056);

static_assert(sizeof(CF_PLACEHOLDER_BASIC_INFO) == 32);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_BASIC_INFO, PinState, 0);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_BASIC_INFO, InSyncState, 4);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_BASIC_INFO, FileId, 8);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_BASIC_INFO, SyncRootFileId, 16);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_BASIC_INFO, FileIdentityLength, 24);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_BASIC_INFO, FileIdentity, 28);

static_assert(sizeof(CF_PLACEHOLDER_STANDARD_INFO) == 64);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_STANDARD_INFO, OnDiskDataSize, 0);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_STANDARD_INFO, ValidatedDataSize, 8);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_STANDARD_INFO, ModifiedDataSize, 16);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_STANDARD_INFO, PropertiesSize, 24);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_STANDARD_INFO, PinState, 32);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_STANDARD_INFO, InSyncState, 36);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_STANDARD_INFO, FileId, 40);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_STANDARD_INFO, SyncRootFileId, 48);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_STANDARD_INFO, FileIdentityLength, 56);
OSTRASYNC_CF_AT(CF_PLACEHOLDER_STANDARD_INFO, FileIdentity, 60);

static_assert(sizeof(CF_CALLBACK_INFO) == 152);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, StructSize, 0);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, ConnectionKey, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, CallbackContext, 16);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, VolumeGuidName, 24);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, VolumeDosName, 32);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, VolumeSerialNumber, 40);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, SyncRootFileId, 48);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, SyncRootIdentity, 56);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, SyncRootIdentityLength, 64);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, FileId, 72);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, FileSize, 80);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, FileIdentity, 88);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, FileIdentityLength, 96);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, NormalizedPath, 104);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, TransferKey, 112);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, PriorityHint, 120);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, CorrelationVector, 128);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, ProcessInfo, 136);
OSTRASYNC_CF_AT(CF_CALLBACK_INFO, RequestKey, 144);

static_assert(sizeof(CF_CALLBACK_PARAMETERS) == 64);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, ParamSize, 0);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, Cancel.Flags, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, Cancel.FetchData.FileOffset, 16);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, Cancel.FetchData.Length, 24);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, FetchData.Flags, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, FetchData.RequiredFileOffset, 16);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, FetchData.RequiredLength, 24);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, FetchData.OptionalFileOffset, 32);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, FetchData.OptionalLength, 40);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, FetchData.LastDehydrationTime, 48);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, FetchData.LastDehydrationReason, 56);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, ValidateData.Flags, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, ValidateData.RequiredFileOffset, 16);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, ValidateData.RequiredLength, 24);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, FetchPlaceholders.Flags, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, FetchPlaceholders.Pattern, 16);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, OpenCompletion.Flags, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, CloseCompletion.Flags, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, Delete.Flags, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, DeleteCompletion.Flags, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, Dehydrate.Flags, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, Dehydrate.Reason, 12);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, DehydrateCompletion.Flags, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, DehydrateCompletion.Reason, 12);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, Rename.Flags, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, Rename.TargetPath, 16);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, RenameCompletion.Flags, 8);
OSTRASYNC_CF_AT(CF_CALLBACK_PARAMETERS, RenameCompletion.SourcePath, 16);

static_assert(sizeof(CF_OPERATION_PARAMETERS) == 48);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, ParamSize, 0);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, TransferData.Flags, 8);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, TransferData.CompletionStatus, 12);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, TransferData.Buffer, 16);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, TransferData.Offset, 24);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, TransferData.Length, 32);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, RetrieveData.Flags, 8);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, RetrieveData.Buffer, 16);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, RetrieveData.Offset, 24);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, RetrieveData.Length, 32);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, RetrieveData.ReturnedLength, 40);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, AckData.Flags, 8);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, AckData.CompletionStatus, 12);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, AckData.Offset, 16);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, AckData.Length, 24);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, RestartHydration.Flags, 8);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, RestartHydration.FsMetadata, 16);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, RestartHydration.FileIdentity, 24);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, RestartHydration.FileIdentityLength, 32);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, TransferPlaceholders.Flags, 8);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, TransferPlaceholders.CompletionStatus, 12);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, TransferPlaceholders.PlaceholderTotalCount, 16);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, TransferPlaceholders.PlaceholderArray, 24);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, TransferPlaceholders.PlaceholderCount, 32);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, TransferPlaceholders.EntriesProcessed, 36);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, AckDehydrate.Flags, 8);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, AckDehydrate.CompletionStatus, 12);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, AckDehydrate.FileIdentity, 16);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, AckDehydrate.FileIdentityLength, 24);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, AckRename.Flags, 8);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, AckRename.CompletionStatus, 12);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, AckDelete.Flags, 8);
OSTRASYNC_CF_AT(CF_OPERATION_PARAMETERS, AckDelete.CompletionStatus, 12);

// Each operation's ParamSize is where its member ends.
static_assert(kTransferDataParamSize == offsetof(CF_OPERATION_PARAMETERS, TransferData.Length) + sizeof(LARGE_INTEGER));
static_assert(kRetrieveDataParamSize ==
              offsetof(CF_OPERATION_PARAMETERS, RetrieveData.ReturnedLength) + sizeof(LARGE_INTEGER));
static_assert(kAckDataParamSize == offsetof(CF_OPERATION_PARAMETERS, AckData.Length) + sizeof(LARGE_INTEGER));
static_assert(kRestartHydrationParamSize ==
              offsetof(CF_OPERATION_PARAMETERS, RestartHydration.FileIdentityLength) + 8);  // padded to 8
static_assert(kTransferPlaceholdersParamSize ==
              offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.EntriesProcessed) + sizeof(DWORD));
static_assert(kAckDehydrateParamSize ==
              offsetof(CF_OPERATION_PARAMETERS, AckDehydrate.FileIdentityLength) + 8);  // padded to 8
static_assert(kAckRenameParamSize == offsetof(CF_OPERATION_PARAMETERS, AckRename.CompletionStatus) + sizeof(LONG));
static_assert(kAckDeleteParamSize == offsetof(CF_OPERATION_PARAMETERS, AckDelete.CompletionStatus) + sizeof(LONG));

#undef OSTRASYNC_CF_AT

}  // namespace ostrasync::platform::cfapi

#endif  // OSTRASYNC_PLATFORM_WINDOWS_CFAPI_DECLARATIONS_H_
