// Callback delivery and request bookkeeping of one connection.
#include "platform/posix/emulation_connection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "platform/posix/path_mapping.h"
#include "platform/posix/placeholder_xattrs.h"

namespace ostrasync::platform::emulation {
namespace {

// Callbacks of one connection run on this many threads, so that several are under way at once.
constexpr int kWorkersPerConnection = 4;

constexpr uint16_t kValidationRequired = 0x1;  // CF_HYDRATION_POLICY_MODIFIER_VALIDATION_REQUIRED
constexpr uint32_t kCancelIoTimeout = 0x1;     // CF_CALLBACK_CANCEL_FLAG_IO_TIMEOUT
constexpr uint32_t kCancelIoAborted = 0x2;     // CF_CALLBACK_CANCEL_FLAG_IO_ABORTED
constexpr Win32Error kOperationAborted = 995;  // ERROR_OPERATION_ABORTED

// `claimed` with `extra` laid over it.
std::vector<FileRange> Union(const std::vector<FileRange>& claimed, const std::vector<FileRange>* extra) {
  std::vector<FileRange> all = claimed;
  if (extra != nullptr) {
    for (const FileRange& r : *extra) xattrs::AddRange(&all, r.offset, r.length);
  }
  return all;
}

}  // namespace

int64_t NextKey() {
  static std::atomic<int64_t> next{0x5100};
  return ++next;
}

Connection::Connection(int64_t key, SyncRootLocation root, std::span<const CallbackRegistration> callbacks,
                       void* context, uint32_t timeout_ms)
    : key_(key), root_(std::move(root)), context_(context), timeout_(std::chrono::milliseconds(timeout_ms)) {
  for (const CallbackRegistration& r : callbacks) {
    if (r.type < static_cast<uint32_t>(cf::kCallbackTypeCount)) functions_[r.type] = r.function;
  }
}

Connection::~Connection() { JoinWorkers(); }

void Connection::Start() {
  for (int i = 0; i < kWorkersPerConnection; ++i) workers_.emplace_back([this] { WorkerLoop(); });
}

bool Connection::ValidationRequired() const {
  return (root_.record.policies.hydration_modifier & kValidationRequired) != 0;
}

bool Connection::OnOwnWorker() const {
  const auto self = std::this_thread::get_id();
  return std::any_of(workers_.begin(), workers_.end(), [&](const std::thread& t) { return t.get_id() == self; });
}

bool Connection::Raise(cf::CallbackType type, const std::string& posix_path, int fd, const CallbackArgs& args,
                       int64_t transfer_key, int64_t request_key) {
  CallbackFunction function = functions_[type];
  if (function == nullptr) return false;
  auto info = std::make_shared<CallbackInfo>();
  auto file_identity = std::make_shared<std::vector<uint8_t>>();
  info->connection_key = key_;
  info->callback_context = context_;
  info->volume_serial = root_.volume_serial;
  info->sync_root_file_id = root_.root_file_id;
  info->sync_root_identity = root_.record.registration.sync_root_identity;
  info->normalized_path = ToWin32Path(posix_path);
  info->transfer_key = transfer_key;
  info->request_key = request_key;
  info->process_id = static_cast<uint32_t>(getpid());
  struct stat st;
  const int stat_rc = fd >= 0 ? fstat(fd, &st) : lstat(posix_path.c_str(), &st);
  if (stat_rc == 0) {
    info->file_id = static_cast<int64_t>(st.st_ino);
    info->file_size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    const auto target = fd >= 0 ? xattrs::Target::Fd(fd) : xattrs::Target::Path(posix_path);
    xattrs::PlaceholderRecord record;
    if (xattrs::ReadPlaceholder(target, &record) == 0) {
      if (!S_ISDIR(st.st_mode)) info->file_size = record.logical_size;
      *file_identity = std::move(record.identity);
    }
  }
  info->file_identity = *file_identity;
  auto task = [function, type, info, file_identity, args] { function(type, *info, args); };
  std::lock_guard<std::mutex> lock(mu_);
  if (closing_) return false;
  queue_.emplace_back(std::move(task));
  work_cv_.notify_one();
  return true;
}

std::shared_ptr<Request> Connection::Open(std::shared_ptr<Request> request) {
  std::lock_guard<std::mutex> lock(mu_);
  if (closing_) return nullptr;
  request->last_progress = Clock::now();
  requests_[request->transfer_key] = request;
  return request;
}

HResult Connection::Wait(const std::shared_ptr<Request>& request) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (request->finished) return request->result;
    const auto deadline = request->last_progress + timeout_;
    if (request_cv_.wait_until(lock, deadline) == std::cv_status::timeout && !request->finished &&
        Clock::now() >= request->last_progress + timeout_) {
      request->finished = true;
      request->result = HResultFromWin32(win32::kCloudFileRequestTimeout);
      requests_.erase(request->transfer_key);
      lock.unlock();
      RaiseCancel(*request, kCancelIoTimeout);
      return HResultFromWin32(win32::kCloudFileRequestTimeout);
    }
  }
}

void Connection::RaiseCancel(const Request& request, uint32_t flags) {
  // Only the two fetches have a cancel callback; a notification that ends unanswered simply
  // fails for its requester.
  if (request.type != cf::kFetchData && request.type != cf::kFetchPlaceholders) return;
  CallbackArgs cancel;
  cancel.flags = flags;
  if (request.type == cf::kFetchData) {
    cancel.cancel_file_offset = request.offset;
    cancel.cancel_length = request.length;
  }
  const cf::CallbackType cancel_type =
      request.type == cf::kFetchData ? cf::kCancelFetchData : cf::kCancelFetchPlaceholders;
  (void)Raise(cancel_type, request.posix_path, request.fd.get(), cancel, request.transfer_key, request.request_key);
}

