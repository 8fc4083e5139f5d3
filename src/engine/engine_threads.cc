// The bodies of the engine's periodic threads: the pending-operations monitor, the event retry
// thread and the expired-task checker. Each polls its stop flag and the engine's Deactivating
// flag after every sleep; the monitor and the checker also before every task they touch.
#include "engine/sync_engine.h"

namespace ostrasync::engine {

void SyncEngine::PendingOperationsMonitor() {
  std::size_t cursor = 0;
  bool batch_continues = false;
  while (!monitor_thread_.StopRequested() && deactivating_.load() == 0) {
    if (!monitor_thread_.SleepFor(batch_continues ? 50 : 500) || deactivating_.load() != 0) break;
    // The pending-operation table must not keep entries whose echo never came.
    pending_operations_.RemoveExpired();
    batch_continues = CompleteFinishedTasks(&cursor, &monitor_thread_);
  }
}

void SyncEngine::EventRetryThread() {
  // The retry queue's pass joins this loop when the queue lands.
  while (!retry_thread_.StopRequested() && deactivating_.load() == 0) {
    const uint32_t period = settings_.event_retry_interval_ms.load() >= 1 ? 500 : 1000;
    if (!retry_thread_.SleepFor(period)) break;
  }
}

void SyncEngine::ExpiredTaskChecker() {
  while (!checker_thread_.StopRequested() && deactivating_.load() == 0) {
    if (!checker_thread_.SleepFor(1000) || deactivating_.load() != 0) break;
    CancelExpiredTasks(&checker_thread_);
  }
}

}  // namespace ostrasync::engine
