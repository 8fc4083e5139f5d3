// The seam's clock, thread ids and message texts on Linux.
#ifndef OSTRASYNC_PLATFORM_POSIX_SYSTEM_SERVICES_POSIX_H_
#define OSTRASYNC_PLATFORM_POSIX_SYSTEM_SERVICES_POSIX_H_

#include <memory>

#include "platform/system_services.h"

namespace ostrasync::platform {

std::unique_ptr<SystemServices> NewPosixSystemServices();

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_POSIX_SYSTEM_SERVICES_POSIX_H_
