// The engine's in-memory record of every sync-root item known both locally and at the host,
// keyed by relative path, which local change processing compares the file system against.
#ifndef OSTRASYNC_TRACKING_METADATA_CACHE_H_
#define OSTRASYNC_TRACKING_METADATA_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/log_format.h"

namespace ostrasync::tracking {

// The component attribute flag that marks a folder.
inline constexpr uint32_t kFolderAttribute = 0x40000000;

// Writes one log line. The engine passes its own Log, which checks the level before it formats,
// so callers may log detail lines freely. An empty function logs nothing.
using LogFunction = std::function<void(int level, std::u16string_view format,
                                       std::initializer_list<engine::LogArg> args)>;

// The order of relative-path keys as the rest of the engine sees them: the shorter key first,
// then code unit by code unit, ordinally and case-sensitively, so `\a` and `\A` are two keys.
struct KeyLess {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const {
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
  }
};

// What the engine knows about one cached item. Copies carry every field.
struct MetadataCacheItem {
  std::u16string item_name;  // the last component of the item's path
  uint64_t size = 0;         // bytes; 0 for folders
  uint64_t creation_time = 0;     // FILETIME
  uint64_t last_access_time = 0;  // FILETIME
  uint64_t last_write_time = 0;   // FILETIME
  uint32_t attributes = 0;        // component attribute flags
  // Set while local changes of the item are to be ignored: while the placeholder manager updates
  // it, or while an Office lock file of the document exists.
  bool locked = false;
  // Set when reporting this local item to the host as new failed, so it is reported again.
  bool create_failed = false;

  bool IsFolder() const { return (attributes & kFolderAttribute) != 0; }
  friend bool operator==(const MetadataCacheItem&, const MetadataCacheItem&) = default;
};

// Every path argument is a relative path (`\Docs\a.txt`, no trailing backslash). Absent paths are
// ordinary outcomes, reported by the return value only.
//
// Safe for concurrent use: each operation holds the cache's one re-entrant lock for its whole
// duration, and records leave the cache only as copies. Log lines are written outside the lock,
// so a host handler reached through the log can call back into the cache from any thread.
class MetadataCache {
 public:
  explicit MetadataCache(LogFunction log = {});
  MetadataCache(const MetadataCache&) = delete;
  MetadataCache& operator=(const MetadataCache&) = delete;

  // Logs the item's values at level 4 and stores a new record for it (lock flags clear),
  // replacing any record under the path.
  void AddNewItemToCache(std::u16string_view local_path, std::u16string_view item_name,
                         uint32_t attributes, uint64_t size, uint64_t creation_time,
                         uint64_t last_access_time, uint64_t last_write_time);

  // Stores `item` under `path`, replacing any record already there.
  void PutItem(std::u16string_view path, MetadataCacheItem item);

  // True when nothing is cached under `path`. Logs the check and its result at level 4.
  [[nodiscard]] bool NoItemInCache(std::u16string_view path);

  [[nodiscard]] std::optional<MetadataCacheItem> GetItemCopy(std::u16string_view path) const;
  [[nodiscard]] std::optional<uint32_t> GetItemAttributes(std::u16string_view path) const;

  // Overwrites the size always, the attributes only when `attributes` is not negative, and each
  // time only when it is above 0. False when the path is absent. The lock is always taken (it is
  // re-entrant), so a caller inside HoldLock() and one outside are both served correctly.
  [[nodiscard]] bool UpdateCacheItem(std::u16string_view path, int32_t attributes, uint64_t size,
                                     uint64_t creation_time, uint64_t last_access_time,
                                     uint64_t last_write_time);

  // Removes the record under `path`, and first every record below it when `recursive` is set and
  // the record is a folder. Costs in proportion to the removed subtree. False when absent.
  bool RemoveCacheItem(std::u16string_view path, bool recursive);

  // Moves the record under `old_path`, and when it is a folder every record below it, to
  // `new_path`, sets its name to the last component of `new_path` and returns the moved record.
  // Whatever was cached under `new_path` or below it is dropped first: a rename overwrites, and
  // stale records below a replaced folder would describe items that no longer exist.
  // Returns nothing, changing nothing, when `old_path` is absent or when one path lies below the
  // other (a folder cannot move into itself or replace its own ancestor). Renaming a path onto
  // itself keeps the record. Costs in proportion to the two subtrees, not to the cache size.
  [[nodiscard]] std::optional<MetadataCacheItem> RenameCacheItem(std::u16string_view old_path,
                                                                 std::u16string_view new_path);

  [[nodiscard]] std::optional<bool> GetLocked(std::u16string_view path) const;
  // False when the path is absent.
  bool SetLocked(std::u16string_view path, bool locked);
  // Sets `create_failed`. False when the path is absent.
  bool MarkCreateFailed(std::u16string_view path);

  // Removes every record; the engine calls it when it uninitializes.
  void ClearCache();

  [[nodiscard]] std::size_t Count() const;
  // Every cached path in KeyLess order. Sorts a copy, so it costs O(n log n); for diagnostics.
  [[nodiscard]] std::vector<std::u16string> Keys() const;

  // Holds the cache lock until the returned lock is released, so that a caller can make several
  // operations one step. Every operation may still be called while it is held, on this thread.
  [[nodiscard]] std::unique_lock<std::recursive_mutex> HoldLock() const;

 private:
  // Orders keys so that every folder is followed directly by all the paths below it: units
  // compare ordinally, except that the separator ranks below every other unit. The subtree of
  // `\D` is then `\D` and the run of keys after it that begin with `\D\`, ahead of siblings such
  // as `\D!` or `\D.txt`, so subtree operations find it with one search. Nothing outside the
  // class observes this order; Keys() reports KeyLess order.
  struct SubtreeLess {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const;
  };
  using Map = std::map<std::u16string, MetadataCacheItem, SubtreeLess>;

  // Erases the records strictly below `path`, starting at `first` (the first key after `path`'s
  // own position), and returns the position after them. REQUIRES: mutex_ held.
  Map::iterator EraseBelow(Map::iterator first, std::u16string_view path);

  LogFunction log_;
  mutable std::recursive_mutex mutex_;
  Map items_;  // guarded by mutex_
};

}  // namespace ostrasync::tracking

#endif  // OSTRASYNC_TRACKING_METADATA_CACHE_H_
