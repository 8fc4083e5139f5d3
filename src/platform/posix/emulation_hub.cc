// Connections, open requests and callback delivery of the emulated cloud-files facility.
#include "platform/posix/emulation_hub.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "platform/posix/path_mapping.h"
#include "platform/posix/placeholder_creation.h"
#include "platform/posix/posix_file_handle.h"
#include "platform/posix/windows_attributes.h"
#include "platform/system_info.h"

namespace ostrasync::platform::emulation {
namespace {

using Clock = std::chrono::steady_clock;

// Callbacks of one connection run on this many threads, so that several are under way at once.
constexpr int kWorkersPerConnection = 4;

int64_t NextKey() {
  static std::atomic<int64_t> next{0x5100};
  return ++next;
}

// One callback that waits for the provider's answer.
struct Request {
  cf::CallbackType type = cf::kCallbackNone;
  int64_t transfer_key = 0;
  int64_t request_key = 0;
  std::string posix_path;
  UniqueFd fd;                 // the file or folder the request is about
  dev_t device = 0;
  ino_t inode = 0;
  int64_t offset = 0;          // FETCH_DATA: the range the requester needs
  int64_t length = 0;
  // The fields below are guarded by Connection::mu_.
  bool finished = false;
  HResult result = kSOk;
  Clock::time_point last_progress;
  int64_t placeholders_sent = 0;
};

class Connection final {
 public:
  Connection(int64_t key, SyncRootLocation root, std::span<const CallbackRegistration> callbacks, void* context,
             uint32_t timeout_ms)
      : key_(key), root_(std::move(root)), context_(context), timeout_(std::chrono::milliseconds(timeout_ms)) {
    for (const CallbackRegistration& r : callbacks) {
      if (r.type < static_cast<uint32_t>(cf::kCallbackTypeCount)) functions_[r.type] = r.function;
    }
  }
  ~Connection() { JoinWorkers(); }

  void Start() {
    for (int i = 0; i < kWorkersPerConnection; ++i) workers_.emplace_back([this] { WorkerLoop(); });
  }

  int64_t key() const { return key_; }
  const SyncRootLocation& root() const { return root_; }
  bool Handles(cf::CallbackType type) const { return functions_[type] != nullptr; }
  bool OnOwnWorker() const {
    const auto self = std::this_thread::get_id();
    return std::any_of(workers_.begin(), workers_.end(), [&](const std::thread& t) { return t.get_id() == self; });
  }

  // Queues one delivery of `type`; false when the connection has ended or does not take the type.
  bool Raise(cf::CallbackType type, const std::string& posix_path, int fd, const CallbackArgs& args,
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

  std::shared_ptr<Request> Open(std::shared_ptr<Request> request) {
    std::lock_guard<std::mutex> lock(mu_);
    if (closing_) return nullptr;
    request->last_progress = Clock::now();
    requests_[request->transfer_key] = request;
    return request;
  }

  // Waits for the request's end, its time-out (then the cancel goes out) or the connection's end.
  HResult Wait(const std::shared_ptr<Request>& request) {
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
        CallbackArgs cancel;
        cancel.flags = 0x1;  // CF_CALLBACK_CANCEL_FLAG_IO_TIMEOUT
        cancel.cancel_file_offset = request->offset;
        cancel.cancel_length = request->length;
        const cf::CallbackType cancel_type =
            request->type == cf::kFetchData ? cf::kCancelFetchData : cf::kCancelFetchPlaceholders;
        (void)Raise(cancel_type, request->posix_path, request->fd.get(), cancel, request->transfer_key,
                    request->request_key);
        return HResultFromWin32(win32::kCloudFileRequestTimeout);
      }
    }
  }

  std::shared_ptr<Request> Find(int64_t transfer_key) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = requests_.find(transfer_key);
    return it == requests_.end() ? nullptr : it->second;
  }

  // Resets the request's time-out; false when it is no longer open.
  bool Progress(const std::shared_ptr<Request>& request) {
    std::lock_guard<std::mutex> lock(mu_);
    if (request->finished) return false;
    request->last_progress = Clock::now();
    return true;
  }

