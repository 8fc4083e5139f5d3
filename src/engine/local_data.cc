// GetLocalData: the host reads the local content of the file a task reports (a creation or an
// update), through a handle the task keeps open across calls.
#include <algorithm>

#include "engine/error_codes.h"
#include "engine/sync_engine.h"

namespace ostrasync::engine {

int SyncEngine::GetLocalData(int64_t op_id, int64_t offset, std::span<uint8_t> buffer, int index, int count,
                             int* bytes_read) {
  if (const int inactive = RequireActive()) return inactive;
  Log(4, u"Getting local file data. Operation handle: %I64u", {op_id});
  *bytes_read = 0;
  // Every bound is checked on its own: a sum of the host's values could wrap and let the read
  // write outside its buffer.
  const int64_t size = static_cast<int64_t>(buffer.size());
  if (index < 0 || count < 0 || offset < 0 || index > size || count > size - index) {
    return RecordError(OSTRASYNC_ERR_INVALID_PARAMETER, kTextBadBufferArguments);
  }
  if (count == 0) return 0;
  if (op_id < 0) return RecordError(OSTRASYNC_ERR_INVALID_OPID);
  TaskRef task;
  if (const int found = task_registry_.FindById(op_id, /*include_cancelled=*/false, &task)) return RecordError(found);
  if (task->full_path().empty()) return RecordError(OSTRASYNC_ERR_LOCAL_DATA_EOF);

  int result = 0;
  uint32_t read = 0;
  {
    std::lock_guard<std::mutex> lock(task->local_file_mutex);
    platform::FileSystem& files = os().file_system();
    if (!task->local_file) {
      platform::OpenRequest open;
      open.desired_access = platform::access::kGenericRead;
      open.share_mode = platform::share::kRead | platform::share::kWrite;
      open.flags_and_attributes = platform::open_flag::kRandomAccess;
      if (const platform::Win32Error error = files.Open(task->full_path(), open, &task->local_file); error != 0) {
        task->local_file.reset();
        SetOsLastError(error);
        Log(1, u"Opening local data file failed with system error code %d", {error});
        result = OSTRASYNC_ERR_LOCAL_DATA;
      }
    }
    if (result == 0 && task->local_file_size < 0) {
      int64_t file_size = 0;
      if (const platform::Win32Error error = files.FileSize(*task->local_file, &file_size); error != 0) {
        SetOsLastError(error);
        Log(1, u"Getting local data size failed with system error code %d", {error});
        result = OSTRASYNC_ERR_LOCAL_DATA;
      } else {
        task->local_file_size = file_size;
      }
    }
    if (result == 0 && offset > task->local_file_size) {
      Log(1, u"Getting local data, reading beyond EOF");
      result = OSTRASYNC_ERR_LOCAL_DATA_EOF;
    }
    if (result == 0) {
      const int64_t n = std::min<int64_t>(count, task->local_file_size - offset);
      if (n >= 1) {
        const platform::Win32Error error = files.ReadAt(
            *task->local_file, offset, buffer.subspan(static_cast<std::size_t>(index), static_cast<std::size_t>(n)),
            &read);
        if (error != 0 || read == 0) {
          if (error != 0) SetOsLastError(error);
          Log(1, u"Getting local data failed with system error code %d", {error});
          result = OSTRASYNC_ERR_LOCAL_DATA;
        }
      }
    }
  }
  task.reset();
  if (result != 0) return RecordError(result);
  *bytes_read = static_cast<int>(read);
  Log(4, u"Getting local data finished. Operation handle: %I64u, Bytes Read: '%d'", {op_id, *bytes_read});
  return 0;
}

}  // namespace ostrasync::engine
