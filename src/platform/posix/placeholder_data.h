// The bytes of a placeholder file as the facility handles them: descriptors through which it may
// change them, taking ranges off the disk, and bringing missing ranges on disk before a read.
#ifndef OSTRASYNC_PLATFORM_POSIX_PLACEHOLDER_DATA_H_
#define OSTRASYNC_PLATFORM_POSIX_PLACEHOLDER_DATA_H_

#include <time.h>

#include <cstdint>
#include <string>

#include "platform/posix/emulation_hub.h"
#include "platform/posix/placeholder_xattrs.h"
#include "platform/posix/posix_file_handle.h"
#include "platform/win32_terms.h"

namespace ostrasync::platform::emulation {

// A descriptor that may write the data of the file at `posix_path` (or open as `fd`). The
// facility's own writes into a placeholder (hydration, dehydration, a size change) do not depend
// on the caller's handle or on the file being read-only, as Windows' do not: the owner's write
// permission is lent for the moment of the open when the file lacks it. 0 or an errno.
[[nodiscard]] int OpenForWriting(const std::string& posix_path, UniqueFd* out);
[[nodiscard]] int ReopenForWriting(int fd, UniqueFd* out);

// The access and modification times of a placeholder file, held while the facility changes its
// data and put back afterwards. Bytes coming from the provider bring the file's own content back
// and a hole punched for a dehydration takes it away; neither is a change to the file, and a
// placeholder's times stay as they are through both, as on Windows, where Linux would move the
// modification time. Take reads them; Restore puts them back, and so does the destructor when
// Restore was not reached (a failed write), with nobody to hear of a failure then. The descriptor
// must outlive the object. REQUIRES: the file's state lock is held for the object's life.
class KeptTimes {
 public:
  KeptTimes() = default;
  KeptTimes(const KeptTimes&) = delete;
  KeptTimes& operator=(const KeptTimes&) = delete;
  ~KeptTimes();
  // 0 or the errno of the failed fstat (then nothing is held).
  [[nodiscard]] int Take(int fd);
  // 0 or the errno of the failed futimens; 0 when nothing is held.
  [[nodiscard]] int Restore();

 private:
  int fd_ = -1;  // -1 when nothing is held
  struct timespec times_[2] = {};
};

// Why the placeholder file open as `fd`, whose record is `record`, under `root`, may not lose
// its data now, as the HRESULT Windows gives; S_OK when it may. `in_sync` is the in-sync state the
// file will have (a caller may be marking it in sync in the same step).
[[nodiscard]] HResult DehydrationRefusal(int fd, const xattrs::PlaceholderRecord& record, bool in_sync,
                                         const SyncRootLocation& root);

// Takes [offset, offset + length) of the placeholder file open as `fd` (any access) off the disk:
// whole pages only, except the file's last. The file's access and modification times stay as they
// were. REQUIRES: the file's state lock is held.
[[nodiscard]] HResult DehydrateRange(int fd, int64_t logical_size, int64_t offset, int64_t length);

// Before a read or write of [offset, offset + length) (length -1: to the end) of the file at
// `posix_path` (open as `fd`, or -1), as ReadFile does for any process: when it is a placeholder
// whose range is not on disk, the provider is asked for it (FETCH_DATA with `fetch_flags`) and the
// caller blocked until it is there, fails or times out. The request covers whole pages, and the
// whole file under the FULL and ALWAYS_FULL hydration policies. S_OK at once for a plain file, a
// folder or data already there.
[[nodiscard]] HResult EnsureOnDisk(const std::string& posix_path, int fd, int64_t offset, int64_t length,
                                   uint32_t fetch_flags);

}  // namespace ostrasync::platform::emulation

#endif  // OSTRASYNC_PLATFORM_POSIX_PLACEHOLDER_DATA_H_