  void Finish(const std::shared_ptr<Request>& request, HResult result) {
    std::lock_guard<std::mutex> lock(mu_);
    FinishLocked(request, result);
  }

  // After data landed in a file: every fetch of that file now covered is done.
  void CompleteCoveredFetches(dev_t device, ino_t inode, const std::vector<FileRange>& ranges) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::shared_ptr<Request>> done;
    for (auto& [key, request] : requests_) {
      if (request->type == cf::kFetchData && request->device == device && request->inode == inode &&
          xattrs::Covers(ranges, request->offset, request->length)) {
        done.push_back(request);
      }
    }
    for (auto& request : done) FinishLocked(request, kSOk);
  }

  // Records placeholders sent for a listing; the listing is done once all it announced came.
  void CountPlaceholders(const std::shared_ptr<Request>& request, int64_t sent, int64_t total, bool last) {
    std::lock_guard<std::mutex> lock(mu_);
    if (request->finished) return;
    request->placeholders_sent += sent;
    request->last_progress = Clock::now();
    if (last || request->placeholders_sent >= total) FinishLocked(request, kSOk);
  }

  // Ends the connection. REQUIRES: called once.
  void Shutdown() {
    const bool own = OnOwnWorker();
    std::unique_lock<std::mutex> lock(mu_);
    closing_ = true;
    queue_.clear();
    for (auto& [key, request] : requests_) {
      request->finished = true;
      request->result = HResultFromWin32(win32::kCloudFileRequestAborted);
    }
    requests_.clear();
    request_cv_.notify_all();
    work_cv_.notify_all();
    idle_cv_.wait(lock, [&] { return running_ == (own ? 1 : 0); });
    lock.unlock();
    if (!own) JoinWorkers();
  }

  void JoinWorkers() {
    const auto self = std::this_thread::get_id();
    for (std::thread& t : workers_) {
      if (t.joinable() && t.get_id() != self) t.join();
    }
  }

 private:
  void FinishLocked(const std::shared_ptr<Request>& request, HResult result) {
    if (request->finished) return;
    request->finished = true;
    request->result = result;
    requests_.erase(request->transfer_key);
    request_cv_.notify_all();
  }

  void WorkerLoop() {
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

  const int64_t key_;
  const SyncRootLocation root_;
  void* const context_;
  const std::chrono::milliseconds timeout_;
  CallbackFunction functions_[cf::kCallbackTypeCount] = {};  // written before Start, then read-only
  std::vector<std::thread> workers_;  // started by Start, joined by Shutdown or the destructor

  std::mutex mu_;
  std::condition_variable work_cv_;     // queue_ or closing_ changed
  std::condition_variable idle_cv_;     // running_ dropped
  std::condition_variable request_cv_;  // a request finished or progressed
  std::deque<std::function<void()>> queue_;                  // guarded by mu_
  int running_ = 0;                                          // guarded by mu_
  bool closing_ = false;                                     // guarded by mu_
  std::map<int64_t, std::shared_ptr<Request>> requests_;     // guarded by mu_
};

// The process's connections.
class Hub {
 public:
  HResult Connect(std::shared_ptr<Connection> connection) {
    std::lock_guard<std::mutex> lock(mu_);
    if (by_root_.count(connection->root().root_posix)) return HResultFromWin32(win32::kCloudFileAlreadyConnected);
    connection->Start();
    by_root_[connection->root().root_posix] = connection;
    by_key_[connection->key()] = connection;
    return kSOk;
  }

