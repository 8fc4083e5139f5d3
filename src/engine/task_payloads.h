// The payloads a task owns for its type: the buffer of a data transfer and the buffer of a folder
// listing. Their subsystems give them their content.
#ifndef OSTRASYNC_ENGINE_TASK_PAYLOADS_H_
#define OSTRASYNC_ENGINE_TASK_PAYLOADS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/transfer_buffer.h"
#include "items/placeholder_manager.h"

namespace ostrasync::engine {

// Items the host listed for a folder and not yet put on disk, with what the listing was asked
// for. A host may report the items of one listing from any of its threads while a flush runs on
// another, so the items have a lock of their own; a flush takes them out under it and puts them
// on disk with no lock held.
struct EnumerationBuffer {
  // Unflushed items one listing may hold; a host that reports more is refused.
  static constexpr std::size_t kCapacity = 1000;

  std::mutex mutex;
  std::vector<items::ListedItem> items;  // guarded by mutex; in the order reported
  // What the folder held when the listing's first items went to disk, read once by that flush.
  // In a folder that was empty, an item the metadata cache did not know before this listing can
  // only be there if someone made it since, so it is not looked for one by one.
  enum class FolderAtStart { kUnread, kEmpty, kNotEmpty };
  FolderAtStart folder_at_start = FolderAtStart::kUnread;  // guarded by mutex

  // Set before the host learns the task's handle, read-only afterwards.
  int32_t batch_size = 1000;   // flush every this many items; below 1 never flushes
  bool recursive = false;      // list the folders found as well, depth first
  int64_t context = 0;         // the caller's value, shown in the log
  std::u16string mask;         // what the host was asked to list
  // The OS asked for this listing and was answered before it finished: the folder is marked
  // populated once the host finishes it without error.
  bool mark_populated_when_finished = false;
  // An item the host reported could not be put on disk: the folder is not complete, and the OS
  // is not told that it is, so that it asks again. Set by any flush, on any host thread.
  std::atomic<bool> incomplete{false};
};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_TASK_PAYLOADS_H_
