// Connections, open requests and callback delivery of the emulated cloud-files facility.
#include "platform/posix/emulation_hub.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <vector>

#include "platform/posix/emulation_connection.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/placeholder_data.h"
#include "platform/posix/windows_attributes.h"

namespace ostrasync::platform::emulation {
namespace {

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

  std::vector<std::shared_ptr<Connection>> All() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::shared_ptr<Connection>> all;
    for (auto& [key, connection] : by_key_) all.push_back(connection);
    return all;
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

}  // namespace

std::shared_ptr<Connection> ConnectionFor(const std::string& posix_path) {
  SyncRootLocation root;
  if (!FindSyncRoot(posix_path, &root)) return nullptr;
  return TheHub().ByRoot(root.root_posix);
}

std::shared_ptr<Connection> ConnectionByKey(int64_t connection_key) { return TheHub().ByKey(connection_key); }

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
  FileStateGuard file_lock(st.st_dev, st.st_ino);
  xattrs::PlaceholderRecord record;
  if (xattrs::ReadPlaceholder(item, &record) != 0 || !(record.flags & xattrs::kPlaceholderInSync)) return;
  record.flags &= ~xattrs::kPlaceholderInSync;
  ++record.usn;
  (void)xattrs::WritePlaceholder(item, record);
}

bool IsConnected(const std::string& root_posix) { return TheHub().ByRoot(root_posix) != nullptr; }

namespace {

// Raises the request's callback about the item open as `fd` and waits for the outcome.
HResult RaiseAndWait(const std::shared_ptr<Connection>& connection, cf::CallbackType type,
                     const std::string& posix_path, UniqueFd fd, int64_t offset, int64_t length, uint32_t flags,
                     const CallbackArgs& args) {
  auto request = std::make_shared<Request>();
  request->type = type;
  request->transfer_key = NextKey();
  request->request_key = NextKey();
  request->posix_path = posix_path;
  request->offset = offset;
  request->length = length;
  request->fetch_flags = flags;
  request->requester = pthread_self();
  request->fd = std::move(fd);
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

HResult OpenItem(const std::string& posix_path, int open_flags, UniqueFd* fd) {
  fd->Reset(open(posix_path.c_str(), open_flags | O_CLOEXEC));
  return fd->valid() ? kSOk : HResultFromWin32(Win32ErrorFromErrno(errno));
}

}  // namespace

HResult FetchData(const std::string& posix_path, int64_t offset, int64_t length, uint32_t fetch_flags, int fd) {
  std::shared_ptr<Connection> connection = ConnectionFor(posix_path);
  if (connection == nullptr) return HResultFromWin32(win32::kCloudFileProviderNotRunning);
  if (!connection->Handles(cf::kFetchData)) return HResultFromWin32(379);  // ERROR_CLOUD_FILE_NOT_SUPPORTED
  // The data lands through this descriptor whatever the requester may do with the file itself.
  UniqueFd writable;
  if (int rc = fd >= 0 ? ReopenForWriting(fd, &writable) : OpenForWriting(posix_path, &writable); rc != 0) {
    return HResultFromWin32(Win32ErrorFromErrno(rc));
  }
  CallbackArgs args;
  args.flags = fetch_flags;
  args.required_file_offset = offset;
  args.required_length = length;
  return RaiseAndWait(connection, cf::kFetchData, posix_path, std::move(writable), offset, length, fetch_flags,
                      args);
}

HResult FetchPlaceholders(const std::string& folder_posix, const std::u16string& pattern) {
  std::shared_ptr<Connection> connection = ConnectionFor(folder_posix);
  if (connection == nullptr) return HResultFromWin32(win32::kCloudFileProviderNotRunning);
  if (!connection->Handles(cf::kFetchPlaceholders)) return kSOk;
  UniqueFd fd;
  if (HResult hr = OpenItem(folder_posix, O_RDONLY | O_DIRECTORY, &fd); hr != kSOk) return hr;
  CallbackArgs args;
  args.pattern = pattern;
  return RaiseAndWait(connection, cf::kFetchPlaceholders, folder_posix, std::move(fd), 0, 0, 0, args);
}

HResult AskProvider(cf::CallbackType type, const std::string& posix_path, const CallbackArgs& args) {
  std::shared_ptr<Connection> connection = ConnectionFor(posix_path);
  if (connection == nullptr || !connection->Handles(type)) return kSOk;
  UniqueFd fd;
  if (HResult hr = OpenItem(posix_path, O_RDONLY, &fd); hr != kSOk) return hr;
  return RaiseAndWait(connection, type, posix_path, std::move(fd), 0, 0, 0, args);
}

HResult CancelSynchronousIo(pthread_t thread) {
  int cancelled = 0;
  for (auto& connection : TheHub().All()) cancelled += connection->CancelRequestsOf(thread);
  return cancelled > 0 ? kSOk : HResultFromWin32(win32::kNotFound);
}

void Tell(cf::CallbackType type, const std::string& posix_path, const CallbackArgs& args) {
  std::shared_ptr<Connection> connection = ConnectionFor(posix_path);
  if (connection != nullptr) (void)connection->Raise(type, posix_path, -1, args, NextKey(), NextKey());
}

}  // namespace ostrasync::platform::emulation
