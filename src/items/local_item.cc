// Looking at one item on disk.
#include "items/local_item.h"

namespace ostrasync::items {

LocalItem ReadLocalItem(platform::FileSystem& fs, const std::u16string& full_path) {
  LocalItem item;
  const platform::Win32Error error = fs.ReadAttributes(full_path, &item.attributes);
  if (error == 0 && item.attributes != platform::attr::kInvalid) {
    item.presence = LocalItem::Presence::kPresent;
  } else if (error == platform::win32::kFileNotFound || error == platform::win32::kPathNotFound) {
    item.presence = LocalItem::Presence::kAbsent;
  } else {
    item.presence = LocalItem::Presence::kUnreadable;
    item.error = error != 0 ? error : platform::win32::kInternalError;
  }
  return item;
}

}  // namespace ostrasync::items