  HResult Disconnect(int64_t key) {
    std::shared_ptr<Connection> connection;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = by_key_.find(key);
      if (it == by_key_.end()) return HResultFromWin32(win32::kCloudFileInvalidRequest);
      connection = it->second;
      by_key_.erase(it);
      by_root_.erase(connection->root().root_posix);
    }
    connection->Shutdown();
    if (connection->OnOwnWorker()) {
      std::lock_guard<std::mutex> lock(mu_);
      ended_.push_back(std::move(connection));
    }
    return kSOk;
  }

  void Reap() {
    std::vector<std::shared_ptr<Connection>> keep, reap;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto& c : ended_) (c->OnOwnWorker() ? keep : reap).push_back(std::move(c));
      ended_ = std::move(keep);
    }
    for (auto& c : reap) c->JoinWorkers();
  }

  std::shared_ptr<Connection> ByKey(int64_t key) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = by_key_.find(key);
    return it == by_key_.end() ? nullptr : it->second;
  }

  std::shared_ptr<Connection> ByRoot(const std::string& root) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = by_root_.find(root);
    return it == by_root_.end() ? nullptr : it->second;
  }

 private:
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<Connection>> by_root_;  // guarded by mu_
  std::map<int64_t, std::shared_ptr<Connection>> by_key_;       // guarded by mu_
  std::vector<std::shared_ptr<Connection>> ended_;              // guarded by mu_: ended from their own callbacks
};

Hub& TheHub() {
  static Hub* hub = new Hub;  // lives as long as the process, past every static destructor
  return *hub;
}

std::shared_ptr<Connection> ConnectionFor(const std::string& posix_path) {
  SyncRootLocation root;
  if (!FindSyncRoot(posix_path, &root)) return nullptr;
  return TheHub().ByRoot(root.root_posix);
}

// Writes one TRANSFER_DATA chunk and then the byte-range record that claims it, so that a crash
// in between leaves bytes unclaimed (fetched again later), never a claim without bytes. No fsync:
// like data Windows writes into a placeholder, it reaches the disk with the page cache; the order
// above is what keeps the record honest. `ranges` receives the file's ranges after the write.
HResult WriteData(Request& request, const OperationArgs& args, std::vector<FileRange>* ranges) {
  const int fd = request.fd.get();
  std::lock_guard<std::mutex> file_lock(FileStateLock(request.device, request.inode));
  const auto target = xattrs::Target::Fd(fd);
  xattrs::PlaceholderRecord record;
  if (xattrs::ReadPlaceholder(target, &record) != 0) return HResultFromWin32(win32::kNotACloudFile);
  if (args.offset < 0 || args.length <= 0 || args.offset >= record.logical_size ||
      args.offset % 4096 != 0 || (args.length % 4096 != 0 && args.offset + args.length < record.logical_size)) {
    return HResultFromWin32(win32::kCloudFileInvalidRequest);
  }
  if (args.buffer == nullptr) return kEInvalidArg;
  const int64_t length = std::min(args.length, record.logical_size - args.offset);
  const auto* bytes = static_cast<const uint8_t*>(args.buffer);
  for (int64_t done = 0; done < length;) {
    const ssize_t n = pwrite(fd, bytes + done, static_cast<size_t>(length - done), args.offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return HResultFromWin32(Win32ErrorFromErrno(errno));
    }
    done += n;
  }
  if (int rc = xattrs::ReadRanges(target, ranges); rc != 0) return HResultFromWin32(Win32ErrorFromErrno(rc));
  xattrs::AddRange(ranges, args.offset, length);
  if (int rc = xattrs::WriteRanges(target, *ranges); rc != 0) return HResultFromWin32(Win32ErrorFromErrno(rc));
  return kSOk;
}

}  // namespace

bool FindSyncRoot(const std::string& posix_path, SyncRootLocation* location) {
  std::string path = posix_path;
  for (;;) {
    xattrs::SyncRootRecord record;
    struct stat st;
    if (xattrs::ReadSyncRoot(xattrs::Target::Path(path), &record) == 0 && lstat(path.c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode)) {
      location->root_posix = path;
      location->record = std::move(record);
      location->root_file_id = static_cast<int64_t>(st.st_ino);
      location->volume_serial = static_cast<uint32_t>(st.st_dev);
      return true;
    }
    if (path == "/") return false;
    const size_t slash = path.find_last_of('/');
    path = slash == 0 ? std::string("/") : path.substr(0, slash);
  }
}

std::mutex& FileStateLock(dev_t device, ino_t inode) {
  static std::mutex locks[64];
  return locks[(static_cast<uint64_t>(inode) * 31 + static_cast<uint64_t>(device)) % 64];
}

