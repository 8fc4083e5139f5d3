// The directory watcher's two threads over the sync root: the watcher thread keeps a change
// request outstanding and the tasks thread will process what it receives. Until local change
// processing lands, received batches are dropped.
#ifndef OSTRASYNC_ENGINE_CHANGE_WATCHER_H_
#define OSTRASYNC_ENGINE_CHANGE_WATCHER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_thread.h"
#include "platform/change_notifier.h"
#include "tracking/metadata_cache.h"

namespace ostrasync::engine {

// REQUIRES: Start and Stop are called by one owner; IsOwnThread from any thread.
class ChangeWatcher {
 public:
  // `engine_stopping` is the engine's Deactivating flag, which both threads poll; it and
  // `notifier` must outlive the watcher.
  ChangeWatcher(std::u16string root, platform::ChangeNotifier& notifier,
                const std::atomic<uint32_t>& engine_stopping, tracking::LogFunction log);
  ~ChangeWatcher();  // stops first
  ChangeWatcher(const ChangeWatcher&) = delete;
  ChangeWatcher& operator=(const ChangeWatcher&) = delete;

  // Opens the root for watching and starts both threads. False on failure, after logging it;
  // what was started is released by Stop.
  [[nodiscard]] bool Start();
  // Stops and joins both threads and closes the watch. Idempotent.
  void Stop();
  // True on the watcher's own threads, where a stop must not wait for itself.
  [[nodiscard]] bool IsOwnThread() const;

 private:
  bool Stopping() const;
  void WatcherThread();
  void TasksThread();
  // Where a completed batch goes. Local change processing takes it over; until then the batch
  // is dropped.
  void OnBatch(std::vector<platform::ChangeRecord>&& records);

  const std::u16string root_;
  platform::ChangeNotifier& notifier_;
  const std::atomic<uint32_t>& engine_stopping_;
  const tracking::LogFunction log_;
  std::atomic<uint32_t> stopped_{0};
  // Owned by the watcher thread while it runs; opened by Start and released by Stop after the
  // thread has been joined.
  std::unique_ptr<platform::ChangeStream> stream_;
  std::atomic<uint32_t> last_os_error_{0};
  EngineThread tasks_thread_;
  EngineThread watcher_thread_;
};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_CHANGE_WATCHER_H_
