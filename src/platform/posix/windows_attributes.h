// The Windows attributes and FileId of a file on Linux: the directory and read-only bits from the
// inode, and the bits Windows keeps itself (hidden, system, pinned, unpinned, the placeholder's
// reparse point and offline bits) from the extended attributes the emulation stores.
#ifndef OSTRASYNC_PLATFORM_POSIX_WINDOWS_ATTRIBUTES_H_
#define OSTRASYNC_PLATFORM_POSIX_WINDOWS_ATTRIBUTES_H_

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace ostrasync::platform {

// Attributes of the file at `posix_path` whose lstat() result is `st`. Never 0: a file with no
// other bit reports FILE_ATTRIBUTE_NORMAL (0x80), as Windows does. *reparse_tag (optional)
// receives the cloud reparse tag of a placeholder, else 0; *recorded_creation_time (optional) the
// creation time the item's records hold, read on the way, else 0.
uint32_t WindowsAttributesOf(const std::string& posix_path, const struct stat& st,
                             uint32_t* reparse_tag = nullptr, uint64_t* recorded_creation_time = nullptr);

// A timespec as a FILETIME (100 ns units since 1601-01-01 UTC), and back.
uint64_t FileTimeFromTimespec(const struct timespec& ts);
struct timespec TimespecFromFileTime(uint64_t file_time);

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_POSIX_WINDOWS_ATTRIBUTES_H_
