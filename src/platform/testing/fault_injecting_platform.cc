// The fault rules, the decorated facilities and the sweep over fault points.
#include "platform/testing/fault_injecting_platform.h"

#include <utility>

namespace ostrasync::platform::testing {

// Every failing decorated call leaves its outputs as the seam contracts say a failure does, so
// the code under test sees exactly what a real failure would give it.
class FaultInjectingPlatform::Cloud final : public CloudFilesWrapper {
 public:
  Cloud(FaultInjectingPlatform& owner, CloudFiles& target) : CloudFilesWrapper(target), owner_(owner) {}

  HResult RegisterSyncRoot(const std::u16string& path, const SyncRegistration& registration,
                           const SyncPolicies& policies, uint32_t flags) override {
    if (const HResult hr = Fail("CloudFiles.RegisterSyncRoot", path)) return hr;
    return CloudFilesWrapper::RegisterSyncRoot(path, registration, policies, flags);
  }
  HResult UnregisterSyncRoot(const std::u16string& path) override {
    if (const HResult hr = Fail("CloudFiles.UnregisterSyncRoot", path)) return hr;
    return CloudFilesWrapper::UnregisterSyncRoot(path);
  }
  HResult GetSyncRootInfo(const std::u16string& path, SyncRootInfo* info) override {
    if (const HResult hr = Fail("CloudFiles.GetSyncRootInfo", path)) return hr;
    return CloudFilesWrapper::GetSyncRootInfo(path, info);
  }
  HResult ConnectSyncRoot(const std::u16string& path, std::span<const CallbackRegistration> callbacks, void* context,
                          uint32_t flags, int64_t* connection_key) override {
    if (const HResult hr = Fail("CloudFiles.ConnectSyncRoot", path)) return hr;
    return CloudFilesWrapper::ConnectSyncRoot(path, callbacks, context, flags, connection_key);
  }
  HResult DisconnectSyncRoot(int64_t connection_key) override {
    if (const HResult hr = Fail("CloudFiles.DisconnectSyncRoot", u"")) return hr;
    return CloudFilesWrapper::DisconnectSyncRoot(connection_key);
  }
  HResult Execute(const OperationInfo& info, OperationArgs* args) override {
    if (const HResult hr = Fail("CloudFiles.Execute", u"")) return hr;
    return CloudFilesWrapper::Execute(info, args);
  }
  HResult ReportProviderProgress(int64_t connection_key, int64_t transfer_key, int64_t total,
                                 int64_t completed) override {
    if (const HResult hr = Fail("CloudFiles.ReportProviderProgress", u"")) return hr;
    return CloudFilesWrapper::ReportProviderProgress(connection_key, transfer_key, total, completed);
  }
  HResult CreatePlaceholders(const std::u16string& base_directory, std::span<PlaceholderCreateEntry> entries,
                             uint32_t flags, uint32_t* entries_processed) override {
    if (const HResult hr = Fail("CloudFiles.CreatePlaceholders", base_directory)) return hr;
    return CloudFilesWrapper::CreatePlaceholders(base_directory, entries, flags, entries_processed);
  }
  HResult ConvertToPlaceholder(FileHandle& file, std::span<const uint8_t> identity, uint32_t flags) override {
    if (const HResult hr = Fail("CloudFiles.ConvertToPlaceholder", file.path())) return hr;
    return CloudFilesWrapper::ConvertToPlaceholder(file, identity, flags);
  }
  HResult UpdatePlaceholder(FileHandle& file, const FsMetadata* metadata, std::span<const uint8_t> identity,
                            std::span<const FileRange> dehydrate_ranges, uint32_t flags) override {
    if (const HResult hr = Fail("CloudFiles.UpdatePlaceholder", file.path())) return hr;
    return CloudFilesWrapper::UpdatePlaceholder(file, metadata, identity, dehydrate_ranges, flags);
  }
  HResult HydratePlaceholder(FileHandle& file, int64_t offset, int64_t length, uint32_t flags) override {
    if (const HResult hr = Fail("CloudFiles.HydratePlaceholder", file.path())) return hr;
    return CloudFilesWrapper::HydratePlaceholder(file, offset, length, flags);
  }
  HResult DehydratePlaceholder(FileHandle& file, int64_t offset, int64_t length, uint32_t flags) override {
    if (const HResult hr = Fail("CloudFiles.DehydratePlaceholder", file.path())) return hr;
    return CloudFilesWrapper::DehydratePlaceholder(file, offset, length, flags);
  }
  HResult GetPlaceholderInfo(FileHandle& file, uint32_t info_class, PlaceholderInfo* info) override {
    if (const HResult hr = Fail("CloudFiles.GetPlaceholderInfo", file.path())) return hr;
    return CloudFilesWrapper::GetPlaceholderInfo(file, info_class, info);
  }
  // This call has no failure code: a fault makes it answer "invalid", as for an unreadable item.
  uint32_t PlaceholderStateFromFindData(const FindData& find_data) override {
    if (Fail("CloudFiles.PlaceholderStateFromFindData", find_data.name)) return cf::kStateInvalid;
    return CloudFilesWrapper::PlaceholderStateFromFindData(find_data);
  }
  HResult SetPinState(FileHandle& file, uint32_t pin_state, uint32_t flags) override {
    if (const HResult hr = Fail("CloudFiles.SetPinState", file.path())) return hr;
    return CloudFilesWrapper::SetPinState(file, pin_state, flags);
  }
  HResult SetInSyncState(FileHandle& file, uint32_t in_sync_state, uint32_t flags, int64_t* usn) override {
    if (const HResult hr = Fail("CloudFiles.SetInSyncState", file.path())) return hr;
    return CloudFilesWrapper::SetInSyncState(file, in_sync_state, flags, usn);
  }

