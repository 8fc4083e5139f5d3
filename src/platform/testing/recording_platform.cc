// The recording fake's facilities, its shared state and its delivery of callbacks.
#include "platform/testing/recording_platform.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <utility>

#include "platform/system_info.h"

namespace ostrasync::platform::testing {

struct RecordingPlatform::State {
  struct Connection {
    int64_t key = 0;
    std::vector<CallbackRegistration> callbacks;
    void* context = nullptr;
  };

  mutable std::mutex mutex;
  // Everything below is guarded by mutex.
  std::vector<RecordedCall> calls;
  std::map<std::string, uint32_t, std::less<>> results;
  std::map<std::u16string, uint32_t> attributes;
  std::map<std::u16string, std::vector<FindData>> find_results;
  uint32_t placeholder_state = cf::kStateNone;
  std::optional<SyncRootInfo> sync_root_info;
  PlaceholderInfo placeholder_info;
  HResult entry_result = kSOk;
  int64_t next_usn = 0x1234;
  std::map<uint32_t, std::u16string> message_texts;
  std::vector<Connection> connections;
  int64_t next_key = 0x5000;
  int open_handles = 0;
  int handles_opened = 0;
  std::map<std::u16string, ShellSyncRoot> shell_roots;
  std::set<std::u16string> scope_rules;
  // Registry values by hive and key (folded to upper case), then by value name (folded).
  std::map<std::pair<RegistryRoot, std::u16string>, std::map<std::u16string, std::u16string>> registry;
  std::u16string user_sid = u"S-1-5-21-1111111111-2222222222-3333333333-1001";

  // Records the call and returns the operation's configured result. REQUIRES: mutex held.
  uint32_t Record(RecordedCall call) {
    const auto it = results.find(call.operation);
    calls.push_back(std::move(call));
    return it == results.end() ? 0 : it->second;
  }
};

namespace {

using State = RecordingPlatform::State;

class RecordingHandle final : public FileHandle {
 public:
  RecordingHandle(std::shared_ptr<State> state, std::u16string path)
      : state_(std::move(state)), path_(std::move(path)) {}
  ~RecordingHandle() override {
    std::lock_guard lock(state_->mutex);
    --state_->open_handles;
    RecordedCall call;
    call.operation = "FileHandle.Close";
    call.path = path_;
    state_->calls.push_back(std::move(call));
  }
  const std::u16string& path() const override { return path_; }

 private:
  std::shared_ptr<State> state_;
  const std::u16string path_;
};

RecordedCall Call(std::string_view operation, std::u16string_view path = {}) {
  RecordedCall call;
  call.operation = std::string(operation);
  call.path = std::u16string(path);
  return call;
}

std::vector<uint8_t> Bytes(std::span<const uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

class IdleStream final : public ChangeStream {
 public:
  Win32Error Issue() override { return 0; }
  Win32Error Wait(uint32_t, std::vector<ChangeRecord>* records) override {
    records->clear();
    return win32::kWaitTimeout;
  }
};

}  // namespace

class RecordingPlatform::Cloud final : public CloudFiles {
 public:
  explicit Cloud(std::shared_ptr<State> state) : s_(std::move(state)) {}

