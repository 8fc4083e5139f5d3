// The completion of asynchronous tasks: the pending-operations monitor's batch pass and the
// expiry check.
#include "engine/error_codes.h"
#include "engine/sync_engine.h"

namespace ostrasync::engine {

void SyncEngine::CompleteFinishedTasks(std::size_t*) {}
int SyncEngine::CompleteTask(Task&) { return OSTRASYNC_ERR_OPERATION_DENIED; }
void SyncEngine::CancelExpiredTasks() {}
int SyncEngine::CompleteReadData(Task&) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int SyncEngine::FinishEnumeration(int64_t) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int SyncEngine::ProcessExcludedState(std::u16string_view) { return 0; }

}  // namespace ostrasync::engine
