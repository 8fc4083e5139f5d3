// The bodies of the engine's periodic threads: the pending-operations monitor, the event retry
// thread and the expired-task checker. Each polls its stop flag and the engine's Deactivating
// flag after every sleep.
#include "engine/sync_engine.h"

namespace ostrasync::engine {

void SyncEngine::PendingOperationsMonitor() {
  // The task registry's batch pass joins this loop (50 ms while a batch continues); until then
  // the monitor keeps the pending-operation table from holding entries whose echo never came.
  while (!monitor_thread_.StopRequested() && deactivating_.load() == 0) {
    if (!monitor_thread_.SleepFor(500) || deactivating_.load() != 0) break;
    pending_operations_.RemoveExpired();
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
  // The task registry's expiry pass joins this loop when the registry lands.
  while (!checker_thread_.StopRequested() && deactivating_.load() == 0) {
    if (!checker_thread_.SleepFor(1000)) break;
  }
}

}  // namespace ostrasync::engine
