// Cancelling tasks: one task, the tasks of a path, and every task at deactivation.
#include "engine/error_codes.h"
#include "engine/sync_engine.h"

namespace ostrasync::engine {

int SyncEngine::DoCancelTask(Task&, std::u16string_view) { return 0; }
bool SyncEngine::CancelTransferByPath(std::u16string_view, int) { return false; }
int SyncEngine::CancelAllTransfers() { return 0; }

}  // namespace ostrasync::engine
