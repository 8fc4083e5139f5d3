// The placeholder manager's construction, the listing entry and the operations that belong to
// later subsystems.
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

int PlaceholderManager::ListItem(std::u16string_view folder, const ListedItem& item, uint32_t flags) {
  // The name becomes a path component: one that could climb out of the folder or name a stream
  // is refused here too, whatever the caller checked.
  if (!IsSafeLocalPath(folder)) return OSTRASYNC_ERR_INVALID_PARAMETER;
  if (!ValidateItemName(item.name)) return OSTRASYNC_ERR_INVALID_ITEM_NAME;
  const std::u16string relative = JoinPath(folder, item.name);
  return DoCreateOrUpdatePlaceholder(folder, item.name, relative, item.size, item.creation_time,
                                     item.last_access_time, item.last_write_time, item.attributes, flags);
}

bool PlaceholderManager::ValidateItemName(std::u16string_view name) {
  if (IsValidItemName(name)) return true;
  engine_.Log(1, u"Item name validation failed for '%s'", {name});
  return false;
}

int PlaceholderManager::NotAvailableYet(const char16_t* operation, std::u16string_view path) {
  engine_.Log(1, u"%s is not available in this version of the component: '%s'", {operation, path});
  return OSTRASYNC_ERR_OPERATION_DENIED;
}

int PlaceholderManager::DoRenamePlaceholder(std::u16string_view relative, std::u16string_view, bool) {
  return NotAvailableYet(u"DoRenamePlaceholder", relative);
}
int PlaceholderManager::DoDeletePlaceholder(std::u16string_view relative, bool, bool) {
  return NotAvailableYet(u"DoDeletePlaceholder", relative);
}
int PlaceholderManager::GetItemIdByPath(std::u16string_view relative, std::u16string* id) {
  id->clear();
  return NotAvailableYet(u"GetItemIdByPath", relative);
}
int PlaceholderManager::DoSetPlaceholderPinnedState(std::u16string_view relative, bool) {
  return NotAvailableYet(u"DoSetPlaceholderPinnedState", relative);
}
int PlaceholderManager::UnsupportedOperation() { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::NoOperation() { return 0; }
int PlaceholderManager::DoClearPlaceholder(std::u16string_view relative) {
  return NotAvailableYet(u"DoClearPlaceholder", relative);
}
int PlaceholderManager::UnsupportedOperation2() { return OSTRASYNC_ERR_OPERATION_DENIED; }
int PlaceholderManager::GetLocalAttributes(std::u16string_view relative, bool, uint32_t* attributes) {
  *attributes = 0;
  return NotAvailableYet(u"GetLocalAttributes", relative);
}
int PlaceholderManager::SetLocalAttributes(std::u16string_view relative, bool, uint32_t) {
  return NotAvailableYet(u"SetLocalAttributes", relative);
}
int PlaceholderManager::GetItemStatus(std::u16string_view relative, uint32_t* status) {
  *status = 0;
  return NotAvailableYet(u"GetItemStatus", relative);
}
int PlaceholderManager::SyncItem(std::u16string_view relative) { return NotAvailableYet(u"SyncItem", relative); }
int PlaceholderManager::DoSetPlaceholderExcludedState(std::u16string_view relative, bool) {
  return NotAvailableYet(u"DoSetPlaceholderExcludedState", relative);
}

}  // namespace ostrasync::items
