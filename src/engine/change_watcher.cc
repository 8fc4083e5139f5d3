// The directory watcher's two threads: one keeps a change request outstanding on the sync root,
// the other polls for work; batches are dropped until local change processing lands.
#include "engine/change_watcher.h"

#include <utility>

namespace ostrasync::engine {

ChangeWatcher::ChangeWatcher(std::u16string root, platform::ChangeNotifier& notifier,
                             const std::atomic<uint32_t>& engine_stopping, tracking::LogFunction log)
    : root_(std::move(root)), notifier_(notifier), engine_stopping_(engine_stopping), log_(std::move(log)) {
  log_(4, u"Directory changes watcher created for path '%s'", {root_});
}

ChangeWatcher::~ChangeWatcher() { Stop(); }

bool ChangeWatcher::Stopping() const { return stopped_.load() != 0 || engine_stopping_.load() != 0; }

bool ChangeWatcher::Start() {
  if (const platform::Win32Error e = notifier_.Watch(root_, &stream_)) {
    log_(1, u"Failed to open path for directory watcher: '%s'. Error code: 0x%x", {root_, e});
    return false;
  }
  if (const int e = tasks_thread_.Start([this] { TasksThread(); })) {
    log_(1, u"Failed to start directory watcher tasks processing thread for: '%s'. Error code: 0x%x",
         {root_, static_cast<uint32_t>(e)});
    return false;
  }
  if (const int e = watcher_thread_.Start([this] { WatcherThread(); })) {
    log_(1, u"Failed to start directory watcher thread for: '%s'. Error code: 0x%x", {root_, static_cast<uint32_t>(e)});
    return false;
  }
  log_(4, u"Directory changes watcher started for path '%s'", {root_});
  return true;
}

void ChangeWatcher::Stop() {
  if (stopped_.exchange(1) != 0) return;
  log_(4, u"Stopping directory changes watcher for path '%s'", {root_});
  tasks_thread_.RequestStop();
  watcher_thread_.RequestStop();
  tasks_thread_.Join();
  watcher_thread_.Join();
  // The stream is released only once its thread is gone; a stop issued on that thread itself
  // leaves it to the destructor's final Join.
  if (!watcher_thread_.Running()) stream_.reset();
  log_(4, u"Directory changes watcher stopped for path '%s'", {root_});
}

bool ChangeWatcher::IsOwnThread() const {
  return tasks_thread_.IsCurrentThread() || watcher_thread_.IsCurrentThread();
}

void ChangeWatcher::WatcherThread() {
  log_(4, u"Directory changes watcher thread started", {});
  if (const platform::Win32Error e = stream_->Issue()) {
    last_os_error_.store(e);
    return;
  }
  std::vector<platform::ChangeRecord> records;
  while (!Stopping() && !watcher_thread_.StopRequested()) {
    records.clear();
    const platform::Win32Error waited = stream_->Wait(50, &records);
    if (waited == platform::win32::kWaitTimeout || waited == platform::win32::kIoIncomplete) continue;
    if (waited == platform::win32::kNotifyEnumDir) {
      log_(4, u"Directory watcher: notification buffer overflow; scheduling rescan for missed files.", {});
    } else if (waited != 0) {
      log_(4, u"Directory watcher: GetOverlappedResult failed. Error code: 0x%x", {waited});
    } else if (records.empty()) {
      log_(4, u"Directory watcher: received empty completion; re-issuing watch.", {});
    }
    if (const platform::Win32Error e = stream_->Issue()) {
      last_os_error_.store(e);
      log_(4, u"Directory watcher: ReadDirectoryChangesExW failed. Error code: 0x%x", {e});
      return;
    }
    if (waited == 0 && !records.empty()) OnBatch(std::move(records));
  }
}

void ChangeWatcher::TasksThread() {
  log_(4, u"Directory changes watcher tasks processing thread started", {});
  // The queue of batches arrives with local change processing; until then the thread only
  // keeps its place in the lifecycle, polling its stop flags.
  while (!Stopping() && tasks_thread_.SleepFor(100)) {
  }
  log_(4, u"Directory changes watcher tasks processing thread stopped", {});
}

void ChangeWatcher::OnBatch(std::vector<platform::ChangeRecord>&& records) { records.clear(); }

}  // namespace ostrasync::engine
