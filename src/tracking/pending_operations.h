// The paths on which the host itself has just asked the engine to act, so that the local change
// this causes is not reported back to the host as an event.
#ifndef OSTRASYNC_TRACKING_PENDING_OPERATIONS_H_
#define OSTRASYNC_TRACKING_PENDING_OPERATIONS_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "tracking/metadata_cache.h"

namespace ostrasync::tracking {

// The kinds of host operation, each with its own table; the values are those the log shows.
enum class PendingOpType : int32_t {
  kDelete = 0,  // DeleteFile, DeleteFolder; checked by the delete event
  kCreate = 1,  // recorded by no method; checked by the create event
  kReset = 2,   // ResetFile, ResetFolder
  kUpdate = 3,  // create, update, pin, unpin and attribute methods; counts outstanding updates
  kRename = 4,  // RenameFile, RenameFolder
};

// Paths are relative paths in the spelling the file system reports, because the watcher's echo
// carries that spelling and keys compare case-sensitively; the item operations resolve the
// on-disk spelling of the host's path before recording it. A folder's key gets a trailing
// backslash. An entry stands for a change the host caused; an entry covering a folder also
// covers every item below it, so no entry may outlive the echo it waits for: each is dropped
// when consumed, when the method that recorded it fails (CancelPending), when it is older than
// the table's maximum age, and when the engine uninitializes (Clear).
//
// Safe for concurrent use. Each operation type has its own lock, and an operation takes only the
// lock of the type it addresses (Clear and RemoveExpired take them one after another).
class PendingOperations {
 public:
  // How long an entry waits for its echo. The watcher reports a change within moments of it,
  // so a minute covers a busy machine while bounding how long a leftover entry could mask a
  // change the user makes meanwhile.
  static constexpr uint64_t kDefaultMaxAgeMs = 60 * 1000;

  // `enabled` is the engine's AvoidFiringEventsForMethods setting: while it is off nothing is
  // recorded or matched, so every event is fired. `now_ms` is the engine clock (milliseconds
  // since 1601). Both must outlive the table.
  PendingOperations(const std::atomic<bool>& enabled, std::function<uint64_t()> now_ms,
                    uint64_t max_age_ms = kDefaultMaxAgeMs, LogFunction log = {});
  PendingOperations(const PendingOperations&) = delete;
  PendingOperations& operator=(const PendingOperations&) = delete;

  // Records that the host is about to change `path`; an Update adds one to the path's count of
  // outstanding updates. Logs the call at level 4 in every case. Returns true when recorded:
  // false while the table is off or for an unknown type.
  bool AddPending(std::u16string_view path, PendingOpType type, bool is_dir);

  // Answers whether a change about to be reported counts as caused by the host (then no event is
  // fired). An entry under the path itself matches once: an Update entry loses one from its
  // count, any other entry is removed. Failing that, the nearest ancestor folder entry (never
  // the root) matches and stays. Expired entries never match and are dropped when met. Logs the
  // call at level 4. False while the table is off or for an unknown type.
  [[nodiscard]] bool CheckPendingOrRemove(std::u16string_view path, PendingOpType type,
                                          bool is_dir);

  // Removes the entry under `path` as a file or, failing that, as a folder; true if one went.
  // Removing is always safe, so it acts even while the table is off: an entry recorded before
  // the setting was switched off must not survive to hide a change after it is switched back on.
  bool RemoveAll(std::u16string_view path, PendingOpType type);

  // Takes back one AddPending of a method whose operation failed, so that no echo is awaited for
  // a change that never happened: an entry recorded by several methods keeps the others' share.
  // Acts even while the table is off. True if an entry was found.
  bool CancelPending(std::u16string_view path, PendingOpType type, bool is_dir);

  // Drops every entry older than the maximum age. The engine's periodic monitor calls it, so
  // that entries whose echo never comes do not accumulate.
  void RemoveExpired();

  // Drops every entry; the engine calls it when it uninitializes.
  void Clear();

 private:
  static constexpr int kTypeCount = 5;

  struct Entry {
    uint32_t count = 0;         // methods awaiting the echo; for Update, the echoes awaited
    uint64_t recorded_ms = 0;   // when the latest of them was recorded
  };
  struct Table {
    std::mutex mutex;
    std::map<std::u16string, Entry, KeyLess> entries;  // guarded by mutex
  };

  static bool ValidType(PendingOpType type);
  bool Expired(const Entry& entry, uint64_t now) const;
  Table& TableOf(PendingOpType type) { return tables_[static_cast<int32_t>(type)]; }

  const std::atomic<bool>& enabled_;
  const std::function<uint64_t()> now_ms_;
  const uint64_t max_age_ms_;
  const LogFunction log_;
  std::array<Table, kTypeCount> tables_;  // each guarded by its own mutex
};

}  // namespace ostrasync::tracking

#endif  // OSTRASYNC_TRACKING_PENDING_OPERATIONS_H_
