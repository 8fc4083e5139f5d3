// The provider's side of the emulated cloud-files facility: sync-root registration, placeholders
// and their states on disk, with the refusals Windows makes; connections and answers go to the hub.
#include "platform/posix/emulated_cloud_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/posix/emulation_hub.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/placeholder_creation.h"
#include "platform/posix/placeholder_data.h"
#include "platform/posix/placeholder_xattrs.h"
#include "platform/posix/posix_file_handle.h"
#include "platform/posix/windows_attributes.h"
#include "platform/text_codec.h"

namespace ostrasync::platform {
namespace {

HResult FromWin32(Win32Error e) { return HResultFromWin32(e); }
HResult FromErrno(int error) { return HResultFromWin32(Win32ErrorFromErrno(error)); }

// A folder below `root` that is itself a registered root (a scan of the tree).
bool HoldsSyncRoot(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || entry->d_type != DT_DIR) continue;
    const std::string child = folder + "/" + name;
    xattrs::SyncRootRecord record;
    if (xattrs::ReadSyncRoot(xattrs::Target::Path(child), &record) == 0 || HoldsSyncRoot(child)) return true;
  }
  return false;
}

// What an operation on an open placeholder works with.
struct Item {
  std::string posix;
  int fd = -1;
  struct stat st {};
  emulation::SyncRootLocation root;
  xattrs::Target target() const { return xattrs::Target::Fd(fd); }
};

class EmulatedCloudFiles final : public CloudFiles {
 public:
  explicit EmulatedCloudFiles(const EmulationSettings& settings) : settings_(settings) {}

  ~EmulatedCloudFiles() override {
    std::set<int64_t> keys;
    {
      std::lock_guard<std::mutex> lock(mu_);
      keys.swap(connections_);
    }
    for (int64_t key : keys) (void)emulation::Disconnect(key);
    emulation::ReapEndedConnections();
  }

