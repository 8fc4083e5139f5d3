// The cloud-files operations the engine makes, their callback adapters and the connection context.
#include "platform/cloud_files_binding.h"

#include <iterator>
#include <memory>
#include <new>
#include <vector>

namespace ostrasync::platform {
namespace {

constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000E);
constexpr HResult kNotUnderSyncRoot = HResultFromWin32(win32::kCloudFileNotUnderSyncRoot);
constexpr uint32_t kOpenExisting = 3;

std::atomic<int> g_live_contexts{0};

// The context whose dispatcher the current thread is running, and how deeply; lets a disconnect
// made from inside a callback tell its own callback apart from others it must wait for.
thread_local const ConnectionContext* t_dispatching = nullptr;
thread_local int t_dispatch_depth = 0;

template <typename Request>
bool ValidRecord(const Request* request) {
  return request != nullptr && request->size == sizeof(Request);
}

// No exception may reach the callers: they are C-style paths in the engine and OS threads.
template <typename Body>
HResult Shielded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return kEOutOfMemory;
  } catch (...) {
    return kEFail;
  }
}

std::u16string JoinPath(std::u16string_view base, std::u16string_view name) {
  std::u16string path(base);
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  path += name;
  return path;
}

// A directory placeholder is made by converting the existing folder, so the entry's create flags
// are restated in the conversion's own bit values: they differ between the two calls.
uint32_t ConvertFlagsForDirectory(uint32_t placeholder_flags) {
  uint32_t flags = 0;
  if (placeholder_flags & cf::kPlaceholderCreateMarkInSync) flags |= cf::kConvertMarkInSync;
  if (placeholder_flags & cf::kPlaceholderCreateAlwaysFull) flags |= cf::kConvertAlwaysFull;
  if (!(placeholder_flags & cf::kPlaceholderCreateDisableOnDemandPopulation)) {
    flags |= cf::kConvertEnableOnDemandPopulation;
  }
  return flags;
}

char16_t FoldAscii(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" into a GUID's bytes as it lies in memory: the first three
// groups are little-endian numbers, the last two plain bytes.
bool ParseGuid(std::u16string_view text, uint8_t (&guid)[16]) {
  static constexpr char16_t kShape[] = u"{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
  if (text.size() != std::size(kShape) - 1) return false;
  uint8_t bytes[16] = {};
  int n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (kShape[i] != u'x') {
      if (text[i] != kShape[i]) return false;
      continue;
    }
    const int hi = HexDigit(text[i]);
    const int lo = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
    if (hi < 0 || lo < 0 || kShape[i + 1] != u'x') return false;
    bytes[n++] = static_cast<uint8_t>(hi << 4 | lo);
    ++i;
  }
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) guid[i] = bytes[kOrder[i]];
  return true;
}

bool RegistrationMatches(const SyncRootInfo& info, const RegisterRootRequest& request) {
  const SyncPolicies& p = info.policies;
  return p.hard_link == request.hard_link_policy && p.in_sync == request.in_sync_policy &&
         p.hydration == request.hydration && p.hydration_modifier == request.hydration_modifier &&
         p.population == request.population && p.population_modifier == request.population_modifier &&
         EqualIgnoringCase(info.provider_name, request.provider_name) &&
         EqualIgnoringCase(info.provider_version, request.provider_version);
}

// A value an answer needs. A set reports an absent value as 1, which is not a failure code; the
// answer is then invalid, and the caller must see a failure.
HResult RequiredValue(HResult read_result) {
  return read_result > 0 ? kEInvalidArg : read_result;
}

}  // namespace

// The functions registered with the OS, one per callback type. Each copies the callback's values
// into a new set under the names the engine's handlers read, then runs the connection's
// dispatcher. The adapter holds the set's only reference across the call, so the set is freed on
// every path, whatever the handler does; a handler keeps it by taking its own reference.
struct CallbackAdapters {
  static void Deliver(cf::CallbackType type, const CallbackInfo& info, CallbackParameters* set) {
    auto* context = static_cast<ConnectionContext*>(info.callback_context);
    if (context != nullptr) context->Dispatch(type, info, set);
  }

