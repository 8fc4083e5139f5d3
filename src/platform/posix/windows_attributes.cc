// Derives a Linux file's Windows attributes from its inode and the emulation's records.
#include "platform/posix/windows_attributes.h"

#include "platform/posix/placeholder_xattrs.h"
#include "platform/win32_terms.h"

namespace ostrasync::platform {

uint32_t WindowsAttributesOf(const std::string& posix_path, const struct stat& st, uint32_t* reparse_tag,
                             uint64_t* recorded_creation_time) {
  if (recorded_creation_time != nullptr) *recorded_creation_time = 0;
  uint32_t attributes = 0;
  uint32_t tag = 0;
  const bool folder = S_ISDIR(st.st_mode);
  if (folder) attributes |= attr::kDirectory;
  if (!(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) attributes |= attr::kReadOnly;
  if (S_ISREG(st.st_mode) || folder) {
    const auto target = xattrs::Target::Path(posix_path);
    // One listing says which records there are, so a plain file costs one look, not one per record.
    uint32_t present = 0;
    if (xattrs::ListRecords(target, &present) != 0) {
      present = xattrs::kHasBasic | xattrs::kHasPlaceholder | xattrs::kHasRanges | xattrs::kHasSyncRoot;
    }
    // A placeholder's record brings its basic fields along; a plain item keeps them apart.
    xattrs::BasicRecord basic;
    xattrs::PlaceholderRecord placeholder;
    const bool is_placeholder =
        (present & xattrs::kHasPlaceholder) && xattrs::ReadPlaceholder(target, &placeholder, &basic) == 0;
    if (is_placeholder || ((present & xattrs::kHasBasic) && xattrs::ReadBasic(target, &basic) == 0)) {
      attributes |= basic.windows_bits;
      if (recorded_creation_time != nullptr) *recorded_creation_time = basic.creation_time;
      if (basic.pin_state == cf::kPinned) attributes |= attr::kPinned;
      if (basic.pin_state == cf::kUnpinned) attributes |= attr::kUnpinned;
    }
    if (is_placeholder) {
      attributes |= attr::kReparsePoint;
      tag = kReparseTagCloud;
      if (placeholder.flags & xattrs::kPlaceholderInSync) tag |= xattrs::kTagVariantInSync;
      if (folder) {
        xattrs::SyncRootRecord root;
        if ((present & xattrs::kHasSyncRoot) && xattrs::ReadSyncRoot(target, &root) == 0) {
          tag |= xattrs::kTagVariantSyncRoot;
        }
        if (!(placeholder.flags & xattrs::kPlaceholderPopulated)) attributes |= attr::kRecallOnOpen;
      } else {
        std::vector<FileRange> ranges;
        const bool read = !(present & xattrs::kHasRanges) || xattrs::ReadRanges(target, &ranges) == 0;
        if (read && !xattrs::Covers(ranges, 0, placeholder.logical_size)) {
          // What Windows shows for content that is not (all) here: reading it recalls it.
          attributes |= attr::kSparseFile | attr::kOffline | attr::kRecallOnDataAccess;
        }
      }
    }
  }
  if (reparse_tag != nullptr) *reparse_tag = tag;
  return attributes == 0 ? attr::kNormal : attributes;
}

uint64_t FileTimeFromTimespec(const struct timespec& ts) {
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
  const int64_t units = (static_cast<int64_t>(ts.tv_sec) + kSecondsFrom1601To1970) * 10000000LL + ts.tv_nsec / 100;
  return units < 0 ? 0 : static_cast<uint64_t>(units);
}

struct timespec TimespecFromFileTime(uint64_t file_time) {
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
  struct timespec ts{};
  ts.tv_sec = static_cast<time_t>(static_cast<int64_t>(file_time / 10000000ULL) - kSecondsFrom1601To1970);
  ts.tv_nsec = static_cast<long>((file_time % 10000000ULL) * 100);
  return ts;
}

}  // namespace ostrasync::platform
