// Translates the seam's Win32 paths to POSIX paths and back, refusing what Windows refuses.
#include "platform/posix/path_mapping.h"

#include <cerrno>
#include <string>
#include <vector>

#include "platform/text_codec.h"

namespace ostrasync::platform {
namespace {

char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

// CON, PRN, AUX, NUL, COM0-9 and LPT0-9 (with the superscript digits Windows also reserves), alone
// or followed by an extension or by spaces: Windows opens the device instead of a file.
bool IsReservedDeviceName(std::u16string_view name) {
  std::u16string_view base = name.substr(0, name.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  if (base.size() != 3 && base.size() != 4) return false;
  char16_t upper[4] = {};
  for (size_t i = 0; i < base.size(); ++i) upper[i] = AsciiUpper(base[i]);
  const std::u16string_view b(upper, base.size());
  if (b == u"CON" || b == u"PRN" || b == u"AUX" || b == u"NUL") return true;
  if (b.size() == 4 && (b.substr(0, 3) == u"COM" || b.substr(0, 3) == u"LPT")) {
    const char16_t d = b[3];
    return (d >= u'0' && d <= u'9') || d == u'\u00B9' || d == u'\u00B2' || d == u'\u00B3';
  }
  return false;
}

bool IsInvalidName(std::u16string_view name) {
  if (name.empty()) return true;
  for (char16_t c : name) {
    if (c < 0x20) return true;
    switch (c) {
      case u'\\': case u'/': case u':': case u'*': case u'?': case u'"': case u'<': case u'>': case u'|':
        return true;
      default:
        break;
    }
  }
  if (name == u"." || name == u"..") return false;  // path syntax, resolved by the caller
  if (name.back() == u'.' || name.back() == u' ') return true;
  return IsReservedDeviceName(name);
}

}  // namespace

bool IsInvalidWin32Name(const std::u16string& name) { return IsInvalidName(name); }

Win32Error ToPosixPath(const std::u16string& win32_path, std::string* posix_path) {
  // Both separators are accepted, as the Win32 path normalisation does; the path must be rooted.
  if (win32_path.empty() || (win32_path[0] != u'\\' && win32_path[0] != u'/')) return win32::kPathNotFound;
  // Built in one pass: every file-system call converts its path. `starts` holds where each
  // component begins in `out`, so that ".." can take the last one back.
  std::string out;
  out.reserve(win32_path.size() + 8);
  std::vector<size_t> starts;
  const std::u16string_view path(win32_path);
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find_first_of(u"\\/", start);
    if (end == std::u16string_view::npos) end = path.size();
    const std::u16string_view part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!starts.empty()) {
        out.resize(starts.back());
        starts.pop_back();
      }
      continue;
    }
    if (IsInvalidName(part)) return win32::kInvalidName;
    starts.push_back(out.size());
    out += '/';
    out += Utf16ToUtf8(part);
  }
  *posix_path = out.empty() ? std::string("/") : std::move(out);
  return 0;
}

std::u16string ToWin32Path(const std::string& posix_path) {
  std::u16string out = Utf8ToUtf16(posix_path);
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  return out;
}

Win32Error Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case ENOENT: return win32::kFileNotFound;
    case ENOTDIR: return win32::kPathNotFound;
    case EACCES: case EPERM: case EISDIR: case EROFS: return win32::kAccessDenied;
    case EBADF: return win32::kInvalidHandle;
    case EEXIST: return win32::kAlreadyExists;
    case ENOTEMPTY: return win32::kDirNotEmpty;
    case EINVAL: return win32::kInvalidParameter;
    case EBUSY: case ETXTBSY: return win32::kSharingViolation;
    case ENAMETOOLONG: return 206;  // ERROR_FILENAME_EXCED_RANGE
    case ENOSPC: case EDQUOT: return 112;  // ERROR_DISK_FULL
    case EXDEV: return 17;  // ERROR_NOT_SAME_DEVICE
    case ENOMEM: return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case EMFILE: case ENFILE: return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case ELOOP: return 1921;  // ERROR_CANT_RESOLVE_FILENAME
    case EIO: return 1117;  // ERROR_IO_DEVICE
    case ENOTSUP: return win32::kNotSupported;
    case ERANGE: return win32::kInsufficientBuffer;
    default: return win32::kInternalError;
  }
}

}  // namespace ostrasync::platform
