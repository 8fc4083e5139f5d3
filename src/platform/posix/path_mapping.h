// Where the Win32 paths of the seam meet POSIX paths. A full path on Linux is the absolute POSIX
// path written with backslashes ("\home\me\Cloud\a.txt"); it is also the volume-relative
// normalized path callbacks report.
#ifndef OSTRASYNC_PLATFORM_POSIX_PATH_MAPPING_H_
#define OSTRASYNC_PLATFORM_POSIX_PATH_MAPPING_H_

#include <string>

#include "platform/win32_terms.h"

namespace ostrasync::platform {

// Maps a full Win32 path to its POSIX path. Fails with win32::kInvalidName for a component
// Windows refuses (\ / : * ? " < > | or a control character, a trailing dot or space, a reserved
// device name such as CON or LPT1) and win32::kPathNotFound for a path that is not absolute.
// A trailing "\*" or "\pattern" is left to the caller (see Find).
[[nodiscard]] Win32Error ToPosixPath(const std::u16string& win32_path, std::string* posix_path);

// The Win32 path of an absolute POSIX path.
std::u16string ToWin32Path(const std::string& posix_path);

// True when Windows would refuse `name` as one path component.
bool IsInvalidWin32Name(const std::u16string& name);

// The Win32 error that stands for an errno value (ENOENT -> 2, EACCES -> 5, EEXIST -> 183 ...).
Win32Error Win32ErrorFromErrno(int error);

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_POSIX_PATH_MAPPING_H_