 private:
  HResult Fail(std::string_view operation, std::u16string_view path) {
    return static_cast<HResult>(owner_.Check(operation, path, true));
  }
  FaultInjectingPlatform& owner_;
};

class FaultInjectingPlatform::Files final : public FileSystemWrapper {
 public:
  Files(FaultInjectingPlatform& owner, FileSystem& target) : FileSystemWrapper(target), owner_(owner) {}

  Win32Error Open(const std::u16string& path, const OpenRequest& request, FileHandlePtr* file) override {
    if (const Win32Error e = Fail("FileSystem.Open", path)) {
      file->reset();
      return e;
    }
    return FileSystemWrapper::Open(path, request, file);
  }
  Win32Error ReadAttributes(const std::u16string& path, uint32_t* attributes) override {
    if (const Win32Error e = Fail("FileSystem.ReadAttributes", path)) {
      *attributes = attr::kInvalid;
      return e;
    }
    return FileSystemWrapper::ReadAttributes(path, attributes);
  }
  Win32Error WriteAttributes(const std::u16string& path, uint32_t attributes) override {
    if (const Win32Error e = Fail("FileSystem.WriteAttributes", path)) return e;
    return FileSystemWrapper::WriteAttributes(path, attributes);
  }
  Win32Error Find(const std::u16string& pattern, std::vector<FindData>* entries) override {
    if (const Win32Error e = Fail("FileSystem.Find", pattern)) {
      entries->clear();
      return e;
    }
    return FileSystemWrapper::Find(pattern, entries);
  }
  Win32Error IsFolderEmpty(const std::u16string& path, bool* empty) override {
    if (const Win32Error e = Fail("FileSystem.IsFolderEmpty", path)) return e;
    return FileSystemWrapper::IsFolderEmpty(path, empty);
  }
  Win32Error ReadInformation(FileHandle& file, FileInformation* info) override {
    if (const Win32Error e = Fail("FileSystem.ReadInformation", file.path())) return e;
    return FileSystemWrapper::ReadInformation(file, info);
  }
  Win32Error WriteBasicInformation(FileHandle& file, const FsMetadata& basic) override {
    if (const Win32Error e = Fail("FileSystem.WriteBasicInformation", file.path())) return e;
    return FileSystemWrapper::WriteBasicInformation(file, basic);
  }
  Win32Error FileSize(FileHandle& file, int64_t* size) override {
    if (const Win32Error e = Fail("FileSystem.FileSize", file.path())) return e;
    return FileSystemWrapper::FileSize(file, size);
  }
  Win32Error ReadAt(FileHandle& file, int64_t offset, std::span<uint8_t> buffer, uint32_t* bytes_read) override {
    if (const Win32Error e = Fail("FileSystem.ReadAt", file.path())) {
      *bytes_read = 0;
      return e;
    }
    return FileSystemWrapper::ReadAt(file, offset, buffer, bytes_read);
  }
  Win32Error Rename(const std::u16string& from, const std::u16string& to, bool replace_existing) override {
    if (const Win32Error e = Fail("FileSystem.Rename", from)) return e;
    return FileSystemWrapper::Rename(from, to, replace_existing);
  }
  Win32Error RemoveFile(const std::u16string& path) override {
    if (const Win32Error e = Fail("FileSystem.RemoveFile", path)) return e;
    return FileSystemWrapper::RemoveFile(path);
  }
  Win32Error RemoveFolder(const std::u16string& path) override {
    if (const Win32Error e = Fail("FileSystem.RemoveFolder", path)) return e;
    return FileSystemWrapper::RemoveFolder(path);
  }
  Win32Error MakeFolder(const std::u16string& path) override {
    if (const Win32Error e = Fail("FileSystem.MakeFolder", path)) return e;
    return FileSystemWrapper::MakeFolder(path);
  }
  Win32Error LongPath(const std::u16string& path, std::u16string* long_path) override {
    if (const Win32Error e = Fail("FileSystem.LongPath", path)) return e;
    return FileSystemWrapper::LongPath(path, long_path);
  }

