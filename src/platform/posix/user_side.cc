// Applications' and Explorer's actions on sync-root files, raising the callbacks Windows raises.
#include "platform/posix/user_side.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "platform/posix/emulation_hub.h"
#include "platform/posix/file_system_posix.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/placeholder_data.h"
#include "platform/posix/placeholder_xattrs.h"
#include "platform/posix/posix_file_handle.h"
#include "platform/posix/share_access.h"
#include "platform/posix/system_dehydration.h"

namespace ostrasync::platform {
namespace {

constexpr uint32_t kDeleteAccess = 0x10000;  // DELETE
constexpr uint32_t kShareAll = share::kRead | share::kWrite | share::kDelete;

HResult FromErrno(const std::string& posix, int error) { return HResultFromWin32(PathError(posix, error)); }

std::string Parent(const std::string& posix) {
  const size_t slash = posix.find_last_of('/');
  return slash == 0 ? std::string("/") : posix.substr(0, slash);
}

bool IsPlaceholder(const std::string& posix) {
  xattrs::PlaceholderRecord record;
  return xattrs::ReadPlaceholder(xattrs::Target::Path(posix), &record) == 0;
}

void NotifyIfPlaceholder(const std::string& posix, cf::CallbackType type) {
  if (IsPlaceholder(posix)) emulation::Tell(type, posix, CallbackArgs{});
}

// An open kept by an application; its provider hears of the close.
class HeldPlaceholder final : public HeldFile {
 public:
  HeldPlaceholder(FileHandlePtr handle, std::string posix) : handle_(std::move(handle)), posix_(std::move(posix)) {}
  ~HeldPlaceholder() override {
    handle_.reset();
    try {
      NotifyIfPlaceholder(posix_, cf::kNotifyFileCloseCompletion);
    } catch (...) {
      // A close notification that cannot be sent is lost, as for a provider that is not there.
    }
  }

