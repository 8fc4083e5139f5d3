// The Linux stand-in for the Windows cloud-files facility: sync roots, connections, placeholders
// and their states, kept in extended attributes so that they outlive the process, with the
// refusals, time-outs and callbacks Windows has.
#ifndef OSTRASYNC_PLATFORM_POSIX_EMULATED_CLOUD_FILES_H_
#define OSTRASYNC_PLATFORM_POSIX_EMULATED_CLOUD_FILES_H_

#include <cstdint>
#include <memory>

#include "platform/cloud_files.h"

namespace ostrasync::platform {

struct EmulationSettings {
  // How long a callback request may wait for the provider without progress before the requester
  // gets ERROR_CLOUD_FILE_REQUEST_TIMEOUT. Windows: 60 s; tests shorten it.
  uint32_t request_timeout_ms = 60000;
};

// The emulated facility of this process. Safe for concurrent use.
std::unique_ptr<CloudFiles> NewEmulatedCloudFiles(const EmulationSettings& settings);

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_POSIX_EMULATED_CLOUD_FILES_H_
