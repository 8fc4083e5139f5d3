// The Linux form of an open file or folder: a descriptor with the paths it was opened by, and the
// descriptor owner every POSIX file of this layer uses.
#ifndef OSTRASYNC_PLATFORM_POSIX_POSIX_FILE_HANDLE_H_
#define OSTRASYNC_PLATFORM_POSIX_POSIX_FILE_HANDLE_H_

#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>

#include "platform/file_handle.h"
#include "platform/posix/share_access.h"
#include "platform/win32_terms.h"

namespace ostrasync::platform {

// Owns one descriptor and closes it.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(-1); }
  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// An open file or folder; while it lives it holds its place among the file's sharing opens.
class PosixFileHandle final : public FileHandle {
 public:
  PosixFileHandle(UniqueFd fd, std::u16string win32_path, std::string posix_path, uint32_t access,
                  emulation::ShareClaim claim = emulation::ShareClaim())
      : fd_(std::move(fd)),
        win32_path_(std::move(win32_path)),
        posix_path_(std::move(posix_path)),
        access_(access),
        claim_(std::move(claim)) {}
  const std::u16string& path() const override { return win32_path_; }
  [[nodiscard]] int fd() const { return fd_.get(); }
  [[nodiscard]] const std::string& posix_path() const { return posix_path_; }
  [[nodiscard]] uint32_t access() const { return access_; }  // the desired access it was opened with

 private:
  UniqueFd fd_;
  const std::u16string win32_path_;
  const std::string posix_path_;
  const uint32_t access_;
  emulation::ShareClaim claim_;  // this open's place among the file's sharing opens
};

// The Win32 error for a path that lstat or open found missing: ERROR_FILE_NOT_FOUND when its
// folder exists, ERROR_PATH_NOT_FOUND when the folder is missing too, as Windows tells them apart.
[[nodiscard]] Win32Error MissingPathError(const std::string& posix_path);

// The Win32 error for `error` met on `posix_path` (ENOENT told apart as above).
[[nodiscard]] Win32Error PathError(const std::string& posix_path, int error);

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_POSIX_POSIX_FILE_HANDLE_H_
