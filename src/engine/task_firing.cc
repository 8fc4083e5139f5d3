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

std::u16string SyncEngine::TaskFullPath(std::u16string_view path) {
  if (path.empty()) return {};
  if (path == u"\\") return EffectiveRootPath();
  return items::JoinPath(EffectiveRootPath(), path);
}

TaskRef SyncEngine::NewTask(std::u16string_view path, OperationType type, std::unique_ptr<OperationRecord> record) {
  TaskRef task = task_registry_.Take(path, TaskFullPath(path), type, std::move(record));
  if (task) (void)task_registry_.Register(task);
  return task;
}

void SyncEngine::EndTaskHandler(Task& task, int result) {
  if (result == OSTRASYNC_ERR_PENDING) {
    // A monotonic stamp, never 0, so that an age survives any step of the wall clock.
    const int64_t now = MonotonicMs();
    task.async_start.store(now >= 1 ? now : 1);
  }
  // Only the firing thread leaves the lock; if the host already left it from inside its handler
  // (FinalizeTask of a fetch), there is nothing left to leave.
  (void)task.handler_lock.LeaveIfOwner();
}

int SyncEngine::FinalizeTask(int64_t op_id, int error_code) {
  if (const int inactive = RequireActive()) return inactive;
  Log(4, u"Completing async transfer. Operation handle: %I64u. Error code: 0x%x", {op_id, error_code});
  TaskRef task;
  if (const int found = task_registry_.FindById(op_id, /*include_cancelled=*/true, &task)) return RecordError(found);
  // A fetch's handler that finalises on its own thread gives the lock up here, so that the data
  // it put can be sent while it returns. Any other thread is not the lock's owner and leaves it
  // alone: the firer leaves it when the handler returns.
  if (task->type() == OperationType::kReadData && task->async_start.load() == 0) {
    (void)task->handler_lock.LeaveIfOwner();
  }
  bool cancelled = false;
  {
    // Cancellation is decided under the same lock, so a task is either finished or cancelled,
    // never both behind the other's back.
    std::lock_guard<std::recursive_mutex> lock(task->task_lock);
    cancelled = task->cancelled.load();
    if (!cancelled) {
      task->result_code.store(error_code);
      task->finished.store(true);
    }
  }
  if (cancelled) {
    // The host has now seen the cancellation through its answer: nothing more will come for the
    // task, so it leaves the registry rather than waiting there for deactivation.
    (void)task_registry_.Remove(task.get());
    task.reset();
    return RecordError(OSTRASYNC_ERR_CANCELLED);
  }
  // The lookup's reference goes only after the task lock is left: the last reference may free
  // the task and its lock with it.
  task.reset();
  Log(4, u"Completing async transfer finished. Operation handle: %I64u. Error code: 0x%x", {op_id, error_code});
  return 0;
}

}  // namespace ostrasync::engine