 private:
  FileHandlePtr handle_;
  const std::string posix_;
};

class EmulatedUserSide final : public UserSide {
 public:
  HResult Read(const std::u16string& path, int64_t offset, std::span<uint8_t> buffer, uint32_t* bytes_read) override try {
    *bytes_read = 0;
    if (offset < 0) return kEInvalidArg;
    FileHandlePtr handle;
    if (Win32Error e = OpenShared(path, access::kGenericRead, &handle)) return HResultFromWin32(e);
    auto& file = static_cast<PosixFileHandle&>(*handle);
    if (HResult hr = emulation::EnsureOnDisk(file.posix_path(), file.fd(), offset, static_cast<int64_t>(buffer.size()), 0);
        hr != kSOk) {
      return hr;
    }
    const ssize_t n = pread(file.fd(), buffer.data(), buffer.size(), offset);
    if (n < 0) return errno == EISDIR ? HResultFromWin32(win32::kAccessDenied) : FromErrno(file.posix_path(), errno);
    *bytes_read = static_cast<uint32_t>(n);
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult List(const std::u16string& folder, std::vector<FindData>* entries) override try {
    entries->clear();
    std::string posix;
    if (Win32Error e = ToPosixPath(folder, &posix)) return HResultFromWin32(e);
    struct stat st;
    if (lstat(posix.c_str(), &st) != 0) return FromErrno(posix, errno);
    if (!S_ISDIR(st.st_mode)) return HResultFromWin32(win32::kDirectory);
    xattrs::PlaceholderRecord record;
    emulation::SyncRootLocation root;
    if (xattrs::ReadPlaceholder(xattrs::Target::Path(posix), &record) == 0 &&
        !(record.flags & xattrs::kPlaceholderPopulated) && emulation::FindSyncRoot(posix, &root) &&
        root.record.policies.population != cf::kPopulationAlwaysFull) {
      if (HResult hr = emulation::FetchPlaceholders(posix, u"*"); hr != kSOk) return hr;
    }
    std::vector<FindData> found;
    const Win32Error e = file_system_->Find(ToWin32Path(posix == "/" ? std::string("/*") : posix + "/*"), &found);
    if (e != 0 && e != win32::kFileNotFound) return HResultFromWin32(e);
    for (FindData& data : found) {
      if (data.name != u"." && data.name != u"..") entries->push_back(std::move(data));
    }
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult Open(const std::u16string& path) override { return Notify(path, cf::kNotifyFileOpenCompletion); }
  HResult Close(const std::u16string& path) override { return Notify(path, cf::kNotifyFileCloseCompletion); }

  HResult Write(const std::u16string& path, int64_t offset, std::span<const uint8_t> data) override try {
    if (offset < 0) return kEInvalidArg;
    FileHandlePtr handle;
    if (Win32Error e = OpenShared(path, access::kGenericWrite, &handle)) return HResultFromWin32(e);
    auto& file = static_cast<PosixFileHandle&>(*handle);
    if (HResult hr = emulation::EnsureOnDisk(file.posix_path(), file.fd(), 0, -1, 0); hr != kSOk) return hr;
    struct stat st;
    if (fstat(file.fd(), &st) != 0) return FromErrno(file.posix_path(), errno);
    emulation::FileStateGuard file_lock(st.st_dev, st.st_ino);
    for (size_t done = 0; done < data.size();) {
      const ssize_t n = pwrite(file.fd(), data.data() + done, data.size() - done, offset + static_cast<int64_t>(done));
      if (n < 0) return FromErrno(file.posix_path(), errno);
      done += static_cast<size_t>(n);
    }
    // New content is never in sync with the cloud.
    const auto target = xattrs::Target::Fd(file.fd());
    xattrs::PlaceholderRecord record;
    if (xattrs::ReadPlaceholder(target, &record) == 0) {
      std::vector<FileRange> ranges;
      (void)xattrs::ReadRanges(target, &ranges);
      const int64_t end = offset + static_cast<int64_t>(data.size());
      xattrs::AddRange(&ranges, offset, static_cast<int64_t>(data.size()));
      record.logical_size = std::max(record.logical_size, end);
      record.flags &= ~xattrs::kPlaceholderInSync;
      ++record.usn;
      (void)xattrs::WriteRanges(target, ranges);
      (void)xattrs::WritePlaceholder(target, record);
    }
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult Delete(const std::u16string& path) override try {
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return HResultFromWin32(e);
    struct stat st;
    if (lstat(posix.c_str(), &st) != 0) return FromErrno(posix, errno);
    // The delete's own open comes first: a file in use fails before the provider hears of it.
    emulation::ShareClaim claim;
    if (Win32Error e = emulation::ClaimShareAccess(st.st_dev, st.st_ino, kDeleteAccess, kShareAll, &claim)) {
      return HResultFromWin32(e);
    }
    const bool folder = S_ISDIR(st.st_mode);
    const bool placeholder = IsPlaceholder(posix);
    CallbackArgs args;
    args.flags = folder ? 0x1u : 0u;  // CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY
    if (placeholder) {
      if (HResult hr = emulation::AskProvider(cf::kNotifyDelete, posix, args); hr != kSOk) return hr;
    }
    const std::u16string win32 = ToWin32Path(posix);
    const Win32Error e = folder ? file_system_->RemoveFolder(win32) : file_system_->RemoveFile(win32);
    if (e != 0) return HResultFromWin32(e);
    if (placeholder) emulation::Tell(cf::kNotifyDeleteCompletion, Parent(posix), args);
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult Rename(const std::u16string& from, const std::u16string& to) override try {
    std::string source, target;
    if (Win32Error e = ToPosixPath(from, &source)) return HResultFromWin32(e);
    if (Win32Error e = ToPosixPath(to, &target)) return HResultFromWin32(e);
    struct stat st;
    if (lstat(source.c_str(), &st) != 0) return FromErrno(source, errno);
    emulation::ShareClaim claim;
    if (Win32Error e = emulation::ClaimShareAccess(st.st_dev, st.st_ino, kDeleteAccess, kShareAll, &claim)) {
      return HResultFromWin32(e);
    }
    const bool placeholder = IsPlaceholder(source);
    emulation::SyncRootLocation source_root, target_root;
    const bool source_in = emulation::FindSyncRoot(source, &source_root);
    const bool target_in = emulation::FindSyncRoot(Parent(target), &target_root) &&
                           (!source_in || target_root.root_posix == source_root.root_posix);
    CallbackArgs args;
    args.flags = (S_ISDIR(st.st_mode) ? 0x1u : 0u) | (source_in ? 0x2u : 0u) | (target_in ? 0x4u : 0u);
    args.target_path = ToWin32Path(target);
    if (placeholder) {
      if (HResult hr = emulation::AskProvider(cf::kNotifyRename, source, args); hr != kSOk) return hr;
    }
    if (Win32Error e = file_system_->Rename(ToWin32Path(source), ToWin32Path(target), false)) return HResultFromWin32(e);
    if (placeholder && target_in) {
      CallbackArgs done;
      done.flags = args.flags;
      done.source_path = ToWin32Path(source);
      emulation::Tell(cf::kNotifyRenameCompletion, target, done);
    }
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult SetBasicInfo(const std::u16string& path, const FsMetadata& basic) override try {
    FileHandlePtr handle;
    OpenRequest request;
    request.desired_access = access::kWriteAttributes;
    request.flags_and_attributes = open_flag::kBackupSemantics;
    if (Win32Error e = file_system_->Open(path, request, &handle)) return HResultFromWin32(e);
    auto* file = dynamic_cast<PosixFileHandle*>(handle.get());
    if (file == nullptr) return kEFail;
    const auto item = xattrs::Target::Fd(file->fd());
    const uint32_t changed = emulation::TrackedChanges(item, basic);
    if (Win32Error e = file_system_->WriteBasicInformation(*handle, basic)) return HResultFromWin32(e);
    // Not the sync engine: PRESERVE_INSYNC_FOR_SYNC_ENGINE does not shield this change.
    emulation::ClearInSyncForTrackedChanges(item, file->posix_path(), changed, /*by_sync_engine=*/false);
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult SetPin(const std::u16string& path, uint32_t pin_state) override try {
    if (pin_state != cf::kPinned && pin_state != cf::kUnpinned && pin_state != cf::kPinUnspecified) {
      return kEInvalidArg;
    }
    uint32_t attributes = 0;
    if (Win32Error e = file_system_->ReadAttributes(path, &attributes)) return HResultFromWin32(e);
    attributes &= ~(attr::kPinned | attr::kUnpinned);
    if (pin_state == cf::kPinned) attributes |= attr::kPinned;
    if (pin_state == cf::kUnpinned) attributes |= attr::kUnpinned;
    return HResultFromWin32(file_system_->WriteAttributes(path, attributes));
  } catch (...) {
    return kEFail;
  }

  HResult Dehydrate(const std::u16string& path) override try {
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return HResultFromWin32(e);
    return emulation::DehydrateOnRequest(posix, emulation::kDehydrationUserManual);
  } catch (...) {
    return kEFail;
  }

  HResult DehydrateAutomatically(const std::u16string& path, uint32_t reason, uint32_t* dehydrated) override try {
    if (dehydrated != nullptr) *dehydrated = 0;
    if (reason == emulation::kDehydrationUserManual || reason > emulation::kDehydrationSystemOsUpgrade) {
      return kEInvalidArg;
    }
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return HResultFromWin32(e);
    struct stat st;
    if (lstat(posix.c_str(), &st) != 0) return FromErrno(posix, errno);
    emulation::SyncRootLocation root;
    if (!emulation::FindSyncRoot(posix, &root)) return HResultFromWin32(win32::kCloudFileNotUnderSyncRoot);
    if (!(root.record.policies.hydration_modifier & 0x4)) return HResultFromWin32(434);  // AUTO_DEHYDRATION_ALLOWED
    uint32_t count = 0;
    Sweep(posix, S_ISDIR(st.st_mode), reason, &count);
    if (dehydrated != nullptr) *dehydrated = count;
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  HResult Hold(const std::u16string& path, uint32_t desired_access, uint32_t share_mode,
               std::unique_ptr<HeldFile>* held) override try {
    held->reset();
    FileHandlePtr handle;
    OpenRequest request;
    request.desired_access = desired_access;
    request.share_mode = share_mode;
    request.flags_and_attributes = open_flag::kBackupSemantics;
    if (Win32Error e = file_system_->Open(path, request, &handle)) return HResultFromWin32(e);
    std::string posix = static_cast<PosixFileHandle&>(*handle).posix_path();
    NotifyIfPlaceholder(posix, cf::kNotifyFileOpenCompletion);
    *held = std::make_unique<HeldPlaceholder>(std::move(handle), std::move(posix));
    return kSOk;
  } catch (...) {
    return kEFail;
  }

 private:
  // An application's open for reading or writing, which lets others do anything: it fails only
  // against an open that does not share what it does.
  Win32Error OpenShared(const std::u16string& path, uint32_t desired_access, FileHandlePtr* handle) {
    OpenRequest request;
    request.desired_access = desired_access;
    request.share_mode = kShareAll;
    return file_system_->Open(path, request, handle);
  }

  // The system's pass over a file or a tree: every file that may go goes; the others stay.
  static void Sweep(const std::string& posix, bool folder, uint32_t reason, uint32_t* count) {
    if (!folder) {
      if (IsPlaceholder(posix) && emulation::DehydrateOnRequest(posix, reason) == kSOk) ++*count;
      return;
    }
    DIR* dir = opendir(posix.c_str());
    if (dir == nullptr) return;
    std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = posix == "/" ? "/" + name : posix + "/" + name;
      unsigned char type = entry->d_type;
      struct stat st;
      if (type == DT_UNKNOWN && lstat(child.c_str(), &st) == 0) {
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
      }
      if (type == DT_DIR || type == DT_REG) Sweep(child, type == DT_DIR, reason, count);
    }
  }

  HResult Notify(const std::u16string& path, cf::CallbackType type) try {
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return HResultFromWin32(e);
    struct stat st;
    if (lstat(posix.c_str(), &st) != 0) return FromErrno(posix, errno);
    NotifyIfPlaceholder(posix, type);
    return kSOk;
  } catch (...) {
    return kEFail;
  }

  const std::unique_ptr<FileSystem> file_system_ = NewPosixFileSystem();
};

}  // namespace

std::unique_ptr<UserSide> NewUserSide() { return std::make_unique<EmulatedUserSide>(); }

}  // namespace ostrasync::platform