  static void FetchData(cf::CallbackType, const CallbackInfo& info, const CallbackArgs& args) {
    CallbackParametersPtr set = CallbackParameters::Create();
    if (!set) return;
    const bool ok = set->SetInt32(u"Flags", static_cast<int32_t>(args.flags)) == kSOk &&
                    set->SetInt64(u"OptionalFileOffset", args.optional_file_offset) == kSOk &&
                    set->SetInt64(u"OptionalLength", args.optional_length) == kSOk &&
                    set->SetInt64(u"RequiredFileOffset", args.required_file_offset) == kSOk &&
                    set->SetInt64(u"RequiredLength", args.required_length) == kSOk &&
                    set->SetInt32(u"LastDehydrationReason", static_cast<int32_t>(args.last_dehydration_reason)) == kSOk &&
                    set->SetInt64(u"LastDehydrationTime", static_cast<int64_t>(args.last_dehydration_time)) == kSOk;
    if (ok) Deliver(cf::kFetchData, info, set.get());
  }

  static void ValidateData(cf::CallbackType, const CallbackInfo& info, const CallbackArgs& args) {
    CallbackParametersPtr set = CallbackParameters::Create();
    if (!set) return;
    const bool ok = set->SetInt32(u"Flags", static_cast<int32_t>(args.flags)) == kSOk &&
                    set->SetInt64(u"RequiredFileOffset", args.required_file_offset) == kSOk &&
                    set->SetInt64(u"RequiredLength", args.required_length) == kSOk;
    if (ok) Deliver(cf::kValidateData, info, set.get());
  }

  static void CancelFetchData(cf::CallbackType, const CallbackInfo& info, const CallbackArgs&) {
    Deliver(cf::kCancelFetchData, info, nullptr);
  }

  static void FetchPlaceholders(cf::CallbackType, const CallbackInfo& info, const CallbackArgs& args) {
    CallbackParametersPtr set = CallbackParameters::Create();
    if (!set) return;
    const bool ok = set->SetInt32(u"Flags", static_cast<int32_t>(args.flags)) == kSOk &&
                    set->SetString(u"Pattern", args.pattern) == kSOk;
    if (ok) Deliver(cf::kFetchPlaceholders, info, set.get());
  }

  static void CancelFetchPlaceholders(cf::CallbackType, const CallbackInfo& info, const CallbackArgs& args) {
    CallbackParametersPtr set = CallbackParameters::Create();
    if (!set) return;
    const bool ok = set->SetInt32(u"Flags", static_cast<int32_t>(args.flags)) == kSOk &&
                    set->SetInt64(u"FileOffset", args.cancel_file_offset) == kSOk &&
                    set->SetInt64(u"Length", args.cancel_length) == kSOk;
    if (ok) Deliver(cf::kCancelFetchPlaceholders, info, set.get());
  }

  template <cf::CallbackType kType>
  static void Dehydration(cf::CallbackType, const CallbackInfo& info, const CallbackArgs& args) {
    CallbackParametersPtr set = CallbackParameters::Create();
    if (!set) return;
    const bool ok = set->SetInt32(u"Flags", static_cast<int32_t>(args.flags)) == kSOk &&
                    set->SetInt32(u"Reason", static_cast<int32_t>(args.reason)) == kSOk;
    if (ok) Deliver(kType, info, set.get());
  }

  // Open and close completions, and deletes and renames when a caller switches them on.
  template <cf::CallbackType kType>
  static void FlagsOnly(cf::CallbackType, const CallbackInfo& info, const CallbackArgs& args) {
    CallbackParametersPtr set = CallbackParameters::Create();
    if (!set) return;
    bool ok = set->SetInt32(u"Flags", static_cast<int32_t>(args.flags)) == kSOk;
    if (ok && kType == cf::kNotifyRename) ok = set->SetString(u"TargetPath", args.target_path) == kSOk;
    if (ok && kType == cf::kNotifyRenameCompletion) ok = set->SetString(u"SourcePath", args.source_path) == kSOk;
    if (ok) Deliver(kType, info, set.get());
  }

  static void FillTable(std::array<CallbackRegistration, cf::kCallbackTypeCount + 1>& table,
                        bool open_close, bool delete_rename) {
    table = {{
        {cf::kFetchData, &FetchData},
        {cf::kValidateData, &ValidateData},
        {cf::kCancelFetchData, &CancelFetchData},
        {cf::kFetchPlaceholders, &FetchPlaceholders},
        {cf::kCancelFetchPlaceholders, &CancelFetchPlaceholders},
        {cf::kNotifyDehydrate, &Dehydration<cf::kNotifyDehydrate>},
        {cf::kNotifyDehydrateCompletion, &Dehydration<cf::kNotifyDehydrateCompletion>},
        {cf::kNotifyDelete, delete_rename ? &FlagsOnly<cf::kNotifyDelete> : nullptr},
        {cf::kNotifyDeleteCompletion, delete_rename ? &FlagsOnly<cf::kNotifyDeleteCompletion> : nullptr},
        {cf::kNotifyRename, delete_rename ? &FlagsOnly<cf::kNotifyRename> : nullptr},
        {cf::kNotifyRenameCompletion, delete_rename ? &FlagsOnly<cf::kNotifyRenameCompletion> : nullptr},
        {cf::kNotifyFileOpenCompletion, open_close ? &FlagsOnly<cf::kNotifyFileOpenCompletion> : nullptr},
        {cf::kNotifyFileCloseCompletion, open_close ? &FlagsOnly<cf::kNotifyFileCloseCompletion> : nullptr},
        {cf::kCallbackNone, nullptr},
    }};
  }
};

