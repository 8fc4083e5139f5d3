// The items a host reports for a listing (the ListFile and ListFolder methods) and their way to
// disk: each flush puts the buffered items in the metadata cache and on disk, in the order
// reported, and lists the folders among them in turn when the listing is recursive.
#include <optional>
#include <vector>

#include "engine/error_codes.h"
#include "engine/sync_engine.h"
#include "engine/sync_root_path.h"
#include "engine/task_payloads.h"
#include "items/item_paths.h"
#include "items/local_item.h"
#include "items/placeholder_flags.h"

namespace ostrasync::engine {
namespace {

// Office's lock files ("~$report.docx", "orders.laccdb"), which TrackOfficeLockFiles keeps out of
// listings.
bool IsOfficeLockFileName(std::u16string_view name) {
  constexpr std::u16string_view kAccessLockSuffix = u".laccdb";
  if (name.starts_with(u"~$")) return true;
  return name.size() >= kAccessLockSuffix.size() &&
         EqualsIgnoreCase(name.substr(name.size() - kAccessLockSuffix.size()), kAccessLockSuffix);
}

}  // namespace

int SyncEngine::do_ListFile(int64_t handle, std::u16string_view name, int attributes, int64_t size,
                            int64_t creation_time, int64_t last_access_time, int64_t last_write_time) {
  if (const int inactive = RequireActive()) return inactive;
  Log(4, u"do_ListFile EnumerationHandle(%I64u), ItemName('%s')", {handle, name});
  Log(4, u"  Attributes(%x), Size(%I64u)", {attributes, size});
  Log(4, u"  CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)",
      {creation_time, last_access_time, last_write_time});
  return IntListItem(handle, name, /*folder=*/false, attributes, size, creation_time, last_access_time,
                     last_write_time);
}

int SyncEngine::do_ListFolder(int64_t handle, std::u16string_view name, int attributes, int64_t creation_time,
                              int64_t last_access_time, int64_t last_write_time) {
  if (const int inactive = RequireActive()) return inactive;
  Log(4, u"do_ListFolder ItemName('%s'), EnumerationHandle(%I64u), Attributes(%x)", {name, handle, attributes});
  Log(4, u"  CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)",
      {creation_time, last_access_time, last_write_time});
  return IntListItem(handle, name, /*folder=*/true, attributes, 0, creation_time, last_access_time,
                     last_write_time);
}

int SyncEngine::IntListItem(int64_t handle, std::u16string_view name, bool folder, int attributes, int64_t size,
                            int64_t creation_time, int64_t last_access_time, int64_t last_write_time) {
  Log(4, u"IntListItem EnumerationHandle(%I64u), ItemName('%s')", {handle, name});
  Log(4, u"  Attributes(%x), Size(%I64u)", {attributes, size});
  Log(4, u"  CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)",
      {creation_time, last_access_time, last_write_time});
  const int result = [&]() -> int {
    if (handle < 0) return OSTRASYNC_ERR_INVALID_OPID;
    if (stop_activation_requested_.load() != 0) return OSTRASYNC_ERR_CANCELLED;
    TaskRef task;
    if (const int found = task_registry_.FindById(handle, /*include_cancelled=*/false, &task)) return found;
    EnumerationBuffer* buffer = task->type() == OperationType::kList ? task->enumeration_buffer() : nullptr;
    if (buffer == nullptr) return OSTRASYNC_ERR_INVALID_OPID;
    {
      std::lock_guard<std::mutex> lock(buffer->mutex);
      if (buffer->items.size() >= EnumerationBuffer::kCapacity) return OSTRASYNC_ERR_TOO_MANY_ITEMS;
    }
    if (settings_.track_office_lock_files.load() && IsOfficeLockFileName(name)) {
      Log(4, u"Item skipped as TrackOfficeLockFiles config in 'true': '%s'", {name});
      return 0;
    }

    items::ListedItem item;
    item.name.assign(name);
    item.attributes = static_cast<uint32_t>(attributes);
    item.size = size;
    if (folder) {
      item.attributes |= items::item_attr::kFolder;
      item.size = 0;
    } else {
      Log(4, u"ListItem: Name(%s), directory: %s", {name, u"false"});
    }
    // Kept as reported: a negative time is refused when the item is processed.
    item.creation_time = static_cast<uint64_t>(creation_time);
    item.last_access_time = static_cast<uint64_t>(last_access_time);
    item.last_write_time = static_cast<uint64_t>(last_write_time);
    Log(4, u"  Attributes(%x), Size(%I64u)", {item.attributes, item.size});
    Log(4, u"  CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)",
        {creation_time, last_access_time, last_write_time});

    std::vector<items::ListedItem> batch;
    {
      std::lock_guard<std::mutex> lock(buffer->mutex);
      // Checked again: another of the host's threads may have filled it meanwhile.
      if (buffer->items.size() >= EnumerationBuffer::kCapacity) return OSTRASYNC_ERR_TOO_MANY_ITEMS;
      buffer->items.push_back(std::move(item));
      // A full batch leaves the buffer in the same step that filled it, so that another thread
      // reporting meanwhile finds room rather than a full buffer waiting for its flush.
      if (buffer->batch_size >= 1 && buffer->items.size() >= static_cast<std::size_t>(buffer->batch_size)) {
        batch.swap(buffer->items);
      }
    }
    if (batch.empty()) return 0;
    if (stop_activation_requested_.load() != 0) return OSTRASYNC_ERR_CANCELLED;
    // On the host's thread, inside its call: the items reported so far reach the disk now.
    return FinishEnumeration(*task, /*remove_task=*/false, &batch);
  }();
  Log(4, u"IntListItem Result('%x')", {result});
  if (result != 0 && result != OSTRASYNC_ERR_CANCELLED) return RecordError(result);
  return result;
}

bool SyncEngine::FolderWasEmptyAtStart(EnumerationBuffer& buffer, const std::u16string& full_path) {
  using FolderAtStart = EnumerationBuffer::FolderAtStart;
  std::lock_guard<std::mutex> lock(buffer.mutex);
  if (buffer.folder_at_start == FolderAtStart::kUnread) {
    bool empty = false;
    // Unreadable, the folder counts as holding something: each item is then looked at, and the
    // look reports what is wrong.
    if (const platform::Win32Error e = os().file_system().IsFolderEmpty(full_path, &empty); e != 0) {
      Log(4, u"Failed to read the directory '%s'. Error code: 0x%x", {full_path, e});
      empty = false;
    }
    buffer.folder_at_start = empty ? FolderAtStart::kEmpty : FolderAtStart::kNotEmpty;
  }
  return buffer.folder_at_start == FolderAtStart::kEmpty;
}

int SyncEngine::FinishEnumeration(Task& task, bool remove_task, std::vector<items::ListedItem>* taken) {
  EnumerationBuffer* buffer = task.type() == OperationType::kList ? task.enumeration_buffer() : nullptr;
  if (buffer == nullptr) {
    Log(1, u"Enumeration request finish: wrong handle %I64u", {task.id()});
    return OSTRASYNC_ERR_INTERNAL;
  }
  // What the host reported up to now; items reported meanwhile wait for the next flush.
  std::vector<items::ListedItem> batch;
  if (taken != nullptr) {
    batch.swap(*taken);
  } else {
    std::lock_guard<std::mutex> lock(buffer->mutex);
    batch.swap(buffer->items);
  }
  // A cancelled listing is over: nothing of it goes to disk, and its task goes now rather than
  // staying registered for a FinalizeTask that a synchronous host never calls.
  if (task.cancelled.load()) {
    if (remove_task) (void)task_registry_.Remove(&task);
    return OSTRASYNC_ERR_CANCELLED;
  }
  const std::u16string& folder = task.path();
  Log(4, u"Enumeration request to backend for path '%s'. Got %d items", {folder, static_cast<int32_t>(batch.size())});

  using namespace items::placeholder_flag;
  const uint32_t flags = kFromListing | kMarkSynced | (settings_.download_new_files.load() ? kRetrieve : 0);
  const std::shared_ptr<items::PlaceholderManager> manager = placeholder_manager();
  // An item that did not reach the disk: its record goes back to what it was, and the folder is
  // not complete, so that the OS asks for it again.
  auto settle = [&](const std::u16string& relative, const std::optional<tracking::MetadataCacheItem>& known_before,
                    int step) {
    // A record of an item that never reached the disk would read as a local deletion later.
    if (items::ReadLocalItem(os().file_system(), manager->FullPath(relative)).presence ==
        items::LocalItem::Presence::kAbsent) {
      if (known_before) {
        metadata_cache_.PutItem(relative, *known_before);
      } else {
        (void)metadata_cache_.RemoveCacheItem(relative, /*recursive=*/false);
      }
    }
    if (step != OSTRASYNC_ERR_CANCELLED) {
      buffer->incomplete.store(true);
      Log(1, u"Failed to create a placeholder for the item: '%s'. Error code: 0x%x", {relative, step});
      FireErrorEvent(step, TextOfCode(step));
    }
  };
  // New files wait to be made together; `waiting` keeps, in the same order, what settling a
  // failure of each needs.
  struct WaitingFile {
    std::u16string relative;
    std::optional<tracking::MetadataCacheItem> known_before;
  };
  items::ListedFiles new_files;
  std::vector<WaitingFile> waiting;
  auto create_files = [&] {
    if (new_files.empty() || !manager) return;
    const std::vector<int> created = manager->CreateListedFiles(&new_files);
    for (size_t i = 0; i < created.size() && i < waiting.size(); ++i) {
      if (created[i] != 0) settle(waiting[i].relative, waiting[i].known_before, created[i]);
    }
    waiting.clear();
  };
  const bool folder_was_empty = manager && !batch.empty() && FolderWasEmptyAtStart(*buffer, manager->FullPath(folder));
  int result = 0;
  for (const items::ListedItem& item : batch) {
    if (stop_activation_requested_.load() != 0 || !manager) {
      result = OSTRASYNC_ERR_CANCELLED;
      break;
    }
    const bool is_folder = (item.attributes & items::item_attr::kFolder) != 0;
    Log(4, u"Processing item: '%s', type: %s", {item.name, is_folder ? u"directory" : u"file"});
    const char16_t* failure = nullptr;
    if (const int invalid = items::CheckItemProperties(
            static_cast<int32_t>(item.attributes), item.size, static_cast<int64_t>(item.creation_time),
            static_cast<int64_t>(item.last_access_time), static_cast<int64_t>(item.last_write_time),
            static_cast<int32_t>(flags), &failure);
        invalid != 0) {
      if (failure != nullptr) Log(1, failure);
      Log(1, u"Skip item because of invalid property value for item '%s'. Error code: 0x%x", {item.name, invalid});
      FireErrorEvent(invalid, TextOfCode(invalid));
      continue;
    }
    if (!manager->ValidateItemName(item.name)) {
      Log(1, u"Skip item because of invalid name: '%s'. Error code: 0x%x", {item.name, OSTRASYNC_ERR_INVALID_ITEM_NAME});
      FireErrorEvent(OSTRASYNC_ERR_INVALID_ITEM_NAME, TextOfCode(OSTRASYNC_ERR_INVALID_ITEM_NAME));
      continue;
    }

    const std::u16string relative = items::JoinPath(folder, item.name);
    Log(4, u"Adding new entry to meta cache. Path: '%s'", {relative});
    std::optional<tracking::MetadataCacheItem> known_before = metadata_cache_.GetItemCopy(relative);
    metadata_cache_.AddNewItemToCache(relative, item.name, item.attributes, static_cast<uint64_t>(item.size),
                                      item.creation_time, item.last_access_time, item.last_write_time);
    if (is_folder && buffer->recursive) create_files();  // the files listed so far first, in order
    int step = manager->ListItem(folder, item, flags, &new_files, folder_was_empty && !known_before);
    if (step == items::kListedItemPending) {
      waiting.push_back({relative, std::move(known_before)});
      step = 0;
    } else if (step != 0) {
      settle(relative, known_before, step);
    } else if (is_folder && buffer->recursive) {
      Log(4, u"Processing directory recursively: '%s'", {folder});
      step = ProcessDirectory(relative, buffer->mask, buffer->context, buffer->batch_size, /*recursive=*/true);
      // A folder the host lists later is finished, and its own folders listed, by the monitor.
      if (step == OSTRASYNC_ERR_PENDING) step = 0;
      if (step != 0 && step != OSTRASYNC_ERR_CANCELLED) {
        Log(1, u"Failed to enumerate the directory: '%s'. Error code: 0x%x", {relative, step});
        FireErrorEvent(step, TextOfCode(step));
      }
    }
    if (stop_activation_requested_.load() != 0 || step == OSTRASYNC_ERR_CANCELLED) {
      result = OSTRASYNC_ERR_CANCELLED;
      break;
    }
  }
  // Files already gathered are made even when the listing stops: their records are in the cache.
  create_files();
  Log(4, u"Finishing processing directory '%s'. Error code: 0x%x", {folder, result});
  if (remove_task) (void)task_registry_.Remove(&task);
  return result;
}

}  // namespace ostrasync::engine
