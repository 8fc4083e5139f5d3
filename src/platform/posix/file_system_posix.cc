// The seam's file-system calls over POSIX, with the Win32 results and refusals.
#include "platform/posix/file_system_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/posix/emulation_hub.h"
#include "platform/posix/folder_name_index.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/placeholder_data.h"
#include "platform/posix/placeholder_xattrs.h"
#include "platform/posix/posix_file_handle.h"
#include "platform/posix/share_access.h"
#include "platform/posix/windows_attributes.h"
#include "platform/text_codec.h"

namespace ostrasync::platform {

Win32Error MissingPathError(const std::string& posix_path) {
  const size_t slash = posix_path.find_last_of('/');
  const std::string parent = slash == 0 || slash == std::string::npos ? "/" : posix_path.substr(0, slash);
  struct stat st;
  return (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? win32::kFileNotFound : win32::kPathNotFound;
}

Win32Error PathError(const std::string& posix_path, int error) {
  return error == ENOENT ? MissingPathError(posix_path) : Win32ErrorFromErrno(error);
}

namespace {

bool Match(const char16_t* p, const char16_t* pe, const char16_t* n, const char16_t* ne) {
  // Iterative matching with one back-tracking point for the last star.
  const char16_t* star = nullptr;
  const char16_t* resume = nullptr;
  while (n != ne) {
    if (p != pe && (*p == u'?' || FoldCase(*p) == FoldCase(*n))) {
      ++p, ++n;
    } else if (p != pe && *p == u'*') {
      star = p++;
      resume = n;
    } else if (star != nullptr) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p != pe && *p == u'*') ++p;
  return p == pe;
}

// The inode's own birth time (the change time where the file system keeps none): the creation time
// of an item whose records hold none.
uint64_t BirthTimeOf(int dir_fd, const char* name, const struct stat& st) {
  struct statx stx;
  if (statx(dir_fd, name, AT_SYMLINK_NOFOLLOW, STATX_BTIME, &stx) == 0 && (stx.stx_mask & STATX_BTIME)) {
    struct timespec ts{};
    ts.tv_sec = stx.stx_btime.tv_sec;
    ts.tv_nsec = stx.stx_btime.tv_nsec;
    return FileTimeFromTimespec(ts);
  }
  return FileTimeFromTimespec(st.st_ctim);
}

uint64_t CreationTimeOf(int dir_fd, const char* name, const std::string& posix_path, const struct stat& st) {
  xattrs::BasicRecord basic;
  if (xattrs::ReadBasic(xattrs::Target::Path(posix_path), &basic) == 0 && basic.creation_time != 0) {
    return basic.creation_time;
  }
  return BirthTimeOf(dir_fd, name, st);
}

constexpr uint32_t kCreateNew = 1, kCreateAlways = 2, kOpenExisting = 3, kOpenAlways = 4, kTruncateExisting = 5;

Win32Error ApplyAttributes(const std::string& posix, const struct stat& st, uint32_t attributes) {
  if ((attributes & attr::kPinned) && (attributes & attr::kUnpinned)) return win32::kInvalidParameter;
  const auto target = xattrs::Target::Path(posix);
  emulation::FileStateGuard file_lock(st.st_dev, st.st_ino);
  xattrs::BasicRecord basic;
  (void)xattrs::ReadBasic(target, &basic);
  basic.windows_bits = attributes & xattrs::kStoredAttributes;
  basic.pin_state = (attributes & attr::kPinned)     ? cf::kPinned
                    : (attributes & attr::kUnpinned) ? cf::kUnpinned
                    : basic.pin_state == cf::kPinExcluded ? cf::kPinExcluded
                                                          : cf::kPinUnspecified;
  if (int rc = xattrs::WriteBasic(target, basic); rc != 0) return Win32ErrorFromErrno(rc);
  // Read-only lives in the permission bits, where Linux programs see it too; written last so the
  // records above could still be written.
  mode_t mode = st.st_mode & 07777;
  mode = (attributes & attr::kReadOnly) ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  if (mode != (st.st_mode & 07777) && chmod(posix.c_str(), mode) != 0) return Win32ErrorFromErrno(errno);
  return 0;
}

class PosixFileSystem final : public FileSystem {
 public:
  Win32Error Open(const std::u16string& path, const OpenRequest& request, FileHandlePtr* file) override {
    file->reset();
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return e;
    const bool write = request.desired_access & (access::kGenericWrite | 0x2 /*FILE_WRITE_DATA*/ | 0x4 /*APPEND*/);
    int flags = O_CLOEXEC | (write ? O_RDWR : O_RDONLY);
    switch (request.disposition) {
      case kCreateNew: flags |= O_CREAT | O_EXCL; break;
      case kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
      case kOpenExisting: break;
      case kOpenAlways: flags |= O_CREAT; break;
      case kTruncateExisting:
        if (!write) return win32::kInvalidParameter;
        flags |= O_TRUNC;
        break;
      default: return win32::kInvalidParameter;
    }
    struct stat st;
    const bool exists = lstat(posix.c_str(), &st) == 0;
    if (exists) {
      if (S_ISDIR(st.st_mode)) {
        // A folder opens only for backup semantics, and never for writing or creation.
        if (!(request.flags_and_attributes & open_flag::kBackupSemantics)) return win32::kAccessDenied;
        if (request.disposition == kCreateNew) return win32::kFileExists;
        if (write || request.disposition == kCreateAlways || request.disposition == kTruncateExisting) {
          return win32::kAccessDenied;
        }
        flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
      } else if (request.disposition == kCreateNew) {
        return win32::kFileExists;
      } else if (write && !(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) {
        return win32::kAccessDenied;  // read-only, even for root
      }
    } else if (errno != ENOENT) {
      return Win32ErrorFromErrno(errno);
    }
    // An existing file's sharing is settled before the open, so that a refused open truncates
    // nothing.
    emulation::ShareClaim claim;
    if (exists) {
      if (Win32Error e = emulation::ClaimShareAccess(st.st_dev, st.st_ino, request.desired_access,
                                                     request.share_mode, &claim)) {
        return e;
      }
    }
    UniqueFd fd(::open(posix.c_str(), flags, 0666));
    if (!fd.valid()) return errno == EEXIST ? win32::kFileExists : PathError(posix, errno);
    if (!exists) {
      struct stat created;
      if (fstat(fd.get(), &created) != 0) return Win32ErrorFromErrno(errno);
      if (Win32Error e = emulation::ClaimShareAccess(created.st_dev, created.st_ino, request.desired_access,
                                                     request.share_mode, &claim)) {
        return e;
      }
    }
    *file = std::make_unique<PosixFileHandle>(std::move(fd), path, posix, request.desired_access, std::move(claim));
    return 0;
  }

  Win32Error ReadAttributes(const std::u16string& path, uint32_t* attributes) override {
    *attributes = attr::kInvalid;
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return e;
    struct stat st;
    if (lstat(posix.c_str(), &st) != 0) return PathError(posix, errno);
    *attributes = WindowsAttributesOf(posix, st);
    return 0;
  }

  Win32Error WriteAttributes(const std::u16string& path, uint32_t attributes) override {
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return e;
    struct stat st;
    if (lstat(posix.c_str(), &st) != 0) return PathError(posix, errno);
    // This file system is the sync engine's own: its changes leave in-sync alone only where the
    // root's in-sync policy says so.
    FsMetadata change;
    change.attributes = attributes;
    const auto item = xattrs::Target::Path(posix);
    const uint32_t changed = emulation::TrackedChanges(item, change);
    if (Win32Error e = ApplyAttributes(posix, st, attributes); e != 0) return e;
    emulation::ClearInSyncForTrackedChanges(item, posix, changed, /*by_sync_engine=*/true);
    return 0;
  }

  Win32Error Find(const std::u16string& pattern, std::vector<FindData>* entries) override {
    entries->clear();
    const size_t cut = pattern.find_last_of(u"\\/");
    if (cut == std::u16string::npos) return win32::kPathNotFound;
    std::u16string name_pattern = pattern.substr(cut + 1);
    if (name_pattern.empty()) return win32::kFileNotFound;
    if (name_pattern == u"*.*") name_pattern = u"*";
    std::string folder;
    if (Win32Error e = ToPosixPath(cut == 0 ? std::u16string(u"\\") : pattern.substr(0, cut), &folder)) return e;
    std::vector<FindData> found;
    if (FindExactName(folder, name_pattern, &found)) {
      *entries = std::move(found);
      return 0;
    }
    UniqueFd dir_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.valid()) return errno == ENOTDIR ? win32::kPathNotFound : PathError(folder + "/x", errno);
    if (!FindOtherSpellings(dir_fd.get(), folder, name_pattern, &found)) {
      DIR* dir = fdopendir(dup(dir_fd.get()));
      if (dir == nullptr) return Win32ErrorFromErrno(errno);
      std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        // The root of a volume has no "." and ".." on Windows.
        if (folder == "/" && (name == "." || name == "..")) continue;
        if (!MatchesWin32Pattern(name_pattern, Utf8ToUtf16(name))) continue;
        FindData data;
        if (FindDataOf(dir_fd.get(), folder, name, &data) == 0) found.push_back(std::move(data));
      }
    }
    if (found.empty()) return win32::kFileNotFound;
    *entries = std::move(found);
    return 0;
  }

  Win32Error IsFolderEmpty(const std::u16string& path, bool* empty) override {
    *empty = false;
    std::string folder;
    if (Win32Error e = ToPosixPath(path, &folder)) return e;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return errno == ENOTDIR ? win32::kPathNotFound : PathError(folder + "/x", errno);
    std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) return 0;
    }
    if (errno != 0) return Win32ErrorFromErrno(errno);
    *empty = true;
    return 0;
  }