 private:
  Win32Error Fail(std::string_view operation, std::u16string_view path) {
    return owner_.Check(operation, path, false);
  }
  FaultInjectingPlatform& owner_;
};

namespace {

// A watch whose requests and waits can be failed too; named after the watched root.
class FaultStream final : public ChangeStream {
 public:
  FaultStream(FaultInjectingPlatform& owner, std::u16string root, std::unique_ptr<ChangeStream> target)
      : owner_(owner), root_(std::move(root)), target_(std::move(target)) {}

  Win32Error Issue() override {
    if (const Win32Error e = owner_.Check("ChangeStream.Issue", root_, false)) return e;
    return target_->Issue();
  }
  Win32Error Wait(uint32_t timeout_ms, std::vector<ChangeRecord>* records) override {
    if (const Win32Error e = owner_.Check("ChangeStream.Wait", root_, false)) {
      records->clear();
      return e;
    }
    return target_->Wait(timeout_ms, records);
  }

 private:
  FaultInjectingPlatform& owner_;
  const std::u16string root_;
  std::unique_ptr<ChangeStream> target_;
};

}  // namespace

class FaultInjectingPlatform::Notifier final : public ChangeNotifierWrapper {
 public:
  Notifier(FaultInjectingPlatform& owner, ChangeNotifier& target) : ChangeNotifierWrapper(target), owner_(owner) {}

  Win32Error Watch(const std::u16string& root, std::unique_ptr<ChangeStream>* stream) override {
    if (const Win32Error e = owner_.Check("ChangeNotifier.Watch", root, false)) {
      stream->reset();
      return e;
    }
    std::unique_ptr<ChangeStream> inner;
    const Win32Error e = ChangeNotifierWrapper::Watch(root, &inner);
    if (e != 0 || !inner) {
      stream->reset();
      return e;
    }
    *stream = std::make_unique<FaultStream>(owner_, root, std::move(inner));
    return 0;
  }