// ---- ConnectionContext ----

ConnectionContext::ConnectionContext(CallbackDispatcher dispatcher, void* engine)
    : dispatcher_(dispatcher), engine_(engine) {
  g_live_contexts.fetch_add(1, std::memory_order_relaxed);
}

ConnectionContext::~ConnectionContext() { g_live_contexts.fetch_sub(1, std::memory_order_relaxed); }

int ConnectionContext::LiveContextsForTest() { return g_live_contexts.load(std::memory_order_relaxed); }

int ConnectionContext::callbacks_in_flight() const {
  std::lock_guard lock(mutex_);
  return in_flight_;
}

void ConnectionContext::Dispatch(cf::CallbackType type, const CallbackInfo& info, CallbackParameters* parameters) {
  {
    std::lock_guard lock(mutex_);
    if (disconnected_) return;
    ++in_flight_;
  }
  const ConnectionContext* const outer = t_dispatching;
  const int outer_depth = t_dispatch_depth;
  t_dispatch_depth = outer == this ? outer_depth + 1 : 1;
  t_dispatching = this;
  // The OS thread that called us must never see an exception.
  try {
    dispatcher_(engine_, type, info, parameters);
  } catch (...) {
  }
  t_dispatching = outer;
  t_dispatch_depth = outer_depth;

  bool free_now = false;
  {
    std::lock_guard lock(mutex_);
    --in_flight_;
    if (free_on_last_exit_ && in_flight_ == 0) {
      free_now = true;
    } else {
      // Under the lock: the waiting disconnect may free the context as soon as it can take it.
      idle_.notify_all();
    }
  }
  if (free_now) delete this;
}

void ConnectionContext::RetireAfterDisconnect() {
  const int own = t_dispatching == this ? t_dispatch_depth : 0;
  std::unique_lock lock(mutex_);
  disconnected_ = true;
  idle_.wait(lock, [&] { return in_flight_ == own; });
  if (own > 0) {
    // The disconnect runs inside this connection's own callback, which still uses the context.
    free_on_last_exit_ = true;
    return;
  }
  lock.unlock();
  delete this;
}

// ---- CloudFilesBinding ----

NtStatus CompletionStatusFromHostResult(int32_t host_result) {
  switch (static_cast<uint32_t>(host_result)) {
    case 0:
    case 0x21000001:
      return ntstatus::kSuccess;
    case 0x21000004:
    case 0x21000005:
      return ntstatus::kCloudFileInvalidRequest;
    case 0x21000006:
      return ntstatus::kCloudFileAccessDenied;
    case 0x21000012:
      return ntstatus::kCloudFileNotInSync;
    case 0x21000030:
      return ntstatus::kCloudFileRequestAborted;
    default:
      return ntstatus::kCloudFileUnsuccessful;
  }
}

CloudFilesBinding::CloudFilesBinding(CloudFiles& cloud_files, FileSystem& file_system, Shell& shell,
                                     SystemServices& system, BindingLog& log)
    : cloud_files_(cloud_files), file_system_(file_system), shell_(shell), system_(system), log_(log) {}

CloudFilesBinding::CloudFilesBinding(Platform& platform, BindingLog& log)
    : CloudFilesBinding(platform.cloud_files(), platform.file_system(), platform.shell(), platform.system(), log) {}

void CloudFilesBinding::LogSystemText(HResult hr) {
  // The text is an argument: system texts can hold inserts such as %1, which are not ours to expand.
  log_.Log(kBindingErrorLevel, u"OS error message: %s", {system_.MessageText(static_cast<uint32_t>(hr))});
}

void CloudFilesBinding::LogOutcome(HResult hr, std::u16string_view format,
                                   std::initializer_list<engine::LogArg> args) {
  log_.Log(hr < 0 ? kBindingErrorLevel : kBindingTraceLevel, format, args);
  if (hr < 0) LogSystemText(hr);
}

