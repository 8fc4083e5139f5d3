// Reading and atomically replacing the record files of the state folder.
#include "platform/posix/state_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <ctime>
#include <map>
#include <utility>

#include "platform/posix/path_mapping.h"

namespace ostrasync::platform {
namespace {

// Files larger than this were not written by us.
constexpr size_t kMaxFileSize = size_t{64} << 20;

std::mutex& WritersMutexFor(const std::string& path) {
  // Never destroyed: StateFiles may be in use until the process ends.
  static auto* guard = new std::mutex;
  static auto* mutexes = new std::map<std::string, std::unique_ptr<std::mutex>>;
  std::lock_guard lock(*guard);
  std::unique_ptr<std::mutex>& entry = (*mutexes)[path];
  if (!entry) entry = std::make_unique<std::mutex>();
  return *entry;
}

uint32_t Crc32(std::string_view bytes) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (const char byte : bytes) crc = table[(crc ^ static_cast<uint8_t>(byte)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void AppendHex(uint32_t value, int digits, std::string* out) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out->push_back("0123456789abcdef"[(value >> shift) & 0xF]);
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf8(uint32_t code_point, std::string* out) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

void AppendField(std::u16string_view field, std::string* out) {
  for (size_t i = 0; i < field.size(); ++i) {
    const char16_t c = field[i];
    switch (c) {
      case u'\\': *out += "\\\\"; continue;
      case u'\t': *out += "\\t"; continue;
      case u'\n': *out += "\\n"; continue;
      case u'\r': *out += "\\r"; continue;
      default: break;
    }
    if (IsHighSurrogate(c) && i + 1 < field.size() && IsLowSurrogate(field[i + 1])) {
      AppendUtf8(0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + (field[i + 1] - 0xDC00), out);
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      *out += "\\u";
      AppendHex(c, 4, out);
    } else {
      AppendUtf8(c, out);
    }
  }
}

// Strict UTF-8: no overlong forms, no encoded surrogates, nothing above U+10FFFF.
bool DecodeUtf8(std::string_view text, size_t* pos, uint32_t* code_point) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(*pos);
  int length = 0;
  uint32_t value = 0;
  uint32_t minimum = 0;
  if (lead < 0x80) {
    *code_point = lead;
    ++*pos;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (*pos + length > text.size()) return false;
  for (int i = 1; i < length; ++i) {
    const uint8_t next = byte(*pos + i);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *code_point = value;
  *pos += length;
  return true;
}

bool ParseHex(std::string_view text, uint32_t* value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value, 16);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseField(std::string_view text, std::u16string* field) {
  field->clear();
  size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == '\\') {
      if (pos + 1 >= text.size()) return false;
      const char escaped = text[pos + 1];
      pos += 2;
      switch (escaped) {
        case '\\': field->push_back(u'\\'); break;
        case 't': field->push_back(u'\t'); break;
        case 'n': field->push_back(u'\n'); break;
        case 'r': field->push_back(u'\r'); break;
        case 'u': {
          uint32_t unit = 0;
          if (pos + 4 > text.size() || !ParseHex(text.substr(pos, 4), &unit)) return false;
          // Only lone surrogates are escaped: a pair written as two escapes is not our text.
          if (!IsHighSurrogate(static_cast<char16_t>(unit)) && !IsLowSurrogate(static_cast<char16_t>(unit))) {
            return false;
          }
          if (IsLowSurrogate(static_cast<char16_t>(unit)) && !field->empty() && IsHighSurrogate(field->back())) {
            return false;
          }
          field->push_back(static_cast<char16_t>(unit));
          pos += 4;
          break;
        }
        default: return false;
      }
      continue;
    }
    if (text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r') return false;
    uint32_t code_point = 0;
    if (!DecodeUtf8(text, &pos, &code_point)) return false;
    if (code_point >= 0x10000) {
      field->push_back(static_cast<char16_t>(0xD800 + ((code_point - 0x10000) >> 10)));
      field->push_back(static_cast<char16_t>(0xDC00 + ((code_point - 0x10000) & 0x3FF)));
    } else {
      field->push_back(static_cast<char16_t>(code_point));
    }
  }
  return true;
}

std::string Header(std::string_view kind) { return "ostrasync " + std::string(kind) + " 1\n"; }

Win32Error LastError() { return Win32ErrorFromErrno(errno); }

// Closes the descriptor when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now, reporting close()'s own failure (a delayed write error on some file systems).
  [[nodiscard]] int Close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

Win32Error SyncDirectory(const std::string& directory) {
  Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return LastError();
  // Some file systems refuse fsync on a directory; the rename itself has still happened.
  if (::fsync(dir.get()) != 0 && errno != EINVAL && errno != ENOTSUP) return LastError();
  return 0;
}

std::atomic<uint64_t> g_unique_counter{0};

std::string UniqueSuffix() {
  std::string suffix = std::to_string(::time(nullptr)) + "-" + std::to_string(::getpid()) + "-" +
                       std::to_string(g_unique_counter.fetch_add(1));
  return suffix;
}

}  // namespace

Win32Error MakeStateDirectory(const std::string& directory) {
  if (directory.empty() || directory[0] != '/') return win32::kPathNotFound;
  struct stat info {};
  if (::stat(directory.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : win32::kDirectory;
  if (errno != ENOENT) return LastError();
  const size_t slash = directory.find_last_of('/');
  if (slash > 0) {
    if (const Win32Error e = MakeStateDirectory(directory.substr(0, slash))) return e;
  }
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return LastError();
  return 0;
}

StateFile::Lock::~Lock() {
  if (lock_fd_ >= 0) ::close(lock_fd_);  // releases the flock
}

StateFile::Lock::Lock(Lock&& other) noexcept
    : in_process_(std::move(other.in_process_)),
      lock_fd_(std::exchange(other.lock_fd_, -1)),
      found_corrupt_(other.found_corrupt_) {}

StateFile::Lock& StateFile::Lock::operator=(Lock&& other) noexcept {
  if (this != &other) {
    if (lock_fd_ >= 0) ::close(lock_fd_);
    in_process_ = std::move(other.in_process_);
    lock_fd_ = std::exchange(other.lock_fd_, -1);
    found_corrupt_ = other.found_corrupt_;
  }
  return *this;
}

StateFile::StateFile(std::string directory, std::string name, std::string kind, RecordCheck valid)
    : directory_(std::move(directory)),
      name_(std::move(name)),
      path_(directory_ + "/" + name_),
      kind_(std::move(kind)),
      valid_(valid),
      writers_(WritersMutexFor(path_)) {}

std::string StateFile::Format(std::string_view kind, const StateRecords& records) {
  std::string text = Header(kind);
  for (const StateRecord& record : records) {
    for (size_t i = 0; i < record.size(); ++i) {
      if (i > 0) text.push_back('\t');
      AppendField(record[i], &text);
    }
    text.push_back('\n');
  }
  const uint32_t crc = Crc32(text);
  text += "end " + std::to_string(records.size()) + " ";
  AppendHex(crc, 8, &text);
  text.push_back('\n');
  return text;
}

bool StateFile::Parse(std::string_view kind, std::string_view text, StateRecords* records) {
  records->clear();
  const std::string header = Header(kind);
  if (!text.starts_with(header) || !text.ends_with('\n')) return false;
  // The trailer is the last line.
  const size_t trailer_start = text.find_last_of('\n', text.size() - 2) + 1;
  if (trailer_start < header.size()) return false;
  const std::string_view body = text.substr(0, trailer_start);
  std::string_view trailer = text.substr(trailer_start, text.size() - 1 - trailer_start);
  if (!trailer.starts_with("end ")) return false;
  trailer.remove_prefix(4);
  const size_t space = trailer.find(' ');
  if (space == std::string_view::npos || trailer.size() - space - 1 != 8) return false;
  size_t count = 0;
  const auto [end, error] = std::from_chars(trailer.data(), trailer.data() + space, count);
  uint32_t crc = 0;
  if (error != std::errc() || end != trailer.data() + space || !ParseHex(trailer.substr(space + 1), &crc)) return false;
  if (crc != Crc32(body)) return false;

  StateRecords parsed;
  std::string_view lines = body.substr(header.size());
  while (!lines.empty()) {
    const size_t newline = lines.find('\n');  // body ends with '\n', so there always is one
    std::string_view line = lines.substr(0, newline);
    lines.remove_prefix(newline + 1);
    StateRecord record;
    while (true) {
      const size_t tab = line.find('\t');
      std::u16string field;
      if (!ParseField(line.substr(0, tab), &field)) return false;
      record.push_back(std::move(field));
      if (tab == std::string_view::npos) break;
      line.remove_prefix(tab + 1);
    }
    parsed.push_back(std::move(record));
  }
  if (parsed.size() != count) return false;
  *records = std::move(parsed);
  return true;
}

Win32Error StateFile::Read(StateRecords* records, Contents* contents) const {
  records->clear();
  *contents = Contents::kMissing;
  Descriptor file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return errno == ENOENT || errno == ENOTDIR ? 0 : LastError();
  std::string text;
  char buffer[16384];
  while (true) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > kMaxFileSize) {
      *contents = Contents::kCorrupt;
      return 0;
    }
  }
  StateRecords parsed;
  bool ok = Parse(kind_, text, &parsed);
  for (size_t i = 0; ok && i < parsed.size(); ++i) ok = !parsed[i].empty() && valid_(parsed[i]);
  if (!ok) {
    *contents = Contents::kCorrupt;
    return 0;
  }
  *records = std::move(parsed);
  *contents = Contents::kValid;
  return 0;
}

Win32Error StateFile::Load(StateRecords* records) const {
  Contents contents;
  return Read(records, &contents);
}

Win32Error StateFile::LockAndLoad(Lock* lock, StateRecords* records) {
  records->clear();
  *lock = Lock();
  std::unique_lock in_process(writers_);
  if (const Win32Error e = MakeStateDirectory(directory_)) return e;
  const std::string lock_path = path_ + ".lock";
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return LastError();
  Lock held;
  held.in_process_ = std::move(in_process);
  held.lock_fd_ = fd;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return LastError();
  }
  Contents contents;
  if (const Win32Error e = Read(records, &contents)) return e;
  held.found_corrupt_ = contents == Contents::kCorrupt;
  *lock = std::move(held);
  return 0;
}

Win32Error StateFile::Save(Lock& lock, const StateRecords& records) {
  if (lock.lock_fd_ < 0) return win32::kInvalidParameter;
  if (lock.found_corrupt_) {
    const std::string aside = path_ + ".corrupt-" + UniqueSuffix();
    if (::rename(path_.c_str(), aside.c_str()) != 0 && errno != ENOENT) return LastError();
    lock.found_corrupt_ = false;
  }
  const std::string text = Format(kind_, records);
  const std::string temporary = path_ + ".tmp-" + UniqueSuffix();
  Descriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (file.get() < 0) return LastError();
  Win32Error error = 0;
  if (!WriteAll(file.get(), text) || ::fsync(file.get()) != 0) error = LastError();
  if (file.Close() != 0 && error == 0) error = LastError();
  if (error == 0 && ::rename(temporary.c_str(), path_.c_str()) != 0) error = LastError();
  if (error != 0) {
    ::unlink(temporary.c_str());
    return error;
  }
  return SyncDirectory(directory_);
}

}  // namespace ostrasync::platform
