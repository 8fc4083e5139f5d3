// Creating tasks for events and ending the firing of a task's event; FinalizeTask, by which the
// host completes a task it took over.
#include "engine/error_codes.h"
#include "engine/sync_engine.h"
#include "items/item_paths.h"

namespace ostrasync::engine {

int64_t SyncEngine::MonotonicMs() { return os().system().MonotonicMilliseconds(); }

std::shared_ptr<items::PlaceholderManager> SyncEngine::placeholder_manager() const {
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  return placeholder_manager_;
}

TaskRef SyncEngine::NewTask(std::u16string_view path, OperationType type, std::unique_ptr<OperationRecord> record) {
  const std::u16string full_path = path.empty() ? std::u16string() : items::JoinPath(EffectiveRootPath(), path);
  TaskRef task = task_registry_.Take(path, full_path, type, std::move(record));
  if (task) (void)task_registry_.Register(task);
  return task;
}

void SyncEngine::EndTaskHandler(Task& task, int result) {
  if (result == OSTRASYNC_ERR_PENDING) {
    // A monotonic stamp, never 0, so that an age survives any step of the wall clock.
    const int64_t now = MonotonicMs();
    task.async_start.store(now >= 1 ? now : 1);
  }
  (void)task.handler_lock.LeaveIfOwner();
}

int SyncEngine::FinalizeTask(int64_t, int) { return RequireActive(); }

}  // namespace ostrasync::engine
