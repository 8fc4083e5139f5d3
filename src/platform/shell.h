// What the engine asks of the shell: the sync-error mark Explorer shows on an item.
#ifndef OSTRASYNC_PLATFORM_SHELL_H_
#define OSTRASYNC_PLATFORM_SHELL_H_

#include <string>

#include "platform/win32_terms.h"

namespace ostrasync::platform {

// Safe for concurrent use, from any thread (COM is initialised by the implementation as needed).
class Shell {
 public:
  virtual ~Shell() = default;
  // Sets the item's System.LastSyncError to E_FAIL when `error`, else clears it.
  [[nodiscard]] virtual HResult SetLastSyncError(const std::u16string& path, bool error) = 0;
};

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_SHELL_H_
