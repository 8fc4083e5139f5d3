// Forwarding wrappers over each seam interface and over a whole Platform, so that a test double
// overrides only the calls it changes and every other call reaches the wrapped target.
#ifndef OSTRASYNC_PLATFORM_TESTING_PLATFORM_WRAPPER_H_
#define OSTRASYNC_PLATFORM_TESTING_PLATFORM_WRAPPER_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace ostrasync::platform::testing {

class CloudFilesWrapper : public CloudFiles {
 public:
  explicit CloudFilesWrapper(CloudFiles& target) : target_(target) {}
  CloudFiles& target() { return target_; }

  HResult RegisterSyncRoot(const std::u16string& path, const SyncRegistration& registration,
                           const SyncPolicies& policies, uint32_t flags) override {
    return target_.RegisterSyncRoot(path, registration, policies, flags);
  }
  HResult UnregisterSyncRoot(const std::u16string& path) override { return target_.UnregisterSyncRoot(path); }
  HResult GetSyncRootInfo(const std::u16string& path, SyncRootInfo* info) override {
    return target_.GetSyncRootInfo(path, info);
  }
  HResult ConnectSyncRoot(const std::u16string& path, std::span<const CallbackRegistration> callbacks, void* context,
                          uint32_t flags, int64_t* connection_key) override {
    return target_.ConnectSyncRoot(path, callbacks, context, flags, connection_key);
  }
  HResult DisconnectSyncRoot(int64_t connection_key) override { return target_.DisconnectSyncRoot(connection_key); }
  HResult Execute(const OperationInfo& info, OperationArgs* args) override { return target_.Execute(info, args); }
  HResult ReportProviderProgress(int64_t connection_key, int64_t transfer_key, int64_t total,
                                 int64_t completed) override {
    return target_.ReportProviderProgress(connection_key, transfer_key, total, completed);
  }
  HResult CreatePlaceholders(const std::u16string& base_directory, std::span<PlaceholderCreateEntry> entries,
                             uint32_t flags, uint32_t* entries_processed) override {
    return target_.CreatePlaceholders(base_directory, entries, flags, entries_processed);
  }
  HResult ConvertToPlaceholder(FileHandle& file, std::span<const uint8_t> identity, uint32_t flags) override {
    return target_.ConvertToPlaceholder(file, identity, flags);
  }
  HResult UpdatePlaceholder(FileHandle& file, const FsMetadata* metadata, std::span<const uint8_t> identity,
                            std::span<const FileRange> dehydrate_ranges, uint32_t flags) override {
    return target_.UpdatePlaceholder(file, metadata, identity, dehydrate_ranges, flags);
  }
  HResult HydratePlaceholder(FileHandle& file, int64_t offset, int64_t length, uint32_t flags) override {
    return target_.HydratePlaceholder(file, offset, length, flags);
  }
  HResult DehydratePlaceholder(FileHandle& file, int64_t offset, int64_t length, uint32_t flags) override {
    return target_.DehydratePlaceholder(file, offset, length, flags);
  }
  HResult GetPlaceholderInfo(FileHandle& file, uint32_t info_class, PlaceholderInfo* info) override {
    return target_.GetPlaceholderInfo(file, info_class, info);
  }
  uint32_t PlaceholderStateFromFindData(const FindData& find_data) override {
    return target_.PlaceholderStateFromFindData(find_data);
  }
  HResult SetPinState(FileHandle& file, uint32_t pin_state, uint32_t flags) override {
    return target_.SetPinState(file, pin_state, flags);
  }
  HResult SetInSyncState(FileHandle& file, uint32_t in_sync_state, uint32_t flags, int64_t* usn) override {
    return target_.SetInSyncState(file, in_sync_state, flags, usn);
  }

 private:
  CloudFiles& target_;
};

class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}
  FileSystem& target() { return target_; }

  Win32Error Open(const std::u16string& path, const OpenRequest& request, FileHandlePtr* file) override {
    return target_.Open(path, request, file);
  }
  Win32Error ReadAttributes(const std::u16string& path, uint32_t* attributes) override {
    return target_.ReadAttributes(path, attributes);
  }
  Win32Error WriteAttributes(const std::u16string& path, uint32_t attributes) override {
    return target_.WriteAttributes(path, attributes);
  }
  Win32Error Find(const std::u16string& pattern, std::vector<FindData>* entries) override {
    return target_.Find(pattern, entries);
  }
  Win32Error IsFolderEmpty(const std::u16string& path, bool* empty) override {
    return target_.IsFolderEmpty(path, empty);
  }
  Win32Error ReadInformation(FileHandle& file, FileInformation* info) override {
    return target_.ReadInformation(file, info);
  }
  Win32Error WriteBasicInformation(FileHandle& file, const FsMetadata& basic) override {
    return target_.WriteBasicInformation(file, basic);
  }
  Win32Error FileSize(FileHandle& file, int64_t* size) override { return target_.FileSize(file, size); }
  Win32Error ReadAt(FileHandle& file, int64_t offset, std::span<uint8_t> buffer, uint32_t* bytes_read) override {
    return target_.ReadAt(file, offset, buffer, bytes_read);
  }
  Win32Error Rename(const std::u16string& from, const std::u16string& to, bool replace_existing) override {
    return target_.Rename(from, to, replace_existing);
  }
  Win32Error RemoveFile(const std::u16string& path) override { return target_.RemoveFile(path); }
  Win32Error RemoveFolder(const std::u16string& path) override { return target_.RemoveFolder(path); }
  Win32Error MakeFolder(const std::u16string& path) override { return target_.MakeFolder(path); }
  Win32Error LongPath(const std::u16string& path, std::u16string* long_path) override {
    return target_.LongPath(path, long_path);
  }

 private:
  FileSystem& target_;
};

