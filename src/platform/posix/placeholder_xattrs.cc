// Encodes and decodes the emulation's extended-attribute records (little-endian, versioned).
#include "platform/posix/placeholder_xattrs.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/path_mapping.h"

namespace ostrasync::platform::xattrs {
namespace {

constexpr char kBasicName[] = "user.ostrasync.basic";
constexpr char kPlaceholderName[] = "user.ostrasync.placeholder";
constexpr char kRangesName[] = "user.ostrasync.ranges";
constexpr char kSyncRootName[] = "user.ostrasync.syncroot";
constexpr char kSyncErrorName[] = "user.ostrasync.syncerror";
constexpr uint8_t kVersion = 1;
constexpr Win32Error kMetadataTooLarge = 364;  // ERROR_CLOUD_FILE_METADATA_TOO_LARGE

// Appends and consumes fixed-width little-endian fields.
class Writer {
 public:
  void U8(uint8_t v) { bytes_.push_back(v); }
  void U16(uint16_t v) { Raw(v, 2); }
  void U32(uint32_t v) { Raw(v, 4); }
  void U64(uint64_t v) { Raw(v, 8); }
  void Bytes(const std::vector<uint8_t>& b) {
    U32(static_cast<uint32_t>(b.size()));
    bytes_.insert(bytes_.end(), b.begin(), b.end());
  }
  void Text(const std::u16string& s) {
    U32(static_cast<uint32_t>(s.size()));
    for (char16_t c : s) U16(c);
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  void Raw(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t> bytes_;
};

class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& b) : b_(b) {}
  bool ok() const { return ok_; }
  bool done() const { return ok_ && pos_ == b_.size(); }
  uint8_t U8() { return static_cast<uint8_t>(Raw(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Raw(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Raw(4)); }
  uint64_t U64() { return Raw(8); }
  std::vector<uint8_t> Bytes() {
    const uint32_t n = U32();
    if (!ok_ || b_.size() - pos_ < n) return Fail<std::vector<uint8_t>>();
    std::vector<uint8_t> out(b_.begin() + pos_, b_.begin() + pos_ + n);
    pos_ += n;
    return out;
  }
  std::u16string Text() {
    const uint32_t n = U32();
    if (!ok_ || (b_.size() - pos_) / 2 < n) return Fail<std::u16string>();
    std::u16string out;
    for (uint32_t i = 0; i < n; ++i) out.push_back(static_cast<char16_t>(U16()));
    return out;
  }

 private:
  template <typename T>
  T Fail() {
    ok_ = false;
    return T();
  }
  uint64_t Raw(int n) {
    if (!ok_ || b_.size() - pos_ < static_cast<size_t>(n)) return Fail<uint64_t>();
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<uint64_t>(b_[pos_ + i]) << (8 * i);
    pos_ += n;
    return v;
  }
  const std::vector<uint8_t>& b_;
  size_t pos_ = 0;
  bool ok_ = true;
};

int Get(Target t, const char* name, std::vector<uint8_t>* out) {
  // Most records are small: one read into a buffer of that size, and a second look at the size
  // only for a record that is larger.
  out->resize(256);
  const ssize_t first = t.fd >= 0 ? fgetxattr(t.fd, name, out->data(), out->size())
                                  : lgetxattr(t.path->c_str(), name, out->data(), out->size());
  if (first >= 0) {
    out->resize(static_cast<size_t>(first));
    return 0;
  }
  if (errno != ERANGE) return (errno == ENOTSUP) ? ENODATA : errno;
  for (;;) {
    ssize_t n = t.fd >= 0 ? fgetxattr(t.fd, name, nullptr, 0) : lgetxattr(t.path->c_str(), name, nullptr, 0);
    if (n < 0) return (errno == ENOTSUP) ? ENODATA : errno;
    out->resize(static_cast<size_t>(n));
    if (n == 0) return 0;
    n = t.fd >= 0 ? fgetxattr(t.fd, name, out->data(), out->size())
                  : lgetxattr(t.path->c_str(), name, out->data(), out->size());
    if (n >= 0) {
      out->resize(static_cast<size_t>(n));
      return 0;
    }
    if (errno != ERANGE) return errno;  // ERANGE: it grew in between; ask again
  }
}

int SetOnce(Target t, const char* name, const std::vector<uint8_t>& value) {
  const int rc = t.fd >= 0 ? fsetxattr(t.fd, name, value.data(), value.size(), 0)
                           : lsetxattr(t.path->c_str(), name, value.data(), value.size(), 0);
  return rc == 0 ? 0 : errno;
}

// Extended attributes of the "user." namespace need write permission on the inode, which a file
// Windows calls read-only lacks; the owner lends it for the moment of the write.
int Set(Target t, const char* name, const std::vector<uint8_t>& value) {
  int rc = SetOnce(t, name, value);
  if (rc != EACCES) return rc;
  struct stat st;
  if ((t.fd >= 0 ? fstat(t.fd, &st) : lstat(t.path->c_str(), &st)) != 0 || (st.st_mode & S_IWUSR)) return rc;
  const mode_t mode = st.st_mode & 07777;
  if ((t.fd >= 0 ? fchmod(t.fd, mode | S_IWUSR) : chmod(t.path->c_str(), mode | S_IWUSR)) != 0) return rc;
  rc = SetOnce(t, name, value);
  (void)(t.fd >= 0 ? fchmod(t.fd, mode) : chmod(t.path->c_str(), mode));
  return rc;
}

int Remove(Target t, const char* name) {
  const int rc = t.fd >= 0 ? fremovexattr(t.fd, name) : lremovexattr(t.path->c_str(), name);
  if (rc == 0 || errno == ENODATA) return 0;
  return errno;
}

// Reads a record and checks its version; a record of another version is treated as absent.
int GetRecord(Target t, const char* name, std::vector<uint8_t>* out) {
  const int rc = Get(t, name, out);
  if (rc != 0) return rc;
  if (out->empty() || (*out)[0] != kVersion) return ENODATA;
  return 0;
}

// The placeholder record's layouts: the first has no basic fields (they live in the basic
// record); the second carries them after the identity, and is the only one written now.
constexpr uint8_t kPlaceholderWithoutBasic = 1;
constexpr uint8_t kPlaceholderWithBasic = 2;

struct StoredPlaceholder {
  PlaceholderRecord record;
  bool has_basic = false;  // the record carries the basic fields (else the basic record does)
  BasicRecord basic;
};

int ReadSeparateBasic(Target target, BasicRecord* record) {
  std::vector<uint8_t> b;
  if (int rc = GetRecord(target, kBasicName, &b); rc != 0) return rc;
  Reader r(b);
  r.U8();
  BasicRecord out;
  out.windows_bits = r.U32() & kStoredAttributes;
  out.pin_state = r.U32();
  out.creation_time = r.U64();
  if (!r.done()) return ENODATA;
  *record = out;
  return 0;
}

int WriteSeparateBasic(Target target, const BasicRecord& record) {
  Writer w;
  w.U8(kVersion);
  w.U32(record.windows_bits & kStoredAttributes);
  w.U32(record.pin_state);
  w.U64(record.creation_time);
  return Set(target, kBasicName, w.bytes());
}

int ReadStoredPlaceholder(Target target, StoredPlaceholder* stored) {
  std::vector<uint8_t> b;
  if (int rc = Get(target, kPlaceholderName, &b); rc != 0) return rc;
  if (b.empty() || (b[0] != kPlaceholderWithoutBasic && b[0] != kPlaceholderWithBasic)) return ENODATA;
  Reader r(b);
  StoredPlaceholder out;
  out.has_basic = r.U8() == kPlaceholderWithBasic;
  out.record.flags = r.U32();
  out.record.logical_size = static_cast<int64_t>(r.U64());
  out.record.usn = static_cast<int64_t>(r.U64());
  out.record.identity = r.Bytes();
  if (out.has_basic) {
    out.basic.windows_bits = r.U32() & kStoredAttributes;
    out.basic.pin_state = r.U32();
    out.basic.creation_time = r.U64();
  }
  if (!r.done()) return ENODATA;
  *stored = std::move(out);
  return 0;
}

int WriteStoredPlaceholder(Target target, const PlaceholderRecord& record, const BasicRecord& basic) {
  Writer w;
  w.U8(kPlaceholderWithBasic);
  w.U32(record.flags);
  w.U64(static_cast<uint64_t>(record.logical_size));
  w.U64(static_cast<uint64_t>(record.usn));
  w.Bytes(record.identity);
  w.U32(basic.windows_bits & kStoredAttributes);
  w.U32(basic.pin_state);
  w.U64(basic.creation_time);
  return Set(target, kPlaceholderName, w.bytes());
}

// The basic fields of an item whose placeholder record (if any) does not carry them: those of
// the basic record, or the defaults when it has none. `*separate` tells whether it has one.
int ReadFallbackBasic(Target target, BasicRecord* basic, bool* separate) {
  const int rc = ReadSeparateBasic(target, basic);
  *separate = rc == 0;
  if (rc == ENODATA) {
    *basic = BasicRecord();
    return 0;
  }
  return rc;
}

bool IsDefault(const BasicRecord& basic) {
  return basic.windows_bits == 0 && basic.pin_state == cf::kPinUnspecified && basic.creation_time == 0;
}

}  // namespace

int ReadBasic(Target target, BasicRecord* record) {
  // The placeholder record is asked first: where it carries the fields, a basic record beside it
  // is one a crash left behind while moving them, and its values are not the current ones.
  StoredPlaceholder stored;
  if (ReadStoredPlaceholder(target, &stored) == 0 && stored.has_basic) {
    *record = stored.basic;
    return 0;
  }
  return ReadSeparateBasic(target, record);
}

int WriteBasic(Target target, const BasicRecord& record) {
  StoredPlaceholder stored;
  if (ReadStoredPlaceholder(target, &stored) != 0) return WriteSeparateBasic(target, record);
  if (int rc = WriteStoredPlaceholder(target, stored.record, record); rc != 0) return rc;
  // The basic record of the older layout now says less than the placeholder record; it goes.
  return stored.has_basic ? 0 : Remove(target, kBasicName);
}

int ReadPlaceholder(Target target, PlaceholderRecord* record, BasicRecord* basic, bool* basic_inside) {
  StoredPlaceholder stored;
  if (int rc = ReadStoredPlaceholder(target, &stored); rc != 0) return rc;
  if (basic_inside != nullptr) *basic_inside = stored.has_basic;
  if (basic != nullptr) {
    if (stored.has_basic) {
      *basic = stored.basic;
    } else {
      bool separate = false;
      if (ReadFallbackBasic(target, basic, &separate) != 0) *basic = BasicRecord();
    }
  }
  *record = std::move(stored.record);
  return 0;
}

int WritePlaceholder(Target target, const PlaceholderRecord& record) {
  StoredPlaceholder stored;
  const bool had_record = ReadStoredPlaceholder(target, &stored) == 0;
  if (had_record && stored.has_basic) return WriteStoredPlaceholder(target, record, stored.basic);
  BasicRecord basic;
  bool separate = false;
  // A basic record that cannot be read is not replaced by defaults: the write waits for it.
  if (int rc = ReadFallbackBasic(target, &basic, &separate); rc != 0) return rc;
  if (int rc = WriteStoredPlaceholder(target, record, basic); rc != 0) return rc;
  // Written after the placeholder record holds the fields, so that a crash leaves them somewhere.
  return separate ? Remove(target, kBasicName) : 0;
}

int WriteNewPlaceholder(Target target, const PlaceholderRecord& record, const BasicRecord& basic) {
  return WriteStoredPlaceholder(target, record, basic);
}

int ReplacePlaceholder(Target target, const PlaceholderRecord& record, const BasicRecord& basic,
                       bool basic_was_inside) {
  if (int rc = WriteStoredPlaceholder(target, record, basic); rc != 0) return rc;
  return basic_was_inside ? 0 : Remove(target, kBasicName);
}

int RemovePlaceholder(Target target) {
  StoredPlaceholder stored;
  if (ReadStoredPlaceholder(target, &stored) == 0 && stored.has_basic) {
    // Back to a record of their own before the placeholder record goes; none when there is
    // nothing to keep, and then none that a crash may have left either.
    const int rc = IsDefault(stored.basic) ? Remove(target, kBasicName) : WriteSeparateBasic(target, stored.basic);
    if (rc != 0) return rc;
  }
  if (int rc = Remove(target, kPlaceholderName); rc != 0) return rc;
  return Remove(target, kRangesName);
}

HResult IdentityWriteResult(Target target, int error) {
  if (error == E2BIG || error == ERANGE) return HResultFromWin32(kMetadataTooLarge);
  if (error == ENOSPC) {
    // ENOSPC also means a full volume; only a volume with room left points at the record's size.
    struct statvfs vfs;
    const int rc = target.fd >= 0 ? fstatvfs(target.fd, &vfs) : statvfs(target.path->c_str(), &vfs);
    if (rc != 0 || vfs.f_bavail > 0) return HResultFromWin32(kMetadataTooLarge);
    return HResultFromWin32(112);  // ERROR_DISK_FULL
  }
  return HResultFromWin32(Win32ErrorFromErrno(error));
}

int ReadRanges(Target target, std::vector<FileRange>* ranges) {
  std::vector<uint8_t> b;
  const int rc = GetRecord(target, kRangesName, &b);
  if (rc == ENODATA) {
    ranges->clear();
    return 0;
  }
  if (rc != 0) return rc;
  Reader r(b);
  r.U8();
  const uint32_t n = r.U32();
  std::vector<FileRange> out;
  for (uint32_t i = 0; i < n && r.ok(); ++i) {
    FileRange range;
    range.offset = static_cast<int64_t>(r.U64());
    range.length = static_cast<int64_t>(r.U64());
    out.push_back(range);
  }
  if (!r.done()) return ENODATA;
  *ranges = std::move(out);
  return 0;
}

int WriteRanges(Target target, const std::vector<FileRange>& ranges) {
  Writer w;
  w.U8(kVersion);
  w.U32(static_cast<uint32_t>(ranges.size()));
  for (const FileRange& range : ranges) {
    w.U64(static_cast<uint64_t>(range.offset));
    w.U64(static_cast<uint64_t>(range.length));
  }
  return Set(target, kRangesName, w.bytes());
}

int ReadSyncRoot(Target target, SyncRootRecord* record) {
  std::vector<uint8_t> b;
  if (int rc = GetRecord(target, kSyncRootName, &b); rc != 0) return rc;
  Reader r(b);
  r.U8();
  SyncRootRecord out;
  out.policies.hydration = r.U16();
  out.policies.hydration_modifier = r.U16();
  out.policies.population = r.U16();
  out.policies.population_modifier = r.U16();
  out.policies.in_sync = r.U32();
  out.policies.hard_link = r.U32();
  out.policies.placeholder_management = r.U32();
  for (uint8_t& byte : out.registration.provider_id) byte = r.U8();
  out.registration.provider_name = r.Text();
  out.registration.provider_version = r.Text();
  out.registration.sync_root_identity = r.Bytes();
  out.registration.file_identity = r.Bytes();
  if (!r.done()) return ENODATA;
  *record = std::move(out);
  return 0;
}

int WriteSyncRoot(Target target, const SyncRootRecord& record) {
  Writer w;
  w.U8(kVersion);
  w.U16(record.policies.hydration);
  w.U16(record.policies.hydration_modifier);
  w.U16(record.policies.population);
  w.U16(record.policies.population_modifier);
  w.U32(record.policies.in_sync);
  w.U32(record.policies.hard_link);
  w.U32(record.policies.placeholder_management);
  for (uint8_t byte : record.registration.provider_id) w.U8(byte);
  w.Text(record.registration.provider_name);
  w.Text(record.registration.provider_version);
  w.Bytes(record.registration.sync_root_identity);
  w.Bytes(record.registration.file_identity);
  return Set(target, kSyncRootName, w.bytes());
}

int RemoveSyncRoot(Target target) { return Remove(target, kSyncRootName); }

int ReadSyncError(Target target, int32_t* hresult) {
  std::vector<uint8_t> b;
  if (int rc = GetRecord(target, kSyncErrorName, &b); rc != 0) return rc;
  Reader r(b);
  r.U8();
  const int32_t value = static_cast<int32_t>(r.U32());
  if (!r.done()) return ENODATA;
  *hresult = value;
  return 0;
}

int WriteSyncError(Target target, int32_t hresult) {
  Writer w;
  w.U8(kVersion);
  w.U32(static_cast<uint32_t>(hresult));
  return Set(target, kSyncErrorName, w.bytes());
}

int RemoveSyncError(Target target) { return Remove(target, kSyncErrorName); }

int ListRecords(Target target, uint32_t* present) {
  *present = 0;
  char names[1024];
  const ssize_t n = target.fd >= 0 ? flistxattr(target.fd, names, sizeof names)
                                   : llistxattr(target.path->c_str(), names, sizeof names);
  if (n < 0) return errno == ENOTSUP ? 0 : errno;  // no extended attributes at all: no records
  static const struct {
    const char* name;
    uint32_t bit;
  } kRecords[] = {{kBasicName, kHasBasic}, {kPlaceholderName, kHasPlaceholder}, {kRangesName, kHasRanges},
                  {kSyncRootName, kHasSyncRoot}};
  for (const char* name = names; name < names + n; name += std::strlen(name) + 1) {
    for (const auto& record : kRecords) {
      if (std::strcmp(name, record.name) == 0) *present |= record.bit;
    }
  }
  return 0;
}

void AddRange(std::vector<FileRange>* ranges, int64_t offset, int64_t length) {
  if (length <= 0) return;
  int64_t start = offset, end = offset + length;
  std::vector<FileRange> out;
  bool placed = false;
  for (const FileRange& r : *ranges) {
    const int64_t r_end = r.offset + r.length;
    if (r_end < start) {
      out.push_back(r);
    } else if (r.offset > end) {
      if (!placed) out.push_back({start, end - start}), placed = true;
      out.push_back(r);
    } else {  // overlapping or adjacent: merge
      start = std::min(start, r.offset);
      end = std::max(end, r_end);
    }
  }
  if (!placed) out.push_back({start, end - start});
  *ranges = std::move(out);
}

void RemoveRange(std::vector<FileRange>* ranges, int64_t offset, int64_t length) {
  if (length <= 0) return;
  const int64_t start = offset, end = offset + length;
  std::vector<FileRange> out;
  for (const FileRange& r : *ranges) {
    const int64_t r_end = r.offset + r.length;
    if (r_end <= start || r.offset >= end) {
      out.push_back(r);
      continue;
    }
    if (r.offset < start) out.push_back({r.offset, start - r.offset});
    if (r_end > end) out.push_back({end, r_end - end});
  }
  *ranges = std::move(out);
}

void ClipRanges(std::vector<FileRange>* ranges, int64_t size) {
  RemoveRange(ranges, size, INT64_MAX - size);
}

bool Covers(const std::vector<FileRange>& ranges, int64_t offset, int64_t length) {
  if (length <= 0) return true;
  for (const FileRange& r : ranges) {
    if (r.offset <= offset && r.offset + r.length >= offset + length) return true;
  }
  return false;
}

int64_t BytesIn(const std::vector<FileRange>& ranges) {
  int64_t total = 0;
  for (const FileRange& r : ranges) total += r.length;
  return total;
}

}  // namespace ostrasync::platform::xattrs
