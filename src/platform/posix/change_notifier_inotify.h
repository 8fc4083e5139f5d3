// The Linux directory watcher: one inotify instance watching every folder of a tree, whose events
// become the extended change records a recursive Windows watch delivers.
#ifndef OSTRASYNC_PLATFORM_POSIX_CHANGE_NOTIFIER_INOTIFY_H_
#define OSTRASYNC_PLATFORM_POSIX_CHANGE_NOTIFIER_INOTIFY_H_

#include <cstddef>
#include <memory>

#include "platform/change_notifier.h"

namespace ostrasync::platform {

// The most one batch may hold, counted in the bytes its records take in Windows' layout (88 bytes
// plus the name's UTF-16 units, 8-byte aligned): the 64 MiB buffer the Windows watcher hands to
// the system. A batch that would need more is reported as lost changes (win32::kNotifyEnumDir),
// as Windows does when its buffer overflows.
inline constexpr size_t kDefaultChangeBatchBytes = size_t{64} << 20;

// The inotify watcher. Safe for concurrent use; each stream it opens REQUIRES one caller at a time
// and may be destroyed on another thread once its Wait has returned.
//
// What the records carry, beyond Windows' own rules:
//  - FileId is the inode and ParentFileId the inode of the folder holding the item.
//  - A REMOVED record (deleted or moved out of the tree) holds its name, ParentFileId, the
//    directory bit and the FileId the watcher last saw for that name; times, size and the other
//    attributes are 0. FileId is 0 only for an item that came and went before the watcher could
//    look at it.
//  - Creation time is the inode's birth time where the file system keeps one, else the last
//    write time.
//  - Reading a file reports nothing (Windows updates last-access times lazily, so a read does
//    not show up there either), and a file opened for writing and closed unwritten reports
//    nothing.
//  - Several MODIFIED records for one name in a row within a batch are reported once, with the
//    item's state at the end of the batch.
std::unique_ptr<ChangeNotifier> NewInotifyChangeNotifier();

// The same with another bound per batch, so that tests can overflow a batch with a few files.
std::unique_ptr<ChangeNotifier> NewInotifyChangeNotifierForTest(size_t max_batch_bytes);

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_POSIX_CHANGE_NOTIFIER_INOTIFY_H_