  Win32Error ReadInformation(FileHandle& file, FileInformation* info) override {
    auto* handle = dynamic_cast<PosixFileHandle*>(&file);
    if (handle == nullptr) return win32::kInvalidHandle;
    struct stat st;
    if (fstat(handle->fd(), &st) != 0) return Win32ErrorFromErrno(errno);
    FileInformation out;
    out.attributes = WindowsAttributesOf(handle->posix_path(), st);
    out.creation_time = CreationTimeOf(AT_FDCWD, handle->posix_path().c_str(), handle->posix_path(), st);
    out.last_access_time = FileTimeFromTimespec(st.st_atim);
    out.last_write_time = FileTimeFromTimespec(st.st_mtim);
    out.volume_serial = static_cast<uint32_t>(st.st_dev);
    out.file_size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    out.link_count = static_cast<uint32_t>(st.st_nlink);
    out.file_index = st.st_ino;
    *info = out;
    return 0;
  }

  Win32Error WriteBasicInformation(FileHandle& file, const FsMetadata& basic) override {
    auto* handle = dynamic_cast<PosixFileHandle*>(&file);
    if (handle == nullptr) return win32::kInvalidHandle;
    if (!(handle->access() & (access::kWriteAttributes | access::kGenericWrite))) return win32::kAccessDenied;
    const uint32_t changed = emulation::TrackedChanges(xattrs::Target::Fd(handle->fd()), basic);
    const Win32Error e = WriteBasic(handle, basic);
    if (e == 0) {
      emulation::ClearInSyncForTrackedChanges(xattrs::Target::Fd(handle->fd()), handle->posix_path(), changed,
                                              /*by_sync_engine=*/true);
    }
    return e;
  }

