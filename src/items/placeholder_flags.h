// The flags that tell the create-or-update routine what the caller wants done with an item.
#ifndef OSTRASYNC_ITEMS_PLACEHOLDER_FLAGS_H_
#define OSTRASYNC_ITEMS_PLACEHOLDER_FLAGS_H_

#include <cstdint>

namespace ostrasync::items {

namespace placeholder_flag {
inline constexpr uint32_t kRetrieve = 0x1;        // download the content afterwards
inline constexpr uint32_t kMarkSynced = 0x2;      // the item matches the remote item
inline constexpr uint32_t kUpdateExisting = 0x4;  // download again only if fully on disk now
inline constexpr uint32_t kSupersede = 0x8;       // create with the supersede flag
inline constexpr uint32_t kMustNotExist = 0x10;   // fail if the item exists locally
inline constexpr uint32_t kForceUpdate = 0x20;    // always update; files are dehydrated
inline constexpr uint32_t kKeepTransfers = 0x40;  // do not cancel running transfers of the path
inline constexpr uint32_t kFromListing = 0x80;    // the call comes from a folder listing
inline constexpr uint32_t kKeepContent = 0x100;   // a forced update keeps the content
// Internal, never logged: the caller has just found nothing under the name, so it is not looked
// for again (something made there since makes the creation fail; it is never overwritten).
inline constexpr uint32_t kAbsenceChecked = 0x200;
}  // namespace placeholder_flag

// Retrieval is asked for outside listings by kRetrieve or kUpdateExisting.
inline bool RetrievalRequested(uint32_t flags) {
  using namespace placeholder_flag;
  return (flags & kFromListing) == 0 && (flags & (kRetrieve | kUpdateExisting)) != 0;
}

// 2 with kRetrieve, else 1 with kUpdateExisting, else 0.
inline int RetrieveMode(uint32_t flags) {
  using namespace placeholder_flag;
  if ((flags & kRetrieve) != 0) return 2;
  if ((flags & kUpdateExisting) != 0) return 1;
  return 0;
}

}  // namespace ostrasync::items

#endif  // OSTRASYNC_ITEMS_PLACEHOLDER_FLAGS_H_
