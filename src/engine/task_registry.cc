// The task registry: ids, the two indexes and the pool of idle tasks.
#include "engine/task_registry.h"

#include <new>

#include "engine/error_codes.h"
#include "engine/task_payloads.h"
#include "ostrasync.h"

namespace ostrasync::engine {
namespace {

std::u16string KeyOf(std::u16string_view path, OperationType type) {
  std::u16string key(path);
  key.append(OperationKeySuffix(type));
  return key;
}

}  // namespace

TaskRegistry::~TaskRegistry() {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    by_key_.clear();
    by_id_.clear();  // drops the registry's references; the tasks come back to the pool
  }
  EmptyPool();
}

void TaskRegistry::Describe(Task& task, std::u16string_view path, std::u16string_view full_path, OperationType type) {
  task.type_ = type;
  task.path_.assign(path);
  task.full_path_.assign(full_path);
  task.key_ = KeyOf(path, type);
  task.transfer_buffer_.reset(type == OperationType::kReadData ? new TransferBuffer() : nullptr);
  task.enumeration_buffer_.reset(type == OperationType::kList ? new EnumerationBuffer() : nullptr);
}

TaskRef TaskRegistry::Take(std::u16string_view path, std::u16string_view full_path, OperationType type,
                           std::unique_ptr<OperationRecord> record) {
  std::unique_ptr<Task> task;
  {
    std::lock_guard<std::mutex> lock(pool_mutex_);
    if (!pool_.empty()) {
      task = std::move(pool_.back());
      pool_.pop_back();
    }
  }
  try {
    if (!task) task = std::make_unique<Task>();
    Describe(*task, path, full_path, type);
    task->record_ = std::move(record);
  } catch (const std::bad_alloc&) {
    return TaskRef();
  }
  task->owner_ = this;
  task->references_.store(1);
  live_tasks_.fetch_add(1);
  return TaskRef(task.release());
}

int64_t TaskRegistry::Register(const TaskRef& task) {
  // The top bit is cleared so an id is never negative, even after the counter wraps.
  const int64_t id = static_cast<int64_t>(static_cast<uint64_t>(last_id_.fetch_add(1) + 1) & 0x7FFFFFFFFFFFFFFFull);
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  task->id_.store(id);
  by_id_.emplace(id, task);  // the copy is the registry's own reference
  by_key_.emplace(task->key_, task.get());
  task->registered.store(true);
  return id;
}

int TaskRegistry::FindById(int64_t id, bool include_cancelled, TaskRef* out) const {
  *out = TaskRef();
  if (id < 1) return OSTRASYNC_ERR_INVALID_OPID;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = by_id_.find(id);
  if (it == by_id_.end()) return OSTRASYNC_ERR_INVALID_OPID;
  if (!include_cancelled && it->second->cancelled.load()) return OSTRASYNC_ERR_CANCELLED;
  *out = it->second;
  return 0;
}

int TaskRegistry::FindByKey(std::u16string_view path, OperationType type, bool include_cancelled,
                            TaskRef* out) const {
  *out = TaskRef();
  const std::u16string key = KeyOf(path, type);
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto [first, last] = by_key_.equal_range(key);
  for (auto it = first; it != last; ++it) {
    if (!include_cancelled && it->second->cancelled.load()) continue;
    it->second->AddRef();
    *out = TaskRef(it->second);
    return 0;
  }
  return OSTRASYNC_ERR_INVALID_OPID;
}

int64_t TaskRegistry::RegisterAs(const TaskRef& task, std::u16string_view path, std::u16string_view full_path,
                                 OperationType type) {
  // Nobody else can see a task before it is registered, so its description needs no lock.
  try {
    Describe(*task, path, full_path, type);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return Register(task);
}

int64_t TaskRegistry::RegisterAs(Task& task, std::u16string_view path, std::u16string_view full_path,
                                 OperationType type) {
  task.AddRef();
  return RegisterAs(TaskRef(&task), path, full_path, type);
}

bool TaskRegistry::Remove(Task* task) {
  if (task == nullptr) return false;
  TaskRef dropped;  // the registry's reference, dropped after the lock is left
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = by_id_.find(task->id());
    if (it == by_id_.end() || it->second.get() != task) {
      it = by_id_.begin();
      while (it != by_id_.end() && it->second.get() != task) ++it;
      if (it == by_id_.end()) return false;
    }
    auto [first, last] = by_key_.equal_range(task->key_);
    for (auto k = first; k != last; ++k) {
      if (k->second == task) {
        by_key_.erase(k);
        break;
      }
    }
    task->registered.store(false);
    dropped = std::move(it->second);
    by_id_.erase(it);
  }
  return true;
}

bool TaskRegistry::RemoveById(int64_t id) {
  TaskRef task;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = by_id_.find(id);
    if (it == by_id_.end()) return false;
    task = it->second;
  }
  return Remove(task.get());
}

bool TaskRegistry::RemoveForCompletion(Task* task) {
  // Counted as completing before it leaves the indexes, so that PendingCount never dips while it
  // moves (it may count twice for that moment). Remove drops the registry's reference only once
  // the lock is left, which is why the two steps are not one.
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    ++completing_;
  }
  if (Remove(task)) return true;
  EndCompletion();
  return false;
}

void TaskRegistry::EndCompletion() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (completing_ > 0) --completing_;
}

std::size_t TaskRegistry::Count() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return by_id_.size();
}

std::size_t TaskRegistry::PendingCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return by_id_.size() + completing_;
}

std::size_t TaskRegistry::PendingAsyncCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::size_t count = 0;
  for (const auto& [id, task] : by_id_) {
    if (task->async_start.load() >= 1 && !task->cancelled.load()) ++count;
  }
  return count;
}

std::vector<TaskRef> TaskRegistry::Snapshot() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<TaskRef> tasks;
  tasks.reserve(by_id_.size());
  for (const auto& [id, task] : by_id_) tasks.push_back(task);
  return tasks;
}

void TaskRegistry::EmptyPool() {
  std::vector<std::unique_ptr<Task>> idle;
  {
    std::lock_guard<std::mutex> lock(pool_mutex_);
    idle.swap(pool_);
  }
}

std::size_t TaskRegistry::PoolSizeForTest() const {
  std::lock_guard<std::mutex> lock(pool_mutex_);
  return pool_.size();
}

void TaskRegistry::Recycle(Task* task) {
  std::unique_ptr<Task> owned(task);
  owned->Reset();
  live_tasks_.fetch_sub(1);
  std::lock_guard<std::mutex> lock(pool_mutex_);
  if (pool_.size() < kPoolCapacity) pool_.push_back(std::move(owned));
}

}  // namespace ostrasync::engine
