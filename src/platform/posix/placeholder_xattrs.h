// The one place that names and encodes the extended attributes in which the emulation keeps what
// Windows keeps in reparse points and file attributes: each record is one "user." attribute,
// replaced whole by one setxattr, so a crash leaves either the old record or the new one.
#ifndef OSTRASYNC_PLATFORM_POSIX_PLACEHOLDER_XATTRS_H_
#define OSTRASYNC_PLATFORM_POSIX_PLACEHOLDER_XATTRS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32_terms.h"

namespace ostrasync::platform::xattrs {

// Where a record is read or written: an open descriptor when there is one (it follows the file
// through renames), else a path (symbolic links are not followed).
struct Target {
  int fd = -1;
  const std::string* path = nullptr;
  static Target Fd(int fd) { return Target{fd, nullptr}; }
  static Target Path(const std::string& path) { return Target{-1, &path}; }
};

// Every reader returns 0, ENODATA when the record is absent (or unreadable as ours), or the errno
// of the failure; every writer returns 0 or an errno.

// Windows attribute bits Linux has no place for, the pin state and the creation time; kept for
// any file or folder, placeholder or not. A plain item keeps them in a record of their own; a
// placeholder keeps them inside its placeholder record, so that a new placeholder costs one
// extended attribute, which the file system keeps inside the inode (two no longer fit there and
// spill into a block of their own, which makes creating a placeholder several times dearer).
// A placeholder record of the older layout, without these fields, leaves them in the record of
// their own until the placeholder record is next written, which moves them in.
struct BasicRecord {
  uint32_t windows_bits = 0;  // only kStoredAttributes
  uint32_t pin_state = cf::kPinUnspecified;
  uint64_t creation_time = 0;  // FILETIME; 0 when never set (the inode's birth time stands)
  bool operator==(const BasicRecord&) const = default;
};
inline constexpr uint32_t kStoredAttributes =
    attr::kHidden | attr::kSystem | attr::kArchive | attr::kTemporary | attr::kNotContentIndexed;
// Read and write the fields wherever the item keeps them. WriteBasic replaces the whole
// placeholder record of a placeholder, so its caller holds the file's state lock, as every
// writer of that record does.
[[nodiscard]] int ReadBasic(Target target, BasicRecord* record);
[[nodiscard]] int WriteBasic(Target target, const BasicRecord& record);

// Present exactly when the item is a placeholder: a plain file has no such record. The provider's
// opaque file identity (at most cf::kMaxFileIdentityLength bytes) travels in the same record, so
// that a new placeholder costs one extended attribute, which the file system keeps inside the
// inode while the identity is short. A file system with less room per inode than a large
// identity needs refuses the write with ENOSPC or E2BIG (see IdentityWriteResult).
struct PlaceholderRecord {
  uint32_t flags = 0;         // kPlaceholder* below
  int64_t logical_size = 0;   // files: the size applications see
  int64_t usn = 0;            // bumped at every change the facility makes
  std::vector<uint8_t> identity;
  bool operator==(const PlaceholderRecord&) const = default;
};
inline constexpr uint32_t kPlaceholderInSync = 0x1;
inline constexpr uint32_t kPlaceholderPopulated = 0x2;   // folders: on-demand population disabled
inline constexpr uint32_t kPlaceholderAlwaysFull = 0x4;
// `basic`, when given, receives the item's basic fields too (defaults where it has none), at the
// cost of no further read for a placeholder of the current layout; `basic_inside`, when given,
// tells whether the record itself carried them.
[[nodiscard]] int ReadPlaceholder(Target target, PlaceholderRecord* record, BasicRecord* basic = nullptr,
                                  bool* basic_inside = nullptr);
// Writes the record and keeps the item's basic fields as they are, moving them into it from the
// record of their own when they are still there (a plain item becoming a placeholder, or one of
// the older layout).
[[nodiscard]] int WritePlaceholder(Target target, const PlaceholderRecord& record);
// The first write of a new item's records, with its basic fields: one setxattr, no reads.
[[nodiscard]] int WriteNewPlaceholder(Target target, const PlaceholderRecord& record, const BasicRecord& basic);
// The record and the basic fields replaced together, one setxattr whatever the layout was: for a
// caller that read both with ReadPlaceholder under the file's state lock and changed them. A
// basic record of the older layout beside it goes afterwards.
[[nodiscard]] int ReplacePlaceholder(Target target, const PlaceholderRecord& record, const BasicRecord& basic,
                                     bool basic_was_inside);
// Makes the item a plain one again: its basic fields go back to a record of their own (written
// before the placeholder record goes, so a crash in between leaves them in both, and the
// placeholder record, read first, still agrees), and its byte ranges go.
[[nodiscard]] int RemovePlaceholder(Target target);

// The HRESULT for a failed write of a placeholder record: a record the file system has no room
// for beside the inode's other records is ERROR_CLOUD_FILE_METADATA_TOO_LARGE, as Windows reports
// an identity it cannot keep; a volume that is simply full stays ERROR_DISK_FULL.
[[nodiscard]] HResult IdentityWriteResult(Target target, int error);

// Which byte ranges of a placeholder file are on disk: sorted, disjoint, not adjacent. Written
// after the data it describes and before a range is punched out, so it never claims bytes that
// are not there.
[[nodiscard]] int ReadRanges(Target target, std::vector<FileRange>* ranges);
[[nodiscard]] int WriteRanges(Target target, const std::vector<FileRange>& ranges);

// The sync-root registration, on the root folder.
struct SyncRootRecord {
  SyncRegistration registration;
  SyncPolicies policies;
};
[[nodiscard]] int ReadSyncRoot(Target target, SyncRootRecord* record);
[[nodiscard]] int WriteSyncRoot(Target target, const SyncRootRecord& record);
[[nodiscard]] int RemoveSyncRoot(Target target);

// The shell's last-sync-error mark (an HRESULT).
[[nodiscard]] int ReadSyncError(Target target, int32_t* hresult);
[[nodiscard]] int WriteSyncError(Target target, int32_t hresult);
[[nodiscard]] int RemoveSyncError(Target target);

// Which of the records above an item has, from one listing of its extended attributes: kHas*
// bits. Returns 0, or an errno when the list could not be read (then nothing is known, and the
// caller reads the records one by one).
inline constexpr uint32_t kHasBasic = 0x1, kHasPlaceholder = 0x2, kHasRanges = 0x4, kHasSyncRoot = 0x8;
[[nodiscard]] int ListRecords(Target target, uint32_t* present);

// The reparse tag variants the emulation reports for its placeholders: the cloud tag with the
// in-sync and sync-root facts in the variant nibble, so that a find record alone tells them.
inline constexpr uint32_t kTagVariantInSync = 0x1000;
inline constexpr uint32_t kTagVariantSyncRoot = 0x2000;

// Range arithmetic on lists kept in the form described above.
void AddRange(std::vector<FileRange>* ranges, int64_t offset, int64_t length);
void RemoveRange(std::vector<FileRange>* ranges, int64_t offset, int64_t length);
void ClipRanges(std::vector<FileRange>* ranges, int64_t size);
[[nodiscard]] bool Covers(const std::vector<FileRange>& ranges, int64_t offset, int64_t length);
[[nodiscard]] int64_t BytesIn(const std::vector<FileRange>& ranges);

}  // namespace ostrasync::platform::xattrs

#endif  // OSTRASYNC_PLATFORM_POSIX_PLACEHOLDER_XATTRS_H_
