// Writing, punching out and fetching the bytes of placeholder files.
#include "platform/posix/placeholder_data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "platform/posix/path_mapping.h"

namespace ostrasync::platform::emulation {
namespace {

constexpr int64_t kPage = 4096;

// Opens `path` for writing; on EACCES with the owner's write bit missing, lends it for the open.
int OpenLending(const std::string& path, const struct stat& st, UniqueFd* out) {
  out->Reset(open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (out->valid()) return 0;
  const int error = errno;
  if (error != EACCES || (st.st_mode & S_IWUSR)) return error;
  const mode_t mode = st.st_mode & 07777;
  if (chmod(path.c_str(), mode | S_IWUSR) != 0) return error;
  out->Reset(open(path.c_str(), O_RDWR | O_CLOEXEC));
  const int reopened = out->valid() ? 0 : errno;
  (void)chmod(path.c_str(), mode);
  return reopened;
}

}  // namespace

int OpenForWriting(const std::string& posix_path, UniqueFd* out) {
  struct stat st;
  if (lstat(posix_path.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  return OpenLending(posix_path, st, out);
}

int ReopenForWriting(int fd, UniqueFd* out) {
  const int mode = fcntl(fd, F_GETFL);
  if (mode < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  if ((mode & O_ACCMODE) == O_RDWR) {
    out->Reset(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    return out->valid() ? 0 : errno;
  }
  // The same file whatever became of its name since: the descriptor's own entry in /proc.
  return OpenLending("/proc/self/fd/" + std::to_string(fd), st, out);
}

KeptTimes::~KeptTimes() { (void)Restore(); }

int KeptTimes::Take(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  fd_ = fd;
  times_[0] = st.st_atim;
  times_[1] = st.st_mtim;
  return 0;
}

int KeptTimes::Restore() {
  if (fd_ < 0) return 0;
  const int fd = std::exchange(fd_, -1);
  return futimens(fd, times_) == 0 ? 0 : errno;
}

HResult DehydrationRefusal(int fd, const xattrs::PlaceholderRecord& record, bool in_sync,
                           const SyncRootLocation& root) {
  // A root whose files must always be whole refuses anything that would leave one partial.
  if (root.record.policies.hydration == cf::kHydrationAlwaysFull) {
    return HResultFromWin32(win32::kCloudFileInvalidRequest);
  }
  xattrs::BasicRecord basic;
  if (xattrs::ReadBasic(xattrs::Target::Fd(fd), &basic) == 0 && basic.pin_state == cf::kPinned) {
    return HResultFromWin32(win32::kCloudFilePinned);
  }
  if (!in_sync) return HResultFromWin32(win32::kCloudFileNotInSync);
  if (record.flags & xattrs::kPlaceholderAlwaysFull) return HResultFromWin32(434);  // DEHYDRATION_DISALLOWED
  return kSOk;
}

HResult DehydrateRange(int fd, int64_t logical_size, int64_t offset, int64_t length) {
  const int64_t start = (offset + kPage - 1) / kPage * kPage;
  const int64_t end = offset + length >= logical_size ? logical_size : (offset + length) / kPage * kPage;
  if (start >= end) return kSOk;
  const auto target = xattrs::Target::Fd(fd);
  std::vector<FileRange> ranges;
  if (int rc = xattrs::ReadRanges(target, &ranges); rc != 0) return HResultFromWin32(Win32ErrorFromErrno(rc));
  xattrs::RemoveRange(&ranges, start, end - start);
  // The record first: a crash after it leaves bytes the record does not claim, never the reverse.
  if (int rc = xattrs::WriteRanges(target, ranges); rc != 0) return HResultFromWin32(Win32ErrorFromErrno(rc));
  UniqueFd writable;
  if (int rc = ReopenForWriting(fd, &writable); rc != 0) return HResultFromWin32(Win32ErrorFromErrno(rc));
  // A program's stat, and the host comparing the file with the server's version, still see the
  // times the file had before the hole.
  KeptTimes kept;
  if (int rc = kept.Take(writable.get()); rc != 0) return HResultFromWin32(Win32ErrorFromErrno(rc));
  if (fallocate(writable.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, start, end - start) != 0 &&
      errno != EOPNOTSUPP) {
    return HResultFromWin32(Win32ErrorFromErrno(errno));
  }
  if (int rc = kept.Restore(); rc != 0) return HResultFromWin32(Win32ErrorFromErrno(rc));
  return kSOk;
}

HResult EnsureOnDisk(const std::string& posix_path, int fd, int64_t offset, int64_t length, uint32_t fetch_flags) {
  const auto target = fd >= 0 ? xattrs::Target::Fd(fd) : xattrs::Target::Path(posix_path);
  struct stat st;
  if ((fd >= 0 ? fstat(fd, &st) : lstat(posix_path.c_str(), &st)) != 0) {
    return HResultFromWin32(PathError(posix_path, errno));
  }
  xattrs::PlaceholderRecord record;
  if (!S_ISREG(st.st_mode) || xattrs::ReadPlaceholder(target, &record) != 0) return kSOk;
  std::vector<FileRange> ranges;
  if (int rc = xattrs::ReadRanges(target, &ranges); rc != 0) return HResultFromWin32(Win32ErrorFromErrno(rc));
  int64_t end = length < 0 ? record.logical_size : std::min(record.logical_size, offset + length);
  if (offset >= end || xattrs::Covers(ranges, offset, end - offset)) return kSOk;
  SyncRootLocation root;
  if (!FindSyncRoot(posix_path, &root)) return HResultFromWin32(win32::kCloudFileNotUnderSyncRoot);
  const uint16_t policy = root.record.policies.hydration;
  int64_t start = offset / kPage * kPage;
  end = std::min(record.logical_size, (end + kPage - 1) / kPage * kPage);
  if (policy == cf::kHydrationFull || policy == cf::kHydrationAlwaysFull) {
    start = 0;
    end = record.logical_size;
  }
  return FetchData(posix_path, start, end - start, fetch_flags, fd);
}

}  // namespace ostrasync::platform::emulation
