// Item paths and properties as the host gives them.
#include "items/item_paths.h"

#include "platform/win32_terms.h"
#include "ostrasync.h"

namespace ostrasync::items {
namespace {

// 1970-01-01 00:00:00 UTC as a FILETIME.
constexpr int64_t kUnixEpochFileTime = 0x019DB1DED53E8000;

}  // namespace

bool IsValidItemName(std::u16string_view name) {
  if (name.empty() || name.back() == u'.' || name.back() == u' ') return false;
  for (char16_t c : name) {
    if (c < 0x20) return false;
    switch (c) {
      case u'"': case u'*': case u'/': case u':': case u'<': case u'>': case u'?': case u'\\': case u'|':
        return false;
      default:
        break;
    }
  }
  return true;
}

bool IsSafeLocalPath(std::u16string_view local_path) {
  if (local_path.empty() || local_path.front() != u'\\') return false;
  if (local_path.size() == 1) return true;
  std::size_t start = 1;
  while (true) {
    const std::size_t end = local_path.find(u'\\', start);
    const std::u16string_view component = local_path.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (!IsValidItemName(component)) return false;
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

bool ExtractFileDirAndName(std::u16string_view local_path, std::u16string* dir, std::u16string* name) {
  const std::size_t last = local_path.rfind(u'\\');
  if (last == std::u16string_view::npos) return false;
  dir->assign(last == 0 ? std::u16string_view(u"\\") : local_path.substr(0, last));
  name->assign(local_path.substr(last + 1));
  return true;
}

std::u16string JoinPath(std::u16string_view base, std::u16string_view tail) {
  std::u16string out(base);
  if (tail.empty()) return out;
  const bool base_slash = !out.empty() && out.back() == u'\\';
  const bool tail_slash = tail.front() == u'\\';
  if (base_slash && tail_slash) {
    tail.remove_prefix(1);
  } else if (!base_slash && !tail_slash) {
    out.push_back(u'\\');
  }
  out.append(tail);
  return out;
}

std::vector<uint8_t> ItemIdentity(std::u16string_view item_id) {
  std::vector<uint8_t> bytes;
  bytes.reserve((item_id.size() + 1) * 2);
  for (char16_t unit : item_id) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

uint32_t ItemToWindowsAttributes(uint32_t item_attributes) {
  namespace attr = platform::attr;
  if (item_attributes == 0) return attr::kNormal;
  uint32_t out = 0;
  if (item_attributes & item_attr::kReadOnly) out |= attr::kReadOnly;
  if (item_attributes & item_attr::kHidden) out |= attr::kHidden;
  if (item_attributes & item_attr::kSystem) out |= attr::kSystem;
  if (item_attributes & item_attr::kFolder) out |= attr::kDirectory;
  if (item_attributes & item_attr::kPinned) {
    out |= attr::kPinned;
  } else if (item_attributes & item_attr::kUnpinned) {
    out |= attr::kUnpinned;
  }
  return out == 0 ? attr::kNormal : out;
}

uint32_t WindowsToItemAttributes(uint32_t windows_attributes) {
  namespace attr = platform::attr;
  uint32_t out = 0;
  if (windows_attributes & attr::kReadOnly) out |= item_attr::kReadOnly;
  if (windows_attributes & attr::kHidden) out |= item_attr::kHidden;
  if (windows_attributes & attr::kSystem) out |= item_attr::kSystem;
  if (windows_attributes & attr::kDirectory) out |= item_attr::kFolder;
  if (windows_attributes & attr::kPinned) {
    out |= item_attr::kPinned;
  } else if (windows_attributes & attr::kUnpinned) {
    out |= item_attr::kUnpinned;
  }
  return out;
}

uint64_t FilterUpdateDate(int64_t filetime) {
  return filetime > kUnixEpochFileTime ? static_cast<uint64_t>(filetime) : 0;
}

int CheckItemProperties(int64_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                        int64_t last_write_time, int64_t flags, const char16_t** failure) {
  if (attributes < 0 || (static_cast<uint64_t>(attributes) & ~static_cast<uint64_t>(item_attr::kValidMask)) != 0) {
    *failure = u"Invalid item attributes";
    return OSTRASYNC_ERR_INVALID_ITEM_ATTRIBUTES;
  }
  if (size < 0) {
    *failure = u"Invalid item size value";
    return OSTRASYNC_ERR_INVALID_ITEM_PROPERTY;
  }
  if (creation_time < 0 || last_access_time < 0 || last_write_time < 0) {
    *failure = u"Invalid item date value";
    return OSTRASYNC_ERR_INVALID_ITEM_PROPERTY;
  }
  if (flags < 0) {
    *failure = u"Invalid flags value";
    return OSTRASYNC_ERR_INVALID_PARAMETER;
  }
  return 0;
}

}  // namespace ostrasync::items
