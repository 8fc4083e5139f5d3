// The placeholder manager's construction and the operations that belong to later subsystems.
#include "items/placeholder_manager.h"

#include "engine/sync_engine.h"
#include "items/item_paths.h"
#include "ostrasync.h"

namespace ostrasync::items {

PlaceholderManager::PlaceholderManager(engine::SyncEngine& engine, std::u16string long_root,
                                       std::u16string volume_relative_root)
    : engine_(engine), long_root_(std::move(long_root)), volume_relative_root_(std::move(volume_relative_root)) {}

PlaceholderManager::~PlaceholderManager() = default;

std::u16string PlaceholderManager::FullPath(std::u16string_view relative) const {
  return relative == u"\\" ? long_root_ : JoinPath(long_root_, relative);
}

int PlaceholderManager::ListItem(std::u16string_view, const ListedItem&, uint32_t) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::DoCreateOrUpdatePlaceholder(std::u16string_view, std::u16string_view, std::u16string_view,
                                                    int64_t, uint64_t, uint64_t, uint64_t, uint32_t, uint32_t) {
  return OSTRASYNC_ERR_OPERATION_DENIED;
}
int PlaceholderManager::DoRenamePlaceholder(std::u16string_view, std::u16string_view, bool) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::DoDeletePlaceholder(std::u16string_view, bool, bool) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::GetItemIdByPath(std::u16string_view, std::u16string*) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::DoSetPlaceholderSyncState(std::u16string_view, bool) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::DoSetPlaceholderPinnedState(std::u16string_view, bool) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::UnsupportedOperation() { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::NoOperation() { return 0; }
int PlaceholderManager::DoClearPlaceholder(std::u16string_view) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::UnsupportedOperation2() { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::GetLocalAttributes(std::u16string_view, bool, uint32_t*) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::SetLocalAttributes(std::u16string_view, bool, uint32_t) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::GetItemStatus(std::u16string_view, uint32_t*) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::SyncItem(std::u16string_view) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::DoSetPlaceholderExcludedState(std::u16string_view, bool) { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::GetPlaceholderExcludedState(std::u16string_view, bool* excluded) {
  *excluded = false;
  return 0;
}
bool PlaceholderManager::ValidateItemName(std::u16string_view name) { return IsValidItemName(name); }
int PlaceholderManager::DoHydratePlaceholder(const std::u16string&) { return OSTRASYNC_ERR_OPERATION_DENIED; }
NewerCheck PlaceholderManager::CheckIfLocalFileIsNewer(const std::u16string&, std::u16string_view, std::u16string_view,
                                                       std::u16string_view, uint64_t, uint64_t, uint64_t, uint32_t) {
  return NewerCheck{OSTRASYNC_ERR_OPERATION_DENIED, false, false};
}

}  // namespace ostrasync::items
