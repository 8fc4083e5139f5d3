// The host's item paths and item properties: validation, splitting and joining, and the mapping
// between the component's attribute flags and Windows attributes. Pure functions, no state.
#ifndef OSTRASYNC_ITEMS_ITEM_PATHS_H_
#define OSTRASYNC_ITEMS_ITEM_PATHS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrasync::items {

// Component attribute flags.
namespace item_attr {
inline constexpr uint32_t kReadOnly = 0x2;
inline constexpr uint32_t kHidden = 0x4;
inline constexpr uint32_t kSystem = 0x8;
inline constexpr uint32_t kPinned = 0x100000;
inline constexpr uint32_t kUnpinned = 0x200000;
inline constexpr uint32_t kFolder = 0x40000000;
inline constexpr uint32_t kValidMask = 0x4030000E;
}  // namespace item_attr

// A name that stands for exactly one item of its folder: not empty, none of " * / : < > ? \ |
// nor a control character, and not ending in "." or " " (Windows drops those, so "..." or "a."
// would name the folder itself or another item; "." and ".." are refused with them).
bool IsValidItemName(std::u16string_view name);

// A LocalPath that stays inside the sync root: it begins with "\", and each of its components
// (split at "\") is a valid item name. "\" alone is the root. So "\..\x", "x", "\a/..", "\a:s"
// and "\a\\b" are refused.
bool IsSafeLocalPath(std::u16string_view local_path);

// Splits "\dir\name" into "\dir" and "name", "\name" into "\" and "name". False without a
// backslash.
bool ExtractFileDirAndName(std::u16string_view local_path, std::u16string* dir, std::u16string* name);

// `base` followed by `tail` with exactly one backslash between them (none added when `tail` is
// empty).
std::u16string JoinPath(std::u16string_view base, std::u16string_view tail);

// The identity a placeholder carries: the id as UTF-16 (little-endian) with its terminating NUL,
// (characters + 1) * 2 bytes.
std::vector<uint8_t> ItemIdentity(std::u16string_view item_id);

// Component attribute flags to Windows attributes: 0 gives FILE_ATTRIBUTE_NORMAL; pinned wins over
// unpinned.
uint32_t ItemToWindowsAttributes(uint32_t item_attributes);
// Windows attributes to component attribute flags; FILE_ATTRIBUTE_NORMAL alone gives 0, bits
// without a component flag are dropped.
uint32_t WindowsToItemAttributes(uint32_t windows_attributes);

// A date of the update methods: values at or before 1970-01-01 00:00:00 UTC mean "not given" (0).
uint64_t FilterUpdateDate(int64_t filetime);

// 0, or the code (with its log text in *failure) of the first invalid property: attributes
// negative or outside kValidMask 0x21000016 "Invalid item attributes"; size or a date negative
// 0x21000017 "Invalid item size value" / "Invalid item date value"; flags negative 0x21000004
// "Invalid flags value".
int CheckItemProperties(int64_t attributes, int64_t size, int64_t creation_time, int64_t last_access_time,
                        int64_t last_write_time, int64_t flags, const char16_t** failure);

}  // namespace ostrasync::items

#endif  // OSTRASYNC_ITEMS_ITEM_PATHS_H_
