// The user's and the system's dehydrations, with the provider asked first and told afterwards.
#include "platform/posix/system_dehydration.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/posix/emulation_hub.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/placeholder_data.h"
#include "platform/posix/placeholder_xattrs.h"
#include "platform/posix/posix_file_handle.h"

namespace ostrasync::platform::emulation {
namespace {

constexpr uint16_t kAutoDehydrationAllowed = 0x4;  // CF_HYDRATION_POLICY_MODIFIER_AUTO_DEHYDRATION_ALLOWED
constexpr uint32_t kBackground = 0x1;              // CF_CALLBACK_DEHYDRATE_FLAG_BACKGROUND
constexpr uint32_t kDehydrated = 0x2;              // CF_CALLBACK_DEHYDRATE_COMPLETION_FLAG_DEHYDRATED
constexpr HResult kDehydrationDisallowed = HResultFromWin32(434);

// Whether the file may lose its data now (S_OK) and whether it has any to lose. REQUIRES: the
// file's state lock is held.
HResult CheckLocked(int fd, const SyncRootLocation& root, xattrs::PlaceholderRecord* record, bool* has_data) {
  const auto target = xattrs::Target::Fd(fd);
  if (xattrs::ReadPlaceholder(target, record) != 0) return HResultFromWin32(win32::kNotACloudFile);
  if (HResult hr = DehydrationRefusal(fd, *record, record->flags & xattrs::kPlaceholderInSync, root); hr != kSOk) {
    return hr;
  }
  std::vector<FileRange> ranges;
  if (int rc = xattrs::ReadRanges(target, &ranges); rc != 0) return HResultFromWin32(Win32ErrorFromErrno(rc));
  *has_data = !ranges.empty();
  return kSOk;
}

}  // namespace

HResult DehydrateOnRequest(const std::string& posix_path, uint32_t reason) {
  if (reason < kDehydrationUserManual || reason > kDehydrationSystemOsUpgrade) return kEInvalidArg;
  UniqueFd fd(open(posix_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));  // never wait on a pipe
  if (!fd.valid()) return HResultFromWin32(PathError(posix_path, errno));
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return HResultFromWin32(Win32ErrorFromErrno(errno));
  if (!S_ISREG(st.st_mode)) return kEInvalidArg;  // only files have data to lose
  SyncRootLocation root;
  if (!FindSyncRoot(posix_path, &root)) return HResultFromWin32(win32::kCloudFileNotUnderSyncRoot);
  const bool background = reason != kDehydrationUserManual;
  if (background && !(root.record.policies.hydration_modifier & kAutoDehydrationAllowed)) {
    return kDehydrationDisallowed;
  }
  xattrs::PlaceholderRecord record;
  bool has_data = false;
  {
    FileStateGuard file_lock(st.st_dev, st.st_ino);
    if (HResult hr = CheckLocked(fd.get(), root, &record, &has_data); hr != kSOk) return hr;
  }
  if (!has_data) return kSOk;

  CallbackArgs args;
  args.flags = background ? kBackground : 0;
  args.reason = reason;
  HResult hr = AskProvider(cf::kNotifyDehydrate, posix_path, args);
  if (hr == kSOk) {
    // The file may have changed while the provider was asked: its state now decides.
    FileStateGuard file_lock(st.st_dev, st.st_ino);
    hr = CheckLocked(fd.get(), root, &record, &has_data);
    if (hr == kSOk && has_data) hr = DehydrateRange(fd.get(), record.logical_size, 0, record.logical_size);
  }
  CallbackArgs done = args;
  if (hr == kSOk) done.flags |= kDehydrated;
  Tell(cf::kNotifyDehydrateCompletion, posix_path, done);
  return hr;
}

}  // namespace ostrasync::platform::emulation