  HResult RegisterSyncRoot(const std::u16string& path, const SyncRegistration& registration,
                           const SyncPolicies& policies, uint32_t flags) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("CloudFiles.RegisterSyncRoot", path);
    call.registration = registration;
    call.policies = policies;
    call.flags = flags;
    return Result(std::move(call));
  }
  HResult UnregisterSyncRoot(const std::u16string& path) override {
    std::lock_guard lock(s_->mutex);
    return Result(Call("CloudFiles.UnregisterSyncRoot", path));
  }
  HResult GetSyncRootInfo(const std::u16string& path, SyncRootInfo* info) override {
    std::lock_guard lock(s_->mutex);
    const HResult hr = Result(Call("CloudFiles.GetSyncRootInfo", path));
    if (hr < 0) return hr;
    if (!s_->sync_root_info) return HResultFromWin32(win32::kCloudFileNotUnderSyncRoot);
    *info = *s_->sync_root_info;
    return hr;
  }
  HResult ConnectSyncRoot(const std::u16string& path, std::span<const CallbackRegistration> callbacks, void* context,
                          uint32_t flags, int64_t* connection_key) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("CloudFiles.ConnectSyncRoot", path);
    call.callbacks.assign(callbacks.begin(), callbacks.end());
    call.context = context;
    call.flags = flags;
    const HResult hr = Result(std::move(call));
    if (hr < 0) return hr;
    const int64_t key = s_->next_key++;
    s_->connections.push_back({key, {callbacks.begin(), callbacks.end()}, context});
    *connection_key = key;
    return hr;
  }
  HResult DisconnectSyncRoot(int64_t connection_key) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("CloudFiles.DisconnectSyncRoot");
    call.connection_key = connection_key;
    const HResult hr = Result(std::move(call));
    if (hr < 0) return hr;
    auto& list = s_->connections;
    const auto it = std::find_if(list.begin(), list.end(), [&](const auto& c) { return c.key == connection_key; });
    if (it == list.end()) return kEInvalidArg;
    list.erase(it);
    return hr;
  }
  HResult Execute(const OperationInfo& info, OperationArgs* args) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("CloudFiles.Execute");
    call.operation_info = info;
    call.flags = args->flags;
    call.completion_status = args->completion_status;
    call.buffer = args->buffer;
    call.offset = args->offset;
    call.length = args->length;
    call.identity = Bytes(args->file_identity);
    call.entries.assign(args->placeholders.begin(), args->placeholders.end());
    call.total = args->placeholder_total_count;
    const HResult hr = Result(std::move(call));
    if (hr >= 0 && info.type == cf::kTransferPlaceholders) {
      for (PlaceholderCreateEntry& entry : args->placeholders) entry.result = s_->entry_result;
      args->entries_processed = static_cast<uint32_t>(args->placeholders.size());
    }
    return hr;
  }
  HResult ReportProviderProgress(int64_t connection_key, int64_t transfer_key, int64_t total,
                                 int64_t completed) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("CloudFiles.ReportProviderProgress");
    call.connection_key = connection_key;
    call.transfer_key = transfer_key;
    call.total = total;
    call.completed = completed;
    return Result(std::move(call));
  }
  HResult CreatePlaceholders(const std::u16string& base_directory, std::span<PlaceholderCreateEntry> entries,
                             uint32_t flags, uint32_t* entries_processed) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("CloudFiles.CreatePlaceholders", base_directory);
    call.entries.assign(entries.begin(), entries.end());
    call.flags = flags;
    const HResult hr = Result(std::move(call));
    if (hr < 0) return hr;
    for (PlaceholderCreateEntry& entry : entries) entry.result = s_->entry_result;
    if (entries_processed != nullptr) *entries_processed = static_cast<uint32_t>(entries.size());
    return hr;
  }
  HResult ConvertToPlaceholder(FileHandle& file, std::span<const uint8_t> identity, uint32_t flags) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("CloudFiles.ConvertToPlaceholder", file.path());
    call.identity = Bytes(identity);
    call.flags = flags;
    return Result(std::move(call));
  }
  HResult UpdatePlaceholder(FileHandle& file, const FsMetadata* metadata, std::span<const uint8_t> identity,
                            std::span<const FileRange> dehydrate_ranges, uint32_t flags) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("CloudFiles.UpdatePlaceholder", file.path());
    if (metadata != nullptr) call.metadata = *metadata;
    call.identity = Bytes(identity);
    call.ranges.assign(dehydrate_ranges.begin(), dehydrate_ranges.end());
    call.flags = flags;
    return Result(std::move(call));
  }
  HResult HydratePlaceholder(FileHandle& file, int64_t offset, int64_t length, uint32_t flags) override {
    return Range("CloudFiles.HydratePlaceholder", file, offset, length, flags);
  }
  HResult DehydratePlaceholder(FileHandle& file, int64_t offset, int64_t length, uint32_t flags) override {
    return Range("CloudFiles.DehydratePlaceholder", file, offset, length, flags);
  }
  HResult GetPlaceholderInfo(FileHandle& file, uint32_t info_class, PlaceholderInfo* info) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("CloudFiles.GetPlaceholderInfo", file.path());
    call.value = info_class;
    const HResult hr = Result(std::move(call));
    if (hr >= 0) *info = s_->placeholder_info;
    return hr;
  }
  uint32_t PlaceholderStateFromFindData(const FindData& find_data) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("CloudFiles.PlaceholderStateFromFindData", find_data.name);
    call.value = find_data.attributes;
    s_->Record(std::move(call));
    return s_->placeholder_state;
  }
  HResult SetPinState(FileHandle& file, uint32_t pin_state, uint32_t flags) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("CloudFiles.SetPinState", file.path());
    call.value = pin_state;
    call.flags = flags;
    return Result(std::move(call));
  }
  HResult SetInSyncState(FileHandle& file, uint32_t in_sync_state, uint32_t flags, int64_t* usn) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("CloudFiles.SetInSyncState", file.path());
    call.value = in_sync_state;
    call.flags = flags;
    if (usn != nullptr) call.usn_in = *usn;
    const HResult hr = Result(std::move(call));
    if (hr >= 0 && usn != nullptr) *usn = s_->next_usn;
    return hr;
  }

 private:
  // REQUIRES: s_->mutex held.
  HResult Result(RecordedCall call) { return static_cast<HResult>(s_->Record(std::move(call))); }

  HResult Range(std::string_view operation, FileHandle& file, int64_t offset, int64_t length, uint32_t flags) {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call(operation, file.path());
    call.offset = offset;
    call.length = length;
    call.flags = flags;
    return Result(std::move(call));
  }

  std::shared_ptr<State> s_;
};

