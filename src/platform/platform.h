// The platform seam: everything the engine asks of the operating system, reached through one
// object handed to the engine. Implementations: src/platform/windows (the real Windows calls),
// src/platform/posix (an emulation of the Windows rules), src/platform/testing (doubles).
#ifndef OSTRASYNC_PLATFORM_PLATFORM_H_
#define OSTRASYNC_PLATFORM_PLATFORM_H_

#include "platform/change_notifier.h"
#include "platform/cloud_files.h"
#include "platform/file_system.h"
#include "platform/shell.h"
#include "platform/shell_registration.h"
#include "platform/system_services.h"

namespace ostrasync::platform {

class Platform {
 public:
  virtual ~Platform() = default;
  virtual CloudFiles& cloud_files() = 0;
  virtual FileSystem& file_system() = 0;
  virtual ChangeNotifier& change_notifier() = 0;
  virtual Shell& shell() = 0;
  virtual SystemServices& system() = 0;
  virtual ShellRegistration& shell_registration() = 0;
  virtual SearchIndexer& search_indexer() = 0;
  virtual Registry& registry() = 0;
  virtual UserIdentity& user_identity() = 0;
};

// The process's own platform: the operating system this library was built for. Lives until
// the process ends.
Platform& DefaultPlatform();

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_PLATFORM_H_