HResult CloudFilesBinding::OpenItem(const std::u16string& path, bool normal_attribute, FileHandlePtr* file) {
  OpenRequest open;
  open.desired_access = 0;
  open.share_mode = share::kRead;
  open.disposition = kOpenExisting;
  open.flags_and_attributes = normal_attribute ? attr::kNormal : 0;
  // Folders can only be opened with backup semantics, and refuse other opens as access denied.
  // Most items are files, so the open is tried as for a file first and the attributes are read
  // only when it is refused; an item that is no folder keeps the refusal.
  Win32Error error = file_system_.Open(path, open, file);
  uint32_t attributes = attr::kInvalid;
  if (error == win32::kAccessDenied && file_system_.ReadAttributes(path, &attributes) == 0 &&
      attributes != attr::kInvalid && (attributes & attr::kDirectory) != 0) {
    open.flags_and_attributes |= open_flag::kBackupSemantics;
    error = file_system_.Open(path, open, file);
  }
  if (error != 0) {
    file->reset();
    return HResultFromWin32(error);
  }
  return *file ? kSOk : kEFail;
}

HResult CloudFilesBinding::ConnectPlaceholderRoot(ConnectRootRequest* request) {
  if (!ValidRecord(request) || request->path == nullptr || request->dispatcher == nullptr) return kEInvalidArg;
  request->context = nullptr;
  return Shielded([&] {
    const std::u16string path(request->path);
    log_.Log(kBindingTraceLevel, u"ConnectPlaceholderRoot called '%s', flags: 0x%x", {path, request->connect_flags});
    auto free_context = [](ConnectionContext* context) { delete context; };
    std::unique_ptr<ConnectionContext, decltype(free_context)> context(
        new ConnectionContext(request->dispatcher, request->engine), free_context);
    CallbackAdapters::FillTable(context->callbacks_, request->open_close_notifications != 0,
                                request->delete_rename_notifications != 0);
    int64_t key = 0;
    const HResult hr =
        cloud_files_.ConnectSyncRoot(path, context->callbacks_, context.get(), request->connect_flags, &key);
    if (hr >= 0) {
      context->connection_key_.store(key, std::memory_order_release);
      request->context = context.release();
    }
    LogOutcome(hr, u"ConnectPlaceholderRoot result code: 0x%x", {static_cast<uint32_t>(hr)});
    return hr;
  });
}

HResult CloudFilesBinding::DisconnectPlaceholderRoot(DisconnectRootRequest* request) {
  if (!ValidRecord(request) || request->context == nullptr) return kEInvalidArg;
  ConnectionContext* const context = request->context;
  const int64_t key = context->connection_key();
  log_.Log(kBindingTraceLevel, u"DisconnectPlaceholderRoot called for handle 0x%x", {static_cast<uint32_t>(key)});
  const HResult hr = cloud_files_.DisconnectSyncRoot(key);
  // A connection the OS still holds may still call back into the context: it must outlive it.
  if (hr < 0) return hr;
  request->context = nullptr;
  context->RetireAfterDisconnect();
  return hr;
}