 private:
  FaultInjectingPlatform& owner_;
};

class FaultInjectingPlatform::ShellFaults final : public ShellWrapper {
 public:
  ShellFaults(FaultInjectingPlatform& owner, Shell& target) : ShellWrapper(target), owner_(owner) {}

  HResult SetLastSyncError(const std::u16string& path, bool error) override {
    if (const uint32_t hr = owner_.Check("Shell.SetLastSyncError", path, true)) return static_cast<HResult>(hr);
    return ShellWrapper::SetLastSyncError(path, error);
  }

 private:
  FaultInjectingPlatform& owner_;
};

class FaultInjectingPlatform::ShellRegistrationFaults final : public ShellRegistrationWrapper {
 public:
  ShellRegistrationFaults(FaultInjectingPlatform& owner, ShellRegistration& target)
      : ShellRegistrationWrapper(target), owner_(owner) {}

  HResult RegisterSyncRoot(const ShellSyncRoot& root) override {
    if (const uint32_t hr = owner_.Check("ShellRegistration.RegisterSyncRoot", root.path, true)) {
      return static_cast<HResult>(hr);
    }
    return ShellRegistrationWrapper::RegisterSyncRoot(root);
  }
  HResult UnregisterSyncRoot(const std::u16string& id) override {
    if (const uint32_t hr = owner_.Check("ShellRegistration.UnregisterSyncRoot", id, true)) {
      return static_cast<HResult>(hr);
    }
    return ShellRegistrationWrapper::UnregisterSyncRoot(id);
  }

 private:
  FaultInjectingPlatform& owner_;
};

class FaultInjectingPlatform::SearchFaults final : public SearchIndexerWrapper {
 public:
  SearchFaults(FaultInjectingPlatform& owner, SearchIndexer& target) : SearchIndexerWrapper(target), owner_(owner) {}

  HResult AddScopeRule(const std::u16string& url) override {
    if (const uint32_t hr = owner_.Check("SearchIndexer.AddScopeRule", url, true)) return static_cast<HResult>(hr);
    return SearchIndexerWrapper::AddScopeRule(url);
  }
  HResult RemoveScopeRule(const std::u16string& url) override {
    if (const uint32_t hr = owner_.Check("SearchIndexer.RemoveScopeRule", url, true)) return static_cast<HResult>(hr);
    return SearchIndexerWrapper::RemoveScopeRule(url);
  }

 private:
  FaultInjectingPlatform& owner_;
};

class FaultInjectingPlatform::RegistryFaults final : public RegistryWrapper {
 public:
  RegistryFaults(FaultInjectingPlatform& owner, Registry& target) : RegistryWrapper(target), owner_(owner) {}

  Win32Error ReadValue(RegistryRoot root, const std::u16string& key, const std::u16string& name, uint32_t* type,
                       std::u16string* value) override {
    if (const Win32Error e = owner_.Check("Registry.ReadValue", key, false)) {
      *type = 0;
      value->clear();
      return e;
    }
    return RegistryWrapper::ReadValue(root, key, name, type, value);
  }
  Win32Error DeleteTree(RegistryRoot root, const std::u16string& key) override {
    if (const Win32Error e = owner_.Check("Registry.DeleteTree", key, false)) return e;
    return RegistryWrapper::DeleteTree(root, key);
  }

 private:
  FaultInjectingPlatform& owner_;
};

class FaultInjectingPlatform::IdentityFaults final : public UserIdentityWrapper {
 public:
  IdentityFaults(FaultInjectingPlatform& owner, UserIdentity& target) : UserIdentityWrapper(target), owner_(owner) {}

  Win32Error CurrentUserSid(std::u16string* sid) override {
    if (const Win32Error e = owner_.Check("UserIdentity.CurrentUserSid", u"", false)) {
      sid->clear();
      return e;
    }
    return UserIdentityWrapper::CurrentUserSid(sid);
  }

