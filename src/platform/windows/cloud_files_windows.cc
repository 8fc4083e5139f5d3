// The cloud-files seam over Windows' cldapi.dll: our records converted to the CF_* structs and
// back, and the system's callbacks turned into calls of the provider's handlers.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/windows/cfapi_declarations.h"
#include "platform/windows/platform_windows.h"

namespace ostrasync::platform {
namespace {

using namespace cfapi;

constexpr DWORD kModNotFound = 126;   // ERROR_MOD_NOT_FOUND: no cldapi.dll on this system
constexpr DWORD kProcNotFound = 127;  // ERROR_PROC_NOT_FOUND: this cldapi.dll lacks the function
constexpr HResult kEAbort = static_cast<HResult>(0x80004004);
constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000E);

// ---- Loading cldapi.dll ----

struct LoadedApi {
  CldApi api;
  HResult missing = HResultFromWin32(kProcNotFound);  // the answer of a call whose entry is null
};

template <typename Function>
void Resolve(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

LoadedApi LoadCldApi() {
  LoadedApi loaded;
  // Only the system folder is searched: a cldapi.dll planted beside the host or in its working
  // folder would otherwise receive every file the provider serves. The module stays loaded for
  // the life of the process, since connections may call back into it until they are closed.
  const HMODULE module = LoadLibraryExW(L"cldapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {
    loaded.missing = HResultFromWin32(kModNotFound);
    return loaded;
  }
  CldApi& api = loaded.api;
  Resolve(module, "CfRegisterSyncRoot", &api.CfRegisterSyncRoot);
  Resolve(module, "CfUnregisterSyncRoot", &api.CfUnregisterSyncRoot);
  Resolve(module, "CfGetSyncRootInfoByPath", &api.CfGetSyncRootInfoByPath);
  Resolve(module, "CfConnectSyncRoot", &api.CfConnectSyncRoot);
  Resolve(module, "CfDisconnectSyncRoot", &api.CfDisconnectSyncRoot);
  Resolve(module, "CfExecute", &api.CfExecute);
  Resolve(module, "CfReportProviderProgress", &api.CfReportProviderProgress);
  Resolve(module, "CfCreatePlaceholders", &api.CfCreatePlaceholders);
  Resolve(module, "CfConvertToPlaceholder", &api.CfConvertToPlaceholder);
  Resolve(module, "CfUpdatePlaceholder", &api.CfUpdatePlaceholder);
  Resolve(module, "CfHydratePlaceholder", &api.CfHydratePlaceholder);
  Resolve(module, "CfDehydratePlaceholder", &api.CfDehydratePlaceholder);
  Resolve(module, "CfGetPlaceholderInfo", &api.CfGetPlaceholderInfo);
  Resolve(module, "CfGetPlaceholderStateFromFindData", &api.CfGetPlaceholderStateFromFindData);
  Resolve(module, "CfSetPinState", &api.CfSetPinState);
  Resolve(module, "CfSetInSyncState", &api.CfSetInSyncState);
  return loaded;
}

// ---- Conversions ----

LARGE_INTEGER Large(int64_t value) {
  LARGE_INTEGER large;
  large.QuadPart = value;
  return large;
}

std::u16string Text(PCWSTR text) {
  return text == nullptr ? std::u16string() : std::u16string(reinterpret_cast<const char16_t*>(text));
}

std::u16string BoundedText(const WCHAR* text, size_t capacity) {
  const auto* begin = reinterpret_cast<const char16_t*>(text);
  return std::u16string(begin, std::find(begin, begin + capacity, u'\0'));
}

std::span<const uint8_t> Bytes(LPCVOID data, DWORD length) {
  if (data == nullptr) return {};
  return {static_cast<const uint8_t*>(data), length};
}

// A length Windows takes as a DWORD; false when the seam's size does not fit.
bool FitsDword(size_t size) { return size <= std::numeric_limits<DWORD>::max(); }

CF_FS_METADATA ToCf(const FsMetadata& metadata) {
  CF_FS_METADATA cf = {};
  cf.BasicInfo.CreationTime.QuadPart = static_cast<LONGLONG>(metadata.creation_time);
  cf.BasicInfo.LastAccessTime.QuadPart = static_cast<LONGLONG>(metadata.last_access_time);
  cf.BasicInfo.LastWriteTime.QuadPart = static_cast<LONGLONG>(metadata.last_write_time);
  cf.BasicInfo.ChangeTime.QuadPart = static_cast<LONGLONG>(metadata.change_time);
  cf.BasicInfo.FileAttributes = metadata.attributes;
  cf.FileSize.QuadPart = metadata.file_size;
  return cf;
}

// The CF_PLACEHOLDER_CREATE_INFO array for a batch. The array points into `entries`, which must
// outlive it unchanged.
HResult ToCf(std::span<PlaceholderCreateEntry> entries, std::vector<CF_PLACEHOLDER_CREATE_INFO>* infos) {
  if (!FitsDword(entries.size())) return kEInvalidArg;
  infos->assign(entries.size(), CF_PLACEHOLDER_CREATE_INFO{});
  for (size_t i = 0; i < entries.size(); ++i) {
    const PlaceholderCreateEntry& entry = entries[i];
    if (entry.relative_name.empty() || HasEmbeddedNul(entry.relative_name) || !FitsDword(entry.identity.size())) {
      return kEInvalidArg;
    }
    CF_PLACEHOLDER_CREATE_INFO& info = (*infos)[i];
    info.RelativeFileName = Wide(entry.relative_name);
    info.FsMetadata = ToCf(entry.metadata);
    info.FileIdentity = entry.identity.empty() ? nullptr : entry.identity.data();
    info.FileIdentityLength = static_cast<DWORD>(entry.identity.size());
    info.Flags = static_cast<CF_PLACEHOLDER_CREATE_FLAGS>(entry.flags);
    info.Result = S_OK;
  }
  return kSOk;
}

// Copies each entry's own result back. Windows stops at the first failure when asked to; the
// entries it never reached still read S_OK in the array, and are reported as aborted so that
// none of them is taken for a placeholder that exists.
void WriteBack(const std::vector<CF_PLACEHOLDER_CREATE_INFO>& infos, DWORD processed,
               std::span<PlaceholderCreateEntry> entries) {
  for (size_t i = 0; i < entries.size(); ++i) {
    HResult result = infos[i].Result;
    if (i >= processed && result == S_OK) result = kEAbort;
    entries[i].result = result;
    entries[i].create_usn = infos[i].CreateUsn;
  }
}

// ---- Connections ----

// What CfConnectSyncRoot is given as its context: the provider's handlers and its own context.
struct Connection {
  CallbackFunction functions[cf::kCallbackTypeCount] = {};
  void* context = nullptr;
};

CallbackInfo ToCallbackInfo(const CF_CALLBACK_INFO& cf, const Connection& connection) {
  CallbackInfo info;
  info.connection_key = cf.ConnectionKey.Internal;
  info.callback_context = connection.context;
  info.volume_guid_name = Text(cf.VolumeGuidName);
  info.volume_dos_name = Text(cf.VolumeDosName);
  info.volume_serial = cf.VolumeSerialNumber;
  info.sync_root_file_id = cf.SyncRootFileId.QuadPart;
  info.sync_root_identity = Bytes(cf.SyncRootIdentity, cf.SyncRootIdentityLength);
  info.file_id = cf.FileId.QuadPart;
  info.file_size = cf.FileSize.QuadPart;
  info.file_identity = Bytes(cf.FileIdentity, cf.FileIdentityLength);
  info.normalized_path = Text(cf.NormalizedPath);
  info.transfer_key = cf.TransferKey.QuadPart;
  info.priority_hint = cf.PriorityHint;
  info.correlation_vector = cf.CorrelationVector;
  // Older systems hand over the shorter structure without the request key; its absence reads as
  // the default key rather than as whatever follows the structure.
  if (cf.StructSize >= offsetof(CF_CALLBACK_INFO, RequestKey) + sizeof(cf.RequestKey)) {
    info.request_key = cf.RequestKey.QuadPart;
  }
  if (cf.ProcessInfo != nullptr) {
    info.process_id = cf.ProcessInfo->ProcessId;
    info.process_image_path = Text(cf.ProcessInfo->ImagePath);
  }
  return info;
}

CallbackArgs ToCallbackArgs(cf::CallbackType type, const CF_CALLBACK_PARAMETERS& cf) {
  CallbackArgs args;
  switch (type) {
    case cf::kFetchData:
      args.flags = cf.FetchData.Flags;
      args.required_file_offset = cf.FetchData.RequiredFileOffset.QuadPart;
      args.required_length = cf.FetchData.RequiredLength.QuadPart;
      args.optional_file_offset = cf.FetchData.OptionalFileOffset.QuadPart;
      args.optional_length = cf.FetchData.OptionalLength.QuadPart;
      args.last_dehydration_time = static_cast<uint64_t>(cf.FetchData.LastDehydrationTime.QuadPart);
      args.last_dehydration_reason = cf.FetchData.LastDehydrationReason;
      break;
    case cf::kValidateData:
      args.flags = cf.ValidateData.Flags;
      args.required_file_offset = cf.ValidateData.RequiredFileOffset.QuadPart;
      args.required_length = cf.ValidateData.RequiredLength.QuadPart;
      break;
    case cf::kCancelFetchData:
      args.flags = cf.Cancel.Flags;
      args.cancel_file_offset = cf.Cancel.FetchData.FileOffset.QuadPart;
      args.cancel_length = cf.Cancel.FetchData.Length.QuadPart;
      break;
    case cf::kCancelFetchPlaceholders:
      args.flags = cf.Cancel.Flags;
      break;
    case cf::kFetchPlaceholders:
      args.flags = cf.FetchPlaceholders.Flags;
      args.pattern = Text(cf.FetchPlaceholders.Pattern);
      break;
    case cf::kNotifyDehydrate:
    case cf::kNotifyDehydrateCompletion:
      args.flags = cf.Dehydrate.Flags;
      args.reason = cf.Dehydrate.Reason;
      break;
    case cf::kNotifyRename:
      args.flags = cf.Rename.Flags;
      args.target_path = Text(cf.Rename.TargetPath);
      break;
    case cf::kNotifyRenameCompletion:
      args.flags = cf.RenameCompletion.Flags;
      args.source_path = Text(cf.RenameCompletion.SourcePath);
      break;
    default:  // open and close completion, delete and delete completion carry flags only
      args.flags = cf.OpenCompletion.Flags;
      break;
  }
  return args;
}

// One trampoline per callback type, so the type never has to be guessed from the parameters.
// Nothing may unwind into the system's thread: a request whose conversion or handler throws is
// left unanswered and times out for its requester, which is what an unanswered request does.
template <cf::CallbackType kType>
void CALLBACK Trampoline(const CF_CALLBACK_INFO* cf_info, const CF_CALLBACK_PARAMETERS* cf_args) {
  if (cf_info == nullptr || cf_args == nullptr || cf_info->CallbackContext == nullptr) return;
  const auto& connection = *static_cast<const Connection*>(cf_info->CallbackContext);
  const CallbackFunction function = connection.functions[kType];
  if (function == nullptr) return;
  try {
    const CallbackInfo info = ToCallbackInfo(*cf_info, connection);
    const CallbackArgs args = ToCallbackArgs(kType, *cf_args);
    function(kType, info, args);
  } catch (...) {
  }
}

template <size_t... kTypes>
constexpr std::array<CF_CALLBACK, sizeof...(kTypes)> MakeTrampolines(std::index_sequence<kTypes...>) {
  return {&Trampoline<static_cast<cf::CallbackType>(kTypes)>...};
}
constexpr auto kTrampolines = MakeTrampolines(std::make_index_sequence<cf::kCallbackTypeCount>());

// ---- The seam ----

class WindowsCloudFiles final : public CloudFiles {
 public:
  WindowsCloudFiles() = default;
  explicit WindowsCloudFiles(const CldApi& api) : given_(true) { loaded_.api = api; }

  // Connections still open when the object goes are left to the system: their contexts may be in
  // use by callbacks running right now, so they are deliberately not freed.
  ~WindowsCloudFiles() override {
    for (auto& entry : connections_) static_cast<void>(entry.second.release());
  }

  HResult RegisterSyncRoot(const std::u16string& path, const SyncRegistration& registration,
                           const SyncPolicies& policies, uint32_t flags) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfRegisterSyncRoot == nullptr) return loaded.missing;
    if (HasEmbeddedNul(path) || HasEmbeddedNul(registration.provider_name) ||
        HasEmbeddedNul(registration.provider_version) || !FitsDword(registration.sync_root_identity.size()) ||
        !FitsDword(registration.file_identity.size())) {
      return kEInvalidArg;
    }
    CF_SYNC_REGISTRATION cf_registration = {};
    cf_registration.StructSize = sizeof(cf_registration);
    cf_registration.ProviderName = Wide(registration.provider_name);
    cf_registration.ProviderVersion = Wide(registration.provider_version);
    cf_registration.SyncRootIdentity = DataOrNull(registration.sync_root_identity);
    cf_registration.SyncRootIdentityLength = static_cast<DWORD>(registration.sync_root_identity.size());
    cf_registration.FileIdentity = DataOrNull(registration.file_identity);
    cf_registration.FileIdentityLength = static_cast<DWORD>(registration.file_identity.size());
    static_assert(sizeof(cf_registration.ProviderId) == sizeof(registration.provider_id));
    std::memcpy(&cf_registration.ProviderId, registration.provider_id, sizeof(registration.provider_id));

    CF_SYNC_POLICIES cf_policies = {};
    cf_policies.StructSize = sizeof(cf_policies);
    cf_policies.Hydration = {policies.hydration, policies.hydration_modifier};
    cf_policies.Population = {policies.population, policies.population_modifier};
    cf_policies.InSync = static_cast<CF_INSYNC_POLICY>(policies.in_sync);
    cf_policies.HardLink = static_cast<CF_HARDLINK_POLICY>(policies.hard_link);
    cf_policies.PlaceholderManagement = static_cast<CF_PLACEHOLDER_MANAGEMENT_POLICY>(policies.placeholder_management);
    return loaded.api.CfRegisterSyncRoot(Wide(path), &cf_registration, &cf_policies,
                                         static_cast<CF_REGISTER_FLAGS>(flags));
  }

