// The activation-time object that carries out placeholder operations on the sync root: creating,
// converting and updating placeholders, and reading and setting their states. It knows where the
// root lies and reaches the OS only through the engine's cloud-files binding and platform.
#ifndef OSTRASYNC_ITEMS_PLACEHOLDER_MANAGER_H_
#define OSTRASYNC_ITEMS_PLACEHOLDER_MANAGER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32_terms.h"

namespace ostrasync::engine {
class SyncEngine;
}

namespace ostrasync::items {

// One item of a folder listing, as the host described it.
struct ListedItem {
  std::u16string name;
  int64_t size = 0;
  uint64_t creation_time = 0;
  uint64_t last_access_time = 0;
  uint64_t last_write_time = 0;
  uint32_t attributes = 0;  // component attribute flags
};

// ListItem's answer for a new file that joined a ListedFiles batch: its own result comes from
// CreateListedFiles. Never a result a caller outside the listing sees.
inline constexpr int kListedItemPending = 1;

// New files of one listing waiting to be made together, in one call of the OS per folder, which
// is far cheaper than one call per file. Owned by one listing at a time (not for concurrent use).
class ListedFiles {
 public:
  ListedFiles();
  ~ListedFiles();
  ListedFiles(const ListedFiles&) = delete;
  ListedFiles& operator=(const ListedFiles&) = delete;
  bool empty() const { return pending_.empty(); }

 private:
  friend class PlaceholderManager;
  struct Pending;  // a file's creation run, stopped just before the OS call
  std::vector<std::unique_ptr<Pending>> pending_;
};

// What CheckIfLocalFileIsNewer found.
struct NewerCheck {
  int result = 0;
  bool newer = false;
  bool locked = false;  // another process holds the file open
};

// Paths named `relative` are relative to the sync root ("\dir\file"); `full` ones are absolute.
// Immutable after construction apart from what it reaches through the engine: safe to call from
// method, callback and watcher threads at once. The engine keeps it alive (shared ownership)
// while any call is inside it.
class PlaceholderManager {
 public:
  // `long_root` is the effective root in its long form; `volume_relative_root` its part from the
  // volume's root on, ending in "\" (the form callbacks report paths in).
  PlaceholderManager(engine::SyncEngine& engine, std::u16string long_root, std::u16string volume_relative_root);
  virtual ~PlaceholderManager();
  PlaceholderManager(const PlaceholderManager&) = delete;
  PlaceholderManager& operator=(const PlaceholderManager&) = delete;

  const std::u16string& long_root() const { return long_root_; }
  const std::u16string& volume_relative_root() const { return volume_relative_root_; }
  // The root joined with a relative path ("\" gives the root itself).
  std::u16string FullPath(std::u16string_view relative) const;

  // ---- The operations, in the order the engine's other parts expect them ----
  // Puts one listed item of the folder `folder` (relative) on disk; its identity is the joined
  // relative path. A name that is not a plain item name gives 0x21000014, an unsafe folder
  // 0x21000004.
  virtual int ListItem(std::u16string_view folder, const ListedItem& item, uint32_t flags);
  // The same, except that a new file needing nothing after its creation (no data to fetch, no pin
  // to apply) joins `batch` instead of being made at once: the result is then kListedItemPending.
  // `known_absent` says the caller knows there is nothing of that name on disk, so that nothing
  // is looked for; should something have come meanwhile, its creation fails and it stays as it is.
  int ListItem(std::u16string_view folder, const ListedItem& item, uint32_t flags, ListedFiles* batch,
               bool known_absent = false);
  // Makes the files waiting in `batch` and finishes their runs: their results, in the order the
  // files joined. The batch is empty afterwards.
  std::vector<int> CreateListedFiles(ListedFiles* batch);
  // Creates, converts or updates the placeholder of `parent_path` + `item_name` (see
  // create_or_update.cc). `flags` are placeholder_flag values.
  virtual int DoCreateOrUpdatePlaceholder(std::u16string_view parent_path, std::u16string_view item_name,
                                          std::u16string_view item_id, int64_t size, uint64_t creation_time,
                                          uint64_t last_access_time, uint64_t last_write_time,
                                          uint32_t attributes, uint32_t flags);
  virtual int DoRenamePlaceholder(std::u16string_view relative, std::u16string_view new_relative, bool overwrite);
  virtual int DoDeletePlaceholder(std::u16string_view relative, bool is_folder, bool delete_children);
  virtual int GetItemIdByPath(std::u16string_view relative, std::u16string* id);
  // Marks a placeholder in sync or not; an item that is not a placeholder is skipped with 0.
  virtual int DoSetPlaceholderSyncState(std::u16string_view relative, bool synced);
  virtual int DoSetPlaceholderPinnedState(std::u16string_view relative, bool pinned);
  virtual int UnsupportedOperation();
  virtual int NoOperation();
  virtual int DoClearPlaceholder(std::u16string_view relative);
  virtual int UnsupportedOperation2();
  virtual int GetLocalAttributes(std::u16string_view relative, bool is_folder, uint32_t* attributes);
  virtual int SetLocalAttributes(std::u16string_view relative, bool is_folder, uint32_t attributes);
  virtual int GetItemStatus(std::u16string_view relative, uint32_t* status);
  virtual int SyncItem(std::u16string_view relative);
  virtual int DoSetPlaceholderExcludedState(std::u16string_view relative, bool excluded);
  // Whether the placeholder's pin state is "excluded"; false with 0 for an item that is not one.
  virtual int GetPlaceholderExcludedState(std::u16string_view relative, bool* excluded);
  // Logs "Item name validation failed for '%s'" when the name is refused.
  virtual bool ValidateItemName(std::u16string_view name);

  // The cf::kState* bits of the item at `full_path`; kStateNone for an item that is not there.
  // 0x21000041 (logged) when an item that is there could not be looked at.
  int ReadPlaceholderState(const std::u16string& full_path, uint32_t* state);
  // GetPlaceholderExcludedState for an item already known to be a placeholder.
  int ReadExcludedPin(const std::u16string& full_path, bool* excluded);
  // Hydrates the whole file; 0x21000041 with the OS error stored when that fails.
  int DoHydratePlaceholder(const std::u16string& full_path);
  // Compares a hydrated local file with the remote dates and, when the local one is newer, hands
  // it to the host as an update instead of letting the listing overwrite it.
  NewerCheck CheckIfLocalFileIsNewer(const std::u16string& full_path, std::u16string_view relative,
                                     std::u16string_view item_name, std::u16string_view item_id,
                                     uint64_t creation_time, uint64_t last_access_time, uint64_t last_write_time,
                                     uint32_t attributes);

 protected:
  // The newer local file goes to the host as an UpdateFile event of an OP_WRITE_DATA task; the
  // task is removed again unless the host took it over asynchronously.
  int SendLocalVersion(const std::u16string& full_path, std::u16string_view relative,
                       const platform::FileInformation& local, uint64_t creation_time, uint64_t last_access_time,
                       uint32_t attributes);
  // Logs that `operation` is not part of this version and fails with 0x21000006.
  int NotAvailableYet(const char16_t* operation, std::u16string_view path);

  engine::SyncEngine& engine_;

 private:
  const std::u16string long_root_;
  const std::u16string volume_relative_root_;
};

}  // namespace ostrasync::items

#endif  // OSTRASYNC_ITEMS_PLACEHOLDER_MANAGER_H_