class RecordingPlatform::Files final : public FileSystem {
 public:
  explicit Files(std::shared_ptr<State> state) : s_(std::move(state)) {}

  Win32Error Open(const std::u16string& path, const OpenRequest& request, FileHandlePtr* file) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("FileSystem.Open", path);
    call.open = request;
    call.flags = request.flags_and_attributes;
    const Win32Error e = s_->Record(std::move(call));
    if (e != 0) {
      file->reset();
      return e;
    }
    // As on Windows, a folder opens only with backup semantics.
    const auto known = s_->attributes.find(path);
    if (known != s_->attributes.end() && known->second != attr::kInvalid && (known->second & attr::kDirectory) &&
        !(request.flags_and_attributes & open_flag::kBackupSemantics)) {
      file->reset();
      return win32::kAccessDenied;
    }
    ++s_->open_handles;
    ++s_->handles_opened;
    *file = std::make_unique<RecordingHandle>(s_, path);
    return 0;
  }
  Win32Error ReadAttributes(const std::u16string& path, uint32_t* attributes) override {
    std::lock_guard lock(s_->mutex);
    *attributes = attr::kInvalid;
    if (const Win32Error e = s_->Record(Call("FileSystem.ReadAttributes", path))) return e;
    const auto it = s_->attributes.find(path);
    const uint32_t value = it == s_->attributes.end() ? attr::kArchive : it->second;
    if (value == attr::kInvalid) return win32::kFileNotFound;
    *attributes = value;
    return 0;
  }
  Win32Error WriteAttributes(const std::u16string& path, uint32_t attributes) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("FileSystem.WriteAttributes", path);
    call.value = attributes;
    return s_->Record(std::move(call));
  }
  Win32Error Find(const std::u16string& pattern, std::vector<FindData>* entries) override {
    std::lock_guard lock(s_->mutex);
    entries->clear();
    if (const Win32Error e = s_->Record(Call("FileSystem.Find", pattern))) return e;
    const auto it = s_->find_results.find(pattern);
    if (it == s_->find_results.end() || it->second.empty()) return win32::kFileNotFound;
    *entries = it->second;
    return 0;
  }
  // A folder counts as holding something unless the test set a listing for it that is empty, so
  // that callers go on looking at each item.
  Win32Error IsFolderEmpty(const std::u16string& path, bool* empty) override {
    std::lock_guard lock(s_->mutex);
    *empty = false;
    if (const Win32Error e = s_->Record(Call("FileSystem.IsFolderEmpty", path))) return e;
    const auto it = s_->find_results.find(path + u"\\*");
    *empty = it != s_->find_results.end() && it->second.empty();
    return 0;
  }
  Win32Error ReadInformation(FileHandle& file, FileInformation* info) override {
    std::lock_guard lock(s_->mutex);
    const Win32Error e = s_->Record(Call("FileSystem.ReadInformation", file.path()));
    if (e == 0) *info = FileInformation{};
    return e;
  }
  Win32Error WriteBasicInformation(FileHandle& file, const FsMetadata& basic) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("FileSystem.WriteBasicInformation", file.path());
    call.metadata = basic;
    return s_->Record(std::move(call));
  }
  Win32Error FileSize(FileHandle& file, int64_t* size) override {
    std::lock_guard lock(s_->mutex);
    const Win32Error e = s_->Record(Call("FileSystem.FileSize", file.path()));
    if (e == 0) *size = 0;
    return e;
  }
  Win32Error ReadAt(FileHandle& file, int64_t offset, std::span<uint8_t> buffer, uint32_t* bytes_read) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("FileSystem.ReadAt", file.path());
    call.offset = offset;
    call.length = static_cast<int64_t>(buffer.size());
    *bytes_read = 0;  // the fake's files are empty
    return s_->Record(std::move(call));
  }
  Win32Error Rename(const std::u16string& from, const std::u16string& to, bool replace_existing) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("FileSystem.Rename", from);
    call.second_path = to;
    call.flags = replace_existing ? 1 : 0;
    return s_->Record(std::move(call));
  }
  Win32Error RemoveFile(const std::u16string& path) override {
    std::lock_guard lock(s_->mutex);
    return s_->Record(Call("FileSystem.RemoveFile", path));
  }
  Win32Error RemoveFolder(const std::u16string& path) override {
    std::lock_guard lock(s_->mutex);
    return s_->Record(Call("FileSystem.RemoveFolder", path));
  }
  Win32Error MakeFolder(const std::u16string& path) override {
    std::lock_guard lock(s_->mutex);
    return s_->Record(Call("FileSystem.MakeFolder", path));
  }
  Win32Error LongPath(const std::u16string& path, std::u16string* long_path) override {
    std::lock_guard lock(s_->mutex);
    const Win32Error e = s_->Record(Call("FileSystem.LongPath", path));
    if (e == 0) *long_path = path;
    return e;
  }

 private:
  std::shared_ptr<State> s_;
};

