// The OS's request for the content of a placeholder file: it becomes a GetFileData event for the
// host, whose data goes back to the OS through PutFileData (data_transfer.cc); and the OS's cancel
// of such a request.
#include <algorithm>

#include "engine/error_codes.h"
#include "engine/sync_engine.h"
#include "engine/task_payloads.h"

namespace ostrasync::engine {
namespace {

// Files larger than this are asked of the host from the requested offset to their end in one
// request, however little the requester needs, so that the host streams them once.
constexpr int64_t kWholeFileAbove = int64_t{1} << 32;

bool IsFailure(int result) { return result != 0 && result != OSTRASYNC_ERR_PENDING; }

// The task is no longer the one the OS's request belongs to: the OS (or the engine) cancelled it
// while the host's handler ran, and whoever did has answered the OS.
bool Withdrawn(const Task& task, int64_t id) {
  return task.cancelled.load() || !task.registered.load() || task.id() != id;
}

}  // namespace

int SyncEngine::HandleFetchData(Task& task) {
  OperationRecord* record = task.record();
  if (record == nullptr || !record->parameters) return OSTRASYNC_ERR_INVALID_PARAMETER;
  platform::CallbackParameters& set = *record->parameters.get();
  Log(4, u"Fetch file callback fired for '%s'", {record->normalized_path});

  std::u16string relative;
  int result = RelativePathOf(record->normalized_path, &relative);
  if (result == 0 && task_registry_.RegisterAs(task, relative, TaskFullPath(relative), OperationType::kReadData) == 0) {
    result = OSTRASYNC_ERR_OUT_OF_MEMORY;
  }
  if (result != 0) {
    RefuseCallback(task, result);
    return result;
  }
  const int64_t id = task.id();
  TransferBuffer& transfer = *task.transfer_buffer();
  bool handed_over = false;                // the monitor's from then on
  bool finalised_before_handover = false;  // and already finished when it became so

  int64_t offset = 0;
  int64_t required = 0;
  if (const platform::HResult hr = set.ReadInt64(u"RequiredFileOffset", &offset); hr != platform::kSOk) {
    Log(1, u"Internal error 0x%x: the `RequiredFileOffset` parameter not found in DoFetch.", {static_cast<uint32_t>(hr)});
    result = OSTRASYNC_ERR_INVALID_PARAMETER;
  } else if (const platform::HResult hr2 = set.ReadInt64(u"RequiredLength", &required); hr2 != platform::kSOk) {
    Log(1, u"Internal error 0x%x: the `RequiredLength` parameter not found in DoFetch.", {static_cast<uint32_t>(hr2)});
    result = OSTRASYNC_ERR_INVALID_PARAMETER;
  } else if (offset < 0 || required < 0 || offset > record->file_size) {
    Log(1, u"Invalid data range requested for '%s': offset %I64d, length %I64d, file size %I64d",
        {relative, offset, required, record->file_size});
    result = OSTRASYNC_ERR_INVALID_PARAMETER;
  }

  if (result == 0) {
    // The host is asked for data from the requested offset, never past the end of the file; the
    // parts sent back are placed from that offset too.
    const int64_t to_end = record->file_size - offset;
    required = std::min(required, to_end);
    const int64_t asked = record->file_size > kWholeFileAbove ? to_end : required;
    {
      std::lock_guard<std::mutex> lock(transfer.mutex);
      transfer.file_size = record->file_size;
      transfer.offset = offset;
      transfer.required_length = required;
    }
    record->required_offset = offset;
    platform::HResult hr = set.SetInt32(u"Flags", 0);
    if (hr == platform::kSOk) hr = set.SetInt64(u"Length", asked);
    if (hr == platform::kSOk) hr = set.SetInt64(u"Offset", offset);
    if (hr == platform::kSOk) hr = set.SetPointer(u"Buffer", nullptr);
    if (hr != platform::kSOk) result = OSTRASYNC_ERR_OUT_OF_MEMORY;
    if (result == 0) {
      (void)DoGetItemData(task, relative, offset, asked, &result);
      if (result == OSTRASYNC_ERR_PENDING && !Withdrawn(task, id)) {
        Log(4, u"GetItemData fired in async mode");
        {
          std::lock_guard<std::mutex> lock(transfer.mutex);
          platform::ProviderProgressRequest progress;
          progress.connection_key = record->connection_key;
          progress.transfer_key = record->transfer_key;
          progress.total = transfer.file_size;
          progress.completed = transfer.offset + transfer.sent;
          (void)binding().ReportProviderProgress(&progress);
        }
        // Marked before the handover: once the monitor may complete the fetch, its mark of a
        // failure is the one that stays.
        MarkRetrieveError(task, false);
        // Handed to the monitor under the task lock, where FinalizeTask and the cancellers decide:
        // a finalisation or a cancel from another thread lands either before the handover, and
        // this thread sees it here, or after it, and then they find an asynchronous task.
        std::lock_guard<std::recursive_mutex> lock(task.task_lock);
        if (!Withdrawn(task, id)) {
          EndTaskHandler(task, result);
          handed_over = true;
          finalised_before_handover = task.finished.load();
        }
      }
      if (handed_over) {
        // The monitor completes it, or this thread below when the host has finalised it already.
      } else if (Withdrawn(task, id)) {
        Log(4, u"Fetch operation cancelled while waiting for GetItemData handler to return");
        result = OSTRASYNC_ERR_CANCELLED;
        EndTaskHandler(task, result);
      } else if (result == 0) {
        Log(4, u"GetItemData fired in sync mode");
        EndTaskHandler(task, result);
        if (task.finished.load()) {
          result = FinishTransfer(task);
        } else if (task.cancelled.load()) {
          result = OSTRASYNC_ERR_CANCELLED;
        } else {
          Log(1, u"PutItemData or FinalizeTask was not called from GetItemData event handler");
          result = OSTRASYNC_ERR_DATA_NOT_COMPLETED;
        }
      } else {
        EndTaskHandler(task, result);
      }
    }
  }

  // Every failure reaches the requester at once (a fetch already answered is not answered again).
  if (IsFailure(result)) {
    std::lock_guard<std::mutex> lock(transfer.mutex);
    AnswerFetchFailure(task, transfer, result);
  }
  if (!handed_over) MarkRetrieveError(task, IsFailure(result));
  // The host finalised the fetch from another thread before its handler returned. A round of the
  // monitor that ran meanwhile passed the task by as still this thread's, and the next may be
  // half a second away, or never come where the host runs the rounds itself: the requester is
  // answered now. A fetch cancelled since is its canceller's, as it is for the monitor.
  if (finalised_before_handover && !task.cancelled.load()) (void)CompleteFinishedTask(task);
  return result;
}

void SyncEngine::MarkRetrieveError(Task& task, bool error) {
  if (!settings_.windows_update_icon_on_retrieve_errors.load() || task.full_path().empty()) return;
  platform::SyncErrorStateRequest mark;
  mark.path = task.full_path().c_str();
  mark.error = error;
  (void)binding().SetItemSyncErrorState(&mark);
}

int SyncEngine::DoGetItemData(Task& task, std::u16string_view path, int64_t offset, int64_t length, int* result) {
  const int64_t id = task.id();
  Log(4, u"DoGetItemData called for '%s', TaskId: %I64u", {path, id});
  Log(4, u"  Offset: %I64u, Length: %I64u", {offset, length});
  return FireTaskEvent(task, u"GetItemData", path, result,
                       [&](int* code) { return sink_->OnGetFileData(id, path, offset, length, code); });
}

int SyncEngine::HandleCancelFetchData(Task& task) {
  const OperationRecord* record = task.record();
  Log(4, u"Fetch cancel callback fired for '%s'", {record != nullptr ? record->normalized_path : task.path()});
  if (TransferBuffer* transfer = task.transfer_buffer()) {
    // The OS has withdrawn its request: nothing more may go to it, neither data nor a failure.
    std::lock_guard<std::mutex> lock(transfer->mutex);
    transfer->answered = true;
    if (transfer->failure == 0) transfer->failure = OSTRASYNC_ERR_CANCELLED;
  }
  return DoCancelTask(task, task.path()) == 0 ? 0 : OSTRASYNC_ERR_INVALID_PARAMETER;
}

}  // namespace ostrasync::engine