  HResult RegisterSyncRoot(const std::u16string& path, const SyncRegistration& registration,
                           const SyncPolicies& policies, uint32_t flags) override try {
    if (registration.provider_name.empty() || registration.provider_name.size() > cf::kMaxProviderNameLength ||
        registration.provider_version.size() > cf::kMaxProviderNameLength ||
        registration.file_identity.size() > cf::kMaxFileIdentityLength) {
      return kEInvalidArg;
    }
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return FromWin32(e);
    struct stat st;
    if (lstat(posix.c_str(), &st) != 0) return FromWin32(PathError(posix, errno));
    if (!S_ISDIR(st.st_mode)) return FromWin32(win32::kDirectory);
    emulation::SyncRootLocation existing;
    if (emulation::FindSyncRoot(posix, &existing)) {
      // The same root again is an update only when asked for; a root inside another is refused.
      if (existing.root_posix != posix) return FromWin32(win32::kCloudFileInvalidRequest);
      if (!(flags & cf::kRegisterUpdate)) return FromWin32(win32::kAlreadyExists);
    } else if (HoldsSyncRoot(posix)) {
      return FromWin32(win32::kCloudFileInvalidRequest);
    }
    const auto target = xattrs::Target::Path(posix);
    emulation::FileStateGuard file_lock(st.st_dev, st.st_ino);
    // The root is a placeholder folder of its own; its record comes before the registration, so
    // a registered root always has one.
    xattrs::PlaceholderRecord record;
    const bool had_record = xattrs::ReadPlaceholder(target, &record) == 0;
    if (!had_record) record.usn = 1;
    if (flags & cf::kRegisterMarkInSyncOnRoot) record.flags |= xattrs::kPlaceholderInSync;
    if ((flags & cf::kRegisterDisableOnDemandPopulationOnRoot) || policies.population == cf::kPopulationAlwaysFull) {
      record.flags |= xattrs::kPlaceholderPopulated;
    }
    record.identity = registration.file_identity;
    if (int rc = xattrs::WritePlaceholder(target, record); rc != 0) return xattrs::IdentityWriteResult(target, rc);
    xattrs::SyncRootRecord root{registration, policies};
    emulation::ForgetSyncRoots();
    if (int rc = xattrs::WriteSyncRoot(target, root); rc != 0) return FromErrno(rc);
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult UnregisterSyncRoot(const std::u16string& path) override try {
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return FromWin32(e);
    emulation::SyncRootLocation root;
    if (!emulation::FindSyncRoot(posix, &root) || root.root_posix != posix) {
      return FromWin32(win32::kCloudFileNotUnderSyncRoot);
    }
    // The root's provider is disconnected first, as Windows does: its callbacks stop and the
    // requests waiting on it fail, so that nothing is answered for a root that is gone.
    emulation::DisconnectRoot(posix);
    const auto target = xattrs::Target::Path(posix);
    emulation::ForgetSyncRoots();
    if (int rc = xattrs::RemoveSyncRoot(target); rc != 0) return FromErrno(rc);
    (void)xattrs::RemovePlaceholder(target);
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult GetSyncRootInfo(const std::u16string& path, SyncRootInfo* info) override try {
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return FromWin32(e);
    struct stat st;
    if (lstat(posix.c_str(), &st) != 0) return FromWin32(PathError(posix, errno));
    emulation::SyncRootLocation root;
    if (!emulation::FindSyncRoot(posix, &root)) return FromWin32(win32::kCloudFileNotUnderSyncRoot);
    SyncRootInfo out;
    out.sync_root_file_id = root.root_file_id;
    out.policies = root.record.policies;
    out.provider_status = emulation::IsConnected(root.root_posix) ? 0x1u /*IDLE*/ : 0u /*DISCONNECTED*/;
    out.provider_name = root.record.registration.provider_name;
    out.provider_version = root.record.registration.provider_version;
    out.sync_root_identity = root.record.registration.sync_root_identity;
    *info = std::move(out);
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult ConnectSyncRoot(const std::u16string& path, std::span<const CallbackRegistration> callbacks, void* context,
                          uint32_t flags, int64_t* connection_key) override try {
    if (connection_key == nullptr) return kEInvalidArg;
    std::vector<CallbackRegistration> table;
    for (const CallbackRegistration& r : callbacks) {
      if (r.type == cf::kCallbackNone) break;
      if (r.type >= static_cast<uint32_t>(cf::kCallbackTypeCount)) return kEInvalidArg;
      table.push_back(r);
    }
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return FromWin32(e);
    struct stat st;
    if (lstat(posix.c_str(), &st) != 0) return FromWin32(PathError(posix, errno));
    int64_t key = 0;
    const HResult hr = emulation::Connect(posix, table, context, flags, settings_.request_timeout_ms, &key);
    if (hr != kSOk) return hr;
    std::lock_guard<std::mutex> lock(mu_);
    connections_.insert(key);
    *connection_key = key;
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult DisconnectSyncRoot(int64_t connection_key) override try {
    {
      std::lock_guard<std::mutex> lock(mu_);
      connections_.erase(connection_key);
    }
    return emulation::Disconnect(connection_key);
  } catch (...) {
    return kEFail;
  }

  HResult Execute(const OperationInfo& info, OperationArgs* args) override try {
    return emulation::Execute(info, args);
  } catch (...) {
    return kEFail;
  }

  HResult ReportProviderProgress(int64_t connection_key, int64_t transfer_key, int64_t /*total*/,
                                 int64_t /*completed*/) override try {
    return emulation::ReportProgress(connection_key, transfer_key);
  } catch (...) {
    return kEFail;
  }

  HResult CreatePlaceholders(const std::u16string& base_directory, std::span<PlaceholderCreateEntry> entries,
                             uint32_t flags, uint32_t* entries_processed) override try {
    if (entries_processed != nullptr) *entries_processed = 0;
    std::string posix;
    if (Win32Error e = ToPosixPath(base_directory, &posix)) return FromWin32(e);
    UniqueFd dir(open(posix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return FromWin32(errno == ENOTDIR ? win32::kDirectory : PathError(posix, errno));
    emulation::SyncRootLocation root;
    if (!emulation::FindSyncRoot(posix, &root)) return FromWin32(win32::kCloudFileNotUnderSyncRoot);
    // Placeholders start without their data, which a root whose files must always be whole refuses.
    if (root.record.policies.hydration == cf::kHydrationAlwaysFull) return FromWin32(win32::kCloudFileInvalidRequest);
    HResult first_failure = kSOk;
    uint32_t processed = 0;
    for (PlaceholderCreateEntry& entry : entries) {
      ++processed;
      const HResult hr = CreatePlaceholderEntry(dir.get(), entry);
      if (hr != kSOk && first_failure == kSOk) first_failure = hr;
      if (hr != kSOk && (flags & cf::kCreateStopOnError)) break;
    }
    if (entries_processed != nullptr) *entries_processed = processed;
    return first_failure;
  } catch (...) {
    return kEFail;
  }

  HResult ConvertToPlaceholder(FileHandle& file, std::span<const uint8_t> identity, uint32_t flags) override try {
    if (identity.size() > cf::kMaxFileIdentityLength) return kEInvalidArg;
    Item item;
    if (HResult hr = Resolve(file, &item); hr != kSOk) return hr;
    const bool folder = S_ISDIR(item.st.st_mode);
    emulation::FileStateGuard file_lock(item.st.st_dev, item.st.st_ino);
    xattrs::PlaceholderRecord record;
    const bool was_placeholder = xattrs::ReadPlaceholder(item.target(), &record) == 0;
    const bool in_sync = (flags & cf::kConvertMarkInSync) || (was_placeholder && (record.flags & xattrs::kPlaceholderInSync));
    if (!folder && (flags & cf::kConvertDehydrate)) {
      xattrs::PlaceholderRecord as_is;
      if (was_placeholder) as_is = record;
      if (HResult hr = emulation::DehydrationRefusal(item.fd, as_is, in_sync, item.root); hr != kSOk) return hr;
    }
    if (!was_placeholder) {
      record = {};
      record.usn = 1;
      if (folder) {
        record.flags |= xattrs::kPlaceholderPopulated;  // what is there is all there is, unless asked
      } else {
        record.logical_size = item.st.st_size;
        std::vector<FileRange> ranges;
        xattrs::AddRange(&ranges, 0, item.st.st_size);
        if (int rc = xattrs::WriteRanges(item.target(), ranges); rc != 0) return FromErrno(rc);
      }
    }
    if (!identity.empty() || !was_placeholder) record.identity.assign(identity.begin(), identity.end());
    if (flags & cf::kConvertMarkInSync) record.flags |= xattrs::kPlaceholderInSync;
    if (flags & cf::kConvertAlwaysFull) record.flags |= xattrs::kPlaceholderAlwaysFull;
    if (folder && (flags & cf::kConvertEnableOnDemandPopulation)) record.flags &= ~xattrs::kPlaceholderPopulated;
    ++record.usn;
    if (int rc = xattrs::WritePlaceholder(item.target(), record); rc != 0) {
      return xattrs::IdentityWriteResult(item.target(), rc);
    }
    if (!folder && (flags & cf::kConvertDehydrate)) {
      return emulation::DehydrateRange(item.fd, record.logical_size, 0, record.logical_size);
    }
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult UpdatePlaceholder(FileHandle& file, const FsMetadata* metadata, std::span<const uint8_t> identity,
                            std::span<const FileRange> dehydrate_ranges, uint32_t flags) override try {
    if (identity.size() > cf::kMaxFileIdentityLength) return kEInvalidArg;
    Item item;
    if (HResult hr = Resolve(file, &item); hr != kSOk) return hr;
    const bool folder = S_ISDIR(item.st.st_mode);
    emulation::FileStateGuard file_lock(item.st.st_dev, item.st.st_ino);
    // Read once and written once: the record carries the basic fields the metadata changes.
    xattrs::PlaceholderRecord record;
    xattrs::BasicRecord basic;
    bool basic_inside = false;
    if (xattrs::ReadPlaceholder(item.target(), &record, &basic, &basic_inside) != 0) {
      return FromWin32(win32::kNotACloudFile);
    }
    if ((flags & cf::kUpdateVerifyInSync) && !(record.flags & xattrs::kPlaceholderInSync)) {
      return FromWin32(win32::kCloudFileNotInSync);
    }
    const bool dehydrate = !folder && ((flags & cf::kUpdateDehydrate) || !dehydrate_ranges.empty());
    const bool will_be_in_sync = (flags & cf::kUpdateMarkInSync) ||
                                 ((record.flags & xattrs::kPlaceholderInSync) && !(flags & cf::kUpdateClearInSync));
    if (dehydrate) {
      if (HResult hr = emulation::DehydrationRefusal(item.fd, record, will_be_in_sync, item.root); hr != kSOk) {
        return hr;
      }
    }
    const xattrs::PlaceholderRecord record_was = record;
    const xattrs::BasicRecord basic_was = basic;
    if (metadata != nullptr) {
      if (HResult hr = ApplyMetadata(item, *metadata, folder, &record, &basic); hr != kSOk) return hr;
    }
    if (flags & cf::kUpdateRemoveFileIdentity) {
      record.identity.clear();
    } else if (!identity.empty()) {
      record.identity.assign(identity.begin(), identity.end());
    }
    if (flags & cf::kUpdateMarkInSync) record.flags |= xattrs::kPlaceholderInSync;
    if (flags & cf::kUpdateClearInSync) record.flags &= ~xattrs::kPlaceholderInSync;
    if (folder && (flags & cf::kUpdateDisableOnDemandPopulation)) record.flags |= xattrs::kPlaceholderPopulated;
    if (folder && (flags & cf::kUpdateEnableOnDemandPopulation)) record.flags &= ~xattrs::kPlaceholderPopulated;
    if (flags & cf::kUpdateAlwaysFull) record.flags |= xattrs::kPlaceholderAlwaysFull;
    // An update that leaves the records as they were (a listing confirming what is there) writes
    // nothing: the change number moves only with a change.
    if (record != record_was || basic != basic_was || !basic_inside) {
      ++record.usn;
      if (int rc = xattrs::ReplacePlaceholder(item.target(), record, basic, basic_inside); rc != 0) {
        return xattrs::IdentityWriteResult(item.target(), rc);
      }
    }
    if (!dehydrate) return kSOk;
    if (flags & cf::kUpdateDehydrate) return emulation::DehydrateRange(item.fd, record.logical_size, 0, record.logical_size);
    for (const FileRange& range : dehydrate_ranges) {
      const int64_t length = range.length == -1 ? record.logical_size - range.offset : range.length;
      if (HResult hr = emulation::DehydrateRange(item.fd, record.logical_size, range.offset, length); hr != kSOk) {
        return hr;
      }
    }
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult HydratePlaceholder(FileHandle& file, int64_t offset, int64_t length, uint32_t /*flags*/) override try {
    Item item;
    if (HResult hr = Resolve(file, &item); hr != kSOk) return hr;
    if (S_ISDIR(item.st.st_mode) || offset < 0 || (length < 0 && length != -1)) return kEInvalidArg;
    xattrs::PlaceholderRecord record;
    std::vector<FileRange> ranges;
    if (xattrs::ReadPlaceholder(item.target(), &record) != 0) return FromWin32(win32::kNotACloudFile);
    if (int rc = xattrs::ReadRanges(item.target(), &ranges); rc != 0) return FromErrno(rc);
    const int64_t end = (length == -1 || offset + length > record.logical_size) ? record.logical_size : offset + length;
    if (offset >= end || xattrs::Covers(ranges, offset, end - offset)) return kSOk;
    // The provider is asked for whole pages, as the system asks for them.
    const int64_t start = offset / 4096 * 4096;
    const int64_t stop = std::min(record.logical_size, (end + 4095) / 4096 * 4096);
    return emulation::FetchData(item.posix, start, stop - start, 0x2 /*EXPLICIT_HYDRATION*/, item.fd);
  } catch (...) {
    return kEFail;
  }

  HResult DehydratePlaceholder(FileHandle& file, int64_t offset, int64_t length, uint32_t /*flags*/) override try {
    Item item;
    if (HResult hr = Resolve(file, &item); hr != kSOk) return hr;
    if (S_ISDIR(item.st.st_mode) || offset < 0 || (length < 0 && length != -1)) return kEInvalidArg;
    emulation::FileStateGuard file_lock(item.st.st_dev, item.st.st_ino);
    xattrs::PlaceholderRecord record;
    if (xattrs::ReadPlaceholder(item.target(), &record) != 0) return FromWin32(win32::kNotACloudFile);
    const bool in_sync = record.flags & xattrs::kPlaceholderInSync;
    if (HResult hr = emulation::DehydrationRefusal(item.fd, record, in_sync, item.root); hr != kSOk) return hr;
    return emulation::DehydrateRange(item.fd, record.logical_size, offset,
                                     length == -1 ? record.logical_size - offset : length);
  } catch (...) {
    return kEFail;
  }

  HResult GetPlaceholderInfo(FileHandle& file, uint32_t info_class, PlaceholderInfo* info) override try {
    if (info_class != cf::kPlaceholderInfoBasic && info_class != cf::kPlaceholderInfoStandard) return kEInvalidArg;
    Item item;
    if (HResult hr = Resolve(file, &item); hr != kSOk) return hr;
    xattrs::PlaceholderRecord record;
    xattrs::BasicRecord basic;
    if (xattrs::ReadPlaceholder(item.target(), &record, &basic) != 0) return FromWin32(win32::kNotACloudFile);
    PlaceholderInfo out;
    out.pin_state = basic.pin_state;
    out.in_sync_state = (record.flags & xattrs::kPlaceholderInSync) ? cf::kInSync : cf::kNotInSync;
    out.file_id = static_cast<int64_t>(item.st.st_ino);
    out.sync_root_file_id = item.root.root_file_id;
    out.identity = std::move(record.identity);
    if (info_class == cf::kPlaceholderInfoStandard && !S_ISDIR(item.st.st_mode)) {
      std::vector<FileRange> ranges;
      if (int rc = xattrs::ReadRanges(item.target(), &ranges); rc != 0) return FromErrno(rc);
      out.on_disk_data_size = xattrs::BytesIn(ranges);
      out.validated_data_size = out.on_disk_data_size;
    }
    *info = std::move(out);
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  uint32_t PlaceholderStateFromFindData(const FindData& find_data) override {
    if (!(find_data.attributes & attr::kReparsePoint) ||
        (find_data.reparse_tag & ~kReparseTagCloudMask) != kReparseTagCloud) {
      return cf::kStateNone;
    }
    uint32_t state = cf::kStatePlaceholder;
    if (find_data.reparse_tag & xattrs::kTagVariantInSync) state |= cf::kStateInSync;
    if (find_data.reparse_tag & xattrs::kTagVariantSyncRoot) state |= cf::kStateSyncRoot;
    if (find_data.attributes & (attr::kRecallOnDataAccess | attr::kOffline)) {
      state |= cf::kStatePartial | cf::kStatePartiallyOnDisk;
    } else if (find_data.attributes & attr::kRecallOnOpen) {
      state |= cf::kStatePartial;
    }
    return state;
  }

  HResult SetPinState(FileHandle& file, uint32_t pin_state, uint32_t flags) override try {
    if (pin_state > cf::kPinInherit) return kEInvalidArg;
    Item item;
    if (HResult hr = Resolve(file, &item); hr != kSOk) return hr;
    const bool stop_on_error = flags & cf::kSetPinRecurseStopOnError;
    HResult result = kSOk;
    if (!(flags & cf::kSetPinRecurseOnly)) result = SetPinOn(item.posix, pin_state);
    if ((flags & (cf::kSetPinRecurse | cf::kSetPinRecurseOnly)) && S_ISDIR(item.st.st_mode) &&
        (result == kSOk || !stop_on_error)) {
      const HResult hr = SetPinBelow(item.posix, pin_state, stop_on_error);
      if (result == kSOk) result = hr;
    }
    return result;
  } catch (...) {
    return kEFail;
  }

  HResult SetInSyncState(FileHandle& file, uint32_t in_sync_state, uint32_t /*flags*/, int64_t* usn) override try {
    if (in_sync_state > cf::kInSync) return kEInvalidArg;
    Item item;
    if (HResult hr = Resolve(file, &item); hr != kSOk) return hr;
    emulation::FileStateGuard file_lock(item.st.st_dev, item.st.st_ino);
    xattrs::PlaceholderRecord record;
    if (xattrs::ReadPlaceholder(item.target(), &record) != 0) return FromWin32(win32::kNotACloudFile);
    // The caller's USN is the version it saw; a change since then means the file moved on.
    if (usn != nullptr && *usn != 0 && *usn != record.usn) return FromWin32(win32::kCloudFileNotInSync);
    if (in_sync_state == cf::kInSync) {
      record.flags |= xattrs::kPlaceholderInSync;
    } else {
      record.flags &= ~xattrs::kPlaceholderInSync;
    }
    ++record.usn;
    if (int rc = xattrs::WritePlaceholder(item.target(), record); rc != 0) return FromErrno(rc);
    if (usn != nullptr) *usn = record.usn;
    return kSOk;
  } catch (...) {
    return kEFail;
  }

 private:
  // The item behind a handle of the Linux file system, which must lie under a sync root.
  static HResult Resolve(FileHandle& file, Item* item) {
    auto* handle = dynamic_cast<PosixFileHandle*>(&file);
    if (handle == nullptr) return FromWin32(win32::kInvalidHandle);
    item->posix = handle->posix_path();
    item->fd = handle->fd();
    if (fstat(item->fd, &item->st) != 0) return FromErrno(errno);
    // Only a folder can be a root itself: a file's root is looked for from its folder up.
    const size_t slash = item->posix.find_last_of('/');
    const std::string from = S_ISDIR(item->st.st_mode) || slash == std::string::npos ? item->posix
                             : slash == 0                                             ? std::string("/")
                                                                                      : item->posix.substr(0, slash);
    if (!emulation::FindSyncRoot(from, &item->root)) return FromWin32(win32::kCloudFileNotUnderSyncRoot);
    return kSOk;
  }

  // Writes times, attributes and size to the file, and the fields kept in its records to `record`
  // and `basic`, which the caller writes; a time not given (0) stays as it was, whatever else
  // changes. REQUIRES: the file's state lock is held.
  static HResult ApplyMetadata(const Item& item, const FsMetadata& metadata, bool folder,
                               xattrs::PlaceholderRecord* record, xattrs::BasicRecord* basic) {
    const bool resized = !folder && metadata.file_size != record->logical_size;
    struct timespec times[2];
    times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
    // A new size moves the modification time of a Linux file, which a placeholder's does not:
    // the time it had goes back unless another is given.
    if (resized) {
      struct stat before;
      if (fstat(item.fd, &before) != 0) return FromErrno(errno);
      times[1] = before.st_mtim;
    }
    if (metadata.last_access_time != 0) times[0] = TimespecFromFileTime(metadata.last_access_time);
    if (metadata.last_write_time != 0) times[1] = TimespecFromFileTime(metadata.last_write_time);
    if (metadata.creation_time != 0) basic->creation_time = metadata.creation_time;
    if (metadata.attributes != 0) basic->windows_bits = metadata.attributes & xattrs::kStoredAttributes;
    if (resized) {
      if (metadata.file_size < 0) return kEInvalidArg;
      std::vector<FileRange> ranges;
      if (int rc = xattrs::ReadRanges(item.target(), &ranges); rc != 0) return FromErrno(rc);
      xattrs::ClipRanges(&ranges, metadata.file_size);
      if (int rc = xattrs::WriteRanges(item.target(), ranges); rc != 0) return FromErrno(rc);
      UniqueFd writable;
      if (int rc = emulation::ReopenForWriting(item.fd, &writable); rc != 0) return FromErrno(rc);
      if (ftruncate(writable.get(), metadata.file_size) != 0) return FromErrno(errno);
      record->logical_size = metadata.file_size;
    }
    // Times the file still has are not written again (a new size has moved them).
    auto same = [&](const struct timespec& a, const struct timespec& b) {
      return !resized && a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    if (times[0].tv_nsec != UTIME_OMIT && same(times[0], item.st.st_atim)) times[0].tv_nsec = UTIME_OMIT;
    if (times[1].tv_nsec != UTIME_OMIT && same(times[1], item.st.st_mtim)) times[1].tv_nsec = UTIME_OMIT;
    if ((times[0].tv_nsec != UTIME_OMIT || times[1].tv_nsec != UTIME_OMIT) && futimens(item.fd, times) != 0) {
      return FromErrno(errno);
    }
    if (metadata.attributes != 0) {
      const mode_t was = item.st.st_mode & 07777;
      const mode_t mode =
          (metadata.attributes & attr::kReadOnly) ? (was & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (was | S_IWUSR);
      if (mode != was && fchmod(item.fd, mode) != 0) return FromErrno(errno);
    }
    return kSOk;
  }


  static HResult SetPinOn(const std::string& posix, uint32_t pin_state) {
    const auto target = xattrs::Target::Path(posix);
    if (pin_state == cf::kPinInherit) {
      const size_t slash = posix.find_last_of('/');
      const std::string parent = slash == 0 ? "/" : posix.substr(0, slash);
      xattrs::BasicRecord parent_basic;
      pin_state = xattrs::ReadBasic(xattrs::Target::Path(parent), &parent_basic) == 0 ? parent_basic.pin_state
                                                                                     : cf::kPinUnspecified;
    }
    struct stat st;
    if (lstat(posix.c_str(), &st) != 0) return FromErrno(errno);
    emulation::FileStateGuard file_lock(st.st_dev, st.st_ino);
    xattrs::BasicRecord basic;
    (void)xattrs::ReadBasic(target, &basic);
    basic.pin_state = pin_state;
    if (int rc = xattrs::WriteBasic(target, basic); rc != 0) return FromErrno(rc);
    return kSOk;
  }

  static HResult SetPinBelow(const std::string& folder, uint32_t pin_state, bool stop_on_error) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return FromErrno(errno);
    std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
    HResult result = kSOk;
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = folder + "/" + name;
      HResult hr = SetPinOn(child, pin_state);
      if (hr == kSOk && entry->d_type == DT_DIR) hr = SetPinBelow(child, pin_state, stop_on_error);
      if (hr != kSOk) {
        if (result == kSOk) result = hr;
        if (stop_on_error) return result;
      }
    }
    return result;
  }

  const EmulationSettings settings_;
  std::mutex mu_;
  std::set<int64_t> connections_;  // guarded by mu_: the connections this instance made
};

}  // namespace

std::unique_ptr<CloudFiles> NewEmulatedCloudFiles(const EmulationSettings& settings) {
  return std::make_unique<EmulatedCloudFiles>(settings);
}

}  // namespace ostrasync::platform
