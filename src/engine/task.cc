// Names of the operation types, the handler lock, and the reset of a task for reuse.
#include "engine/task.h"

#include <array>

#include "engine/task_payloads.h"
#include "engine/task_registry.h"

namespace ostrasync::engine {
namespace {

constexpr std::array<const char16_t*, kOperationTypeCount + 1> kTypeNames = {
    u"OP_UNDEFINED", u"OP_RENAME", u"OP_READ_DATA", u"OP_WRITE_DATA",
    u"OP_CREATE",    u"OP_DELETE", u"OP_LIST",      u"OP_INTERNAL_LIST"};

constexpr std::array<std::u16string_view, kOperationTypeCount> kKeySuffixes = {u"|M", u"|R", u"|W", u"|C",
                                                                               u"|D", u"|L", u""};

}  // namespace

const char16_t* OperationTypeName(OperationType type) {
  const int index = static_cast<int>(type) + 1;
  if (index < 0 || index >= static_cast<int>(kTypeNames.size())) return kTypeNames[0];
  return kTypeNames[static_cast<std::size_t>(index)];
}

std::u16string_view OperationKeySuffix(OperationType type) {
  const int index = static_cast<int>(type);
  if (index < 0 || index >= kOperationTypeCount) return {};
  return kKeySuffixes[static_cast<std::size_t>(index)];
}

void TransferBufferDeleter::operator()(TransferBuffer* buffer) const { delete buffer; }
void EnumerationBufferDeleter::operator()(EnumerationBuffer* buffer) const { delete buffer; }

// ---- HandlerLock ----

void HandlerLock::Enter() {
  std::unique_lock<std::mutex> lock(mutex_);
  released_.wait(lock, [&] { return owner_ == std::thread::id(); });
  owner_ = std::this_thread::get_id();
}

bool HandlerLock::LeaveIfOwner() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (owner_ != std::this_thread::get_id()) return false;
    owner_ = std::thread::id();
  }
  released_.notify_one();
  return true;
}

bool HandlerLock::Held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return owner_ != std::thread::id();
}

bool HandlerLock::HeldByCurrentThread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return owner_ == std::this_thread::get_id();
}

// ---- Task ----

void Task::Reset() {
  id_.store(-1);
  type_ = OperationType::kUndefined;
  key_.clear();
  path_.clear();
  full_path_.clear();
  record_.reset();
  transfer_buffer_.reset();
  enumeration_buffer_.reset();
  rename_from_.clear();
  rename_to_.clear();
  result_code.store(0);
  finished.store(false);
  cancelled.store(false);
  registered.store(false);
  async_start.store(0);
  std::lock_guard<std::mutex> lock(local_file_mutex);
  local_file.reset();
  local_file_size = -1;
}

void TaskRef::reset() {
  Task* task = std::exchange(task_, nullptr);
  if (task == nullptr) return;
  if (task->references_.fetch_sub(1, std::memory_order_acq_rel) == 1) task->owner_->Recycle(task);
}

}  // namespace ostrasync::engine
