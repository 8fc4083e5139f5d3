// The engine's registry of open tasks: finds them by id (the host's OpId) and by key (relative path
// and operation type), assigns ids, and recycles finished tasks through a small pool.
#ifndef OSTRASYNC_ENGINE_TASK_REGISTRY_H_
#define OSTRASYNC_ENGINE_TASK_REGISTRY_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/task.h"

namespace ostrasync::engine {

// Safe for concurrent use. Lock order: the registry lock comes before any task's own locks. No
// operation of the registry takes a task lock, and the engine never takes a task lock while it
// holds the registry lock; code holding a task lock reads Task::registered instead of asking the
// registry. A host handler run under a task lock (CancelTask) may still call back into the
// registry: nothing that holds the registry lock ever waits for a task lock, so no cycle forms.
class TaskRegistry {
 public:
  static constexpr std::size_t kPoolCapacity = 128;

  TaskRegistry() = default;
  // Every task must have been released: the pool's tasks are freed here.
  ~TaskRegistry();
  TaskRegistry(const TaskRegistry&) = delete;
  TaskRegistry& operator=(const TaskRegistry&) = delete;

  // A task with one reference (the caller's), its payload made for its type (kReadData: an empty
  // transfer buffer; kList: an enumeration buffer; kRename: an empty path pair). `full_path` is
  // the sync root joined with `path`. Null only when memory runs out.
  [[nodiscard]] TaskRef Take(std::u16string_view path, std::u16string_view full_path, OperationType type,
                             std::unique_ptr<OperationRecord> record = nullptr);

  // Gives the task its id and inserts it into both indexes; the registry takes its own reference.
  // Returns the new id (1, 2, 3, ... never repeated during the registry's life).
  int64_t Register(const TaskRef& task);
  // Registers a task taken without a path (an OS callback's task) once its handler knows what it
  // is: gives it its path, type and payload first. 0 when memory runs out (nothing registered).
  // REQUIRES: the task is not registered.
  int64_t RegisterAs(const TaskRef& task, std::u16string_view path, std::u16string_view full_path,
                     OperationType type);
  // The same for a task its caller holds only by reference (a callback handler's task).
  int64_t RegisterAs(Task& task, std::u16string_view path, std::u16string_view full_path, OperationType type);

  // The registered task with `id`, with a new reference. 0x21000005 for an id below 1 or an
  // unknown id; 0x21000031 for a cancelled task unless `include_cancelled`.
  [[nodiscard]] int FindById(int64_t id, bool include_cancelled, TaskRef* out) const;
  // The same by relative path and type; 0x21000005 when none is registered.
  [[nodiscard]] int FindByKey(std::u16string_view path, OperationType type, bool include_cancelled,
                              TaskRef* out) const;

  // Removes the task from both indexes and drops the registry's reference. Found by its id, or by
  // pointer when the id does not find it. True if it was registered; a task that was not is left
  // as it is (no reference is dropped).
  bool Remove(Task* task);
  bool RemoveById(int64_t id);
  // Remove, for a task its caller completes now (the monitor takes a finished task out before
  // completing it, so that no canceller reaches it meanwhile). Its work is still under way, so it
  // counts in PendingCount until EndCompletion. False, with nothing counted, when it was not
  // registered.
  bool RemoveForCompletion(Task* task);
  void EndCompletion();

  // Number of registered tasks.
  [[nodiscard]] std::size_t Count() const;
  // Registered tasks and those removed for completion that have not completed yet: what the host
  // sees as the operations still pending.
  [[nodiscard]] std::size_t PendingCount() const;
  // Registered tasks that went asynchronous and are not cancelled.
  [[nodiscard]] std::size_t PendingAsyncCount() const;

  // References to every registered task in id order, taken under the registry lock. Scans (the
  // monitor, the expiry check, cancelling everything) work on it outside the lock, so that no
  // host handler and no OS call ever runs under the registry lock.
  [[nodiscard]] std::vector<TaskRef> Snapshot() const;

  // Frees the idle tasks of the pool.
  void EmptyPool();
  [[nodiscard]] std::size_t PoolSizeForTest() const;

 private:
  friend class TaskRef;

  // Sets the path, type, key and type's payload of a task nobody else sees yet. May throw
  // std::bad_alloc.
  static void Describe(Task& task, std::u16string_view path, std::u16string_view full_path, OperationType type);
  // Called by TaskRef when the last reference goes: resets the task and pools or frees it.
  void Recycle(Task* task);

  mutable std::recursive_mutex mutex_;  // the registry lock
  std::map<int64_t, TaskRef> by_id_;    // guarded by mutex_; holds the registry's references
  std::multimap<std::u16string, Task*> by_key_;  // guarded by mutex_; same tasks, by key
  std::size_t completing_ = 0;                   // guarded by mutex_; see RemoveForCompletion
  std::atomic<int64_t> last_id_{0};

  mutable std::mutex pool_mutex_;
  std::vector<std::unique_ptr<Task>> pool_;  // guarded by pool_mutex_; at most kPoolCapacity
  std::atomic<std::size_t> live_tasks_{0};   // tasks handed out and not yet recycled
};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_TASK_REGISTRY_H_
