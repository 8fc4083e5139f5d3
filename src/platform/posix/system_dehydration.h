// Dehydration that a user or the system asks for, rather than the provider: an application or
// Explorer dehydrating a file on a user's behalf, and the system's own dehydration of files when
// space runs low or they go unused (storage sense). The provider hears of each beforehand
// (NOTIFY_DEHYDRATE, which it may refuse) and afterwards (NOTIFY_DEHYDRATE_COMPLETION).
#ifndef OSTRASYNC_PLATFORM_POSIX_SYSTEM_DEHYDRATION_H_
#define OSTRASYNC_PLATFORM_POSIX_SYSTEM_DEHYDRATION_H_

#include <cstdint>
#include <string>

#include "platform/win32_terms.h"

namespace ostrasync::platform::emulation {

// CF_CALLBACK_DEHYDRATION_REASON.
inline constexpr uint32_t kDehydrationUserManual = 1, kDehydrationSystemLowSpace = 2,
                          kDehydrationSystemInactivity = 3, kDehydrationSystemOsUpgrade = 4;

// Dehydrates the placeholder file at `posix_path` for `reason`. USER_MANUAL acts for a user; the
// system's reasons act in the background and only where the root allows automatic dehydration
// (else ERROR_CLOUD_FILE_DEHYDRATION_DISALLOWED). Refused, before the provider hears of it, for a
// pinned file (ERROR_CLOUD_FILE_PINNED), a file not in sync (ERROR_CLOUD_FILE_NOT_IN_SYNC) and
// whatever else may not lose its data; the provider's refusal comes back as the code of its
// status, its silence as ERROR_CLOUD_FILE_REQUEST_TIMEOUT, and the file keeps its data in every
// such case. Without a connected provider nobody is asked: the file is in sync, so its data can
// be fetched again. A file with nothing on disk is left alone.
[[nodiscard]] HResult DehydrateOnRequest(const std::string& posix_path, uint32_t reason);

}  // namespace ostrasync::platform::emulation

#endif  // OSTRASYNC_PLATFORM_POSIX_SYSTEM_DEHYDRATION_H_