HResult Connect(const std::string& root_posix, std::span<const CallbackRegistration> callbacks, void* context,
                uint32_t /*flags*/, uint32_t timeout_ms, int64_t* connection_key) {
  ReapEndedConnections();
  SyncRootLocation root;
  if (!FindSyncRoot(root_posix, &root) || root.root_posix != root_posix) {
    return HResultFromWin32(win32::kNotACloudSyncRoot);
  }
  auto connection = std::make_shared<Connection>(NextKey(), std::move(root), callbacks, context, timeout_ms);
  const HResult hr = TheHub().Connect(connection);
  if (hr == kSOk) *connection_key = connection->key();
  return hr;
}

HResult Disconnect(int64_t connection_key) {
  ReapEndedConnections();
  return TheHub().Disconnect(connection_key);
}

void DisconnectRoot(const std::string& root_posix) {
  ReapEndedConnections();
  if (std::shared_ptr<Connection> connection = TheHub().ByRoot(root_posix)) {
    (void)TheHub().Disconnect(connection->key());  // a racing Disconnect may have ended it first
  }
}

void ReapEndedConnections() { TheHub().Reap(); }

namespace {

int StatOf(xattrs::Target item, struct stat* st) {
  return item.fd >= 0 ? fstat(item.fd, st) : lstat(item.path->c_str(), st);
}

}  // namespace

uint32_t TrackedChanges(xattrs::Target item, const FsMetadata& change) {
  struct stat st;
  if (StatOf(item, &st) != 0) return 0;
  xattrs::BasicRecord basic;
  (void)xattrs::ReadBasic(item, &basic);
  uint32_t changed = 0;
  if (change.creation_time != 0 && change.creation_time != basic.creation_time) changed |= 0x1;
  if (change.last_write_time != 0 && change.last_write_time != FileTimeFromTimespec(st.st_mtim)) changed |= 0x100;
  if (change.attributes != 0) {
    const bool read_only = !(st.st_mode & S_IWUSR);
    if (read_only != ((change.attributes & attr::kReadOnly) != 0)) changed |= 0x2;
    if ((basic.windows_bits ^ change.attributes) & attr::kHidden) changed |= 0x4;
    if ((basic.windows_bits ^ change.attributes) & attr::kSystem) changed |= 0x8;
  }
  return changed;
}

void ClearInSyncForTrackedChanges(xattrs::Target item, const std::string& posix_path, uint32_t changed,
                                  bool by_sync_engine) {
  constexpr uint32_t kPreserveForSyncEngine = 0x80000000;
  if (changed == 0) return;
  SyncRootLocation root;
  if (!FindSyncRoot(posix_path, &root)) return;
  const uint32_t policy = root.record.policies.in_sync;
  if (by_sync_engine && (policy & kPreserveForSyncEngine)) return;
  struct stat st;
  if (StatOf(item, &st) != 0) return;
  // The folder bits sit beside the file bits: 0x1-0x8 four places up, 0x100 one place up.
  const uint32_t tracked = S_ISDIR(st.st_mode) ? ((changed & 0xF) << 4) | ((changed & 0x100) << 1) : changed;
  if (!(policy & tracked)) return;
  std::lock_guard<std::mutex> file_lock(FileStateLock(st.st_dev, st.st_ino));
  xattrs::PlaceholderRecord record;
  if (xattrs::ReadPlaceholder(item, &record) != 0 || !(record.flags & xattrs::kPlaceholderInSync)) return;
  record.flags &= ~xattrs::kPlaceholderInSync;
  ++record.usn;
  (void)xattrs::WritePlaceholder(item, record);
}

bool IsConnected(const std::string& root_posix) { return TheHub().ByRoot(root_posix) != nullptr; }

