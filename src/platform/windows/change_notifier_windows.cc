// Change notifications on Windows: one overlapped ReadDirectoryChangesExW request at a time on
// the watched folder, its extended records read back with every offset checked.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "platform/windows/platform_windows.h"

namespace ostrasync::platform {
namespace {

constexpr Win32Error kInvalidFunction = 1;  // ERROR_INVALID_FUNCTION: Wait without a pending request
constexpr Win32Error kNotEnoughMemory = 8;
constexpr Win32Error kProcNotFound = 127;

// One record as ReadDirectoryChangesExW writes it (the MinGW headers lack it). Records are read
// field by field from the bytes, never through this type, since Windows only promises DWORD
// alignment; the type pins the offsets.
struct FILE_NOTIFY_EXTENDED_INFORMATION {
  DWORD NextEntryOffset;
  DWORD Action;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastModificationTime;
  LARGE_INTEGER LastChangeTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER AllocatedLength;
  LARGE_INTEGER FileSize;
  DWORD FileAttributes;
  DWORD ReparsePointTag;  // or EaSize
  LARGE_INTEGER FileId;
  LARGE_INTEGER ParentFileId;
  DWORD FileNameLength;  // bytes
  WCHAR FileName[1];     // not terminated
};
static_assert(sizeof(FILE_NOTIFY_EXTENDED_INFORMATION) == 88);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, NextEntryOffset) == 0);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, Action) == 4);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, CreationTime) == 8);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, LastModificationTime) == 16);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, LastChangeTime) == 24);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, LastAccessTime) == 32);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, AllocatedLength) == 40);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileSize) == 48);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileAttributes) == 56);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, ReparsePointTag) == 60);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileId) == 64);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, ParentFileId) == 72);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileNameLength) == 80);
static_assert(offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileName) == 84);
constexpr size_t kRecordHeader = offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileName);

constexpr DWORD kNotifyFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                                FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_LAST_ACCESS |
                                FILE_NOTIFY_CHANGE_CREATION;
static_assert(kNotifyFilter == 0x7F);
constexpr int kReadDirectoryNotifyExtendedInformation = 2;
// Large enough that a burst of changes (an unpacked archive, a synced folder tree) fits in one
// batch instead of overflowing into a full rescan.
constexpr DWORD kBufferBytes = 0x4000000;

using ReadDirectoryChangesExWFn = BOOL(WINAPI*)(HANDLE directory, LPVOID buffer, DWORD buffer_length,
                                                BOOL watch_subtree, DWORD notify_filter, LPDWORD bytes_returned,
                                                LPOVERLAPPED overlapped,
                                                LPOVERLAPPED_COMPLETION_ROUTINE completion_routine,
                                                int information_class);

// Looked up rather than imported: an import the system lacks would stop the whole DLL loading.
ReadDirectoryChangesExWFn ReadDirectoryChangesEx() {
  static const ReadDirectoryChangesExWFn function = [] {
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) return ReadDirectoryChangesExWFn{nullptr};
    return reinterpret_cast<ReadDirectoryChangesExWFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "ReadDirectoryChangesExW")));
  }();
  return function;
}

template <typename T>
T Field(const uint8_t* record, size_t offset) {
  T value;
  std::memcpy(&value, record + offset, sizeof(T));
  return value;
}

int64_t LargeField(const uint8_t* record, size_t offset) { return Field<LONGLONG>(record, offset); }

class WindowsChangeStream final : public ChangeStream {
 public:
  WindowsChangeStream(HANDLE directory, HANDLE event, std::unique_ptr<uint8_t[]> buffer,
                      ReadDirectoryChangesExWFn read_changes)
      : directory_(directory), event_(event), buffer_(std::move(buffer)), read_changes_(read_changes) {}

  // The kernel writes into the buffer until the request ends, so a pending request is cancelled
  // and waited for before the buffer is freed.
  ~WindowsChangeStream() override {
    if (pending_) {
      CancelIoEx(directory_, &overlapped_);
      DWORD ignored = 0;
      GetOverlappedResult(directory_, &overlapped_, &ignored, TRUE);
    }
    CloseHandle(directory_);
    CloseHandle(event_);
  }

  WindowsChangeStream(const WindowsChangeStream&) = delete;
  WindowsChangeStream& operator=(const WindowsChangeStream&) = delete;

  Win32Error Issue() override {
    if (pending_) return 0;  // the request already out is the one the next Wait reads
    ResetEvent(event_);
    overlapped_ = {};
    overlapped_.hEvent = event_;
    if (!read_changes_(directory_, buffer_.get(), kBufferBytes, TRUE, kNotifyFilter, nullptr, &overlapped_, nullptr,
                       kReadDirectoryNotifyExtendedInformation)) {
      const DWORD error = GetLastError();
      return error != 0 ? error : win32::kInternalError;
    }
    pending_ = true;
    return 0;
  }