HResult CloudFilesBinding::RegisterPlaceholderRoot(const RegisterRootRequest* request) {
  if (!ValidRecord(request) || request->path == nullptr || request->provider_name == nullptr ||
      request->provider_version == nullptr) {
    return kEInvalidArg;
  }
  return Shielded([&] {
    SyncRegistration registration;
    registration.provider_name = request->provider_name;
    registration.provider_version = request->provider_version;
    if (registration.provider_name.size() > cf::kMaxProviderNameLength ||
        registration.provider_version.size() > cf::kMaxProviderNameLength) {
      return kEInvalidArg;
    }
    if (request->provider_id != nullptr && !ParseGuid(request->provider_id, registration.provider_id)) {
      return kEInvalidArg;
    }
    const std::u16string path(request->path);
    log_.Log(kBindingTraceLevel, u"RegisterPlaceholderRoot called for '%s', flags: 0x%x", {path, request->options});

    if ((request->options & kRegisterOptionSetUpIndex) != 0 && request->index_hook) {
      const HResult indexed = request->index_hook(path, true);
      if (indexed >= 0) {
        log_.Log(kBindingTraceLevel, u"SetupFolderForIndex '%s' ok", {path});
      } else {
        log_.Log(kBindingTraceLevel, u"SetupFolderForIndex called for '%s' returned 0x%x",
                 {path, static_cast<uint32_t>(indexed)});
      }
    }

    SyncRootInfo existing;
    const HResult found = cloud_files_.GetSyncRootInfo(path, &existing);
    if (found == kNotUnderSyncRoot) {
      log_.Log(kBindingTraceLevel,
               u"CfGetSyncRootInfoByPath called for '%s' returned ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT, which is expected",
               {path});
    } else if (found < 0) {
      log_.Log(kBindingErrorLevel, u"CfGetSyncRootInfoByPath called for '%s' returned 0x%x",
               {path, static_cast<uint32_t>(found)});
    } else if ((request->options & kRegisterOptionForce) == 0 && RegistrationMatches(existing, *request)) {
      return kSOk;
    }

    SyncPolicies policies;
    policies.hydration = request->hydration;
    policies.hydration_modifier = request->hydration_modifier;
    policies.population = request->population;
    policies.population_modifier = request->population_modifier;
    policies.in_sync = request->in_sync_policy;
    policies.hard_link = request->hard_link_policy;

    log_.Log(kBindingTraceLevel, u"RegisterPlaceholderRoot name:'%s' version:'%s'",
             {registration.provider_name, registration.provider_version});
    log_.Log(kBindingTraceLevel, u"RegisterPlaceholderRoot flags:0x%08X path:'%s'", {request->register_flags, path});
    log_.Log(kBindingTraceLevel, u"RegisterPlaceholderRoot pop.primary:0x%04hX pop.mod:0x%04hX",
             {uint32_t{request->population}, uint32_t{request->population_modifier}});
    log_.Log(kBindingTraceLevel, u"RegisterPlaceholderRoot hyd.primary:0x%04hX hyd.mod:0x%04hX",
             {uint32_t{request->hydration}, uint32_t{request->hydration_modifier}});
    log_.Log(kBindingTraceLevel, u"RegisterPlaceholderRoot hardlink:0x%08X insync:0x%08X",
             {request->hard_link_policy, request->in_sync_policy});

    const HResult hr = cloud_files_.RegisterSyncRoot(path, registration, policies, request->register_flags);
    if (hr >= 0) {
      log_.Log(kBindingTraceLevel, u"RegisterPlaceholderRoot result code: 0x%x", {static_cast<uint32_t>(hr)});
    } else {
      log_.Log(kBindingErrorLevel, u"CfRegisterSyncRoot called for '%s' returned 0x%x",
               {path, static_cast<uint32_t>(hr)});
      LogSystemText(hr);
    }
    return hr;
  });
}

HResult CloudFilesBinding::UnregisterPlaceholderRoot(const UnregisterRootRequest* request) {
  if (!ValidRecord(request) || request->path == nullptr) return kEInvalidArg;
  return Shielded([&] {
    const std::u16string path(request->path);
    log_.Log(kBindingTraceLevel, u"UnregisterPlaceholderRoot called for '%s'", {path});
    HResult hr = cloud_files_.UnregisterSyncRoot(path);
    // A folder that is no longer a sync root is what unregistering wants.
    if (hr == kNotUnderSyncRoot) hr = kSOk;
    if (hr >= 0 && request->index_hook) hr = request->index_hook(path, false);
    LogOutcome(hr, u"UnregisterPlaceholderRoot result code: 0x%x", {static_cast<uint32_t>(hr)});
    return hr;
  });
}

HResult CloudFilesBinding::ConvertToPlaceholder(const ConvertRequest* request) {
  if (!ValidRecord(request) || request->path == nullptr) return kEInvalidArg;
  return Shielded([&] {
    const std::u16string path(request->path);
    log_.Log(kBindingTraceLevel, u"ConvertToPlaceholder called for '%s', flags: 0x%x", {path, request->flags});
    FileHandlePtr file;
    HResult hr = OpenItem(path, false, &file);
    if (hr >= 0) hr = cloud_files_.ConvertToPlaceholder(*file, request->identity, request->flags);
    file.reset();
    LogOutcome(hr, u"ConvertToPlaceholder result code: 0x%x", {static_cast<uint32_t>(hr)});
    return hr;
  });
}

