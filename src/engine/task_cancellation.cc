// Cancelling tasks: one task, the tasks of a path, and every task at deactivation.
#include <chrono>
#include <thread>

#include "engine/error_codes.h"
#include "engine/sync_engine.h"

namespace ostrasync::engine {
namespace {

constexpr int64_t kCancelAllWaitMs = 10000;
constexpr auto kCancelAllPoll = std::chrono::milliseconds(100);

// Cancellation is asked for of the types the host knows about; an internal listing has no
// CancelTask of its own.
bool HostKnowsType(OperationType type) { return static_cast<int>(type) < static_cast<int>(OperationType::kInternalList); }

}  // namespace

int SyncEngine::DoCancelTask(Task& task, std::u16string_view path) {
  const int64_t id = task.id();
  Log(4, u"DoCancelTask called for '%s', id: %I64u", {path, id});
  int result = 0;
  std::lock_guard<std::recursive_mutex> lock(task.task_lock);
  if (!task.cancelled.load() && HostKnowsType(task.type())) {
    int handler_code = 0;
    try {
      handler_code = sink_->OnCancelTask(id, path, &result);
    } catch (...) {
      handler_code = kWinInternalError;
    }
    if (handler_code != 0) result = handler_code == -1 ? kWinInternalError : handler_code;
    // A host answering "cancelled" agrees with the cancellation.
    if (result == OSTRASYNC_ERR_CANCELLED) result = 0;
    LogRequestOutcome(u"CancelTask", path, result);
  }
  // The registry is not asked (its lock never comes after a task lock): the mark it keeps on the
  // task says whether the task is still registered.
  if (task.registered.load()) {
    Log(4, u"DoCancelTask task retrieved after cancel id: %I64u", {id});
    // A host that objected keeps its task: it is neither cancelled nor finished, and its own
    // completion (or failure) still reaches the monitor.
    if (result == 0) {
      task.cancelled.store(true);
      if (task.async_start.load() >= 1) task.finished.store(true);
    }
  }
  // A fetch given up is answered now, so that its reader does not wait for the OS's time-out.
  if (result == 0) AbandonFetch(task, OSTRASYNC_ERR_CANCELLED);
  return result;
}

bool SyncEngine::CancelTransferByPath(std::u16string_view path, int type) {
  Log(3, u"Cancelling transfer by path: '%s', operation type: %d", {path, type});
  const int first = type == -1 ? 0 : type;
  const int last = type == -1 ? kOperationTypeCount - 1 : type;
  bool found = false;
  int failure = 0;
  for (int t = first; t <= last && failure == 0; ++t) {
    TaskRef task;
    if (task_registry_.FindByKey(path, static_cast<OperationType>(t), /*include_cancelled=*/false, &task) != 0) {
      continue;
    }
    found = true;
    int result = 0;
    {
      std::lock_guard<std::recursive_mutex> lock(task->task_lock);
      Log(4, u"Canceling transfer for item: '%s', operation type: %d", {path, t});
      result = DoCancelTask(*task, path);
    }
    task.reset();  // outside the task lock: the last reference may free the task
    Log(4, u"CancelTask result for '%s': 0x%x", {path, result});
    failure = result;
  }
  const bool cancelled = found && failure == 0;
  Log(3, u"Cancelling transfer by path finished: '%s', result: %s", {path, cancelled ? u"true" : u"false"});
  return cancelled;
}

int SyncEngine::CancelAllTransfers() {
  Log(3, u"Cancelling all component transfers...");
  Log(4, u"Pending transfers count: %I64u", {static_cast<uint64_t>(task_registry_.Count())});
  const int64_t deadline = MonotonicMs() + kCancelAllWaitMs;
  for (;;) {
    // Newest first. Tasks a callback still in flight registers meanwhile are cancelled on the
    // next round, so the wait ends as soon as the registry is empty.
    std::vector<TaskRef> tasks = task_registry_.Snapshot();
    for (auto it = tasks.rbegin(); it != tasks.rend(); ++it) {
      Task& task = **it;
      int result = 0;
      {
        std::lock_guard<std::recursive_mutex> lock(task.task_lock);
        if (!task.registered.load()) continue;
        Log(4, u"Canceling transfer for item: '%s', operation type: %s, id: %I64u",
            {task.path(), OperationTypeName(task.type()), task.id()});
        result = DoCancelTask(task, task.path());
      }
      Log(4, u"CancelTask result for item: '%s', id %I64u: 0x%x", {task.path(), task.id(), result});
      if (result != 0) {
        Log(3, u"Cancelling all component transfers finished with result %d", {result});
        return result;
      }
      // Nobody else removes a task cancelled here: without this the wait below would always run
      // its full length and leave the tasks registered.
      if (task.cancelled.load()) (void)task_registry_.Remove(&task);
    }
    tasks.clear();
    if (task_registry_.Count() == 0 || MonotonicMs() >= deadline) break;
    std::this_thread::sleep_for(kCancelAllPoll);
  }
  task_registry_.EmptyPool();
  Log(3, u"Cancelling all component transfers finished with result %d", {0});
  return 0;
}

}  // namespace ostrasync::engine