  Win32Error FileSize(FileHandle& file, int64_t* size) override {
    auto* handle = dynamic_cast<PosixFileHandle*>(&file);
    if (handle == nullptr) return win32::kInvalidHandle;
    struct stat st;
    if (fstat(handle->fd(), &st) != 0) return Win32ErrorFromErrno(errno);
    *size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    return 0;
  }

  Win32Error ReadAt(FileHandle& file, int64_t offset, std::span<uint8_t> buffer, uint32_t* bytes_read) override {
    *bytes_read = 0;
    auto* handle = dynamic_cast<PosixFileHandle*>(&file);
    if (handle == nullptr) return win32::kInvalidHandle;
    if (!(handle->access() & (access::kGenericRead | 0x1 /*FILE_READ_DATA*/))) return win32::kAccessDenied;
    if (offset < 0) return win32::kInvalidParameter;
    // A placeholder's missing bytes are fetched first, as ReadFile does for any process.
    if (HResult hr = emulation::EnsureOnDisk(handle->posix_path(), handle->fd(), offset,
                                             static_cast<int64_t>(buffer.size()), 0);
        hr != kSOk) {
      return Win32FromHResult(hr);
    }
    size_t done = 0;
    while (done < buffer.size()) {
      const ssize_t n = pread(handle->fd(), buffer.data() + done, buffer.size() - done, offset + static_cast<int64_t>(done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno == EISDIR ? win32::kAccessDenied : Win32ErrorFromErrno(errno);
      }
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    *bytes_read = static_cast<uint32_t>(done);
    return 0;
  }

  Win32Error Rename(const std::u16string& from, const std::u16string& to, bool replace_existing) override {
    std::string source, target;
    if (Win32Error e = ToPosixPath(from, &source)) return e;
    if (Win32Error e = ToPosixPath(to, &target)) return e;
    struct stat st;
    if (lstat(source.c_str(), &st) != 0) return PathError(source, errno);
    struct stat existing;
    const bool target_exists = lstat(target.c_str(), &existing) == 0;
    // The same item under another case of its name is a rename, not a collision.
    const bool same_item = target_exists && existing.st_ino == st.st_ino && existing.st_dev == st.st_dev;
    if (target_exists && !same_item) {
      if (!replace_existing) return win32::kAlreadyExists;
      if (S_ISDIR(existing.st_mode) || S_ISDIR(st.st_mode)) return win32::kAccessDenied;
      if (!(existing.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) return win32::kAccessDenied;
    }
    const unsigned flags = (target_exists && !same_item) ? 0 : RENAME_NOREPLACE;
    // A rename opens its source for deletion: an open that does not share deletion keeps it.
    return emulation::RemoveWhenShared(
        st.st_dev, st.st_ino,
        [&]() -> Win32Error {
          if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), same_item ? 0 : flags) != 0) {
            if (errno == EEXIST) return win32::kAlreadyExists;
            return errno == ENOENT ? win32::kPathNotFound : Win32ErrorFromErrno(errno);
          }
          return 0;
        },
        target_exists && !same_item ? &existing : nullptr);
  }