int Connection::CancelRequestsOf(pthread_t thread) {
  std::vector<std::shared_ptr<Request>> cancelled;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [key, request] : requests_) {
      if (pthread_equal(request->requester, thread)) cancelled.push_back(request);
    }
    for (auto& request : cancelled) FinishLocked(request, HResultFromWin32(kOperationAborted));
  }
  for (auto& request : cancelled) RaiseCancel(*request, kCancelIoAborted);
  return static_cast<int>(cancelled.size());
}

std::shared_ptr<Request> Connection::Find(int64_t transfer_key) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = requests_.find(transfer_key);
  return it == requests_.end() ? nullptr : it->second;
}

bool Connection::Progress(const std::shared_ptr<Request>& request) {
  std::lock_guard<std::mutex> lock(mu_);
  if (request->finished) return false;
  request->last_progress = Clock::now();
  return true;
}

void Connection::Finish(const std::shared_ptr<Request>& request, HResult result) {
  std::lock_guard<std::mutex> lock(mu_);
  FinishLocked(request, result);
}

std::vector<std::shared_ptr<Request>> Connection::AfterTransfer(dev_t device, ino_t inode,
                                                                const std::vector<FileRange>& claimed,
                                                                const FileRange* transferred) {
  std::lock_guard<std::mutex> lock(mu_);
  const FileKey file{device, inode};
  const bool validating = ValidationRequired();
  if (validating && transferred != nullptr) {
    xattrs::AddRange(&unvalidated_[file], transferred->offset, transferred->length);
  }
  auto pending = unvalidated_.find(file);
  const std::vector<FileRange> present = Union(claimed, pending == unvalidated_.end() ? nullptr : &pending->second);
  std::vector<std::shared_ptr<Request>> done, to_validate;
  for (auto& [key, request] : requests_) {
    if (request->type != cf::kFetchData || request->device != device || request->inode != inode) continue;
    if (xattrs::Covers(claimed, request->offset, request->length)) {
      done.push_back(request);
    } else if (validating && !request->validating && xattrs::Covers(present, request->offset, request->length)) {
      request->validating = true;
      request->last_progress = Clock::now();
      to_validate.push_back(request);
    }
  }
  for (auto& request : done) FinishLocked(request, kSOk);
  return to_validate;
}

bool Connection::Present(dev_t device, ino_t inode, const std::vector<FileRange>& claimed, int64_t offset,
                         int64_t length) {
  std::lock_guard<std::mutex> lock(mu_);
  auto pending = unvalidated_.find({device, inode});
  return xattrs::Covers(Union(claimed, pending == unvalidated_.end() ? nullptr : &pending->second), offset, length);
}

void Connection::Settled(dev_t device, ino_t inode, int64_t offset, int64_t length) {
  std::lock_guard<std::mutex> lock(mu_);
  auto pending = unvalidated_.find({device, inode});
  if (pending == unvalidated_.end()) return;
  xattrs::RemoveRange(&pending->second, offset, length);
  if (pending->second.empty()) unvalidated_.erase(pending);
}

void Connection::Restarted(dev_t device, ino_t inode) {
  std::lock_guard<std::mutex> lock(mu_);
  unvalidated_.erase({device, inode});
  for (auto& [key, request] : requests_) {
    if (request->type == cf::kFetchData && request->device == device && request->inode == inode) {
      request->validating = false;
      request->last_progress = Clock::now();
    }
  }
}

void Connection::CountPlaceholders(const std::shared_ptr<Request>& request, int64_t sent, int64_t total, bool last) {
  std::lock_guard<std::mutex> lock(mu_);
  if (request->finished) return;
  request->placeholders_sent += sent;
  request->last_progress = Clock::now();
  if (last || request->placeholders_sent >= total) FinishLocked(request, kSOk);
}

void Connection::Shutdown() {
  const bool own = OnOwnWorker();
  std::unique_lock<std::mutex> lock(mu_);
  closing_ = true;
  queue_.clear();
  for (auto& [key, request] : requests_) {
    request->finished = true;
    request->result = HResultFromWin32(win32::kCloudFileRequestAborted);
  }
  requests_.clear();
  unvalidated_.clear();
  request_cv_.notify_all();
  work_cv_.notify_all();
  idle_cv_.wait(lock, [&] { return running_ == (own ? 1 : 0); });
  lock.unlock();
  if (!own) JoinWorkers();
}

void Connection::JoinWorkers() {
  const auto self = std::this_thread::get_id();
  for (std::thread& t : workers_) {
    if (t.joinable() && t.get_id() != self) t.join();
  }
}

void Connection::FinishLocked(const std::shared_ptr<Request>& request, HResult result) {
  if (request->finished) return;
  request->finished = true;
  request->result = result;
  requests_.erase(request->transfer_key);
  request_cv_.notify_all();
}

void Connection::WorkerLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_cv_.wait(lock, [&] { return closing_ || !queue_.empty(); });
    if (closing_) return;
    std::function<void()> task = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    lock.unlock();
    try {
      task();
    } catch (...) {
      // A provider's exception must not end the facility's thread.
    }
    task = nullptr;
    lock.lock();
    --running_;
    idle_cv_.notify_all();
  }
}

}  // namespace ostrasync::platform::emulation
