// Asking the host what a remote folder holds: the listing of one folder, the population of the
// whole tree at activation, the OS's requests to list a folder and to cancel such a request, and
// the completion of a listing the host finished later.
#include "engine/error_codes.h"
#include "engine/sync_engine.h"
#include "engine/task_payloads.h"

namespace ostrasync::engine {
namespace {

constexpr int kTraceLevel = 0x2201;
constexpr int32_t kBatchSize = 1000;
constexpr char16_t kAllItems[] = u"*";

}  // namespace

int SyncEngine::PopulateRoot() {
  const int result = ProcessDirectory(u"\\", kAllItems, 0, kBatchSize, /*recursive=*/true);
  // A listing the host finishes later is completed, and its recursion carried on, by the monitor.
  return result == OSTRASYNC_ERR_PENDING ? 0 : result;
}

int SyncEngine::ProcessDirectory(std::u16string_view path, std::u16string_view mask, int64_t context,
                                 int32_t batch_size, bool recursive, bool mark_populated_when_finished,
                                 bool* complete) {
  Log(4, u"Processing directory '%s', context: %I64u", {path, context});
  TaskRef task;
  const int result =
      EnumerateRemoteItems(&task, path, mask, context, batch_size, recursive, mark_populated_when_finished);
  if ((result != 0 && result != OSTRASYNC_ERR_PENDING) || !task) {
    Log(1, u"Enumeration request failed for '%s'. Result: 0x%x", {path, result});
    return result;
  }
  if (result == OSTRASYNC_ERR_PENDING) return result;
  Log(4, u"Enumeration request completed for '%s', handle: %I64u", {path, task->id()});
  const int finished = FinishEnumeration(*task, /*remove_task=*/true);
  if (complete != nullptr) *complete = !task->enumeration_buffer()->incomplete.load();
  return finished;
}

int SyncEngine::EnumerateRemoteItems(TaskRef* out, std::u16string_view path, std::u16string_view mask,
                                     int64_t context, int32_t batch_size, bool recursive,
                                     bool mark_populated_when_finished) {
  out->reset();
  Log(4, u"Enumerate remote items for '%s', mask: '%s'", {path, mask});
  TaskRef task;
  try {
    task = task_registry_.Take(path, TaskFullPath(path), OperationType::kList);
    if (task) {
      // Described before it is registered: from then on the host may report items from any thread.
      EnumerationBuffer& buffer = *task->enumeration_buffer();
      buffer.batch_size = batch_size;
      buffer.recursive = recursive;
      buffer.context = context;
      buffer.mask.assign(mask);
      buffer.mark_populated_when_finished = mark_populated_when_finished;
    }
  } catch (const std::bad_alloc&) {
    task.reset();
  }
  if (!task || task->enumeration_buffer() == nullptr) {
    const int result = RecordError(OSTRASYNC_ERR_OUT_OF_MEMORY, kTextOutOfMemory);
    Log(4, u"Enumeration of '%s' finished with error code %d", {path, result});
    return result;
  }
  (void)task_registry_.Register(task);

  int result = DoListItems(*task, path, mask);
  if (result == 0 && stop_activation_requested_.load() != 0) result = OSTRASYNC_ERR_CANCELLED;
  EndTaskHandler(*task, result);
  if (result != 0 && result != OSTRASYNC_ERR_PENDING) {
    (void)task_registry_.Remove(task.get());
  } else {
    *out = std::move(task);
  }
  Log(4, u"Enumeration of '%s' finished with error code %d", {path, result});
  return result;
}

int SyncEngine::DoListItems(Task& task, std::u16string_view path, std::u16string_view mask) {
  const int64_t id = task.id();
  Log(4, u"DoListItems called for '%s', Mask: '%s', TaskId: %I64u", {path, mask, id});
  int result_code = 0;
  return FireTaskEvent(task, u"ListItems", path, &result_code,
                       [&](int* code) { return sink_->OnListDirectory(id, path, mask, code); });
}

int SyncEngine::CompleteListing(Task& task, int host_result) {
  // The items reported are put on disk even when the host then reported a failure: they exist
  // remotely. But a listing that failed is not complete, so the folder stays to be asked again.
  const int result = FinishEnumeration(task, /*remove_task=*/false);
  if (host_result != 0) return host_result;
  const EnumerationBuffer& buffer = *task.enumeration_buffer();
  if (result == 0 && buffer.mark_populated_when_finished && !buffer.incomplete.load()) {
    return MarkFolderPopulated(task.path());
  }
  return result;
}

int SyncEngine::MarkFolderPopulated(std::u16string_view relative) {
  const std::shared_ptr<items::PlaceholderManager> manager = placeholder_manager();
  if (!manager) return kWinNotReady;
  const std::u16string full = manager->FullPath(relative);
  platform::UpdatePlaceholderRequest request;
  request.path = full.c_str();
  request.flags = platform::cf::kUpdateDisableOnDemandPopulation;
  // The change is the engine's own: local change tracking is not to report it.
  const bool cached = metadata_cache_.SetLocked(relative, true);
  const platform::HResult hr = binding().UpdatePlaceholder(&request);
  if (cached) (void)metadata_cache_.SetLocked(relative, false);
  if (hr < 0) {
    SetOsLastError(static_cast<uint32_t>(hr));
    Log(1, u"Failed to mark the folder '%s' as populated. Error code: 0x%x", {relative, static_cast<uint32_t>(hr)});
    return OSTRASYNC_ERR_OS_CALL;
  }
  return 0;
}

int SyncEngine::HandleFetchPlaceholders(Task& task) {
  OperationRecord* record = task.record();
  if (record == nullptr || !record->parameters) return OSTRASYNC_ERR_INVALID_PARAMETER;
  Log(kTraceLevel, u"Fetch placeholders callback fired for '%s'", {record->normalized_path});
  std::u16string relative;
  if (const int failed = RelativePathOf(record->normalized_path, &relative); failed != 0) {
    // The user still waits for an answer; a refusal ends the wait now.
    RefuseCallback(task, failed);
    return failed;
  }
  Log(4, u"Creating placeholders...");
  // The OS's "Pattern" is not passed on: the folder is listed whole, since a folder marked
  // populated is never asked about again.
  bool complete = true;
  const int result = ProcessDirectory(relative, kAllItems, 0, kBatchSize, /*recursive=*/false,
                                      /*mark_populated_when_finished=*/true, &complete);
  Log(4, u"Creating placeholders finished. Error code: 0x%x", {result});

  // The placeholders are already on disk; the answer only ends the request. A listing the host
  // finishes later is not complete yet, so the OS is not told that the folder is populated: it
  // is marked when the listing ends (CompleteListing).
  platform::ExecuteActionRequest request;
  request.operation_type = platform::cf::kTransferPlaceholders;
  request.connection_key = record->connection_key;
  request.transfer_key = record->transfer_key;
  request.correlation_vector = record->correlation_vector;
  request.parameters = record->parameters.get();
  request.completion_status = platform::CompletionStatusFromHostResult(result);
  request.placeholder_total_count = 0;
  // A folder missing an item it should hold is not declared complete either: the user sees what
  // is there now, and the next look asks again for the rest.
  request.placeholder_flags =
      result == 0 && complete ? platform::cf::kTransferPlaceholdersDisableOnDemandPopulation : 0;
  if (binding().ExecutePlaceholderAction(&request) < 0) {
    Log(1, u"Fetch placeholders callback failed");
    // The user still waits for an answer, and would wait for the OS's time-out: a refusal, which
    // carries nothing that could be wrong, ends the wait now.
    RefuseCallback(task, OSTRASYNC_ERR_DATA_NOT_COMPLETED);
    return OSTRASYNC_ERR_DATA_NOT_COMPLETED;
  }
  return result;
}

int SyncEngine::HandleCancelFetchPlaceholders(Task& task) {
  Log(4, u"Fetch placeholders cancel callback fired for '%s'", {task.path()});
  return CancelTransferByPath(task.path(), static_cast<int>(OperationType::kList)) ? 0
                                                                                    : OSTRASYNC_ERR_INVALID_PARAMETER;
}

}  // namespace ostrasync::engine