  Win32Error RemoveFile(const std::u16string& path) override {
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return e;
    struct stat st;
    if (lstat(posix.c_str(), &st) != 0) return PathError(posix, errno);
    if (S_ISDIR(st.st_mode)) return win32::kAccessDenied;
    if (!(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) && !S_ISLNK(st.st_mode)) return win32::kAccessDenied;
    return emulation::RemoveWhenShared(st.st_dev, st.st_ino, [&]() -> Win32Error {
      return unlink(posix.c_str()) == 0 ? 0 : PathError(posix, errno);
    });
  }

  Win32Error RemoveFolder(const std::u16string& path) override {
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return e;
    struct stat st;
    if (lstat(posix.c_str(), &st) != 0) return PathError(posix, errno);
    return emulation::RemoveWhenShared(st.st_dev, st.st_ino, [&]() -> Win32Error {
      if (rmdir(posix.c_str()) == 0) return 0;
      if (errno == ENOTDIR) return win32::kDirectory;
      if (errno == ENOTEMPTY || errno == EEXIST) return win32::kDirNotEmpty;
      return PathError(posix, errno);
    });
  }

  Win32Error MakeFolder(const std::u16string& path) override {
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return e;
    if (mkdir(posix.c_str(), 0777) != 0) {
      if (errno == ENOENT) return win32::kPathNotFound;
      return Win32ErrorFromErrno(errno);
    }
    return 0;
  }

  Win32Error LongPath(const std::u16string& path, std::u16string* long_path) override {
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return e;
    std::unique_ptr<char, void (*)(void*)> resolved(realpath(posix.c_str(), nullptr), free);
    if (resolved == nullptr) return PathError(posix, errno);
    *long_path = ToWin32Path(resolved.get());
    return 0;
  }