HResult CloudFilesBinding::CreatePlaceholder(const CreatePlaceholderRequest* request) {
  if (!ValidRecord(request) || request->base_directory == nullptr || request->relative_name == nullptr) {
    return kEInvalidArg;
  }
  return Shielded([&] {
    const std::u16string name(request->relative_name);
    log_.Log(kBindingTraceLevel, u"CreatePlaceholder called for '%s', flags: 0x%x", {name, request->placeholder_flags});
    HResult hr;
    if ((request->attributes & attr::kDirectory) != 0) {
      // The OS creates no directory placeholders in a batch the way the engine needs them; the
      // engine makes the folder and it becomes a placeholder here, keeping its identity.
      FileHandlePtr folder;
      hr = OpenItem(JoinPath(request->base_directory, name), false, &folder);
      if (hr >= 0) {
        hr = cloud_files_.ConvertToPlaceholder(*folder, request->identity,
                                               ConvertFlagsForDirectory(request->placeholder_flags));
      }
    } else {
      PlaceholderCreateEntry entry;
      entry.relative_name = name;
      entry.metadata = {request->creation_time, request->last_access_time, request->last_write_time,
                        request->change_time,   request->attributes,       request->file_size};
      entry.identity.assign(request->identity.begin(), request->identity.end());
      entry.flags = request->placeholder_flags;
      uint32_t processed = 0;
      hr = cloud_files_.CreatePlaceholders(request->base_directory, std::span(&entry, 1), request->create_flags,
                                           &processed);
      // The batch call succeeds when it could look at every entry; whether this one placeholder
      // exists is the entry's own result.
      if (hr >= 0 && entry.result < 0) hr = entry.result;
    }
    LogOutcome(hr, u"CreatePlaceholder result code: 0x%x", {static_cast<uint32_t>(hr)});
    return hr;
  });
}

HResult CloudFilesBinding::CreateFilePlaceholders(std::span<const CreatePlaceholderRequest* const> requests,
                                                  std::span<HResult> results) {
  if (requests.empty() || results.size() != requests.size()) return kEInvalidArg;
  const CreatePlaceholderRequest* first = requests.front();
  for (const CreatePlaceholderRequest* request : requests) {
    if (!ValidRecord(request) || request->base_directory == nullptr || request->relative_name == nullptr ||
        (request->attributes & attr::kDirectory) != 0 || request->create_flags != first->create_flags ||
        std::u16string_view(request->base_directory) != std::u16string_view(first->base_directory)) {
      return kEInvalidArg;
    }
  }
  return Shielded([&] {
    std::vector<PlaceholderCreateEntry> entries(requests.size());
    for (size_t i = 0; i < requests.size(); ++i) {
      const CreatePlaceholderRequest& request = *requests[i];
      PlaceholderCreateEntry& entry = entries[i];
      entry.relative_name = request.relative_name;
      log_.Log(kBindingTraceLevel, u"CreatePlaceholder called for '%s', flags: 0x%x",
               {entry.relative_name, request.placeholder_flags});
      entry.metadata = {request.creation_time, request.last_access_time, request.last_write_time,
                        request.change_time,   request.attributes,       request.file_size};
      entry.identity.assign(request.identity.begin(), request.identity.end());
      entry.flags = request.placeholder_flags;
      entry.result = kEFail;  // stays for an entry the call never reached
    }
    uint32_t processed = 0;
    const HResult hr = cloud_files_.CreatePlaceholders(first->base_directory, entries, first->create_flags, &processed);
    HResult first_failure = kSOk;
    for (size_t i = 0; i < entries.size(); ++i) {
      results[i] = i < processed ? entries[i].result : (hr < 0 ? hr : entries[i].result);
      if (results[i] < 0 && first_failure == kSOk) first_failure = results[i];
      LogOutcome(results[i], u"CreatePlaceholder result code: 0x%x", {static_cast<uint32_t>(results[i])});
    }
    return hr < 0 && first_failure == kSOk ? hr : first_failure;
  });
}

HResult CloudFilesBinding::UpdatePlaceholder(const UpdatePlaceholderRequest* request) {
  if (!ValidRecord(request) || request->path == nullptr) return kEInvalidArg;
  return Shielded([&] {
    const std::u16string path(request->path);
    log_.Log(kBindingTraceLevel, u"UpdatePlaceholder called for '%s'", {path});
    FsMetadata metadata{request->creation_time, request->last_access_time, request->last_write_time,
                        request->change_time,   request->attributes,       request->file_size};
    // A folder has no size of its own; the OS refuses one.
    if ((request->attributes & attr::kDirectory) != 0) metadata.file_size = 0;
    FileHandlePtr file;
    HResult hr = OpenItem(path, true, &file);
    if (hr >= 0) {
      hr = cloud_files_.UpdatePlaceholder(*file, &metadata, request->identity, request->dehydrate_ranges,
                                          request->flags);
    }
    file.reset();
    LogOutcome(hr, u"UpdatePlaceholder result code: 0x%x", {static_cast<uint32_t>(hr)});
    return hr;
  });
}

