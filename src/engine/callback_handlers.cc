// The handlers of the OS callbacks that get a task.
#include "engine/error_codes.h"
#include "engine/sync_engine.h"

namespace ostrasync::engine {

int SyncEngine::HandleFetchData(Task&) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int SyncEngine::HandleCancelFetchData(Task&) { return 0; }
int SyncEngine::HandleFetchPlaceholders(Task&) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int SyncEngine::HandleCancelFetchPlaceholders(Task&) { return 0; }
int SyncEngine::HandleNotifyDehydrate(Task&) { return OSTRASYNC_ERR_OPERATION_DENIED; }
void SyncEngine::RefuseCallback(Task&, int) {}

}  // namespace ostrasync::engine
