// The completion of asynchronous tasks: the pending-operations monitor's batch pass and the
// expiry check.
#include <algorithm>

#include "engine/error_codes.h"
#include "engine/sync_engine.h"
#include "items/placeholder_flags.h"

namespace ostrasync::engine {
namespace {

constexpr int kTraceLevel = 0x2201;

const char16_t* TrueFalse(bool value) { return value ? u"true" : u"false"; }

}  // namespace

bool SyncEngine::Stopping(const EngineThread* owner) const {
  return deactivating_.load() != 0 || (owner != nullptr && owner->StopRequested());
}

bool SyncEngine::CompleteFinishedTasks(std::size_t* cursor, const EngineThread* owner) {
  const int32_t batch_size = settings_.pending_ops_processing_batch_size.load();
  std::vector<TaskRef> tasks = task_registry_.Snapshot();
  const std::size_t count = tasks.size();
  const std::size_t start = *cursor < count ? *cursor : 0;
  // A batch size below 1 sets no limit.
  const std::size_t end = batch_size < 1 ? count : std::min(count, start + static_cast<std::size_t>(batch_size));
  std::size_t removed = 0;
  std::size_t next = start;
  for (; next < end; ++next) {
    if (Stopping(owner)) break;
    Task& task = *tasks[next];
    const int64_t id = task.id();
    Log(kTraceLevel, u"Checking if pending operation is finished: %I64u, type: %s", {id, OperationTypeName(task.type())});
    Log(kTraceLevel, u"Operation canceled: %s", {TrueFalse(task.cancelled.load())});
    // A cancelled task belongs to its canceller. A task that never went asynchronous belongs to
    // its firer, which completes it itself once the host has finalised it in the handler.
    if (task.cancelled.load()) continue;
    if (!task.finished.load() || task.async_start.load() == 0) {
      Log(kTraceLevel, u"Pending operation is not finished yet: %I64u", {id});
      continue;
    }
    Log(4, u"Pending operation is finished: %I64u, type: %s", {id, OperationTypeName(task.type())});
    if (CompleteFinishedTask(task)) ++removed;
  }
  // The tasks removed from this batch no longer count in the registry's order, so the next
  // batch starts that many places earlier.
  const bool more = next == end && end < count;
  *cursor = more ? end - removed : 0;
  return more;
}

bool SyncEngine::CompleteFinishedTask(Task& task) {
  // Out of the registry before its completion starts, so that no canceller or second
  // FinalizeTask reaches a task whose completion is under way. A task someone else removed in
  // the meantime is theirs.
  if (!task_registry_.RemoveForCompletion(&task)) return false;
  struct Completing {
    TaskRegistry& registry;
    ~Completing() { registry.EndCompletion(); }
  } completing{task_registry_};
  CompleteTask(task);
  return true;
}

void SyncEngine::CompleteTask(Task& task) {
  const OperationType type = task.type();
  int result = task.result_code.load();
  const bool transfer = type == OperationType::kReadData || type == OperationType::kWriteData ||
                        type == OperationType::kCreate;
  auto mark_error = [&](bool error) {
    if (task.full_path().empty()) return;
    platform::SyncErrorStateRequest request;
    request.path = task.full_path().c_str();
    request.error = error;
    (void)binding().SetItemSyncErrorState(&request);
  };
  if (transfer && settings_.windows_update_icon_on_update_errors.load()) mark_error(result != 0);

  if (result != 0) {
    if (type == OperationType::kRename || type == OperationType::kWriteData || type == OperationType::kCreate) {
      FireErrorEvent(result, kTextAsyncOperationFailed);
      return;
    }
    if (result == OSTRASYNC_ERR_CANCELLED) {
      (void)DoCancelTask(task, task.path());
      FireErrorEvent(result, kTextAsyncOperationFailed);
      return;
    }
  }

  const std::shared_ptr<items::PlaceholderManager> manager = placeholder_manager();
  auto set_in_sync = [&] { return manager ? manager->DoSetPlaceholderSyncState(task.path(), true) : kWinNotReady; };
  switch (type) {
    case OperationType::kReadData: {
      const int sent = CompleteReadData(task);
      if (sent != 0 && settings_.windows_update_icon_on_retrieve_errors.load()) {
        mark_error(sent != OSTRASYNC_ERR_PENDING);
      }
      // Data that did not reach the OS is a failure of the fetch: it is reported, and the file is
      // not declared in sync with content it never received.
      if (sent != 0 && sent != OSTRASYNC_ERR_PENDING) {
        result = sent;
      } else {
        result = set_in_sync();
      }
      break;
    }
    case OperationType::kWriteData:
    case OperationType::kCreate:
      result = set_in_sync();
      break;
    case OperationType::kDelete:
      if (result != 0 && result != OSTRASYNC_ERR_ITEM_GONE) {
        FireErrorEvent(result, kTextAsyncOperationFailed);
        return;
      }
      (void)metadata_cache_.RemoveCacheItem(task.path(), /*recursive=*/false);
      // The item is gone at the host either way: a delete of an item the host no longer had is
      // done, not failed.
      result = 0;
      break;
    case OperationType::kRename: {
      result = 0;
      if (task.rename_from().empty() || task.rename_to().empty()) break;
      const std::optional<tracking::MetadataCacheItem> moved =
          metadata_cache_.RenameCacheItem(task.rename_from(), task.rename_to());
      if (!moved) break;
      const std::u16string target =
          manager ? manager->FullPath(task.rename_to()) : TaskFullPath(task.rename_to());
      uint32_t attributes = platform::attr::kInvalid;
      if (os().file_system().ReadAttributes(target, &attributes) != 0 || attributes == platform::attr::kInvalid) {
        break;
      }
      using namespace items::placeholder_flag;
      result = UpdateFileInt(task.rename_to(), moved->attributes, static_cast<int64_t>(moved->size),
                             moved->creation_time, moved->last_access_time, moved->last_write_time,
                             kMarkSynced | kKeepTransfers | kKeepContent);
      if (const int excluded = ProcessExcludedState(task.rename_to())) {
        Log(1, u"Failed to process excluded state for: '%s', error: 0x%x", {task.rename_to(), excluded});
      }
      break;
    }
    case OperationType::kList:
      result = CompleteListing(task, result);
      break;
    default:
      FireErrorEvent(OSTRASYNC_ERR_INTERNAL, kTextAsyncOperationFailed);
      return;
  }
  if (result != 0) FireErrorEvent(result, kTextAsyncOperationFailed);
}

void SyncEngine::CancelExpiredTasks(const EngineThread* owner) {
  const int64_t timeout_s = settings_.pending_task_timeout_s.load();
  if (timeout_s < 1) return;
  const int64_t timeout_ms = timeout_s * 1000;
  const int64_t now = MonotonicMs();
  std::vector<TaskRef> expired;
  for (TaskRef& task : task_registry_.Snapshot()) {
    const int64_t started = task->async_start.load();
    // A finished task is the monitor's to complete, however old it is.
    if (started >= 1 && !task->cancelled.load() && !task->finished.load() && now - started > timeout_ms) {
      expired.push_back(std::move(task));
    }
  }
  for (TaskRef& task : expired) {
    if (Stopping(owner)) break;
    {
      // Decided under the task lock, against a FinalizeTask arriving now: whichever comes first
      // wins, and a task the host has finished is never cancelled behind its back.
      std::lock_guard<std::recursive_mutex> lock(task->task_lock);
      if (task->cancelled.load() || task->finished.load() || !task->registered.load()) continue;
      task->cancelled.store(true);
    }
    const int64_t id = task->id();
    // Fired with no lock held; the host's answer changes nothing.
    int result_code = OSTRASYNC_ERR_TASK_EXPIRED;
    try {
      (void)sink_->OnCancelTask(id, task->path(), &result_code);
    } catch (...) {
    }
    AbandonFetch(*task, OSTRASYNC_ERR_TASK_EXPIRED);
    (void)task_registry_.RemoveById(id);
  }
}

int SyncEngine::ProcessExcludedState(std::u16string_view) { return 0; }

}  // namespace ostrasync::engine