HResult CloudFilesBinding::HydratePlaceholder(const PlaceholderRangeRequest* request) {
  if (!ValidRecord(request) || request->path == nullptr) return kEInvalidArg;
  return Shielded([&] {
    const std::u16string path(request->path);
    log_.Log(kBindingTraceLevel, u"HydratePlaceholder called for '%s'", {path});
    FileHandlePtr file;
    HResult hr = OpenItem(path, true, &file);
    if (hr >= 0) hr = cloud_files_.HydratePlaceholder(*file, request->offset, request->length, request->flags);
    file.reset();
    LogOutcome(hr, u"HydratePlaceholder result code: 0x%x", {static_cast<uint32_t>(hr)});
    return hr;
  });
}

HResult CloudFilesBinding::DehydratePlaceholder(const PlaceholderRangeRequest* request) {
  if (!ValidRecord(request) || request->path == nullptr) return kEInvalidArg;
  return Shielded([&] {
    const std::u16string path(request->path);
    log_.Log(kBindingTraceLevel, u"DehydratePlaceholder called for '%s'", {path});
    FileHandlePtr file;
    HResult hr = OpenItem(path, true, &file);
    if (hr < 0) {
      log_.Log(kBindingErrorLevel, u"Opening of '%s' failed with error code 0x%x", {path, Win32FromHResult(hr)});
    } else {
      hr = cloud_files_.DehydratePlaceholder(*file, request->offset, request->length, request->flags);
    }
    file.reset();
    LogOutcome(hr, u"DehydratePlaceholder result code: 0x%x", {static_cast<uint32_t>(hr)});
    return hr;
  });
}

HResult CloudFilesBinding::GetPlaceholderInfo(PlaceholderInfoRequest* request) {
  if (!ValidRecord(request) || request->path == nullptr || request->info == nullptr) return kEInvalidArg;
  *request->info = PlaceholderInfo{};
  return Shielded([&] {
    const std::u16string path(request->path);
    log_.Log(kBindingTraceLevel, u"GetPlaceholderInfo called for '%s'", {path});
    FileHandlePtr file;
    HResult hr = OpenItem(path, false, &file);
    if (hr >= 0) hr = cloud_files_.GetPlaceholderInfo(*file, request->info_class, request->info);
    file.reset();
    // What a failed call may have written is no answer.
    if (hr < 0) *request->info = PlaceholderInfo{};
    LogOutcome(hr, u"GetPlaceholderInfo for '%s' result code: 0x%x", {path, static_cast<uint32_t>(hr)});
    return hr;
  });
}

uint32_t CloudFilesBinding::GetPlaceholderState(const char16_t* path) {
  if (path == nullptr) return cf::kStateInvalid;
  try {
    const std::u16string item(path);
    log_.Log(kBindingTraceLevel, u"GetPlaceholderState called for '%s'", {item});
    uint32_t state = cf::kStateInvalid;
    // The search takes a pattern; a path with wildcards would answer for whatever item matched
    // first, so it has no state.
    if (item.find_first_of(u"*?") == std::u16string::npos) {
      std::vector<FindData> found;
      if (file_system_.Find(item, &found) == 0 && !found.empty()) {
        state = cloud_files_.PlaceholderStateFromFindData(found.front());
      }
    }
    log_.Log(kBindingTraceLevel, u"GetPlaceholderState for '%s' result: 0x%x", {item, state});
    return state;
  } catch (...) {
    return cf::kStateInvalid;
  }
}

uint32_t CloudFilesBinding::PlaceholderStateOf(const FindData& found) {
  try {
    return cloud_files_.PlaceholderStateFromFindData(found);
  } catch (...) {
    return cf::kStateInvalid;
  }
}

HResult CloudFilesBinding::SetItemSyncErrorState(const SyncErrorStateRequest* request) {
  if (!ValidRecord(request) || request->path == nullptr) return kEInvalidArg;
  return Shielded([&] { return shell_.SetLastSyncError(request->path, request->error); });
}

