// The sharing rules of Windows opens: an open that reads, writes or deletes a file states which of
// these it lets others do at the same time, and an open or a delete that conflicts with the opens
// already there fails with ERROR_SHARING_VIOLATION. Linux has no such rule, so the emulation
// keeps the opens of this process itself, per file (device and inode, so that renames and links
// do not matter). Opens that touch neither data nor deletion (attributes only, or no access) are
// never checked and never counted, as on Windows.
#ifndef OSTRASYNC_PLATFORM_POSIX_SHARE_ACCESS_H_
#define OSTRASYNC_PLATFORM_POSIX_SHARE_ACCESS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>

#include "platform/win32_terms.h"

namespace ostrasync::platform::emulation {

// One open's place among the opens of its file, given back when the object goes.
class ShareClaim {
 public:
  ShareClaim() = default;
  ShareClaim(ShareClaim&& other) noexcept;
  ShareClaim& operator=(ShareClaim&& other) noexcept;
  ShareClaim(const ShareClaim&) = delete;
  ShareClaim& operator=(const ShareClaim&) = delete;
  ~ShareClaim();

 private:
  friend Win32Error ClaimShareAccess(dev_t, ino_t, uint32_t, uint32_t, ShareClaim*);
  void Release();
  bool held_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  uint8_t access_ = 0;  // kRead | kWrite | kDelete bits of the open
  uint8_t share_ = 0;   // share::kRead | kWrite | kDelete of the open
};

// The access bits of a CreateFileW desired access that take part in sharing: reading or
// executing the data, writing or appending it, deleting the file. Generic rights count as what
// they stand for.
inline constexpr uint8_t kShareRead = 0x1, kShareWrite = 0x2, kShareDelete = 0x4;
[[nodiscard]] uint8_t SharingAccessOf(uint32_t desired_access);

// Claims an open of the file (`device`, `inode`) with `desired_access` and `share_mode`
// (FILE_SHARE_*): ERROR_SHARING_VIOLATION when it conflicts with an open already there, either
// way round. *claim holds the open until it goes; an open that takes no part in sharing leaves
// it empty.
[[nodiscard]] Win32Error ClaimShareAccess(dev_t device, ino_t inode, uint32_t desired_access, uint32_t share_mode,
                                          ShareClaim* claim);

// Runs `remove` (a delete or a rename of the file) only when every open of the file lets others
// delete it, else answers ERROR_SHARING_VIOLATION; no open can come in between. With `replaced`
// (the lstat of the file a rename replaces), that file must not be open at all: Windows refuses
// to replace a file in use with ERROR_ACCESS_DENIED.
[[nodiscard]] Win32Error RemoveWhenShared(dev_t device, ino_t inode, const std::function<Win32Error()>& remove,
                                          const struct stat* replaced = nullptr);

}  // namespace ostrasync::platform::emulation

#endif  // OSTRASYNC_PLATFORM_POSIX_SHARE_ACCESS_H_
