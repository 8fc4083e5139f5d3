// The engine's entry for the operating system's callbacks: serialises them when asked to, admits
// them only while the engine runs, attaches a task, runs the type's handler and reports failures.
// It counts the admitted callbacks so that teardown can wait for them.
#include <array>
#include <chrono>
#include <new>
#include <thread>

#include "engine/error_codes.h"
#include "engine/sync_engine.h"

namespace ostrasync::engine {
namespace {

using platform::cf::CallbackType;

constexpr std::array<const char16_t*, platform::cf::kCallbackTypeCount> kCallbackNames = {
    u"CF_CALLBACK_TYPE_FETCH_DATA",
    u"CF_CALLBACK_TYPE_VALIDATE_DATA",
    u"CF_CALLBACK_TYPE_CANCEL_FETCH_DATA",
    u"CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS",
    u"CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS",
    u"CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION",
    u"CF_CALLBACK_TYPE_NOTIFY_FILE_CLOSE_COMPLETION",
    u"CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE",
    u"CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION",
    u"CF_CALLBACK_TYPE_NOTIFY_DELETE",
    u"CF_CALLBACK_TYPE_NOTIFY_DELETE_COMPLETION",
    u"CF_CALLBACK_TYPE_NOTIFY_RENAME",
    u"CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION"};

const char16_t* CallbackTypeName(CallbackType type) {
  return type < kCallbackNames.size() ? kCallbackNames[type] : u"CF_CALLBACK_TYPE_NONE";
}

// Callbacks of any engine running on this thread right now; a teardown started from inside one
// waits only for the others.
thread_local int32_t t_callbacks_on_this_thread = 0;

// Counts one callback as in flight for as long as it is inside the dispatcher.
class InFlight {
 public:
  explicit InFlight(std::atomic<int32_t>& count) : count_(count) {
    count_.fetch_add(1);
    ++t_callbacks_on_this_thread;
  }
  ~InFlight() {
    --t_callbacks_on_this_thread;
    count_.fetch_sub(1);
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  std::atomic<int32_t>& count_;
};

// What an answer or a progress report needs of the callback, copied: the OS's record is gone
// once the callback returns.
std::unique_ptr<OperationRecord> RecordOf(CallbackType type, const platform::CallbackInfo& info,
                                          platform::CallbackParameters* parameters) {
  auto record = std::make_unique<OperationRecord>();
  record->callback_type = type;
  record->parameters = platform::CallbackParametersPtr::Retain(parameters);
  record->normalized_path = info.normalized_path;
  record->connection_key = info.connection_key;
  record->transfer_key = info.transfer_key;
  record->request_key = info.request_key;
  record->correlation_vector = info.correlation_vector;
  record->file_size = info.file_size;
  record->file_identity.assign(info.file_identity.begin(), info.file_identity.end());
  return record;
}

}  // namespace

void SyncEngine::CallbackDispatcher(void* engine, platform::cf::CallbackType type, const platform::CallbackInfo& info,
                                    platform::CallbackParameters* parameters) {
  static_cast<SyncEngine*>(engine)->DispatchCallback(type, info, parameters);
}

void SyncEngine::DispatchCallback(platform::cf::CallbackType type, const platform::CallbackInfo& info,
                                  platform::CallbackParameters* parameters) {
  // Counted before the check, so a teardown that changes the flags after this point still sees
  // this callback and waits for it.
  InFlight in_flight(callbacks_in_flight_);
  const char16_t* name = CallbackTypeName(type);
  const std::u16string& path = info.normalized_path;

  // A cancel is never held up behind the request it cancels.
  std::shared_ptr<std::recursive_mutex> serialize;
  if (settings_.serialize_events.load() && type != platform::cf::kCancelFetchData) {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    serialize = serialize_events_lock_;
  }
  std::unique_lock<std::recursive_mutex> serialized;
  if (serialize) {
    Log(4, u"Acquiring critical section to process callback in SerializeEvents mode for '%s', type: %s", {path, name});
    serialized = std::unique_lock<std::recursive_mutex>(*serialize);
    Log(4, u"Acquired critical section to process callback in SerializeEvents mode for '%s', type: %s", {path, name});
  }

  const bool admitted = activating_.load() != 0 || (active_.load() != 0 && deactivating_.load() == 0);
  if (admitted) ServeCallback(type, info, parameters);

  if (serialized) {
    Log(4, u"Releasing critical section in SerializeEvents mode for '%s', type: %s", {path, name});
    serialized.unlock();
    Log(4, u"Released critical section in SerializeEvents mode for '%s', type: %s", {path, name});
  }
}

void SyncEngine::ServeCallback(platform::cf::CallbackType type, const platform::CallbackInfo& info,
                               platform::CallbackParameters* parameters) {
  const char16_t* name = CallbackTypeName(type);
  const std::u16string& path = info.normalized_path;
  Log(4, u"Placeholder callback fired for '%s', type: %s", {path, name});

  int result = 0;
  TaskRef task;
  switch (type) {
    case platform::cf::kNotifyFileOpenCompletion:
    case platform::cf::kNotifyFileCloseCompletion:
      break;
    case platform::cf::kCancelFetchData:
    case platform::cf::kCancelFetchPlaceholders: {
      // A cancel concerns a request the engine handed to the host; without one there is nothing
      // to do and nothing to report.
      std::u16string relative;
      if (RelativePathOf(path, &relative) != 0) return;
      const OperationType cancelled =
          type == platform::cf::kCancelFetchData ? OperationType::kReadData : OperationType::kList;
      if (task_registry_.FindByKey(relative, cancelled, /*include_cancelled=*/false, &task) != 0) return;
      break;
    }
    default:
      try {
        task = task_registry_.Take(u"", u"", OperationType::kUndefined, RecordOf(type, info, parameters));
      } catch (const std::bad_alloc&) {
      }
      if (!task) result = OSTRASYNC_ERR_OUT_OF_MEMORY;
      break;
  }

  if (result == 0) {
    switch (type) {
      case platform::cf::kFetchData:
        result = HandleFetchData(*task);
        break;
      case platform::cf::kCancelFetchData:
        result = HandleCancelFetchData(*task);
        break;
      case platform::cf::kFetchPlaceholders:
        result = HandleFetchPlaceholders(*task);
        break;
      case platform::cf::kCancelFetchPlaceholders:
        result = HandleCancelFetchPlaceholders(*task);
        break;
      case platform::cf::kNotifyDehydrate:
        result = HandleNotifyDehydrate(*task);
        break;
      default:
        // Validation, the completions and the opens and closes have no handler yet: nothing to
        // answer, nothing failed.
        break;
    }
  }

  if (result != 0 && result != OSTRASYNC_ERR_PENDING) {
    Log(1, u"Placeholder callback failed for '%s'. Type: %s, error code: 0x%x", {path, name, result});
    FireErrorEvent(result, kTextPlaceholderCallbackFailed);
  } else {
    Log(4, u"Placeholder callback type %s finished successfully for '%s'", {name, path});
  }
  // A task handed over to asynchronous completion stays registered under the registry's own
  // reference; the dispatcher's reference goes in every case.
  if (task && result != OSTRASYNC_ERR_PENDING) (void)task_registry_.Remove(task.get());
}

void SyncEngine::WaitForCallbacksToDrain() {
  while (callbacks_in_flight_.load() > t_callbacks_on_this_thread) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace ostrasync::engine
