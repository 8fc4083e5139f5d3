// The file-system calls the engine makes, in Win32 terms: full UTF-16 paths with backslashes,
// Win32 error codes (0 is success), FILETIMEs and Windows attribute bits.
#ifndef OSTRASYNC_PLATFORM_FILE_SYSTEM_H_
#define OSTRASYNC_PLATFORM_FILE_SYSTEM_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/file_handle.h"
#include "platform/win32_terms.h"

namespace ostrasync::platform {

// How to open (CreateFileW's arguments).
struct OpenRequest {
  uint32_t desired_access = 0;   // GENERIC_READ 0x80000000, FILE_READ_ATTRIBUTES 0x80, FILE_LIST_DIRECTORY 0x1 ...
  uint32_t share_mode = 0x1;     // FILE_SHARE_READ 1, WRITE 2, DELETE 4
  uint32_t disposition = 3;      // OPEN_EXISTING
  uint32_t flags_and_attributes = 0;  // FILE_FLAG_BACKUP_SEMANTICS 0x02000000, OVERLAPPED 0x40000000 ...
};

namespace access {
inline constexpr uint32_t kListDirectory = 0x1, kReadAttributes = 0x80, kWriteAttributes = 0x100,
                          kGenericRead = 0x80000000, kGenericWrite = 0x40000000;
}
namespace share {
inline constexpr uint32_t kRead = 0x1, kWrite = 0x2, kDelete = 0x4;
}
namespace open_flag {
inline constexpr uint32_t kBackupSemantics = 0x02000000, kOverlapped = 0x40000000,
                          kRandomAccess = 0x10000000;
}

// Safe for concurrent use. Names that Windows refuses fail with win32::kInvalidName everywhere.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // CreateFileW. On failure *file is null.
  [[nodiscard]] virtual Win32Error Open(const std::u16string& path, const OpenRequest& request,
                                        FileHandlePtr* file) = 0;
  // GetFileAttributesW. attr::kInvalid and the error when the item cannot be read; kFileNotFound /
  // kPathNotFound mean it does not exist, anything else that it could not be read.
  [[nodiscard]] virtual Win32Error ReadAttributes(const std::u16string& path, uint32_t* attributes) = 0;
  // SetFileAttributesW.
  [[nodiscard]] virtual Win32Error WriteAttributes(const std::u16string& path, uint32_t attributes) = 0;
  // FindFirstFileW/FindNextFileW over `pattern` (a folder followed by \* or \name), "." and ".."
  // included as Windows returns them. kFileNotFound for a pattern that matches nothing.
  [[nodiscard]] virtual Win32Error Find(const std::u16string& pattern, std::vector<FindData>* entries) = 0;
  // Whether the folder `path` holds nothing but "." and ".." (PathIsDirectoryEmptyW, with the
  // reason when it cannot be read). Reads no more of the folder than its first entries.
  [[nodiscard]] virtual Win32Error IsFolderEmpty(const std::u16string& path, bool* empty) = 0;
  // GetFileInformationByHandle.
  [[nodiscard]] virtual Win32Error ReadInformation(FileHandle& file, FileInformation* info) = 0;
  // SetFileInformationByHandle(FileBasicInfo): times of 0 are left as they are; attributes of 0
  // are left as they are.
  [[nodiscard]] virtual Win32Error WriteBasicInformation(FileHandle& file, const FsMetadata& basic) = 0;
  // GetFileSizeEx.
  [[nodiscard]] virtual Win32Error FileSize(FileHandle& file, int64_t* size) = 0;
  // ReadFile at `offset` (an open for GENERIC_READ); *bytes_read may be short at the end of the file.
  [[nodiscard]] virtual Win32Error ReadAt(FileHandle& file, int64_t offset, std::span<uint8_t> buffer,
                                          uint32_t* bytes_read) = 0;
  // MoveFileExW, with MOVEFILE_REPLACE_EXISTING when `replace_existing`.
  [[nodiscard]] virtual Win32Error Rename(const std::u16string& from, const std::u16string& to,
                                          bool replace_existing) = 0;
  // DeleteFileW.
  [[nodiscard]] virtual Win32Error RemoveFile(const std::u16string& path) = 0;
  // RemoveDirectoryW (empty folders only: kDirNotEmpty otherwise).
  [[nodiscard]] virtual Win32Error RemoveFolder(const std::u16string& path) = 0;
  // CreateDirectoryW (kAlreadyExists when it exists).
  [[nodiscard]] virtual Win32Error MakeFolder(const std::u16string& path) = 0;
  // GetLongPathNameW: the path with every component in its long form.
  [[nodiscard]] virtual Win32Error LongPath(const std::u16string& path, std::u16string* long_path) = 0;
};

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_FILE_SYSTEM_H_
