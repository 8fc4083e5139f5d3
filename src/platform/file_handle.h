// An open file or folder, closed when the object goes.
#ifndef OSTRASYNC_PLATFORM_FILE_HANDLE_H_
#define OSTRASYNC_PLATFORM_FILE_HANDLE_H_

#include <memory>
#include <string>

namespace ostrasync::platform {

class FileHandle {
 public:
  virtual ~FileHandle() = default;
  // The full Win32 path the handle was opened with.
  virtual const std::u16string& path() const = 0;
};

using FileHandlePtr = std::unique_ptr<FileHandle>;

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_FILE_HANDLE_H_
