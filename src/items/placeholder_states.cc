// The states of one placeholder that the create-or-update routine and the engine settle: in
// sync or not, its content on disk, and the shell's "excluded" mark.
#include "engine/sync_engine.h"
#include "items/local_item.h"
#include "items/placeholder_manager.h"
#include "ostrasync.h"

namespace ostrasync::items {
namespace {

namespace cf = platform::cf;

}  // namespace

int PlaceholderManager::ReadPlaceholderState(const std::u16string& full_path, uint32_t* state) {
  *state = engine_.binding().GetPlaceholderState(full_path.c_str());
  if (*state != cf::kStateInvalid) return 0;
  const LocalItem local = ReadLocalItem(engine_.os().file_system(), full_path);
  if (local.presence == LocalItem::Presence::kAbsent) {
    *state = cf::kStateNone;
    return 0;
  }
  // Taken for "no placeholder", it would be skipped, converted or updated unseen.
  engine_.Log(1, u"Failed to get the placeholder state of '%s'", {full_path});
  if (local.unreadable()) engine_.SetOsLastError(local.error);
  return OSTRASYNC_ERR_OS_CALL;
}

int PlaceholderManager::DoSetPlaceholderSyncState(std::u16string_view relative, bool synced) {
  engine_.Log(4, u"Calling DoSetPlaceholderSyncState for '%s', synced: %s",
              {relative, synced ? u"true" : u"false"});
  const std::u16string full = FullPath(relative);
  uint32_t state = cf::kStateNone;
  if (const int rc = ReadPlaceholderState(full, &state); rc != 0) return rc;
  if ((state & cf::kStatePlaceholder) == 0) {
    engine_.Log(4, u"Path '%s' is not a placeholder, skipping it", {full});
    return 0;
  }
  platform::CloudFilesBinding& binding = engine_.binding();
  platform::PlaceholderStatesRequest request;
  request.path = full.c_str();
  request.which = platform::kSetInSyncState;
  request.in_sync_state = synced ? cf::kInSync : cf::kNotInSync;
  const platform::HResult hr = binding.SetPlaceholderStates(&request);
  if (hr < 0) {
    engine_.Log(4, u"SetPlaceholderStates for '%s' failed, HR=0x%x", {full, static_cast<uint32_t>(hr)});
    engine_.SetOsLastError(static_cast<uint32_t>(hr));
    return OSTRASYNC_ERR_OS_CALL;
  }
  engine_.Log(4, u"SetPlaceholderStates for '%s' finished successfully", {full});
  return 0;
}

int PlaceholderManager::DoHydratePlaceholder(const std::u16string& full_path) {
  engine_.Log(4, u"DoHydratePlaceholder %s", {full_path});
  platform::PlaceholderRangeRequest request;
  request.path = full_path.c_str();
  request.offset = 0;
  request.length = 0x7FFFFFFFFFFFFFFF;  // the whole file, whatever its size
  const platform::HResult hr = engine_.binding().HydratePlaceholder(&request);
  if (hr < 0) {
    // Only a failure is kept: a success must not wipe the cause of an earlier failure the host
    // has not read yet.
    engine_.SetOsLastError(static_cast<uint32_t>(hr));
    return OSTRASYNC_ERR_OS_CALL;
  }
  return 0;
}

int PlaceholderManager::GetPlaceholderExcludedState(std::u16string_view relative, bool* excluded) {
  *excluded = false;
  const std::u16string full = FullPath(relative);
  uint32_t state = cf::kStateNone;
  if (const int rc = ReadPlaceholderState(full, &state); rc != 0) return rc;
  if ((state & cf::kStatePlaceholder) == 0) return 0;
  return ReadExcludedPin(full, excluded);
}

int PlaceholderManager::ReadExcludedPin(const std::u16string& full, bool* excluded) {
  *excluded = false;
  platform::CloudFilesBinding& binding = engine_.binding();
  platform::PlaceholderInfo info;
  platform::PlaceholderInfoRequest request;
  request.path = full.c_str();
  request.info_class = cf::kPlaceholderInfoBasic;
  request.info = &info;
  const platform::HResult hr = binding.GetPlaceholderInfo(&request);
  if (hr < 0) {
    engine_.Log(1, u"GetPlaceholderInfo for '%s' returned error code 0x%x", {full, static_cast<uint32_t>(hr)});
    engine_.SetOsLastError(static_cast<uint32_t>(hr));
    return OSTRASYNC_ERR_OS_CALL;
  }
  *excluded = info.pin_state == cf::kPinExcluded;
  return 0;
}

}  // namespace ostrasync::items