 private:
  // A search for one name without wildcards is answered as Windows answers it, from the file
  // system's index rather than a read of the folder: first the name as spelled, which on a
  // case-insensitive folder no other spelling can stand beside, then whatever the folder holds
  // in another case.
  static bool IsOneName(const std::u16string& name) {
    constexpr std::u16string_view kWildcardsAndNul(u"*?\0", 3);
    return name.find_first_of(kWildcardsAndNul) == std::u16string::npos && name != u"." && name != u"..";
  }

  // True with the item when `name` is there as spelled.
  static bool FindExactName(const std::string& folder, const std::u16string& name, std::vector<FindData>* found) {
    if (!IsOneName(name)) return false;
    const std::string spelled = Utf16ToUtf8(name);
    if (Utf8ToUtf16(spelled) != name) return false;
    FindData data;
    if (FindDataOf(AT_FDCWD, folder, spelled, &data) != 0) return false;
    found->push_back(std::move(data));
    return true;
  }

  // The items spelled otherwise; false when the search needs a read of the folder instead: a
  // pattern, a dot entry, or no index to be had.
  bool FindOtherSpellings(int dir_fd, const std::string& folder, const std::u16string& name,
                          std::vector<FindData>* found) {
    if (!IsOneName(name)) return false;
    std::vector<std::string> others;
    if (!names_.NamesFoldingTo(dir_fd, FoldedName(name), &others)) return false;
    for (const std::string& other : others) {
      FindData data;
      if (FindDataOf(dir_fd, folder, other, &data) == 0) found->push_back(std::move(data));
    }
    return true;
  }

  // The FileBasicInfo write itself.
  static Win32Error WriteBasic(PosixFileHandle* handle, const FsMetadata& basic) {
    struct timespec times[2];
    times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
    if (basic.last_access_time != 0) times[0] = TimespecFromFileTime(basic.last_access_time);
    if (basic.last_write_time != 0) times[1] = TimespecFromFileTime(basic.last_write_time);
    if (futimens(handle->fd(), times) != 0) return Win32ErrorFromErrno(errno);
    const auto target = xattrs::Target::Fd(handle->fd());
    struct stat st;
    if (fstat(handle->fd(), &st) != 0) return Win32ErrorFromErrno(errno);
    if (basic.creation_time != 0) {
      emulation::FileStateGuard file_lock(st.st_dev, st.st_ino);
      xattrs::BasicRecord record;
      (void)xattrs::ReadBasic(target, &record);
      record.creation_time = basic.creation_time;
      if (int rc = xattrs::WriteBasic(target, record); rc != 0) return Win32ErrorFromErrno(rc);
    }
    if (basic.attributes != 0) return ApplyAttributes(handle->posix_path(), st, basic.attributes);
    return 0;
  }

  FolderNameIndex names_;  // the other spellings of names missing in the spelling asked for
};

}  // namespace

bool MatchesWin32Pattern(const std::u16string& pattern, const std::u16string& name) {
  return Match(pattern.data(), pattern.data() + pattern.size(), name.data(), name.data() + name.size());
}

Win32Error FindDataOf(int dir_fd, const std::string& folder_posix, const std::string& name, FindData* data) {
  const std::string path = folder_posix == "/" ? "/" + name : folder_posix + "/" + name;
  const char* at = dir_fd == AT_FDCWD ? path.c_str() : name.c_str();
  struct stat st;
  if (fstatat(dir_fd, at, &st, AT_SYMLINK_NOFOLLOW) != 0) return Win32ErrorFromErrno(errno);
  FindData out;
  uint64_t recorded_creation_time = 0;
  out.attributes = WindowsAttributesOf(path, st, &out.reparse_tag, &recorded_creation_time);
  // A listing reads each item's records once: the attributes brought the creation time along.
  out.creation_time =
      recorded_creation_time != 0 ? recorded_creation_time : BirthTimeOf(dir_fd, at, st);
  out.last_access_time = FileTimeFromTimespec(st.st_atim);
  out.last_write_time = FileTimeFromTimespec(st.st_mtim);
  out.file_size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
  out.name = Utf8ToUtf16(name);
  *data = std::move(out);
  return 0;
}

std::unique_ptr<FileSystem> NewPosixFileSystem() { return std::make_unique<PosixFileSystem>(); }

}  // namespace ostrasync::platform