 private:
  FaultInjectingPlatform& owner_;
};

FaultInjectingPlatform::FaultInjectingPlatform(Platform& target)
    : PlatformWrapper(target),
      cloud_(std::make_unique<Cloud>(*this, target.cloud_files())),
      files_(std::make_unique<Files>(*this, target.file_system())),
      notifier_(std::make_unique<Notifier>(*this, target.change_notifier())),
      shell_(std::make_unique<ShellFaults>(*this, target.shell())),
      shell_registration_(std::make_unique<ShellRegistrationFaults>(*this, target.shell_registration())),
      search_(std::make_unique<SearchFaults>(*this, target.search_indexer())),
      registry_(std::make_unique<RegistryFaults>(*this, target.registry())),
      identity_(std::make_unique<IdentityFaults>(*this, target.user_identity())) {}

FaultInjectingPlatform::~FaultInjectingPlatform() = default;

CloudFiles& FaultInjectingPlatform::cloud_files() { return *cloud_; }
FileSystem& FaultInjectingPlatform::file_system() { return *files_; }
ChangeNotifier& FaultInjectingPlatform::change_notifier() { return *notifier_; }
Shell& FaultInjectingPlatform::shell() { return *shell_; }
ShellRegistration& FaultInjectingPlatform::shell_registration() { return *shell_registration_; }
SearchIndexer& FaultInjectingPlatform::search_indexer() { return *search_; }
Registry& FaultInjectingPlatform::registry() { return *registry_; }
UserIdentity& FaultInjectingPlatform::user_identity() { return *identity_; }

void FaultInjectingPlatform::AddRule(const FaultRule& rule) {
  std::lock_guard lock(mutex_);
  rules_.push_back({rule, rule.countdown > 1 ? rule.countdown - 1 : 0, false});
}

void FaultInjectingPlatform::ClearRules() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

int FaultInjectingPlatform::injected_count() const {
  std::lock_guard lock(mutex_);
  return injected_;
}

std::vector<SeenCall> FaultInjectingPlatform::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> FaultInjectingPlatform::operations() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const SeenCall& call : calls_) names.push_back(call.operation);
  return names;
}

void FaultInjectingPlatform::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

uint32_t FaultInjectingPlatform::Check(std::string_view operation, std::u16string_view path, bool returns_hresult) {
  std::vector<std::function<void()>> actions;  // run once the lock is released
  uint32_t code = 0;
  std::unique_lock lock(mutex_);
  for (ArmedRule& armed : rules_) {
    const FaultRule& rule = armed.rule;
    if (rule.operation != "*" && rule.operation != operation) continue;
    if (!rule.path_contains.empty() && path.find(rule.path_contains) == std::u16string_view::npos) continue;
    bool fail = false;
    if (armed.fired) {
      fail = rule.persistent;
    } else if (armed.remaining > 0) {
      --armed.remaining;
    } else {
      armed.fired = true;
      fail = true;
    }
    if (fail && rule.before_call) {
      actions.push_back(rule.before_call);
    } else if (fail && code == 0) {
      if (returns_hresult) {
        code = static_cast<uint32_t>(rule.hresult ? *rule.hresult : HResultFromWin32(rule.win32));
      } else {
        code = rule.hresult ? Win32FromHResult(*rule.hresult) : rule.win32;
      }
    }
  }
  if (code != 0) ++injected_;
  calls_.push_back({std::string(operation), std::u16string(path), code != 0});
  lock.unlock();
  for (const std::function<void()>& action : actions) action();
  return code;
}

int ForEachFaultPoint(const FaultRule& base, const std::function<bool(const FaultRun&)>& scenario,
                      const std::function<void(const FaultRun&, bool injected)>& check, int max_points) {
  int runs = 0;
  for (int point = 1; point <= max_points; ++point) {
    FaultRun run{point, base};
    run.rule.countdown = point;
    const bool injected = scenario(run);
    ++runs;
    check(run, injected);
    if (!injected) break;
  }
  return runs;
}

}  // namespace ostrasync::platform::testing
