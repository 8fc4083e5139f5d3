// Directory change notifications: one recursive watch of a folder tree delivering extended change
// records (ReadDirectoryChangesExW with FILE_NOTIFY_EXTENDED_INFORMATION on Windows).
#ifndef OSTRASYNC_PLATFORM_CHANGE_NOTIFIER_H_
#define OSTRASYNC_PLATFORM_CHANGE_NOTIFIER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32_terms.h"

namespace ostrasync::platform {

// One watch. REQUIRES: one caller at a time (the watcher thread).
class ChangeStream {
 public:
  virtual ~ChangeStream() = default;
  // Issues the request for the next batch. 0 when it is pending; any other code means no batch
  // will come until a later Issue succeeds.
  [[nodiscard]] virtual Win32Error Issue() = 0;
  // Waits up to `timeout_ms` for the pending batch. Returns win32::kWaitTimeout when none came;
  // 0 with the batch's records (possibly none: an empty completion); win32::kNotifyEnumDir when
  // changes were lost (overflow: the caller must rescan); any other code for a failed request.
  // After anything but kWaitTimeout the request must be issued again.
  [[nodiscard]] virtual Win32Error Wait(uint32_t timeout_ms, std::vector<ChangeRecord>* records) = 0;
};

// Safe for concurrent use.
class ChangeNotifier {
 public:
  virtual ~ChangeNotifier() = default;
  // Opens `root` for watching its whole tree (files, folders, attributes, size, times). The
  // stream reports names relative to `root`. On failure *stream is null.
  [[nodiscard]] virtual Win32Error Watch(const std::u16string& root, std::unique_ptr<ChangeStream>* stream) = 0;
};

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_CHANGE_NOTIFIER_H_