HResult HResultFromCompletionStatus(NtStatus status) {
  if (status == 0) return kSOk;
  static const struct {
    uint32_t status;
    Win32Error error;
  } kMap[] = {{0xC000CF00, 358}, {0xC000CF01, 362}, {0xC000CF02, 363}, {0xC000CF03, 364}, {0xC000CF07, 376},
              {0xC000CF08, 377}, {0xC000CF09, 378}, {0xC000CF0A, 379}, {0xC000CF0B, 380}, {0xC000CF0C, 381},
              {0xC000CF0D, 382}, {0xC000CF0E, 383}, {0xC000CF0F, 386}, {0xC000CF10, 387}, {0xC000CF11, 388},
              {0xC000CF12, 389}, {0xC000CF13, 390}, {0xC000CF14, 391}, {0xC000CF15, 392}, {0xC000CF16, 393},
              {0xC000CF17, 394}, {0xC000CF18, 395}, {0xC000CF19, 396}, {0xC000CF1A, 397}, {0xC000CF1B, 398},
              {0xC000CF1D, 404}, {0xC000CF1E, 405}, {0xC000CF1F, 426}, {0xC000CF20, 434}};
  for (const auto& m : kMap) {
    if (m.status == static_cast<uint32_t>(status)) return HResultFromWin32(m.error);
  }
  return HResultFromWin32(389);  // any other failure is "unsuccessful"
}

HResult Execute(const OperationInfo& info, OperationArgs* args) {
  if ((info.struct_size != 32 && info.struct_size != 48) || args == nullptr) return kEInvalidArg;
  std::shared_ptr<Connection> connection = TheHub().ByKey(info.connection_key);
  if (connection == nullptr) return HResultFromWin32(win32::kCloudFileInvalidRequest);
  std::shared_ptr<Request> request = connection->Find(info.transfer_key);
  static const cf::CallbackType kAnswers[] = {cf::kFetchData,         cf::kCallbackNone, cf::kCallbackNone,
                                              cf::kCallbackNone,      cf::kFetchPlaceholders,
                                              cf::kNotifyDehydrate,   cf::kNotifyDelete, cf::kNotifyRename};
  if (info.type >= std::size(kAnswers) || kAnswers[info.type] == cf::kCallbackNone) {
    return HResultFromWin32(win32::kCloudFileInvalidRequest);
  }
  if (request == nullptr || request->type != kAnswers[info.type]) {
    return HResultFromWin32(win32::kCloudFileInvalidRequest);
  }
  if (args->completion_status != 0) {
    connection->Finish(request, HResultFromCompletionStatus(args->completion_status));
    return kSOk;
  }
  switch (info.type) {
    case cf::kTransferData: {
      std::vector<FileRange> ranges;
      const HResult hr = WriteData(*request, *args, &ranges);
      if (hr != kSOk) return hr;
      (void)connection->Progress(request);
      connection->CompleteCoveredFetches(request->device, request->inode, ranges);
      return kSOk;
    }
    case cf::kTransferPlaceholders: {
      HResult first_failure = kSOk;
      uint32_t processed = 0;
      for (PlaceholderCreateEntry& entry : args->placeholders) {
        ++processed;
        const HResult hr = CreatePlaceholderEntry(request->fd.get(), entry);
        if (hr != kSOk && first_failure == kSOk) first_failure = hr;
        if (hr != kSOk && (args->flags & cf::kTransferPlaceholdersStopOnError)) break;
      }
      args->entries_processed = processed;
      const bool populated = args->flags & cf::kTransferPlaceholdersDisableOnDemandPopulation;
      if (populated) {
        std::lock_guard<std::mutex> file_lock(FileStateLock(request->device, request->inode));
        const auto target = xattrs::Target::Fd(request->fd.get());
        xattrs::PlaceholderRecord record;
        if (xattrs::ReadPlaceholder(target, &record) == 0) {
          record.flags |= xattrs::kPlaceholderPopulated;
          ++record.usn;
          (void)xattrs::WritePlaceholder(target, record);
        }
      }
      connection->CountPlaceholders(request, static_cast<int64_t>(args->placeholders.size()),
                                    args->placeholder_total_count, populated);
      return first_failure;
    }
    case cf::kAckDehydrate:
      if (!args->file_identity.empty()) {
        if (args->file_identity.size() > cf::kMaxFileIdentityLength) return kEInvalidArg;
        std::lock_guard<std::mutex> file_lock(FileStateLock(request->device, request->inode));
        const auto target = xattrs::Target::Fd(request->fd.get());
        xattrs::PlaceholderRecord record;
        if (xattrs::ReadPlaceholder(target, &record) == 0) {
          record.identity.assign(args->file_identity.begin(), args->file_identity.end());
          ++record.usn;
          if (int rc = xattrs::WritePlaceholder(target, record); rc != 0) {
            return xattrs::IdentityWriteResult(target, rc);
          }
        }
      }
      connection->Finish(request, kSOk);
      return kSOk;
    default:  // ACK_DELETE, ACK_RENAME
      connection->Finish(request, kSOk);
      return kSOk;
  }
}

