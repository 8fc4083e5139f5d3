// The handlers of the OS callbacks that get a task, and the refusal that answers a callback the
// engine cannot serve.
#include "engine/error_codes.h"
#include "engine/sync_engine.h"
#include "engine/sync_root_path.h"

namespace ostrasync::engine {

int SyncEngine::RelativePathOf(std::u16string_view normalized_path, std::u16string* relative) {
  const std::shared_ptr<items::PlaceholderManager> manager = placeholder_manager();
  if (manager && RelativeToRoot(normalized_path, manager->volume_relative_root(), relative)) return 0;
  Log(1, u"Failed to get relative path for '%s'", {normalized_path});
  return OSTRASYNC_ERR_INVALID_PARAMETER;
}

// Dehydration is served by its own subsystem. Until it serves the callback, the callback is
// refused at once, so that the user's request fails now instead of waiting for the OS's
// time-out, and the host hears of it through Error.

int SyncEngine::HandleNotifyDehydrate(Task& task) {
  RefuseCallback(task, OSTRASYNC_ERR_OPERATION_DENIED);
  return OSTRASYNC_ERR_OPERATION_DENIED;
}

void SyncEngine::RefuseCallback(Task& task, int result) {
  OperationRecord* record = task.record();
  if (record == nullptr || !record->parameters) return;
  platform::CallbackParameters& set = *record->parameters.get();
  platform::ExecuteActionRequest request;
  request.connection_key = record->connection_key;
  request.transfer_key = record->transfer_key;
  request.correlation_vector = record->correlation_vector;
  request.parameters = &set;
  request.completion_status = platform::CompletionStatusFromHostResult(result);
  platform::HResult hr = platform::kSOk;
  switch (record->callback_type) {
    case platform::cf::kFetchData: {
      // The refusal covers the range the requester is waiting for; it carries no data.
      int64_t offset = 0;
      int64_t length = 0;
      (void)set.ReadInt64(u"RequiredFileOffset", &offset);
      (void)set.ReadInt64(u"RequiredLength", &length);
      request.operation_type = platform::cf::kTransferData;
      if ((hr = set.SetInt64(u"Offset", offset)) == platform::kSOk && (hr = set.SetInt64(u"Length", length)) == platform::kSOk &&
          (hr = set.SetInt32(u"Flags", 0)) == platform::kSOk) {
        hr = set.SetPointer(u"Buffer", nullptr);
      }
      break;
    }
    case platform::cf::kFetchPlaceholders:
      request.operation_type = platform::cf::kTransferPlaceholders;
      break;
    case platform::cf::kNotifyDehydrate:
      request.operation_type = platform::cf::kAckDehydrate;
      if ((hr = set.SetPointer(u"FileIdentity", nullptr)) == platform::kSOk &&
          (hr = set.SetInt32(u"FileIdentityLength", 0)) == platform::kSOk) {
        hr = set.SetInt32(u"Flags", 0);
      }
      break;
    default:
      return;  // nothing the OS waits for
  }
  if (hr == platform::kSOk) hr = binding().ExecutePlaceholderAction(&request);
  if (hr < 0) {
    Log(1, u"Failed to answer the OS for '%s', error code: 0x%x", {record->normalized_path, static_cast<uint32_t>(hr)});
  }
}

}  // namespace ostrasync::engine
