// A request the engine has handed to the host through an event (fetch data, list a folder, report
// a local change), with the locks and flags that let the host finish it from any thread.
#ifndef OSTRASYNC_ENGINE_TASK_H_
#define OSTRASYNC_ENGINE_TASK_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/callback_parameters.h"
#include "platform/cloud_files_binding.h"
#include "platform/file_handle.h"
#include "platform/win32_terms.h"

namespace ostrasync::engine {

// The values are those the log shows and the host may see.
enum class OperationType : int32_t {
  kUndefined = -1,    // an OS callback without a type of its own
  kRename = 0,        // local rename reported to the host
  kReadData = 1,      // fetch of file data
  kWriteData = 2,     // local update reported to the host
  kCreate = 3,        // local creation reported to the host
  kDelete = 4,        // local deletion reported to the host
  kList = 5,          // folder listing
  kInternalList = 6,  // reserved; never completed asynchronously
};

inline constexpr int kOperationTypeCount = 7;  // kRename .. kInternalList

// "OP_READ_DATA" and so on; "OP_UNDEFINED" for anything out of range.
const char16_t* OperationTypeName(OperationType type);
// The suffix that makes a task's key from its path: "|R" for kReadData; empty for kUndefined and
// kInternalList.
std::u16string_view OperationKeySuffix(OperationType type);

// What an OS callback that became a task carries to whoever answers it. The callback's own
// record is gone once the callback returns, so the values an answer or a progress report needs
// are copied here.
struct OperationRecord {
  platform::cf::CallbackType callback_type = platform::cf::kFetchData;
  platform::CallbackParametersPtr parameters;  // the callback's values; the answer adds its own
  std::u16string normalized_path;              // volume-relative, as the OS reported it
  int64_t connection_key = 0;
  int64_t transfer_key = 0;
  int64_t request_key = 0;
  const void* correlation_vector = nullptr;
  int64_t file_size = 0;
  std::vector<uint8_t> file_identity;  // copy of the placeholder's identity
  int64_t required_offset = 0;               // RequiredFileOffset of a fetch
  std::atomic<bool> data_sent{false};        // set once a data transfer has sent a part
};

// Payloads filled in by the subsystems that own them (data transfer, listing); declared here so
// that a task can own them and free them with itself.
struct TransferBuffer;
struct EnumerationBuffer;
struct TransferBufferDeleter {
  void operator()(TransferBuffer* buffer) const;
};
struct EnumerationBufferDeleter {
  void operator()(EnumerationBuffer* buffer) const;
};

// The lock held while the host's handler of a task's event runs. Unlike a plain mutex it records
// which thread holds it, so that "release if I hold it" is safe to call from any thread and a
// thread that does not hold it can never leave it.
class HandlerLock {
 public:
  void Enter();
  // Leaves the lock when the calling thread holds it; true if it did.
  bool LeaveIfOwner();
  // True while any thread holds it.
  bool Held() const;
  bool HeldByCurrentThread() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_;  // signalled under mutex_ when owner_ is cleared
  std::thread::id owner_;             // guarded by mutex_; empty while free
};

class TaskRegistry;

// Reference counted: the registry holds one reference for as long as the task is registered, and
// every lookup hands out one more, carried by a TaskRef. The last reference returns the task to
// its registry's pool.
class Task {
 public:
  Task() = default;
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  int64_t id() const { return id_.load(); }
  OperationType type() const { return type_; }
  const std::u16string& key() const { return key_; }
  const std::u16string& path() const { return path_; }            // relative to the sync root
  const std::u16string& full_path() const { return full_path_; }  // absolute
  OperationRecord* record() const { return record_.get(); }
  TransferBuffer* transfer_buffer() const { return transfer_buffer_.get(); }
  EnumerationBuffer* enumeration_buffer() const { return enumeration_buffer_.get(); }
  // Old and new relative path of an OP_RENAME task.
  std::u16string& rename_from() { return rename_from_; }
  std::u16string& rename_to() { return rename_to_; }

  // Guards the result code and the finished flag against concurrent finalisation and
  // cancellation. Re-entrant: a canceller holds it while it runs DoCancelTask, which takes it too.
  std::recursive_mutex task_lock;
  HandlerLock handler_lock;

  std::atomic<int32_t> result_code{0};  // written under task_lock by FinalizeTask
  std::atomic<bool> finished{false};    // written under task_lock
  std::atomic<bool> cancelled{false};   // written under task_lock
  // True from registration to removal. Read without the registry lock by code that holds only
  // the task lock, so that no path takes the registry lock under a task lock.
  std::atomic<bool> registered{false};
  // Monotonic milliseconds when the handler switched to asynchronous mode; 0 while synchronous.
  std::atomic<int64_t> async_start{0};

  // The local data file a read of local content opened; closed when the task is reset.
  std::mutex local_file_mutex;
  platform::FileHandlePtr local_file;  // guarded by local_file_mutex
  int64_t local_file_size = -1;        // guarded by local_file_mutex; -1 until known

 private:
  friend class TaskRegistry;
  friend class TaskRef;

  void AddRef() { references_.fetch_add(1, std::memory_order_relaxed); }
  // Frees every payload and clears the fields for reuse.
  void Reset();

  std::atomic<uint32_t> references_{0};
  TaskRegistry* owner_ = nullptr;  // set when taken from the pool
  std::atomic<int64_t> id_{-1};    // assigned at registration
  OperationType type_ = OperationType::kUndefined;
  std::u16string key_;
  std::u16string path_;
  std::u16string full_path_;
  std::unique_ptr<OperationRecord> record_;
  std::unique_ptr<TransferBuffer, TransferBufferDeleter> transfer_buffer_;
  std::unique_ptr<EnumerationBuffer, EnumerationBufferDeleter> enumeration_buffer_;
  std::u16string rename_from_;
  std::u16string rename_to_;
};

// One reference to a task; dropping it may return the task to the pool.
class TaskRef {
 public:
  TaskRef() = default;
  TaskRef(const TaskRef& other) : task_(other.task_) {
    if (task_) task_->AddRef();
  }
  TaskRef(TaskRef&& other) noexcept : task_(std::exchange(other.task_, nullptr)) {}
  TaskRef& operator=(TaskRef other) noexcept {
    std::swap(task_, other.task_);
    return *this;
  }
  ~TaskRef() { reset(); }

  void reset();
  Task* get() const { return task_; }
  Task* operator->() const { return task_; }
  Task& operator*() const { return *task_; }
  explicit operator bool() const { return task_ != nullptr; }

 private:
  friend class TaskRegistry;
  // Adopts a reference the caller already counted.
  explicit TaskRef(Task* adopted) : task_(adopted) {}

  Task* task_ = nullptr;
};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_TASK_H_
