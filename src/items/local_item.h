// Whether an item is on disk, told apart from an item that could not be looked at: guessing
// "absent" for an unreadable item would create over it or mark it in sync unseen.
#ifndef OSTRASYNC_ITEMS_LOCAL_ITEM_H_
#define OSTRASYNC_ITEMS_LOCAL_ITEM_H_

#include <cstdint>
#include <string>

#include "platform/file_system.h"

namespace ostrasync::items {

struct LocalItem {
  enum class Presence { kAbsent, kPresent, kUnreadable };
  Presence presence = Presence::kAbsent;
  uint32_t attributes = platform::attr::kInvalid;  // Windows attributes when present
  platform::Win32Error error = 0;                  // the read's error when unreadable

  bool present() const { return presence == Presence::kPresent; }
  bool unreadable() const { return presence == Presence::kUnreadable; }
  bool is_folder() const { return present() && (attributes & platform::attr::kDirectory) != 0; }
};

// Reads the item's attributes: "file not found" and "path not found" mean absent.
LocalItem ReadLocalItem(platform::FileSystem& fs, const std::u16string& full_path);

}  // namespace ostrasync::items

#endif  // OSTRASYNC_ITEMS_LOCAL_ITEM_H_
