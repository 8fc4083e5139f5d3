// Creating one placeholder file or folder, shared by CfCreatePlaceholders and TRANSFER_PLACEHOLDERS.
#ifndef OSTRASYNC_PLATFORM_POSIX_PLACEHOLDER_CREATION_H_
#define OSTRASYNC_PLATFORM_POSIX_PLACEHOLDER_CREATION_H_

#include <string>

#include "platform/win32_terms.h"

namespace ostrasync::platform {

// Creates `entry` in the folder open as `dir_fd` and returns its result (also written to
// entry.result, with entry.create_usn). A file appears under its name only complete: it is built
// unnamed (O_TMPFILE), sparse at its logical size with every record in place, then linked in,
// so no crash and no reader ever sees a half-made placeholder. A folder gets its placeholder
// record last, so a crash leaves at worst a plain folder.
HResult CreatePlaceholderEntry(int dir_fd, PlaceholderCreateEntry& entry);

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_POSIX_PLACEHOLDER_CREATION_H_
