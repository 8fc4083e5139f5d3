// Builds placeholder files and folders with all their records before they can be seen.
#include "platform/posix/placeholder_creation.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "platform/posix/path_mapping.h"
#include "platform/posix/placeholder_xattrs.h"
#include "platform/posix/posix_file_handle.h"
#include "platform/posix/windows_attributes.h"
#include "platform/text_codec.h"

namespace ostrasync::platform {
namespace {

HResult FromErrno(int error) { return HResultFromWin32(Win32ErrorFromErrno(error)); }

// The one record of a new placeholder: the placeholder record, with the identity and the basic
// fields, is what makes the item one. A file has no byte-range record yet: none means nothing is
// on disk.
// Returns 0 or the HRESULT of the failed write.
HResult WriteRecords(int fd, const PlaceholderCreateEntry& entry, bool folder, int64_t* usn) {
  const auto target = xattrs::Target::Fd(fd);
  xattrs::BasicRecord basic;
  basic.windows_bits = entry.metadata.attributes & xattrs::kStoredAttributes;
  basic.pin_state = (entry.metadata.attributes & attr::kPinned)     ? cf::kPinned
                    : (entry.metadata.attributes & attr::kUnpinned) ? cf::kUnpinned
                                                                    : cf::kPinUnspecified;
  basic.creation_time = entry.metadata.creation_time;
  xattrs::PlaceholderRecord record;
  record.usn = 1;
  record.identity = entry.identity;
  if (entry.flags & cf::kPlaceholderCreateMarkInSync) record.flags |= xattrs::kPlaceholderInSync;
  if (entry.flags & cf::kPlaceholderCreateAlwaysFull) record.flags |= xattrs::kPlaceholderAlwaysFull;
  if (folder) {
    if (entry.flags & cf::kPlaceholderCreateDisableOnDemandPopulation) record.flags |= xattrs::kPlaceholderPopulated;
  } else {
    record.logical_size = entry.metadata.file_size;
  }
  *usn = record.usn;
  if (int rc = xattrs::WriteNewPlaceholder(target, record, basic); rc != 0) {
    return xattrs::IdentityWriteResult(target, rc);
  }
  return kSOk;
}

void ApplyTimes(int fd, const FsMetadata& metadata) {
  if (metadata.last_access_time == 0 && metadata.last_write_time == 0) return;
  struct timespec times[2];
  times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
  if (metadata.last_access_time != 0) times[0] = TimespecFromFileTime(metadata.last_access_time);
  if (metadata.last_write_time != 0) times[1] = TimespecFromFileTime(metadata.last_write_time);
  (void)futimens(fd, times);
}

int MakeReadOnlyIfAsked(int fd, const FsMetadata& metadata) {
  if (!(metadata.attributes & attr::kReadOnly)) return 0;
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  return fchmod(fd, st.st_mode & 07777 & ~(S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ? 0 : errno;
}

HResult CreateFolder(int parent_fd, const std::string& name, PlaceholderCreateEntry& entry) {
  if (mkdirat(parent_fd, name.c_str(), 0777) != 0) return FromErrno(errno);
  UniqueFd fd(openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return FromErrno(errno);
  ApplyTimes(fd.get(), entry.metadata);
  if (HResult hr = WriteRecords(fd.get(), entry, true, &entry.create_usn); hr != kSOk) {
    // A folder without its placeholder record would pass for a plain one; it goes again.
    fd.Reset(-1);
    (void)unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR);
    return hr;
  }
  if (int rc = MakeReadOnlyIfAsked(fd.get(), entry.metadata); rc != 0) return FromErrno(rc);
  return kSOk;
}

// Gives the unnamed file open as `fd` the name `name` in `parent_fd`. Linux links an open file
// straight from its descriptor when the caller opened it itself (since 6.10) or may read any
// file; older kernels take the descriptor's name under /proc instead, a dearer lookup.
int LinkUnnamed(int fd, int parent_fd, const char* name) {
  static std::atomic<bool> by_descriptor{true};
  if (by_descriptor.load(std::memory_order_relaxed)) {
    if (linkat(fd, "", parent_fd, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM && errno != EINVAL) return errno;
    by_descriptor.store(false, std::memory_order_relaxed);
  }
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  return linkat(AT_FDCWD, proc.c_str(), parent_fd, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

HResult CreateFile(int parent_fd, const std::string& name, PlaceholderCreateEntry& entry) {
  const bool supersede = entry.flags & cf::kPlaceholderCreateSupersede;
  // Without SUPERSEDE the final link (or the exclusive create) refuses a name that is taken.
  struct stat existing;
  if (supersede && fstatat(parent_fd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(existing.st_mode)) {
    return HResultFromWin32(win32::kAlreadyExists);
  }
  UniqueFd fd(openat(parent_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
  const bool unnamed = fd.valid();
  if (!unnamed) {
    // A file system without unnamed files: create under the name, placeholder record last.
    fd.Reset(openat(parent_fd, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666));
    if (!fd.valid()) return errno == EEXIST ? HResultFromWin32(win32::kAlreadyExists) : FromErrno(errno);
  }
  auto fail_with = [&](HResult hr) {
    if (!unnamed) (void)unlinkat(parent_fd, name.c_str(), 0);
    return hr;
  };
  auto fail = [&](int error) { return fail_with(FromErrno(error)); };
  if (ftruncate(fd.get(), entry.metadata.file_size) != 0) return fail(errno);
  if (HResult hr = WriteRecords(fd.get(), entry, false, &entry.create_usn); hr != kSOk) return fail_with(hr);
  ApplyTimes(fd.get(), entry.metadata);
  if (int rc = MakeReadOnlyIfAsked(fd.get(), entry.metadata); rc != 0) return fail(rc);
  if (!unnamed) return kSOk;
  if (!supersede) {
    if (const int rc = LinkUnnamed(fd.get(), parent_fd, name.c_str()); rc != 0) {
      return rc == EEXIST ? HResultFromWin32(win32::kAlreadyExists) : FromErrno(rc);
    }
    return kSOk;
  }
  // Superseding: link under a private name, then rename over the old file in one step.
  static std::atomic<uint64_t> counter{0};
  const std::string temp = ".ostrasync-supersede-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  if (const int rc = LinkUnnamed(fd.get(), parent_fd, temp.c_str()); rc != 0) return FromErrno(rc);
  if (renameat(parent_fd, temp.c_str(), parent_fd, name.c_str()) != 0) {
    const int error = errno;
    (void)unlinkat(parent_fd, temp.c_str(), 0);
    return FromErrno(error);
  }
  return kSOk;
}

HResult Create(int dir_fd, PlaceholderCreateEntry& entry) {
  // The relative name may name a deeper folder that exists; every component must be a valid name.
  std::string relative;
  size_t start = 0;
  const std::u16string& name = entry.relative_name;
  while (start <= name.size()) {
    size_t end = name.find_first_of(u"\\/", start);
    if (end == std::u16string::npos) end = name.size();
    const std::u16string part = name.substr(start, end - start);
    if (part.empty() || part == u"." || part == u".." || IsInvalidWin32Name(part)) {
      return HResultFromWin32(win32::kInvalidName);
    }
    relative += (relative.empty() ? "" : "/") + Utf16ToUtf8(part);
    start = end + 1;
  }
  if (entry.identity.size() > cf::kMaxFileIdentityLength || entry.metadata.file_size < 0) return kEInvalidArg;
  const size_t slash = relative.find_last_of('/');
  UniqueFd parent;
  int parent_fd = dir_fd;
  std::string leaf = relative;
  if (slash != std::string::npos) {
    parent.Reset(openat(dir_fd, relative.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid()) return HResultFromWin32(win32::kPathNotFound);
    parent_fd = parent.get();
    leaf = relative.substr(slash + 1);
  }
  if (entry.metadata.attributes & attr::kDirectory) return CreateFolder(parent_fd, leaf, entry);
  if (entry.identity.empty()) return kEInvalidArg;  // a file placeholder needs its identity
  return CreateFile(parent_fd, leaf, entry);
}

}  // namespace

HResult CreatePlaceholderEntry(int dir_fd, PlaceholderCreateEntry& entry) {
  entry.create_usn = 0;
  entry.result = Create(dir_fd, entry);
  return entry.result;
}

}  // namespace ostrasync::platform
