// Protects a local file that changed after the remote version a listing describes: instead of
// being overwritten, it is handed to the host as an update.
#include "engine/sync_engine.h"
#include "items/item_paths.h"
#include "items/placeholder_manager.h"
#include "ostrasync.h"

namespace ostrasync::items {
namespace {

constexpr uint32_t kOpenExisting = 3;

}  // namespace

NewerCheck PlaceholderManager::CheckIfLocalFileIsNewer(const std::u16string& full_path, std::u16string_view relative,
                                                       std::u16string_view, std::u16string_view,
                                                       uint64_t creation_time, uint64_t last_access_time,
                                                       uint64_t last_write_time, uint32_t attributes) {
  engine_.Log(4, u"Checking if local file is newer than remote: '%s'", {full_path});
  NewerCheck check;
  platform::FileInformation local;
  {
    // Shared for reading only: a writer elsewhere makes the open fail, and its half-written
    // file is left for a later pass.
    platform::OpenRequest open;
    open.desired_access = platform::access::kGenericRead;
    open.share_mode = platform::share::kRead;
    open.disposition = kOpenExisting;
    platform::FileHandlePtr file;
    platform::FileSystem& fs = engine_.os().file_system();
    if (const platform::Win32Error e = fs.Open(full_path, open, &file); e != 0 || !file) {
      engine_.SetOsLastError(e);
      check.locked = e == platform::win32::kSharingViolation;
      engine_.Log(1, u"Failed to open file: '%s'. OS error code: 0x%x", {full_path, e});
      check.result = OSTRASYNC_ERR_OS_CALL;
    } else if (const platform::Win32Error e2 = fs.ReadInformation(*file, &local); e2 != 0) {
      engine_.SetOsLastError(e2);
      engine_.Log(1, u"Failed to get file information: '%s'. OS error code: 0x%x", {full_path, e2});
      check.result = OSTRASYNC_ERR_OS_CALL;
    }
  }
  if (check.result == 0) {
    check.newer = local.last_write_time > last_write_time;
    engine_.Log(4, u"Local file is newer: %s", {check.newer ? u"true" : u"false"});
    if (check.newer) {
      check.result = SendLocalVersion(full_path, relative, local, creation_time, last_access_time, attributes);
    }
  }
  engine_.Log(4, u"Checking if local file is newer finished for: '%s'. Result: 0x%x", {full_path, check.result});
  return check;
}

int PlaceholderManager::SendLocalVersion(const std::u16string& full_path, std::u16string_view relative,
                                         const platform::FileInformation& local, uint64_t creation_time,
                                         uint64_t last_access_time, uint32_t attributes) {
  const uint32_t local_attributes = WindowsToItemAttributes(local.attributes) & ~item_attr::kFolder;
  int change_flags = OSTRASYNC_CHANGE_CONTENT;
  if (local_attributes != (attributes & ~item_attr::kFolder)) change_flags |= OSTRASYNC_CHANGE_ATTRIBUTES;
  if (local.creation_time != creation_time) change_flags |= OSTRASYNC_CHANGE_CREATION_TIME;
  if (local.last_access_time != last_access_time) change_flags |= OSTRASYNC_CHANGE_LAST_ACCESS_TIME;

  engine::TaskRef task = engine_.NewTask(relative, engine::OperationType::kWriteData);
  if (!task) return OSTRASYNC_ERR_OUT_OF_MEMORY;
  engine::TaskRegistry& registry = engine_.task_registry();

  // Out of sync first: should the host not take the file, it stays marked as a local change.
  int result = DoSetPlaceholderSyncState(relative, false);
  if (result != 0) {
    engine_.Log(1, u"Failed to set placeholder sync state to false: '%s'. OS error code: 0x%x",
                {relative, engine_.OsLastError()});
    (void)registry.Remove(task.get());
    return result;
  }

  int event_result = 0;
  result = engine_.FireTaskEvent(*task, u"Update", relative, &event_result, [&](int* code) {
    return engine_.sink().OnUpdateFile(task->id(), relative, change_flags, static_cast<int>(local_attributes),
                                       local.file_size, static_cast<int64_t>(local.creation_time),
                                       static_cast<int64_t>(local.last_access_time),
                                       static_cast<int64_t>(local.last_write_time), code);
  });
  engine_.EndTaskHandler(*task, result);
  if (result == OSTRASYNC_ERR_PENDING) {
    // The host finishes the upload later; the task stays registered for its FinalizeTask.
    engine_.Log(4, u"UpdateItem fired in async mode");
    return 0;
  }
  if (engine_.settings().windows_update_icon_on_update_errors.load()) {
    platform::SyncErrorStateRequest mark;
    mark.path = full_path.c_str();
    mark.error = result != 0;
    (void)engine_.binding().SetItemSyncErrorState(&mark);
  }
  if (result == 0) {
    result = DoSetPlaceholderSyncState(relative, true);
    if (result != 0) {
      engine_.Log(1, u"Failed to set placeholder sync state to true: '%s'. OS error code: 0x%x",
                  {relative, engine_.OsLastError()});
    }
  }
  // Done either way: nothing will finalise a task whose handler has already answered.
  (void)registry.Remove(task.get());
  return result;
}

}  // namespace ostrasync::items
