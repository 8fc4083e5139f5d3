// The host's CreateFile, CreateFolder, UpdateFile and UpdateFolder methods and the create and
// update routines behind them.
#include <optional>
#include <vector>

#include "engine/error_codes.h"
#include "engine/sync_engine.h"
#include "items/item_paths.h"
#include "items/local_item.h"
#include "items/placeholder_flags.h"

namespace ostrasync::engine {
namespace {

namespace flag = items::placeholder_flag;
using items::item_attr::kFolder;
using tracking::PendingOpType;

// After a failure: an item that cannot be looked at may be there.
bool MayExist(platform::FileSystem& fs, const std::u16string& full_path) {
  return items::ReadLocalItem(fs, full_path).presence != items::LocalItem::Presence::kAbsent;
}

// After a failed create: whether it may have left an item of its own. A file placeholder reaches
// the disk whole or not at all, so a file there that is no placeholder is somebody else's (the
// user's, made in the same instant) and its change must not be taken for the create's echo. A
// folder is made before it becomes a placeholder, so any folder there may be the create's.
bool MayHaveMade(items::PlaceholderManager& manager, platform::FileSystem& fs, const std::u16string& full_path,
                 bool folder) {
  if (folder) return MayExist(fs, full_path);
  uint32_t state = platform::cf::kStateNone;
  if (manager.ReadPlaceholderState(full_path, &state) != 0) return true;
  return (state & platform::cf::kStatePlaceholder) != 0;
}

// The relative path with its existing components spelled as the file system stores them (the
// spelling the watcher reports changes in; pending-operation and cache keys compare
// case-sensitively). Resolution stops at the first component that is not there; the last one is
// resolved only with `include_last`, since an item about to be created takes the host's name.
// A path the cache holds under exactly this key needs no look: cache keys take the spelling on
// disk, so the common case of a known folder costs no directory search.
std::u16string OnDiskSpelling(platform::FileSystem& fs, tracking::MetadataCache& cache,
                              const items::PlaceholderManager& manager, std::u16string_view relative,
                              bool include_last) {
  std::u16string target_dir, target_name;
  if (!include_last && items::ExtractFileDirAndName(relative, &target_dir, &target_name) &&
      (target_dir == u"\\" || cache.GetItemAttributes(target_dir).has_value())) {
    return std::u16string(relative);
  }
  if (include_last && cache.GetItemAttributes(relative).has_value()) return std::u16string(relative);
  std::u16string resolved;
  std::u16string full = manager.long_root();
  bool resolving = true;
  std::size_t start = 1;
  while (start <= relative.size()) {
    std::size_t end = relative.find(u'\\', start);
    if (end == std::u16string_view::npos) end = relative.size();
    const std::u16string_view component = relative.substr(start, end - start);
    std::u16string spelled(component);
    if (resolving && (end < relative.size() || include_last)) {
      full = items::JoinPath(full, component);
      std::vector<platform::FindData> found;
      resolving = fs.Find(full, &found) == 0 && !found.empty();
      if (resolving) {
        // The exact spelling wins where the file system holds names that differ only in case.
        const platform::FindData* pick = &found.front();
        for (const platform::FindData& entry : found) {
          if (entry.name == component) pick = &entry;
        }
        if (items::IsValidItemName(pick->name)) spelled = pick->name;
      }
    }
    resolved += u'\\';
    resolved += spelled;
    start = end + 1;
  }
  return resolved;
}

}  // namespace

int SyncEngine::RefuseUnreadable(const items::LocalItem& local, const std::u16string& full_path) {
  if (!local.unreadable()) return 0;
  Log(1, u"Failed to get attributes for '%s'. OS error code: 0x%x", {full_path, local.error});
  SetOsLastError(local.error);
  return RecordError(OSTRASYNC_ERR_OS_CALL);
}

int SyncEngine::CheckLocalPath(std::u16string_view local_path) {
  // Anything but item names below the root could reach outside it or into a stream.
  if (local_path.size() > 1 && items::IsSafeLocalPath(local_path)) return 0;
  Log(4, u"ExtractFileDirAndName failed for LocalPath '%s'", {local_path});
  return RecordError(OSTRASYNC_ERR_INVALID_PARAMETER, kTextLocalPathUnparsable);
}

int SyncEngine::CreateFileInt(std::u16string_view local_path, uint32_t attributes, int64_t size,
                              uint64_t creation_time, uint64_t last_access_time, uint64_t last_write_time,
                              uint32_t flags, std::u16string_view item_id) {
  Log(4, u"CreateFileInt LocalPath(%s)", {local_path});
  Log(4, u"  Attributes(%x), Size(%I64u)", {attributes, size});
  Log(4, u"  CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)",
      {creation_time, last_access_time, last_write_time});
  const char16_t* failure = nullptr;
  if (const int rc = items::CheckItemProperties(static_cast<int32_t>(attributes), size,
                                                static_cast<int64_t>(creation_time),
                                                static_cast<int64_t>(last_access_time),
                                                static_cast<int64_t>(last_write_time), static_cast<int32_t>(flags),
                                                &failure);
      rc != 0) {
    Log(1, failure);
    Log(4, u"CheckItemProperties returned error 0x%x when called by CreateFileInt for '%s'", {rc, local_path});
    return RecordError(rc);
  }
  const bool update = (flags & flag::kForceUpdate) != 0;
  Log(4, update ? u"UpdateLocalFile LocalPath '%s', Attributes %x" : u"CreateLocalFile LocalPath '%s', Attributes %x",
      {local_path, attributes});
  std::u16string parent, name;
  if (local_path.size() < 2 || !items::IsSafeLocalPath(local_path) ||
      !items::ExtractFileDirAndName(local_path, &parent, &name)) {
    Log(4, u"ExtractFileDirAndName failed for LocalPath '%s'", {local_path});
    return RecordError(OSTRASYNC_ERR_INVALID_PARAMETER, kTextLocalPathUnparsable);
  }
  const std::shared_ptr<items::PlaceholderManager> manager = placeholder_manager();
  if (!manager) return RecordError(kWinNotReady, kTextNotActive);
  platform::FileSystem& fs = os().file_system();
  const std::u16string full = manager->FullPath(local_path);

  // Flags and existence before the cache: a refused create must not replace the record of the
  // item that is there.
  if ((flags & flag::kMarkSynced) != 0 && items::RetrievalRequested(flags)) {
    Log(1, u"Invalid combination of flags (RETRIEVE or OSTRASYNC_FLAG_UPDATE_EXISTING, and MARK_SYNCED) specified in "
           u"a call to CreateItem or UpdateItem");
    return RecordError(OSTRASYNC_ERR_INVALID_PARAMETER);
  }
  if ((flags & flag::kMustNotExist) != 0 && (flags & flag::kAbsenceChecked) == 0) {
    const items::LocalItem local = items::ReadLocalItem(fs, full);
    if (const int rc = RefuseUnreadable(local, full); rc != 0) return rc;
    if (local.present()) {
      Log(4, u"File already exists '%s', but it should not exist according to method flags: %x0x", {full, flags});
      return RecordError(OSTRASYNC_ERR_ITEM_EXISTS);
    }
    // A folder made meanwhile would be taken in by its creation; a file's creation refuses it.
    if ((attributes & kFolder) == 0) flags |= flag::kAbsenceChecked;
  }
  std::optional<tracking::MetadataCacheItem> known_before;
  if (!update) {
    known_before = metadata_cache_.GetItemCopy(local_path);
    Log(4, u"Add information about new item '%s' to metadata cache", {local_path});
    metadata_cache_.AddNewItemToCache(local_path, name, attributes, static_cast<uint64_t>(size), creation_time,
                                      last_access_time, last_write_time);
  }
  const int rc = manager->DoCreateOrUpdatePlaceholder(parent, name, item_id.empty() ? local_path : item_id, size,
                                                      creation_time, last_access_time, last_write_time, attributes,
                                                      flags);
  if (rc == 0) return 0;
  if (!update && !MayHaveMade(*manager, fs, full, (attributes & kFolder) != 0)) {
    // Nothing was made: the cache goes back to what it knew.
    if (known_before) {
      metadata_cache_.PutItem(local_path, *known_before);
    } else {
      (void)metadata_cache_.RemoveCacheItem(local_path, false);
    }
  }
  return RecordError(rc);
}

int SyncEngine::UpdateFileInt(std::u16string_view local_path, uint32_t attributes, int64_t size,
                              uint64_t creation_time, uint64_t last_access_time, uint64_t last_write_time,
                              uint32_t flags, std::u16string_view item_id) {
  Log(4, u"UpdateFileInt LocalPath('%s')", {local_path});
  Log(4, u"  Attributes(%x), Size(%I64u)", {attributes, size});
  Log(4, u"  CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)",
      {creation_time, last_access_time, last_write_time});
  // A transfer still running would deliver the old content into the updated placeholder.
  if ((flags & flag::kKeepTransfers) == 0) (void)CancelTransferByPath(local_path, -1);
  return CreateFileInt(local_path, attributes, size, creation_time, last_access_time, last_write_time,
                       flags | flag::kForceUpdate, item_id);
}

int SyncEngine::CreateOrUpdateItem(bool update, bool folder, std::u16string_view path, int attributes, int64_t size,
                                   int64_t creation_time, int64_t last_access_time, int64_t last_write_time) {
  if (const int rc = RequireActive(); rc != 0) return rc;
  if (folder) {
    Log(4, update ? u"do_UpdateFolder LocalPath(%s), Attributes(%x)" : u"do_CreateFolder LocalPath(%s), Attributes(%x)",
        {path, attributes});
  } else {
    Log(4, update ? u"do_UpdateFile LocalPath(%s)" : u"do_CreateFile LocalPath(%s)", {path});
    Log(4, u"  Attributes(%x), Size(%I64u)", {attributes, size});
  }
  Log(4, u"  CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)",
      {creation_time, last_access_time, last_write_time});

  // Every check comes before the pending entry, the cache or the disk is touched.
  if (const int rc = CheckLocalPath(path); rc != 0) return rc;
  const char16_t* failure = nullptr;
  if (const int rc = items::CheckItemProperties(attributes, size, creation_time, last_access_time, last_write_time, 0,
                                                &failure);
      rc != 0) {
    Log(1, failure);
    return RecordError(rc);
  }
  // The method names the kind: the folder bit is the method's to set, not the host's.
  const uint32_t item_attributes =
      folder ? static_cast<uint32_t>(attributes) | kFolder : static_cast<uint32_t>(attributes) & ~kFolder;
  const std::shared_ptr<items::PlaceholderManager> manager = placeholder_manager();
  if (!manager) return RecordError(kWinNotReady, kTextNotActive);
  platform::FileSystem& fs = os().file_system();
  const std::u16string full = manager->FullPath(path);
  const items::LocalItem local = items::ReadLocalItem(fs, full);
  if (const int rc = RefuseUnreadable(local, full); rc != 0) return rc;
  if (update && (!local.present() || local.is_folder() != folder)) {
    Log(1, u"The item '%s' does not exist locally as a %s", {path, folder ? u"folder" : u"file"});
    return RecordError(OSTRASYNC_ERR_INVALID_PARAMETER);
  }
  if (!update && local.present()) {
    Log(4, u"File already exists '%s', but it should not exist according to method flags: %x0x",
        {full, flag::kMarkSynced | flag::kMustNotExist});
    return RecordError(OSTRASYNC_ERR_ITEM_EXISTS);
  }

  const std::u16string key = OnDiskSpelling(fs, metadata_cache_, *manager, path, update);
  (void)pending_operations_.AddPending(key, PendingOpType::kUpdate, folder);
  if (update) {
    const int rc = UpdateFileInt(key, item_attributes, size, items::FilterUpdateDate(creation_time),
                                 items::FilterUpdateDate(last_access_time), items::FilterUpdateDate(last_write_time),
                                 flag::kMarkSynced, path);
    (void)pending_operations_.CheckPendingOrRemove(key, PendingOpType::kUpdate, folder);
    return rc;
  }
  // The look above found the name free; for a file neither step below looks again.
  const uint32_t checked = folder ? 0 : flag::kAbsenceChecked;
  const int rc = CreateFileInt(key, item_attributes, size, static_cast<uint64_t>(creation_time),
                               static_cast<uint64_t>(last_access_time), static_cast<uint64_t>(last_write_time),
                               flag::kMarkSynced | flag::kMustNotExist | checked, path);
  // A create that made nothing leaves no echo for its entry to wait for.
  if (rc != 0 && !MayHaveMade(*manager, fs, full, folder)) {
    (void)pending_operations_.CancelPending(key, PendingOpType::kUpdate, folder);
  }
  return rc;
}

int SyncEngine::do_CreateFile(std::u16string_view path, int attributes, int64_t size, int64_t creation_time,
                              int64_t last_access_time, int64_t last_write_time) {
  return CreateOrUpdateItem(false, false, path, attributes, size, creation_time, last_access_time, last_write_time);
}
int SyncEngine::do_CreateFolder(std::u16string_view path, int attributes, int64_t creation_time,
                                int64_t last_access_time, int64_t last_write_time) {
  return CreateOrUpdateItem(false, true, path, attributes, 0, creation_time, last_access_time, last_write_time);
}
int SyncEngine::do_UpdateFile(std::u16string_view path, int attributes, int64_t size, int64_t creation_time,
                              int64_t last_access_time, int64_t last_write_time) {
  return CreateOrUpdateItem(true, false, path, attributes, size, creation_time, last_access_time, last_write_time);
}
int SyncEngine::do_UpdateFolder(std::u16string_view path, int attributes, int64_t creation_time,
                                int64_t last_access_time, int64_t last_write_time) {
  return CreateOrUpdateItem(true, true, path, attributes, 0, creation_time, last_access_time, last_write_time);
}

}  // namespace ostrasync::engine
