// Case-insensitive name lookups in large folders without reading the folder each time.
//
// Windows finds one name in a folder through the file system's own index; Linux can only look a
// name up in its exact spelling. A name that is not there in that spelling may still be there in
// another case, which only a read of the whole folder can tell. This index keeps, for the folders
// recently asked about, their names by case-folded spelling, and keeps them current from inotify
// events read before each answer: the kernel queues a folder's event before the call that changed
// it returns, so every change that finished before a lookup is in the answer.
#ifndef OSTRASYNC_PLATFORM_POSIX_FOLDER_NAME_INDEX_H_
#define OSTRASYNC_PLATFORM_POSIX_FOLDER_NAME_INDEX_H_

#include <sys/types.h>

#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/posix_file_handle.h"

namespace ostrasync::platform {

// Windows' comparison of names: both sides through an upper-case table. This folds the scripts it
// covers that have one-to-one cases in the Basic Multilingual Plane's first blocks (Latin-1,
// Latin Extended-A, Greek, Cyrillic).
[[nodiscard]] char16_t FoldCase(char16_t c);
[[nodiscard]] std::u16string FoldedName(std::u16string_view name);

class FolderNameIndex {
 public:
  // At most this many folders are indexed at once; the least recently asked about goes first.
  static constexpr size_t kMaxFolders = 16;

  FolderNameIndex() = default;
  FolderNameIndex(const FolderNameIndex&) = delete;
  FolderNameIndex& operator=(const FolderNameIndex&) = delete;

  // The names in the folder open as `dir_fd` whose case-folded form is `folded`, as they are
  // spelled on disk; a name may have gone since, so the caller looks at each. False when no index
  // can be kept (inotify refused, its limits reached), and the caller reads the folder instead.
  [[nodiscard]] bool NamesFoldingTo(int dir_fd, const std::u16string& folded, std::vector<std::string>* names);

  // For tests: the folders indexed now, and how many times a folder was read to index it.
  [[nodiscard]] size_t FolderCount();
  [[nodiscard]] uint64_t FolderReads();

 private:
  struct Folder {
    dev_t device = 0;
    ino_t inode = 0;
    std::unordered_multimap<std::u16string, std::string> names;  // folded spelling -> on disk
    std::list<int>::iterator recency;
  };

  bool Start();
  void ApplyPendingEvents();
  void DropAll();
  void Drop(int watch);    // ends the watch too
  void Forget(int watch);  // only what this index held
  Folder* Build(int dir_fd, dev_t device, ino_t inode);
  static void Add(Folder& folder, const std::string& name);
  static void Remove(Folder& folder, const std::string& name);

  std::mutex mutex_;
  UniqueFd inotify_;                                     // guarded by mutex_; opened at first use
  bool unavailable_ = false;                             // guarded by mutex_; inotify was refused
  std::unordered_map<int, Folder> folders_;              // guarded by mutex_; by watch descriptor
  std::map<std::pair<dev_t, ino_t>, int> watch_of_;      // guarded by mutex_; folder -> its watch
  std::list<int> recency_;                               // guarded by mutex_; most recent first
  uint64_t folder_reads_ = 0;                            // guarded by mutex_
};

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_POSIX_FOLDER_NAME_INDEX_H_
