// One provider's connection to a sync root in the emulated facility: the threads its callbacks
// run on, and the requests that wait for its answers. Shared by the hub, which opens requests for
// requesters, and by the provider's answers, which move them on.
#ifndef OSTRASYNC_PLATFORM_POSIX_EMULATION_CONNECTION_H_
#define OSTRASYNC_PLATFORM_POSIX_EMULATION_CONNECTION_H_

#include <pthread.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/emulation_hub.h"
#include "platform/posix/posix_file_handle.h"
#include "platform/win32_terms.h"

namespace ostrasync::platform::emulation {

using Clock = std::chrono::steady_clock;

// One callback that waits for the provider's answer.
struct Request {
  cf::CallbackType type = cf::kCallbackNone;
  int64_t transfer_key = 0;
  int64_t request_key = 0;
  std::string posix_path;
  UniqueFd fd;                 // the file or folder the request is about (a file: open for writing)
  dev_t device = 0;
  ino_t inode = 0;
  int64_t offset = 0;          // FETCH_DATA: the range the requester needs
  int64_t length = 0;
  uint32_t fetch_flags = 0;    // FETCH_DATA: the flags it was raised with
  pthread_t requester{};       // the thread blocked in Wait, for CancelSynchronousIo
  // The fields below are guarded by Connection::mu_.
  bool finished = false;
  HResult result = kSOk;
  Clock::time_point last_progress;
  int64_t placeholders_sent = 0;
  bool validating = false;     // FETCH_DATA: its bytes are all here and wait for ACK_DATA
};

class Connection final {
 public:
  Connection(int64_t key, SyncRootLocation root, std::span<const CallbackRegistration> callbacks, void* context,
             uint32_t timeout_ms);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Start();

  int64_t key() const { return key_; }
  const SyncRootLocation& root() const { return root_; }
  bool Handles(cf::CallbackType type) const { return functions_[type] != nullptr; }
  // Data sent for this root must be validated by the provider before readers get it.
  bool ValidationRequired() const;
  bool OnOwnWorker() const;

  // Queues one delivery of `type`; false when the connection has ended or does not take the type.
  bool Raise(cf::CallbackType type, const std::string& posix_path, int fd, const CallbackArgs& args,
             int64_t transfer_key, int64_t request_key);

  // Registers a request; null when the connection has ended.
  std::shared_ptr<Request> Open(std::shared_ptr<Request> request);
  // Waits for the request's end, its time-out (then a fetch's cancel goes out) or the
  // connection's end.
  HResult Wait(const std::shared_ptr<Request>& request);
  std::shared_ptr<Request> Find(int64_t transfer_key);
  // Resets the request's time-out; false when it is no longer open.
  bool Progress(const std::shared_ptr<Request>& request);
  void Finish(const std::shared_ptr<Request>& request, HResult result);
  // CancelSynchronousIo: every open request `thread` waits for ends with ERROR_OPERATION_ABORTED
  // and the provider hears the cancel (IO_ABORTED). Returns how many there were.
  int CancelRequestsOf(pthread_t thread);

  // After data landed in a file whose claimed ranges (on disk and valid) are now `claimed`: every
  // fetch of that file now covered is done. Where validation is required, `transferred` (the
  // bytes just written, not yet valid) joins the file's bytes awaiting validation, and fetches
  // whose bytes are all here go to validation: they are returned, to be told VALIDATE_DATA.
  std::vector<std::shared_ptr<Request>> AfterTransfer(dev_t device, ino_t inode, const std::vector<FileRange>& claimed,
                                                      const FileRange* transferred);
  // True when [offset, offset + length) of the file is here: claimed, or written and awaiting
  // validation.
  bool Present(dev_t device, ino_t inode, const std::vector<FileRange>& claimed, int64_t offset, int64_t length);
  // The provider has judged [offset, offset + length): valid (the caller claimed it) or not (it
  // is dropped, to be fetched again, never served). Either way it no longer awaits validation.
  void Settled(dev_t device, ino_t inode, int64_t offset, int64_t length);
  // A restarted hydration: nothing written for the file so far counts any more; its fetches
  // wait for new data.
  void Restarted(dev_t device, ino_t inode);

  // Records placeholders sent for a listing; the listing is done once all it announced came.
  void CountPlaceholders(const std::shared_ptr<Request>& request, int64_t sent, int64_t total, bool last);

  // Ends the connection. REQUIRES: called once.
  void Shutdown();
  void JoinWorkers();

 private:
  using FileKey = std::pair<dev_t, ino_t>;
  void FinishLocked(const std::shared_ptr<Request>& request, HResult result);
  // A fetch's cancel callback (the other requests have none), `flags` saying why.
  void RaiseCancel(const Request& request, uint32_t flags);
  void WorkerLoop();

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
  // Bytes written into files that the provider has not validated yet, per file. Kept only in
  // memory: after a crash they are simply not claimed, and fetched again.
  std::map<FileKey, std::vector<FileRange>> unvalidated_;   // guarded by mu_
};

// The connection of the root that holds `posix_path`, or of `connection_key`; null when none.
[[nodiscard]] std::shared_ptr<Connection> ConnectionFor(const std::string& posix_path);
[[nodiscard]] std::shared_ptr<Connection> ConnectionByKey(int64_t connection_key);

// A fresh transfer or request key.
[[nodiscard]] int64_t NextKey();

}  // namespace ostrasync::platform::emulation

#endif  // OSTRASYNC_PLATFORM_POSIX_EMULATION_CONNECTION_H_
