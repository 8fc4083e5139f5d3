// The host's data for a fetch on its way to the OS: PutFileData, the parts it is sent in, the end
// of a fetch the host finalised, and the answer the OS gets when a fetch fails.
#include <algorithm>
#include <new>

#include "engine/error_codes.h"
#include "engine/sync_engine.h"
#include "engine/task_payloads.h"

namespace ostrasync::engine {

int SyncEngine::PutFileData(int64_t op_id, std::span<const uint8_t> buffer, int index, int count) {
  if (const int inactive = RequireActive()) return inactive;
  if (op_id < 0) return RecordError(OSTRASYNC_ERR_INVALID_OPID);
  const int64_t size = static_cast<int64_t>(buffer.size());
  if (buffer.data() == nullptr || index < 0 || count < 0 || index >= size || count > size - index) {
    return RecordError(OSTRASYNC_ERR_INVALID_PARAMETER, kTextBadBufferArguments);
  }
  TaskRef task;
  if (const int found = task_registry_.FindById(op_id, /*include_cancelled=*/true, &task)) return RecordError(found);
  TransferBuffer* transfer = task->transfer_buffer();
  if (task->type() != OperationType::kReadData || task->record() == nullptr || !task->record()->parameters ||
      transfer == nullptr) {
    return RecordError(OSTRASYNC_ERR_INVALID_PARAMETER, kTextNoOperationForOpId);
  }
  // Called from inside the GetFileData handler: the handler's thread lets go of the task here, so
  // that other threads may finish it while the handler goes on.
  if (task->async_start.load() == 0) (void)task->handler_lock.LeaveIfOwner();

  int result = 0;
  bool over = false;
  if (task->cancelled.load()) {
    result = OSTRASYNC_ERR_CANCELLED;
  } else {
    std::lock_guard<std::mutex> lock(transfer->mutex);
    // Checked under the transfer's lock: once FinalizeTask has been called, the final part may be
    // on its way, and data arriving now would land after it or race it.
    if (transfer->answered || task->finished.load()) {
      over = true;
    } else {
      try {
        result = TransferChunks(*task, *transfer, buffer.subspan(static_cast<std::size_t>(index), static_cast<std::size_t>(count)),
                                /*final=*/false);
      } catch (const std::bad_alloc&) {
        result = OSTRASYNC_ERR_OUT_OF_MEMORY;
      }
    }
  }
  if (over) return RecordError(OSTRASYNC_ERR_INVALID_PARAMETER, kTextNoOperationForOpId);
  if (result == 0) return 0;
  (void)FailTransfer(*task, result);
  // A failed asynchronous fetch is over: nothing the host sends for it can be used any more. A
  // synchronous one is removed by its firer when the handler returns.
  if (task->async_start.load() >= 1) (void)task_registry_.Remove(task.get());
  return RecordError(result);
}

int SyncEngine::TransferChunks(Task& task, TransferBuffer& transfer, std::span<const uint8_t> input, bool final) {
  constexpr std::size_t kChunk = TransferBuffer::kChunkSize;
  if (task.cancelled.load()) return OSTRASYNC_ERR_CANCELLED;
  ByteStream& held = transfer.held;
  // Bytes past the end of the file have nowhere to go.
  const int64_t room = transfer.file_size - transfer.offset - transfer.sent - static_cast<int64_t>(held.Size());
  if (room < static_cast<int64_t>(input.size())) input = input.first(static_cast<std::size_t>(std::max<int64_t>(room, 0)));

  // Held bytes come first: they are topped up to a whole part from the new data and sent.
  if (held.Size() > 0) {
    const std::size_t take = std::min(input.size(), kChunk - held.Size());
    held.Append(input.first(take));
    input = input.subspan(take);
    if (held.Size() < kChunk && !final) return 0;
    held.Seek(0);
    const int sent = SendChunk(task, transfer, held.Read(kChunk));
    held.DiscardBeforePosition();
    if (sent != 0) return sent;
  }
  // Whole parts go straight from the host's buffer; only a short rest is kept for later.
  while (input.size() >= kChunk || (final && !input.empty())) {
    const std::size_t n = std::min(kChunk, input.size());
    if (const int sent = SendChunk(task, transfer, input.first(n))) return sent;
    input = input.subspan(n);
  }
  held.Append(input);
  return 0;
}

int SyncEngine::SendChunk(Task& task, TransferBuffer& transfer, std::span<const uint8_t> chunk) {
  if (task.cancelled.load() || transfer.answered) return OSTRASYNC_ERR_CANCELLED;
  OperationRecord& record = *task.record();
  platform::CallbackParameters& set = *record.parameters.get();
  // Parts are placed from the offset the host was asked for, one after the other.
  const int64_t at = transfer.offset + transfer.sent;
  const int64_t length = static_cast<int64_t>(chunk.size());

  platform::ProviderProgressRequest progress;
  progress.connection_key = record.connection_key;
  progress.transfer_key = record.transfer_key;
  progress.total = transfer.file_size;
  progress.completed = at + length;
  (void)binding().ReportProviderProgress(&progress);

  platform::HResult hr = set.SetInt64(u"Offset", at);
  if (hr == platform::kSOk) hr = set.SetInt64(u"Length", length);
  if (hr == platform::kSOk) hr = set.SetPointer(u"Buffer", chunk.data());
  if (hr != platform::kSOk) return OSTRASYNC_ERR_OUT_OF_MEMORY;
  platform::ExecuteActionRequest request;
  request.operation_type = platform::cf::kTransferData;
  request.connection_key = record.connection_key;
  request.transfer_key = record.transfer_key;
  request.correlation_vector = record.correlation_vector;
  request.parameters = &set;
  request.completion_status = platform::ntstatus::kSuccess;
  hr = binding().ExecutePlaceholderAction(&request);
  // The part's address is the host's or the buffer's, valid only for this call.
  (void)set.SetPointer(u"Buffer", nullptr);
  if (hr < 0) {
    SetOsLastError(static_cast<uint32_t>(hr));
    Log(1, u"Transferring data for '%s' failed at offset %I64u, length %I64u, error code: 0x%x",
        {task.path(), at, length, static_cast<uint32_t>(hr)});
    return OSTRASYNC_ERR_OS_CALL;
  }
  transfer.sent += length;
  record.data_sent.store(true);
  return 0;
}

int SyncEngine::FinishTransfer(Task& task) {
  const int host_result = task.result_code.load();
  TransferBuffer* transfer = task.transfer_buffer();
  // A fetch task that no OS request stands behind has nobody to send to.
  if (transfer == nullptr || task.record() == nullptr || !task.record()->parameters) return host_result;
  int result = 0;
  bool part_failed = false;
  {
    std::lock_guard<std::mutex> lock(transfer->mutex);
    if (transfer->answered) return transfer->failure;
    if (host_result != 0) {
      result = host_result;
    } else if (task.cancelled.load()) {
      result = OSTRASYNC_ERR_CANCELLED;
    } else if (const int64_t supplied = transfer->sent + static_cast<int64_t>(transfer->held.Size());
               supplied < transfer->required_length) {
      // Declaring the fetch done would leave the requester with a hole where its data should be.
      Log(1, u"Data supplied for '%s' ends short of the requested range: %I64d of %I64d bytes",
          {task.path(), supplied, transfer->required_length});
      result = OSTRASYNC_ERR_DATA_NOT_COMPLETED;
    } else {
      result = TransferChunks(task, *transfer, {}, /*final=*/true);
      part_failed = result != 0;
    }
    if (result != 0) {
      AnswerFetchFailure(task, *transfer, result);
    } else {
      transfer->answered = true;
    }
  }
  if (part_failed) (void)FailTransfer(task, result);
  return result;
}

void SyncEngine::AnswerFetchFailure(Task& task, TransferBuffer& transfer, int code) {
  if (transfer.answered) return;
  transfer.answered = true;
  transfer.failure = code;
  RefuseCallback(task, code);
}

int SyncEngine::FailTransfer(Task& task, int code) {
  if (TransferBuffer* transfer = task.transfer_buffer()) {
    std::lock_guard<std::mutex> lock(transfer->mutex);
    AnswerFetchFailure(task, *transfer, code);
  }
  (void)DoCancelTask(task, task.path());
  return code;
}

void SyncEngine::AbandonFetch(Task& task, int code) {
  if (task.type() != OperationType::kReadData) return;
  TransferBuffer* transfer = task.transfer_buffer();
  if (transfer == nullptr) return;
  std::lock_guard<std::mutex> lock(transfer->mutex);
  AnswerFetchFailure(task, *transfer, code);
}

int SyncEngine::CompleteReadData(Task& task) { return FinishTransfer(task); }

}  // namespace ostrasync::engine