class ChangeNotifierWrapper : public ChangeNotifier {
 public:
  explicit ChangeNotifierWrapper(ChangeNotifier& target) : target_(target) {}
  ChangeNotifier& target() { return target_; }

  Win32Error Watch(const std::u16string& root, std::unique_ptr<ChangeStream>* stream) override {
    return target_.Watch(root, stream);
  }

 private:
  ChangeNotifier& target_;
};

class ShellWrapper : public Shell {
 public:
  explicit ShellWrapper(Shell& target) : target_(target) {}
  Shell& target() { return target_; }

  HResult SetLastSyncError(const std::u16string& path, bool error) override {
    return target_.SetLastSyncError(path, error);
  }

 private:
  Shell& target_;
};

class SystemServicesWrapper : public SystemServices {
 public:
  explicit SystemServicesWrapper(SystemServices& target) : target_(target) {}
  SystemServices& target() { return target_; }

  uint64_t NowFileTime() override { return target_.NowFileTime(); }
  uint32_t CurrentThreadId() override { return target_.CurrentThreadId(); }
  std::u16string MessageText(uint32_t code) override { return target_.MessageText(code); }

 private:
  SystemServices& target_;
};

class ShellRegistrationWrapper : public ShellRegistration {
 public:
  explicit ShellRegistrationWrapper(ShellRegistration& target) : target_(target) {}
  ShellRegistration& target() { return target_; }

  HResult RegisterSyncRoot(const ShellSyncRoot& root) override { return target_.RegisterSyncRoot(root); }
  HResult UnregisterSyncRoot(const std::u16string& id) override { return target_.UnregisterSyncRoot(id); }
  HResult GetSyncRoot(const std::u16string& id, ShellSyncRoot* root) override { return target_.GetSyncRoot(id, root); }

 private:
  ShellRegistration& target_;
};

class SearchIndexerWrapper : public SearchIndexer {
 public:
  explicit SearchIndexerWrapper(SearchIndexer& target) : target_(target) {}
  SearchIndexer& target() { return target_; }

  HResult AddScopeRule(const std::u16string& url) override { return target_.AddScopeRule(url); }
  HResult RemoveScopeRule(const std::u16string& url) override { return target_.RemoveScopeRule(url); }
  bool HasScopeRule(const std::u16string& url) override { return target_.HasScopeRule(url); }

 private:
  SearchIndexer& target_;
};

class RegistryWrapper : public Registry {
 public:
  explicit RegistryWrapper(Registry& target) : target_(target) {}
  Registry& target() { return target_; }

  Win32Error ReadValue(RegistryRoot root, const std::u16string& key, const std::u16string& name, uint32_t* type,
                       std::u16string* value) override {
    return target_.ReadValue(root, key, name, type, value);
  }
  Win32Error DeleteTree(RegistryRoot root, const std::u16string& key) override { return target_.DeleteTree(root, key); }
  Win32Error WriteString(RegistryRoot root, const std::u16string& key, const std::u16string& name,
                         const std::u16string& value) override {
    return target_.WriteString(root, key, name, value);
  }

 private:
  Registry& target_;
};

class UserIdentityWrapper : public UserIdentity {
 public:
  explicit UserIdentityWrapper(UserIdentity& target) : target_(target) {}
  UserIdentity& target() { return target_; }

  Win32Error CurrentUserSid(std::u16string* sid) override { return target_.CurrentUserSid(sid); }

 private:
  UserIdentity& target_;
};

// Hands out the target's facilities. A double replaces a facility by overriding its accessor,
// usually returning one of the wrappers above with a few calls overridden.
class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target_(target) {}
  Platform& target() { return target_; }

  CloudFiles& cloud_files() override { return target_.cloud_files(); }
  FileSystem& file_system() override { return target_.file_system(); }
  ChangeNotifier& change_notifier() override { return target_.change_notifier(); }
  Shell& shell() override { return target_.shell(); }
  SystemServices& system() override { return target_.system(); }
  ShellRegistration& shell_registration() override { return target_.shell_registration(); }
  SearchIndexer& search_indexer() override { return target_.search_indexer(); }
  Registry& registry() override { return target_.registry(); }
  UserIdentity& user_identity() override { return target_.user_identity(); }

 private:
  Platform& target_;
};

}  // namespace ostrasync::platform::testing

#endif  // OSTRASYNC_PLATFORM_TESTING_PLATFORM_WRAPPER_H_