HResult ReportProgress(int64_t connection_key, int64_t transfer_key) {
  std::shared_ptr<Connection> connection = TheHub().ByKey(connection_key);
  if (connection == nullptr) return HResultFromWin32(win32::kCloudFileInvalidRequest);
  std::shared_ptr<Request> request = connection->Find(transfer_key);
  if (request == nullptr || !connection->Progress(request)) return HResultFromWin32(win32::kCloudFileInvalidRequest);
  return kSOk;
}

namespace {

// Opens the request's item, raises its callback and waits for the outcome.
HResult RaiseAndWait(const std::shared_ptr<Connection>& connection, cf::CallbackType type,
                     const std::string& posix_path, int open_flags, int64_t offset, int64_t length,
                     const CallbackArgs& args) {
  auto request = std::make_shared<Request>();
  request->type = type;
  request->transfer_key = NextKey();
  request->request_key = NextKey();
  request->posix_path = posix_path;
  request->offset = offset;
  request->length = length;
  request->fd.Reset(open(posix_path.c_str(), open_flags | O_CLOEXEC));
  if (!request->fd.valid()) return HResultFromWin32(Win32ErrorFromErrno(errno));
  struct stat st;
  if (fstat(request->fd.get(), &st) != 0) return HResultFromWin32(Win32ErrorFromErrno(errno));
  request->device = st.st_dev;
  request->inode = st.st_ino;
  if (connection->Open(request) == nullptr) return HResultFromWin32(win32::kCloudFileProviderNotRunning);
  if (!connection->Raise(type, posix_path, request->fd.get(), args, request->transfer_key, request->request_key)) {
    connection->Finish(request, HResultFromWin32(win32::kCloudFileRequestAborted));
  }
  return connection->Wait(request);
}

}  // namespace

HResult FetchData(const std::string& posix_path, int64_t offset, int64_t length, uint32_t fetch_flags) {
  std::shared_ptr<Connection> connection = ConnectionFor(posix_path);
  if (connection == nullptr) return HResultFromWin32(win32::kCloudFileProviderNotRunning);
  if (!connection->Handles(cf::kFetchData)) return HResultFromWin32(379);  // ERROR_CLOUD_FILE_NOT_SUPPORTED
  CallbackArgs args;
  args.flags = fetch_flags;
  args.required_file_offset = offset;
  args.required_length = length;
  return RaiseAndWait(connection, cf::kFetchData, posix_path, O_RDWR, offset, length, args);
}

HResult FetchPlaceholders(const std::string& folder_posix, const std::u16string& pattern) {
  std::shared_ptr<Connection> connection = ConnectionFor(folder_posix);
  if (connection == nullptr) return HResultFromWin32(win32::kCloudFileProviderNotRunning);
  if (!connection->Handles(cf::kFetchPlaceholders)) return kSOk;
  CallbackArgs args;
  args.pattern = pattern;
  return RaiseAndWait(connection, cf::kFetchPlaceholders, folder_posix, O_RDONLY | O_DIRECTORY, 0, 0, args);
}

HResult AskProvider(cf::CallbackType type, const std::string& posix_path, const CallbackArgs& args) {
  std::shared_ptr<Connection> connection = ConnectionFor(posix_path);
  if (connection == nullptr || !connection->Handles(type)) return kSOk;
  return RaiseAndWait(connection, type, posix_path, O_RDONLY, 0, 0, args);
}

void Tell(cf::CallbackType type, const std::string& posix_path, const CallbackArgs& args) {
  std::shared_ptr<Connection> connection = ConnectionFor(posix_path);
  if (connection != nullptr) (void)connection->Raise(type, posix_path, -1, args, NextKey(), NextKey());
}

}  // namespace ostrasync::platform::emulation