  Win32Error Wait(uint32_t timeout_ms, std::vector<ChangeRecord>* records) override {
    if (records == nullptr) return win32::kInvalidParameter;
    records->clear();
    if (!pending_) return kInvalidFunction;
    const DWORD waited = WaitForSingleObject(event_, timeout_ms);
    if (waited == WAIT_TIMEOUT) return win32::kWaitTimeout;
    if (waited != WAIT_OBJECT_0) {
      const DWORD error = GetLastError();
      return error != 0 ? error : win32::kInternalError;
    }
    DWORD bytes = 0;
    const BOOL completed = GetOverlappedResult(directory_, &overlapped_, &bytes, FALSE);
    const DWORD error = completed ? 0 : GetLastError();
    if (!completed && error == win32::kIoIncomplete) return win32::kWaitTimeout;
    pending_ = false;
    if (!completed) return error != 0 ? error : win32::kInternalError;  // kNotifyEnumDir passes through
    // An overflow can also complete successfully with nothing in the buffer. Reading that as "no
    // changes" would lose them; the caller rescans instead.
    if (bytes == 0) return win32::kNotifyEnumDir;
    if (!ParseChangeRecords(std::span<const uint8_t>(buffer_.get(), std::min<DWORD>(bytes, kBufferBytes)), records)) {
      // A chain that cannot be read whole says nothing reliable about what changed.
      return win32::kNotifyEnumDir;
    }
    return 0;
  }

 private:
  HANDLE directory_;
  HANDLE event_;
  std::unique_ptr<uint8_t[]> buffer_;
  ReadDirectoryChangesExWFn read_changes_;
  OVERLAPPED overlapped_ = {};
  bool pending_ = false;
};

class WindowsChangeNotifier final : public ChangeNotifier {
 public:
  Win32Error Watch(const std::u16string& root, std::unique_ptr<ChangeStream>* stream) override {
    if (stream == nullptr) return win32::kInvalidParameter;
    stream->reset();
    const ReadDirectoryChangesExWFn read_changes = ReadDirectoryChangesEx();
    if (read_changes == nullptr) return kProcNotFound;
    if (HasEmbeddedNul(root)) return win32::kInvalidName;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kBufferBytes]);
    if (buffer == nullptr) return kNotEnoughMemory;
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return GetLastError();
    const HANDLE directory =
        CreateFileW(Wide(root), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      CloseHandle(event);
      return error != 0 ? error : win32::kInternalError;
    }
    try {
      *stream = std::make_unique<WindowsChangeStream>(directory, event, std::move(buffer), read_changes);
    } catch (const std::bad_alloc&) {
      CloseHandle(directory);
      CloseHandle(event);
      return kNotEnoughMemory;
    }
    return 0;
  }
};

}  // namespace

bool ExtendedChangeNotificationsAvailable() { return ReadDirectoryChangesEx() != nullptr; }

bool ParseChangeRecords(std::span<const uint8_t> bytes, std::vector<ChangeRecord>* records) {
  records->clear();
  std::vector<ChangeRecord> parsed;
  size_t offset = 0;
  try {
    while (true) {
      // The fixed part, then the name, must lie inside the bytes Windows returned.
      if (bytes.size() < kRecordHeader || offset > bytes.size() - kRecordHeader) return false;
      const uint8_t* record = bytes.data() + offset;
      const DWORD name_bytes = Field<DWORD>(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileNameLength));
      if (name_bytes % sizeof(char16_t) != 0 || name_bytes > bytes.size() - offset - kRecordHeader) return false;

      ChangeRecord change;
      change.action = Field<DWORD>(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, Action));
      change.creation_time = LargeField(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, CreationTime));
      change.last_modification_time =
          LargeField(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, LastModificationTime));
      change.last_change_time = LargeField(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, LastChangeTime));
      change.last_access_time = LargeField(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, LastAccessTime));
      change.allocated_length = LargeField(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, AllocatedLength));
      change.file_size = LargeField(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileSize));
      change.attributes = Field<DWORD>(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileAttributes));
      change.reparse_tag = Field<DWORD>(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, ReparsePointTag));
      change.file_id = LargeField(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, FileId));
      change.parent_file_id = LargeField(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, ParentFileId));
      change.name.resize(name_bytes / sizeof(char16_t));
      std::memcpy(change.name.data(), record + kRecordHeader, name_bytes);
      parsed.push_back(std::move(change));

      const DWORD next = Field<DWORD>(record, offsetof(FILE_NOTIFY_EXTENDED_INFORMATION, NextEntryOffset));
      if (next == 0) break;
      // Each record must start after the whole of the one before, so the chain only moves forward
      // and always ends.
      if (next < kRecordHeader + name_bytes) return false;
      offset += next;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  *records = std::move(parsed);
  return true;
}

std::unique_ptr<ChangeNotifier> NewWindowsChangeNotifier() { return std::make_unique<WindowsChangeNotifier>(); }

}  // namespace ostrasync::platform
