// The file-system seam on Windows: each operation is the Win32 call of the same meaning, with the
// error taken from GetLastError() right after the call that failed.
#include <windows.h>

#include <limits>
#include <new>
#include <utility>

#include "platform/windows/platform_windows.h"

namespace ostrasync::platform {
namespace {

constexpr Win32Error kNotEnoughMemory = 8;  // ERROR_NOT_ENOUGH_MEMORY
constexpr Win32Error kNoMoreFiles = 18;     // ERROR_NO_MORE_FILES
constexpr Win32Error kHandleEof = 38;       // ERROR_HANDLE_EOF

// The error of a call that just reported failure. A failure without an error code must still
// read as a failure, never as success.
Win32Error LastError() {
  const DWORD error = GetLastError();
  return error != 0 ? error : win32::kInternalError;
}

uint64_t FileTime(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

uint64_t Join(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle_(handle) {}
  ~FindHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

class EventHandle {
 public:
  EventHandle() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~EventHandle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  EventHandle(const EventHandle&) = delete;
  EventHandle& operator=(const EventHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

FindData ToFindData(const WIN32_FIND_DATAW& found) {
  FindData data;
  data.attributes = found.dwFileAttributes;
  data.creation_time = FileTime(found.ftCreationTime);
  data.last_access_time = FileTime(found.ftLastAccessTime);
  data.last_write_time = FileTime(found.ftLastWriteTime);
  data.file_size = static_cast<int64_t>(Join(found.nFileSizeHigh, found.nFileSizeLow));
  // dwReserved0 holds the reparse tag only for reparse points; otherwise it is undefined.
  data.reparse_tag = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? found.dwReserved0 : 0;
  data.name.assign(reinterpret_cast<const char16_t*>(found.cFileName));
  return data;
}

class WindowsFileSystem final : public FileSystem {
 public:
  Win32Error Open(const std::u16string& path, const OpenRequest& request, FileHandlePtr* file) override {
    if (file == nullptr) return win32::kInvalidParameter;
    file->reset();
    if (HasEmbeddedNul(path)) return win32::kInvalidName;
    const HANDLE handle = CreateFileW(Wide(path), request.desired_access, request.share_mode, nullptr,
                                      request.disposition, request.flags_and_attributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    try {
      *file = std::make_unique<WindowsFileHandle>(handle, path);
    } catch (const std::bad_alloc&) {
      CloseHandle(handle);
      return kNotEnoughMemory;
    }
    return 0;
  }

  Win32Error ReadAttributes(const std::u16string& path, uint32_t* attributes) override {
    if (attributes == nullptr) return win32::kInvalidParameter;
    *attributes = attr::kInvalid;
    if (HasEmbeddedNul(path)) return win32::kInvalidName;
    const DWORD found = GetFileAttributesW(Wide(path));
    if (found == INVALID_FILE_ATTRIBUTES) return LastError();
    *attributes = found;
    return 0;
  }

  Win32Error WriteAttributes(const std::u16string& path, uint32_t attributes) override {
    if (HasEmbeddedNul(path)) return win32::kInvalidName;
    return SetFileAttributesW(Wide(path), attributes) ? 0 : LastError();
  }

  // A listing is all or nothing: a listing cut short by an error would make the missing items
  // look deleted, so entries are only handed over when the search ran to its end.
  Win32Error Find(const std::u16string& pattern, std::vector<FindData>* entries) override {
    if (entries == nullptr) return win32::kInvalidParameter;
    entries->clear();
    if (HasEmbeddedNul(pattern)) return win32::kInvalidName;
    WIN32_FIND_DATAW found;
    const FindHandle search(FindFirstFileW(Wide(pattern), &found));
    if (search.get() == INVALID_HANDLE_VALUE) return LastError();
    std::vector<FindData> listing;
    try {
      do {
        listing.push_back(ToFindData(found));
      } while (FindNextFileW(search.get(), &found));
    } catch (const std::bad_alloc&) {
      return kNotEnoughMemory;
    }
    const Win32Error error = LastError();
    if (error != kNoMoreFiles) return error;
    *entries = std::move(listing);
    return 0;
  }

  Win32Error IsFolderEmpty(const std::u16string& path, bool* empty) override {
    if (empty == nullptr) return win32::kInvalidParameter;
    *empty = false;
    if (HasEmbeddedNul(path)) return win32::kInvalidName;
    WIN32_FIND_DATAW found;
    // The basic level skips the short names, which nothing here needs.
    const FindHandle search(
        FindFirstFileExW(Wide(path + u"\\*"), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
    if (search.get() == INVALID_HANDLE_VALUE) return LastError();
    do {
      const std::u16string_view name(reinterpret_cast<const char16_t*>(found.cFileName));
      if (name != u"." && name != u"..") return 0;
    } while (FindNextFileW(search.get(), &found));
    const Win32Error error = LastError();
    if (error != kNoMoreFiles) return error;
    *empty = true;
    return 0;
  }

  Win32Error ReadInformation(FileHandle& file, FileInformation* info) override {
    const HANDLE handle = NativeHandle(file);
    if (handle == nullptr || info == nullptr) return win32::kInvalidParameter;
    BY_HANDLE_FILE_INFORMATION found;
    if (!GetFileInformationByHandle(handle, &found)) return LastError();
    info->attributes = found.dwFileAttributes;
    info->creation_time = FileTime(found.ftCreationTime);
    info->last_access_time = FileTime(found.ftLastAccessTime);
    info->last_write_time = FileTime(found.ftLastWriteTime);
    info->volume_serial = found.dwVolumeSerialNumber;
    info->file_size = static_cast<int64_t>(Join(found.nFileSizeHigh, found.nFileSizeLow));
    info->link_count = found.nNumberOfLinks;
    info->file_index = Join(found.nFileIndexHigh, found.nFileIndexLow);
    return 0;
  }

  // FILE_BASIC_INFO itself reads a time or attribute word of 0 as "leave unchanged".
  Win32Error WriteBasicInformation(FileHandle& file, const FsMetadata& basic) override {
    const HANDLE handle = NativeHandle(file);
    if (handle == nullptr) return win32::kInvalidParameter;
    FILE_BASIC_INFO info = {};
    info.CreationTime.QuadPart = static_cast<LONGLONG>(basic.creation_time);
    info.LastAccessTime.QuadPart = static_cast<LONGLONG>(basic.last_access_time);
    info.LastWriteTime.QuadPart = static_cast<LONGLONG>(basic.last_write_time);
    info.ChangeTime.QuadPart = static_cast<LONGLONG>(basic.change_time);
    info.FileAttributes = basic.attributes;
    return SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof(info)) ? 0 : LastError();
  }

  Win32Error FileSize(FileHandle& file, int64_t* size) override {
    const HANDLE handle = NativeHandle(file);
    if (handle == nullptr || size == nullptr) return win32::kInvalidParameter;
    LARGE_INTEGER found;
    if (!GetFileSizeEx(handle, &found)) return LastError();
    *size = found.QuadPart;
    return 0;
  }

  // The offset travels in an OVERLAPPED, so concurrent reads of one handle never race on a shared
  // file pointer. A handle opened for overlapped I/O completes later; the event waits for it.
  Win32Error ReadAt(FileHandle& file, int64_t offset, std::span<uint8_t> buffer, uint32_t* bytes_read) override {
    const HANDLE handle = NativeHandle(file);
    if (handle == nullptr || bytes_read == nullptr) return win32::kInvalidParameter;
    *bytes_read = 0;
    // A negative offset would reach Windows as an offset past any end and read as end of file; a
    // buffer beyond DWORD's range would be cut short and read as end of file too.
    if (offset < 0 || buffer.size() > std::numeric_limits<DWORD>::max()) return win32::kInvalidParameter;
    const EventHandle event;
    if (event.get() == nullptr) return LastError();
    OVERLAPPED overlapped = {};
    overlapped.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
    overlapped.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    overlapped.hEvent = event.get();
    DWORD read = 0;
    if (!ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &read, &overlapped)) {
      Win32Error error = LastError();
      if (error == win32::kIoPending) {
        error = GetOverlappedResult(handle, &overlapped, &read, TRUE) ? 0 : LastError();
      }
      // Reading at or past the end is a short read, not a failure.
      if (error == kHandleEof) error = 0;
      if (error != 0) return error;
    }
    *bytes_read = read;
    return 0;
  }

  Win32Error Rename(const std::u16string& from, const std::u16string& to, bool replace_existing) override {
    if (HasEmbeddedNul(from) || HasEmbeddedNul(to)) return win32::kInvalidName;
    return MoveFileExW(Wide(from), Wide(to), replace_existing ? MOVEFILE_REPLACE_EXISTING : 0) ? 0 : LastError();
  }

  Win32Error RemoveFile(const std::u16string& path) override {
    if (HasEmbeddedNul(path)) return win32::kInvalidName;
    return DeleteFileW(Wide(path)) ? 0 : LastError();
  }

  Win32Error RemoveFolder(const std::u16string& path) override {
    if (HasEmbeddedNul(path)) return win32::kInvalidName;
    return RemoveDirectoryW(Wide(path)) ? 0 : LastError();
  }

  Win32Error MakeFolder(const std::u16string& path) override {
    if (HasEmbeddedNul(path)) return win32::kInvalidName;
    return CreateDirectoryW(Wide(path), nullptr) ? 0 : LastError();
  }

  // Asks for the size, then for the text; the path may change between the two calls and need
  // more room, so a few rounds are allowed.
  Win32Error LongPath(const std::u16string& path, std::u16string* long_path) override {
    if (long_path == nullptr) return win32::kInvalidParameter;
    if (HasEmbeddedNul(path)) return win32::kInvalidName;
    DWORD needed = GetLongPathNameW(Wide(path), nullptr, 0);
    if (needed == 0) return LastError();
    for (int round = 0; round < 4; ++round) {
      std::u16string text;
      try {
        text.resize(needed);
      } catch (const std::bad_alloc&) {
        return kNotEnoughMemory;
      }
      const DWORD length = GetLongPathNameW(Wide(path), reinterpret_cast<wchar_t*>(text.data()), needed);
      if (length == 0) return LastError();
      if (length < needed) {  // the text, without its terminator
        text.resize(length);
        *long_path = std::move(text);
        return 0;
      }
      needed = length;  // too small: the size needed, terminator included
    }
    return win32::kInsufficientBuffer;
  }
};

}  // namespace

std::unique_ptr<FileSystem> NewWindowsFileSystem() { return std::make_unique<WindowsFileSystem>(); }

}  // namespace ostrasync::platform