  HResult UnregisterSyncRoot(const std::u16string& path) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfUnregisterSyncRoot == nullptr) return loaded.missing;
    if (HasEmbeddedNul(path)) return kEInvalidArg;
    return loaded.api.CfUnregisterSyncRoot(Wide(path));
  }

  HResult GetSyncRootInfo(const std::u16string& path, SyncRootInfo* info) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfGetSyncRootInfoByPath == nullptr) return loaded.missing;
    if (info == nullptr || HasEmbeddedNul(path)) return kEInvalidArg;
    // Room for the structure and an identity of up to 64 KiB; a larger identity is asked for again
    // with the size Windows reports.
    std::vector<uint64_t> buffer;
    DWORD size = sizeof(CF_SYNC_ROOT_STANDARD_INFO) + 65536;
    HResult hr = kSOk;
    DWORD returned = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!Allocate(&buffer, size)) return kEOutOfMemory;
      returned = 0;
      hr = loaded.api.CfGetSyncRootInfoByPath(Wide(path), CF_SYNC_ROOT_INFO_STANDARD, buffer.data(), size, &returned);
      if (!IsTooSmall(hr) || returned <= size) break;
      size = returned;
    }
    if (FAILED(hr)) return hr;
    const auto& cf = *reinterpret_cast<const CF_SYNC_ROOT_STANDARD_INFO*>(buffer.data());
    SyncRootInfo result;
    result.sync_root_file_id = cf.SyncRootFileId.QuadPart;
    result.policies.hydration = cf.HydrationPolicy.Primary;
    result.policies.hydration_modifier = cf.HydrationPolicy.Modifier;
    result.policies.population = cf.PopulationPolicy.Primary;
    result.policies.population_modifier = cf.PopulationPolicy.Modifier;
    result.policies.in_sync = cf.InSyncPolicy;
    result.policies.hard_link = cf.HardLinkPolicy;
    result.provider_status = cf.ProviderStatus;
    result.provider_name = BoundedText(cf.ProviderName, std::size(cf.ProviderName));
    result.provider_version = BoundedText(cf.ProviderVersion, std::size(cf.ProviderVersion));
    result.sync_root_identity = TrailingBytes(buffer, size, offsetof(CF_SYNC_ROOT_STANDARD_INFO, SyncRootIdentity),
                                              cf.SyncRootIdentityLength);
    *info = std::move(result);
    return kSOk;
  }

  HResult ConnectSyncRoot(const std::u16string& path, std::span<const CallbackRegistration> callbacks, void* context,
                          uint32_t flags, int64_t* connection_key) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfConnectSyncRoot == nullptr) return loaded.missing;
    if (connection_key == nullptr || HasEmbeddedNul(path)) return kEInvalidArg;
    auto connection = std::make_unique<Connection>();
    connection->context = context;
    std::vector<CF_CALLBACK_REGISTRATION> table;
    bool listed[cf::kCallbackTypeCount] = {};
    for (const CallbackRegistration& registration : callbacks) {
      if (registration.type == cf::kCallbackNone) break;
      if (registration.type >= static_cast<uint32_t>(cf::kCallbackTypeCount) || listed[registration.type]) {
        return kEInvalidArg;
      }
      listed[registration.type] = true;
      connection->functions[registration.type] = registration.function;
      // A type without a handler is passed on with a null callback, as the provider listed it.
      table.push_back({static_cast<CF_CALLBACK_TYPE>(registration.type),
                       registration.function != nullptr ? kTrampolines[registration.type] : nullptr});
    }
    table.push_back({CF_CALLBACK_TYPE_NONE, nullptr});

    CF_CONNECTION_KEY key = {};
    const HResult hr = loaded.api.CfConnectSyncRoot(Wide(path), table.data(), connection.get(),
                                                    static_cast<CF_CONNECT_FLAGS>(flags), &key);
    if (FAILED(hr)) return hr;  // no callback was ever delivered with this context
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // A key Windows hands out again belongs to a connection it has closed, whose context is
      // no longer in use.
      connections_[key.Internal] = std::move(connection);
    }
    *connection_key = key.Internal;
    return hr;
  }

  HResult DisconnectSyncRoot(int64_t connection_key) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfDisconnectSyncRoot == nullptr) return loaded.missing;
    // The context leaves the record before the call: once Windows has closed the connection its
    // key may be given to a new one at once, whose record must not be the one removed here.
    std::unique_ptr<Connection> connection = Take(connection_key);
    const HResult hr = loaded.api.CfDisconnectSyncRoot(CF_CONNECTION_KEY{connection_key});
    // Only once Windows has confirmed that no callback of the connection runs any more can its
    // context go; after a failed disconnect callbacks may still arrive, so it goes back on record.
    if (FAILED(hr) && connection != nullptr) {
      std::lock_guard<std::mutex> lock(mutex_);
      connections_.try_emplace(connection_key, std::move(connection));
      if (connection != nullptr) static_cast<void>(connection.release());  // the key was reused meanwhile: leave it be
    }
    return hr;
  }

  HResult Execute(const OperationInfo& info, OperationArgs* args) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfExecute == nullptr) return loaded.missing;
    if (args == nullptr) return kEInvalidArg;
    if (info.struct_size != kOperationInfoSize && info.struct_size != kOperationInfoSizeOld) return kEInvalidArg;

    CF_OPERATION_INFO cf_info = {};
    cf_info.StructSize = info.struct_size;
    cf_info.Type = static_cast<CF_OPERATION_TYPE>(info.type);
    cf_info.ConnectionKey.Internal = info.connection_key;
    cf_info.TransferKey.QuadPart = info.transfer_key;
    cf_info.CorrelationVector = static_cast<const CORRELATION_VECTOR*>(info.correlation_vector);
    cf_info.RequestKey.QuadPart = info.request_key;  // not read by Windows in the 32-byte form

    CF_OPERATION_PARAMETERS cf = {};
    std::vector<CF_PLACEHOLDER_CREATE_INFO> placeholders;
    if (!FitsDword(args->file_identity.size())) return kEInvalidArg;
    const auto identity_length = static_cast<DWORD>(args->file_identity.size());
    const void* identity = args->file_identity.empty() ? nullptr : args->file_identity.data();
    switch (info.type) {
      case cf::kTransferData:
        cf.ParamSize = kTransferDataParamSize;
        cf.TransferData.Flags = args->flags;
        cf.TransferData.CompletionStatus = args->completion_status;
        cf.TransferData.Buffer = args->buffer;
        cf.TransferData.Offset = Large(args->offset);
        cf.TransferData.Length = Large(args->length);
        break;
      case cf::kRetrieveData:
        // Windows fills the buffer; how much it filled comes back in args->length.
        cf.ParamSize = kRetrieveDataParamSize;
        cf.RetrieveData.Flags = args->flags;
        cf.RetrieveData.Buffer = const_cast<void*>(args->buffer);
        cf.RetrieveData.Offset = Large(args->offset);
        cf.RetrieveData.Length = Large(args->length);
        break;
      case cf::kAckData:
        cf.ParamSize = kAckDataParamSize;
        cf.AckData.Flags = args->flags;
        cf.AckData.CompletionStatus = args->completion_status;
        cf.AckData.Offset = Large(args->offset);
        cf.AckData.Length = Large(args->length);
        break;
      case cf::kRestartHydration:
        // The seam carries no new metadata for a restart; the placeholder keeps its own.
        cf.ParamSize = kRestartHydrationParamSize;
        cf.RestartHydration.Flags = args->flags;
        cf.RestartHydration.FsMetadata = nullptr;
        cf.RestartHydration.FileIdentity = identity;
        cf.RestartHydration.FileIdentityLength = identity_length;
        break;
      case cf::kTransferPlaceholders: {
        const HResult converted = ToCf(args->placeholders, &placeholders);
        if (FAILED(converted)) return converted;
        cf.ParamSize = kTransferPlaceholdersParamSize;
        cf.TransferPlaceholders.Flags = args->flags;
        cf.TransferPlaceholders.CompletionStatus = args->completion_status;
        cf.TransferPlaceholders.PlaceholderTotalCount = Large(args->placeholder_total_count);
        cf.TransferPlaceholders.PlaceholderArray = placeholders.empty() ? nullptr : placeholders.data();
        cf.TransferPlaceholders.PlaceholderCount = static_cast<DWORD>(placeholders.size());
        break;
      }
      case cf::kAckDehydrate:
        cf.ParamSize = kAckDehydrateParamSize;
        cf.AckDehydrate.Flags = args->flags;
        cf.AckDehydrate.CompletionStatus = args->completion_status;
        cf.AckDehydrate.FileIdentity = identity;
        cf.AckDehydrate.FileIdentityLength = identity_length;
        break;
      case cf::kAckRename:
        cf.ParamSize = kAckRenameParamSize;
        cf.AckRename.Flags = args->flags;
        cf.AckRename.CompletionStatus = args->completion_status;
        break;
      case cf::kAckDelete:
        cf.ParamSize = kAckDeleteParamSize;
        cf.AckDelete.Flags = args->flags;
        cf.AckDelete.CompletionStatus = args->completion_status;
        break;
      default:
        return kEInvalidArg;
    }

    const HResult hr = loaded.api.CfExecute(&cf_info, &cf);
    if (info.type == cf::kTransferPlaceholders) {
      // Per-entry results matter most when the batch failed part-way, so they are written back
      // either way.
      const DWORD processed = std::min<DWORD>(cf.TransferPlaceholders.EntriesProcessed,
                                              static_cast<DWORD>(placeholders.size()));
      WriteBack(placeholders, processed, args->placeholders);
      args->entries_processed = processed;
    } else if (info.type == cf::kRetrieveData && SUCCEEDED(hr)) {
      args->length = cf.RetrieveData.ReturnedLength.QuadPart;
    }
    return hr;
  }

  HResult ReportProviderProgress(int64_t connection_key, int64_t transfer_key, int64_t total,
                                 int64_t completed) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfReportProviderProgress == nullptr) return loaded.missing;
    return loaded.api.CfReportProviderProgress(CF_CONNECTION_KEY{connection_key}, Large(transfer_key), Large(total),
                                               Large(completed));
  }

  HResult CreatePlaceholders(const std::u16string& base_directory, std::span<PlaceholderCreateEntry> entries,
                             uint32_t flags, uint32_t* entries_processed) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfCreatePlaceholders == nullptr) return loaded.missing;
    if (HasEmbeddedNul(base_directory)) return kEInvalidArg;
    std::vector<CF_PLACEHOLDER_CREATE_INFO> infos;
    const HResult converted = ToCf(entries, &infos);
    if (FAILED(converted)) return converted;
    DWORD processed = 0;
    const HResult hr = loaded.api.CfCreatePlaceholders(Wide(base_directory), infos.empty() ? nullptr : infos.data(),
                                                       static_cast<DWORD>(infos.size()),
                                                       static_cast<CF_CREATE_FLAGS>(flags), &processed);
    processed = std::min<DWORD>(processed, static_cast<DWORD>(infos.size()));
    WriteBack(infos, processed, entries);
    if (entries_processed != nullptr) *entries_processed = processed;
    return hr;
  }

  HResult ConvertToPlaceholder(FileHandle& file, std::span<const uint8_t> identity, uint32_t flags) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfConvertToPlaceholder == nullptr) return loaded.missing;
    const HANDLE handle = NativeHandle(file);
    if (handle == nullptr || !FitsDword(identity.size())) return kEInvalidArg;
    return loaded.api.CfConvertToPlaceholder(handle, identity.empty() ? nullptr : identity.data(),
                                             static_cast<DWORD>(identity.size()),
                                             static_cast<CF_CONVERT_FLAGS>(flags), nullptr, nullptr);
  }

  HResult UpdatePlaceholder(FileHandle& file, const FsMetadata* metadata, std::span<const uint8_t> identity,
                            std::span<const FileRange> dehydrate_ranges, uint32_t flags) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfUpdatePlaceholder == nullptr) return loaded.missing;
    const HANDLE handle = NativeHandle(file);
    if (handle == nullptr || !FitsDword(identity.size()) || !FitsDword(dehydrate_ranges.size())) return kEInvalidArg;
    CF_FS_METADATA cf_metadata = {};
    if (metadata != nullptr) cf_metadata = ToCf(*metadata);
    std::vector<CF_FILE_RANGE> ranges;
    ranges.reserve(dehydrate_ranges.size());
    for (const FileRange& range : dehydrate_ranges) ranges.push_back({Large(range.offset), Large(range.length)});
    return loaded.api.CfUpdatePlaceholder(handle, metadata != nullptr ? &cf_metadata : nullptr,
                                          identity.empty() ? nullptr : identity.data(),
                                          static_cast<DWORD>(identity.size()), ranges.empty() ? nullptr : ranges.data(),
                                          static_cast<DWORD>(ranges.size()), static_cast<CF_UPDATE_FLAGS>(flags),
                                          nullptr, nullptr);
  }

  HResult HydratePlaceholder(FileHandle& file, int64_t offset, int64_t length, uint32_t flags) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfHydratePlaceholder == nullptr) return loaded.missing;
    const HANDLE handle = NativeHandle(file);
    if (handle == nullptr) return kEInvalidArg;
    return loaded.api.CfHydratePlaceholder(handle, Large(offset), Large(length), static_cast<CF_HYDRATE_FLAGS>(flags),
                                           nullptr);
  }

  HResult DehydratePlaceholder(FileHandle& file, int64_t offset, int64_t length, uint32_t flags) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfDehydratePlaceholder == nullptr) return loaded.missing;
    const HANDLE handle = NativeHandle(file);
    if (handle == nullptr) return kEInvalidArg;
    return loaded.api.CfDehydratePlaceholder(handle, Large(offset), Large(length),
                                             static_cast<CF_DEHYDRATE_FLAGS>(flags), nullptr);
  }

  HResult GetPlaceholderInfo(FileHandle& file, uint32_t info_class, PlaceholderInfo* info) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfGetPlaceholderInfo == nullptr) return loaded.missing;
    const HANDLE handle = NativeHandle(file);
    if (handle == nullptr || info == nullptr) return kEInvalidArg;
    if (info_class != cf::kPlaceholderInfoBasic && info_class != cf::kPlaceholderInfoStandard) return kEInvalidArg;
    // A file identity is at most 4 KiB, so one buffer always holds the answer.
    std::vector<uint64_t> buffer;
    const DWORD size = sizeof(CF_PLACEHOLDER_STANDARD_INFO) + cf::kMaxFileIdentityLength;
    if (!Allocate(&buffer, size)) return kEOutOfMemory;
    DWORD returned = 0;
    const HResult hr = loaded.api.CfGetPlaceholderInfo(handle, static_cast<CF_PLACEHOLDER_INFO_CLASS>(info_class),
                                                       buffer.data(), size, &returned);
    if (FAILED(hr)) return hr;
    PlaceholderInfo result;
    if (info_class == cf::kPlaceholderInfoStandard) {
      const auto& cf = *reinterpret_cast<const CF_PLACEHOLDER_STANDARD_INFO*>(buffer.data());
      result.on_disk_data_size = cf.OnDiskDataSize.QuadPart;
      result.validated_data_size = cf.ValidatedDataSize.QuadPart;
      result.modified_data_size = cf.ModifiedDataSize.QuadPart;
      result.properties_size = cf.PropertiesSize.QuadPart;
      result.pin_state = cf.PinState;
      result.in_sync_state = cf.InSyncState;
      result.file_id = cf.FileId.QuadPart;
      result.sync_root_file_id = cf.SyncRootFileId.QuadPart;
      result.identity = TrailingBytes(buffer, size, offsetof(CF_PLACEHOLDER_STANDARD_INFO, FileIdentity),
                                      cf.FileIdentityLength);
    } else {
      const auto& cf = *reinterpret_cast<const CF_PLACEHOLDER_BASIC_INFO*>(buffer.data());
      result.pin_state = cf.PinState;
      result.in_sync_state = cf.InSyncState;
      result.file_id = cf.FileId.QuadPart;
      result.sync_root_file_id = cf.SyncRootFileId.QuadPart;
      result.identity =
          TrailingBytes(buffer, size, offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity), cf.FileIdentityLength);
    }
    *info = std::move(result);
    return kSOk;
  }

  // Without cldapi.dll the state cannot be known, which Windows itself answers with "invalid".
  uint32_t PlaceholderStateFromFindData(const FindData& find_data) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfGetPlaceholderStateFromFindData == nullptr) return cf::kStateInvalid;
    WIN32_FIND_DATAW cf = {};
    cf.dwFileAttributes = find_data.attributes;
    cf.dwReserved0 = find_data.reparse_tag;
    cf.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(find_data.file_size) >> 32);
    cf.nFileSizeLow = static_cast<DWORD>(find_data.file_size);
    const size_t length = std::min<size_t>(find_data.name.size(), MAX_PATH - 1);
    std::memcpy(cf.cFileName, find_data.name.data(), length * sizeof(char16_t));
    return loaded.api.CfGetPlaceholderStateFromFindData(&cf);
  }

  HResult SetPinState(FileHandle& file, uint32_t pin_state, uint32_t flags) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfSetPinState == nullptr) return loaded.missing;
    const HANDLE handle = NativeHandle(file);
    if (handle == nullptr) return kEInvalidArg;
    return loaded.api.CfSetPinState(handle, static_cast<CF_PIN_STATE>(pin_state), static_cast<CF_SET_PIN_FLAGS>(flags),
                                    nullptr);
  }

  HResult SetInSyncState(FileHandle& file, uint32_t in_sync_state, uint32_t flags, int64_t* usn) override {
    const LoadedApi& loaded = Api();
    if (loaded.api.CfSetInSyncState == nullptr) return loaded.missing;
    const HANDLE handle = NativeHandle(file);
    if (handle == nullptr) return kEInvalidArg;
    // The USN is only written back when the call succeeds, as the seam leaves outputs alone on failure.
    USN cf_usn = usn != nullptr ? *usn : 0;
    const HResult hr = loaded.api.CfSetInSyncState(handle, static_cast<CF_IN_SYNC_STATE>(in_sync_state),
                                                   static_cast<CF_SET_IN_SYNC_FLAGS>(flags),
                                                   usn != nullptr ? &cf_usn : nullptr);
    if (SUCCEEDED(hr) && usn != nullptr) *usn = cf_usn;
    return hr;
  }

 private:
  const LoadedApi& Api() {
    std::call_once(once_, [this] {
      if (!given_) loaded_ = LoadCldApi();
    });
    return loaded_;
  }

  std::unique_ptr<Connection> Take(int64_t connection_key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = connections_.find(connection_key);
    if (it == connections_.end()) return nullptr;
    std::unique_ptr<Connection> connection = std::move(it->second);
    connections_.erase(it);
    return connection;
  }

  static const void* DataOrNull(const std::vector<uint8_t>& bytes) { return bytes.empty() ? nullptr : bytes.data(); }

  static bool IsTooSmall(HResult hr) {
    return hr == HResultFromWin32(234 /* ERROR_MORE_DATA */) || hr == HResultFromWin32(win32::kInsufficientBuffer);
  }

  // An 8-byte aligned buffer of at least `size` bytes, zeroed, so the structures can be read in place.
  static bool Allocate(std::vector<uint64_t>* buffer, DWORD size) {
    try {
      buffer->assign((size + 7) / 8, 0);
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  // The variable-length bytes that run past a structure, cut to what the buffer holds.
  static std::vector<uint8_t> TrailingBytes(const std::vector<uint64_t>& buffer, DWORD size, size_t offset,
                                            ULONG length) {
    const auto* begin = reinterpret_cast<const uint8_t*>(buffer.data()) + offset;
    const size_t available = size > offset ? size - offset : 0;
    return std::vector<uint8_t>(begin, begin + std::min<size_t>(length, available));
  }

  std::once_flag once_;
  bool given_ = false;
  LoadedApi loaded_;
  std::mutex mutex_;
  std::unordered_map<int64_t, std::unique_ptr<Connection>> connections_;
};

}  // namespace

std::unique_ptr<CloudFiles> NewWindowsCloudFiles() { return std::make_unique<WindowsCloudFiles>(); }

std::unique_ptr<CloudFiles> NewWindowsCloudFiles(const cfapi::CldApi& api) {
  return std::make_unique<WindowsCloudFiles>(api);
}

}  // namespace ostrasync::platform
