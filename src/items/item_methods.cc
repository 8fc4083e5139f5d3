// The host's CreateFile, CreateFolder, UpdateFile and UpdateFolder methods and the create and
// update routines behind them.
#include "engine/error_codes.h"
#include "engine/sync_engine.h"
#include "items/item_paths.h"
#include "items/placeholder_flags.h"

namespace ostrasync::engine {

int SyncEngine::CheckLocalPath(std::u16string_view) { return RequireActive(); }
int SyncEngine::CreateFileInt(std::u16string_view, uint32_t, int64_t, uint64_t, uint64_t, uint64_t, uint32_t) {
  return OSTRASYNC_ERR_OPERATION_DENIED;
}
int SyncEngine::UpdateFileInt(std::u16string_view, uint32_t, int64_t, uint64_t, uint64_t, uint64_t, uint32_t) {
  return OSTRASYNC_ERR_OPERATION_DENIED;
}
int SyncEngine::CreateOrUpdateItem(bool, bool, std::u16string_view, int, int64_t, int64_t, int64_t, int64_t) {
  return RequireActive();
}
int SyncEngine::do_CreateFile(std::u16string_view path, int attributes, int64_t size, int64_t creation_time,
                              int64_t last_access_time, int64_t last_write_time) {
  return CreateOrUpdateItem(false, false, path, attributes, size, creation_time, last_access_time, last_write_time);
}
int SyncEngine::do_CreateFolder(std::u16string_view path, int attributes, int64_t creation_time,
                                int64_t last_access_time, int64_t last_write_time) {
  return CreateOrUpdateItem(false, true, path, attributes, 0, creation_time, last_access_time, last_write_time);
}
int SyncEngine::do_UpdateFile(std::u16string_view path, int attributes, int64_t size, int64_t creation_time,
                              int64_t last_access_time, int64_t last_write_time) {
  return CreateOrUpdateItem(true, false, path, attributes, size, creation_time, last_access_time, last_write_time);
}
int SyncEngine::do_UpdateFolder(std::u16string_view path, int attributes, int64_t creation_time,
                                int64_t last_access_time, int64_t last_write_time) {
  return CreateOrUpdateItem(true, true, path, attributes, 0, creation_time, last_access_time, last_write_time);
}

}  // namespace ostrasync::engine