HResult CloudFilesBinding::SetPlaceholderStates(PlaceholderStatesRequest* request) {
  if (!ValidRecord(request) || request->path == nullptr) return kEInvalidArg;
  request->usn = 0;
  return Shielded([&] {
    const std::u16string path(request->path);
    const bool set_pin = (request->which & kSetPinState) != 0;
    const bool set_in_sync = (request->which & kSetInSyncState) != 0;
    log_.Log(kBindingTraceLevel, u"SetPlaceholderStates called for '%s'", {path});
    if (set_pin) {
      log_.Log(kBindingTraceLevel, u"SetPlaceholderStates pin state: %d, pin flags: %d",
               {request->pin_state, request->pin_flags});
    }
    if (set_in_sync) {
      log_.Log(kBindingTraceLevel, u"SetPlaceholderStates in-sync state: %d, sync flags: %d",
               {request->in_sync_state, request->in_sync_flags});
    }
    if (!set_pin && !set_in_sync) return kSOk;
    FileHandlePtr file;
    HResult hr = OpenItem(path, false, &file);
    if (hr >= 0 && set_pin) hr = cloud_files_.SetPinState(*file, request->pin_state, request->pin_flags);
    if (hr >= 0 && set_in_sync) {
      // The OS reads the USN as a condition (set only if the file is still at that USN); zero
      // asks for no condition, whatever the caller's record held.
      int64_t usn = 0;
      hr = cloud_files_.SetInSyncState(*file, request->in_sync_state, request->in_sync_flags, &usn);
      if (hr >= 0) request->usn = usn;
    }
    file.reset();
    LogOutcome(hr, u"SetPlaceholderStates result code: 0x%x", {static_cast<uint32_t>(hr)});
    return hr;
  });
}

HResult CloudFilesBinding::ExecutePlaceholderAction(ExecuteActionRequest* request) {
  if (!ValidRecord(request) || request->parameters == nullptr) return kEInvalidArg;
  request->entries_processed = 0;
  return Shielded([&] {
    log_.Log(kBindingTraceLevel, u"ExecutePlaceholderAction called, type: %d", {request->operation_type});
    const CallbackParameters& set = *request->parameters;
    OperationInfo info;
    info.struct_size = 32;
    info.type = request->operation_type;
    info.connection_key = request->connection_key;
    info.transfer_key = request->transfer_key;
    info.correlation_vector = request->correlation_vector;
    OperationArgs args;
    args.completion_status = request->completion_status;
    HResult hr = kSOk;
    switch (request->operation_type) {
      case cf::kTransferData: {
        if ((hr = RequiredValue(set.ReadInt64(u"Offset", &args.offset))) != kSOk) return hr;
        if ((hr = RequiredValue(set.ReadInt64(u"Length", &args.length))) != kSOk) return hr;
        if ((hr = RequiredValue(set.ReadUInt32(u"Flags", &args.flags))) != kSOk) return hr;
        if ((hr = RequiredValue(set.ReadPointer(u"Buffer", &args.buffer))) != kSOk) return hr;
        // A failure answer carries no data, so it needs no buffer; a success with a length and
        // no data behind it would make the OS read from nowhere.
        if (args.buffer == nullptr && args.length != 0 && args.completion_status >= 0) return kEInvalidArg;
        break;
      }
      case cf::kAckDehydrate: {
        const void* identity = nullptr;
        uint32_t identity_length = 0;
        if ((hr = RequiredValue(set.ReadPointer(u"FileIdentity", &identity))) != kSOk) return hr;
        if ((hr = RequiredValue(set.ReadUInt32(u"FileIdentityLength", &identity_length))) != kSOk) return hr;
        if ((hr = RequiredValue(set.ReadUInt32(u"Flags", &args.flags))) != kSOk) return hr;
        if (identity == nullptr && identity_length != 0) return kEInvalidArg;
        if (identity != nullptr) args.file_identity = std::span(static_cast<const uint8_t*>(identity), identity_length);
        break;
      }
      case cf::kAckDelete:
      case cf::kAckRename:
        if ((hr = RequiredValue(set.ReadUInt32(u"Flags", &args.flags))) != kSOk) return hr;
        break;
      case cf::kTransferPlaceholders:
        args.flags = request->placeholder_flags;
        args.placeholders = request->placeholders;
        args.placeholder_total_count = request->placeholder_total_count;
        break;
      default:
        return kEInvalidArg;
    }
    hr = cloud_files_.Execute(info, &args);
    request->entries_processed = args.entries_processed;
    if (hr >= 0) {
      log_.Log(kBindingTraceLevel, u"ExecutePlaceholderAction result code: 0x%x", {static_cast<uint32_t>(hr)});
    }
    return hr;
  });
}

HResult CloudFilesBinding::ReportProviderProgress(const ProviderProgressRequest* request) {
  if (!ValidRecord(request)) return kEInvalidArg;
  return Shielded([&] {
    log_.Log(kBindingTraceLevel, u"ReportProviderProgress called, total: %I64d, completed: %I64d",
             {request->total, request->completed});
    const HResult hr = cloud_files_.ReportProviderProgress(request->connection_key, request->transfer_key,
                                                           request->total, request->completed);
    LogOutcome(hr, u"ReportProviderProgress result code: 0x%x", {static_cast<uint32_t>(hr)});
    return hr;
  });
}

}  // namespace ostrasync::platform