class RecordingPlatform::Notifier final : public ChangeNotifier {
 public:
  explicit Notifier(std::shared_ptr<State> state) : s_(std::move(state)) {}
  Win32Error Watch(const std::u16string& root, std::unique_ptr<ChangeStream>* stream) override {
    std::lock_guard lock(s_->mutex);
    stream->reset();
    if (const Win32Error e = s_->Record(Call("ChangeNotifier.Watch", root))) return e;
    *stream = std::make_unique<IdleStream>();
    return 0;
  }

 private:
  std::shared_ptr<State> s_;
};

class RecordingPlatform::ShellFake final : public Shell {
 public:
  explicit ShellFake(std::shared_ptr<State> state) : s_(std::move(state)) {}
  HResult SetLastSyncError(const std::u16string& path, bool error) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("Shell.SetLastSyncError", path);
    call.error = error;
    return static_cast<HResult>(s_->Record(std::move(call)));
  }

 private:
  std::shared_ptr<State> s_;
};

class RecordingPlatform::System final : public SystemServices {
 public:
  explicit System(std::shared_ptr<State> state) : s_(std::move(state)) {}
  uint64_t NowFileTime() override { return 0x01D9000000000000; }
  uint32_t CurrentThreadId() override { return platform::CurrentThreadId(); }
  std::u16string MessageText(uint32_t code) override {
    std::lock_guard lock(s_->mutex);
    const auto it = s_->message_texts.find(code);
    if (it != s_->message_texts.end()) return it->second;
    std::u16string text = u"System text of 0x";
    for (int shift = 28; shift >= 0; shift -= 4) text += u"0123456789ABCDEF"[(code >> shift) & 0xF];
    return text;
  }

