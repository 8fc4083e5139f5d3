// The seam's file system on Linux, and the few of its steps the emulated facility shares.
#ifndef OSTRASYNC_PLATFORM_POSIX_FILE_SYSTEM_POSIX_H_
#define OSTRASYNC_PLATFORM_POSIX_FILE_SYSTEM_POSIX_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace ostrasync::platform {

// Win32 file-system calls over POSIX. Safe for concurrent use.
std::unique_ptr<FileSystem> NewPosixFileSystem();

// True when `name` matches the Win32 wildcard `pattern` (* and ?), ignoring case as Windows does.
[[nodiscard]] bool MatchesWin32Pattern(const std::u16string& pattern, const std::u16string& name);

// The find record of `name` inside the folder open as `dir_fd` (whose path is `folder_posix`), or
// reached by its whole path when `dir_fd` is AT_FDCWD.
[[nodiscard]] Win32Error FindDataOf(int dir_fd, const std::string& folder_posix, const std::string& name,
                                    FindData* data);

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_POSIX_FILE_SYSTEM_POSIX_H_