 private:
  std::shared_ptr<State> s_;
};

class RecordingPlatform::ShellRegistrationFake final : public ShellRegistration {
 public:
  explicit ShellRegistrationFake(std::shared_ptr<State> state) : s_(std::move(state)) {}
  HResult RegisterSyncRoot(const ShellSyncRoot& root) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = Call("ShellRegistration.RegisterSyncRoot", root.path);
    call.shell_root = root;
    if (const uint32_t hr = s_->Record(std::move(call))) return static_cast<HResult>(hr);
    if (root.id.empty()) return kEInvalidArg;
    s_->shell_roots.insert_or_assign(root.id, root);
    return kSOk;
  }
  HResult UnregisterSyncRoot(const std::u16string& id) override {
    std::lock_guard lock(s_->mutex);
    if (const uint32_t hr = s_->Record(Call("ShellRegistration.UnregisterSyncRoot", id))) {
      return static_cast<HResult>(hr);
    }
    return s_->shell_roots.erase(id) != 0 ? kSOk : kHResultNotFound;
  }
  HResult GetSyncRoot(const std::u16string& id, ShellSyncRoot* root) override {
    std::lock_guard lock(s_->mutex);
    if (const uint32_t hr = s_->Record(Call("ShellRegistration.GetSyncRoot", id))) return static_cast<HResult>(hr);
    const auto it = s_->shell_roots.find(id);
    if (it == s_->shell_roots.end()) return kHResultNotFound;
    *root = it->second;
    return kSOk;
  }

 private:
  std::shared_ptr<State> s_;
};

class RecordingPlatform::SearchFake final : public SearchIndexer {
 public:
  explicit SearchFake(std::shared_ptr<State> state) : s_(std::move(state)) {}
  HResult AddScopeRule(const std::u16string& url) override {
    std::lock_guard lock(s_->mutex);
    if (const uint32_t hr = s_->Record(Call("SearchIndexer.AddScopeRule", url))) return static_cast<HResult>(hr);
    s_->scope_rules.insert(url);
    return kSOk;
  }
  HResult RemoveScopeRule(const std::u16string& url) override {
    std::lock_guard lock(s_->mutex);
    if (const uint32_t hr = s_->Record(Call("SearchIndexer.RemoveScopeRule", url))) return static_cast<HResult>(hr);
    s_->scope_rules.erase(url);
    return kSOk;
  }
  bool HasScopeRule(const std::u16string& url) override {
    std::lock_guard lock(s_->mutex);
    (void)s_->Record(Call("SearchIndexer.HasScopeRule", url));
    return s_->scope_rules.contains(url);
  }

 private:
  std::shared_ptr<State> s_;
};

namespace {

std::u16string FoldAsciiCase(std::u16string_view text) {
  std::u16string folded(text);
  for (char16_t& c : folded) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return folded;
}

bool IsSameOrBelow(const std::u16string& key, const std::u16string& top) {
  return key == top || (key.size() > top.size() && key.starts_with(top) && key[top.size()] == u'\\');
}

}  // namespace

class RecordingPlatform::RegistryFake final : public Registry {
 public:
  explicit RegistryFake(std::shared_ptr<State> state) : s_(std::move(state)) {}
  Win32Error ReadValue(RegistryRoot root, const std::u16string& key, const std::u16string& name, uint32_t* type,
                       std::u16string* value) override {
    std::lock_guard lock(s_->mutex);
    *type = 0;
    value->clear();
    if (const Win32Error e = s_->Record(RegistryCall("Registry.ReadValue", root, key, name))) return e;
    const auto it = s_->registry.find({root, FoldAsciiCase(key)});
    if (it == s_->registry.end()) return win32::kFileNotFound;
    const auto found = it->second.find(FoldAsciiCase(name));
    if (found == it->second.end()) return win32::kFileNotFound;
    *type = kRegSz;
    *value = found->second;
    return 0;
  }
  Win32Error DeleteTree(RegistryRoot root, const std::u16string& key) override {
    std::lock_guard lock(s_->mutex);
    if (const Win32Error e = s_->Record(RegistryCall("Registry.DeleteTree", root, key, u""))) return e;
    const std::u16string top = FoldAsciiCase(key);
    bool found = false;
    std::erase_if(s_->registry, [&](const auto& entry) {
      const bool doomed = entry.first.first == root && IsSameOrBelow(entry.first.second, top);
      found = found || doomed;
      return doomed;
    });
    return found ? 0 : win32::kFileNotFound;
  }
  Win32Error WriteString(RegistryRoot root, const std::u16string& key, const std::u16string& name,
                         const std::u16string& value) override {
    std::lock_guard lock(s_->mutex);
    RecordedCall call = RegistryCall("Registry.WriteString", root, key, name);
    call.text = value;
    if (const Win32Error e = s_->Record(std::move(call))) return e;
    s_->registry[{root, FoldAsciiCase(key)}].insert_or_assign(FoldAsciiCase(name), value);
    return 0;
  }

 private:
  static RecordedCall RegistryCall(std::string_view operation, RegistryRoot root, const std::u16string& key,
                                   const std::u16string& name) {
    RecordedCall call = Call(operation, key);
    call.registry_root = root;
    call.name = name;
    return call;
  }
  std::shared_ptr<State> s_;
};

class RecordingPlatform::IdentityFake final : public UserIdentity {
 public:
  explicit IdentityFake(std::shared_ptr<State> state) : s_(std::move(state)) {}
  Win32Error CurrentUserSid(std::u16string* sid) override {
    std::lock_guard lock(s_->mutex);
    sid->clear();
    if (const Win32Error e = s_->Record(Call("UserIdentity.CurrentUserSid"))) return e;
    *sid = s_->user_sid;
    return 0;
  }

 private:
  std::shared_ptr<State> s_;
};

RecordingPlatform::RecordingPlatform()
    : state_(std::make_shared<State>()),
      cloud_(std::make_unique<Cloud>(state_)),
      files_(std::make_unique<Files>(state_)),
      notifier_(std::make_unique<Notifier>(state_)),
      shell_(std::make_unique<ShellFake>(state_)),
      system_(std::make_unique<System>(state_)),
      shell_registration_(std::make_unique<ShellRegistrationFake>(state_)),
      search_(std::make_unique<SearchFake>(state_)),
      registry_(std::make_unique<RegistryFake>(state_)),
      identity_(std::make_unique<IdentityFake>(state_)) {}

RecordingPlatform::~RecordingPlatform() = default;

CloudFiles& RecordingPlatform::cloud_files() { return *cloud_; }
FileSystem& RecordingPlatform::file_system() { return *files_; }
ChangeNotifier& RecordingPlatform::change_notifier() { return *notifier_; }
Shell& RecordingPlatform::shell() { return *shell_; }
SystemServices& RecordingPlatform::system() { return *system_; }
ShellRegistration& RecordingPlatform::shell_registration() { return *shell_registration_; }
SearchIndexer& RecordingPlatform::search_indexer() { return *search_; }
Registry& RecordingPlatform::registry() { return *registry_; }
UserIdentity& RecordingPlatform::user_identity() { return *identity_; }

void RecordingPlatform::SetResult(std::string_view operation, uint32_t code) {
  std::lock_guard lock(state_->mutex);
  state_->results.insert_or_assign(std::string(operation), code);
}

void RecordingPlatform::SetAttributes(const std::u16string& path, uint32_t attributes) {
  std::lock_guard lock(state_->mutex);
  state_->attributes.insert_or_assign(path, attributes);
}

void RecordingPlatform::SetFindResult(const std::u16string& pattern, std::vector<FindData> entries) {
  std::lock_guard lock(state_->mutex);
  state_->find_results.insert_or_assign(pattern, std::move(entries));
}

void RecordingPlatform::SetPlaceholderState(uint32_t state) {
  std::lock_guard lock(state_->mutex);
  state_->placeholder_state = state;
}

void RecordingPlatform::SetSyncRootInfo(std::optional<SyncRootInfo> info) {
  std::lock_guard lock(state_->mutex);
  state_->sync_root_info = std::move(info);
}

void RecordingPlatform::SetPlaceholderInfo(const PlaceholderInfo& info) {
  std::lock_guard lock(state_->mutex);
  state_->placeholder_info = info;
}

void RecordingPlatform::SetEntryResult(HResult result) {
  std::lock_guard lock(state_->mutex);
  state_->entry_result = result;
}

void RecordingPlatform::SetNextUsn(int64_t usn) {
  std::lock_guard lock(state_->mutex);
  state_->next_usn = usn;
}

void RecordingPlatform::SetMessageText(uint32_t code, std::u16string text) {
  std::lock_guard lock(state_->mutex);
  state_->message_texts.insert_or_assign(code, std::move(text));
}

void RecordingPlatform::SetUserSid(std::u16string sid) {
  std::lock_guard lock(state_->mutex);
  state_->user_sid = std::move(sid);
}

std::vector<RecordedCall> RecordingPlatform::calls() const {
  std::lock_guard lock(state_->mutex);
  return state_->calls;
}

std::vector<RecordedCall> RecordingPlatform::CallsTo(std::string_view operation) const {
  std::lock_guard lock(state_->mutex);
  std::vector<RecordedCall> matching;
  for (const RecordedCall& call : state_->calls) {
    if (call.operation == operation) matching.push_back(call);
  }
  return matching;
}

std::vector<std::string> RecordingPlatform::operations() const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> names;
  for (const RecordedCall& call : state_->calls) names.push_back(call.operation);
  return names;
}

void RecordingPlatform::ClearCalls() {
  std::lock_guard lock(state_->mutex);
  state_->calls.clear();
}

int RecordingPlatform::open_handles() const {
  std::lock_guard lock(state_->mutex);
  return state_->open_handles;
}

int RecordingPlatform::handles_opened() const {
  std::lock_guard lock(state_->mutex);
  return state_->handles_opened;
}

int RecordingPlatform::connections() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->connections.size());
}

bool RecordingPlatform::Deliver(cf::CallbackType type, CallbackInfo info, const CallbackArgs& args) {
  CallbackFunction function = nullptr;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->connections.empty()) return false;
    const State::Connection& connection = state_->connections.back();
    for (const CallbackRegistration& entry : connection.callbacks) {
      if (entry.type == type) {
        function = entry.function;
        break;
      }
    }
    info.callback_context = connection.context;
    info.connection_key = connection.key;
  }
  // Outside the lock, as the OS calls back: the callback may call into the fake again.
  if (function == nullptr) return false;
  function(type, info, args);
  return true;
}

std::thread RecordingPlatform::DeliverOnNewThread(cf::CallbackType type, CallbackInfo info, CallbackArgs args) {
  return std::thread([this, type, info = std::move(info), args = std::move(args)] {
    (void)Deliver(type, info, args);
  });
}

}  // namespace ostrasync::platform::testing
