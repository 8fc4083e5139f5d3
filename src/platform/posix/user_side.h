// What Explorer and applications do to the files of a sync root, each raising the callbacks
// Windows raises for it: the other side of the emulated cloud-files facility, for tests and for
// a sample host's shell. Every call takes a full Win32 path and answers as Windows would.
#ifndef OSTRASYNC_PLATFORM_POSIX_USER_SIDE_H_
#define OSTRASYNC_PLATFORM_POSIX_USER_SIDE_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/win32_terms.h"

namespace ostrasync::platform {

// A file an application keeps open (see UserSide::Hold); closed when the object goes.
class HeldFile {
 public:
  virtual ~HeldFile() = default;
};

// Safe for concurrent use. Callbacks run on the facility's threads, never on the caller's. Reads,
// writes, deletes and renames keep Windows' sharing rules against files held open (Hold, and
// the handles of the platform's file system): a conflict fails with ERROR_SHARING_VIOLATION.
class UserSide {
 public:
  virtual ~UserSide() = default;
  // Reads like ReadFile: the missing part of a placeholder is fetched first (the whole file under
  // the FULL and ALWAYS_FULL hydration policies, the pages read otherwise), the caller blocked
  // until it is on disk.
  [[nodiscard]] virtual HResult Read(const std::u16string& path, int64_t offset, std::span<uint8_t> buffer,
                                     uint32_t* bytes_read) = 0;
  // Lists a folder like FindFirstFile/FindNextFile over "folder\*" (without "." and ".."), asking
  // the provider for its entries first while the folder is not fully populated.
  [[nodiscard]] virtual HResult List(const std::u16string& folder, std::vector<FindData>* entries) = 0;
  // An application opening and closing a file (the completion notifications).
  [[nodiscard]] virtual HResult Open(const std::u16string& path) = 0;
  [[nodiscard]] virtual HResult Close(const std::u16string& path) = 0;
  // WriteFile at `offset`: a placeholder is hydrated first and leaves in-sync.
  [[nodiscard]] virtual HResult Write(const std::u16string& path, int64_t offset, std::span<const uint8_t> data) = 0;
  // DeleteFile / RemoveDirectory, which the provider may refuse.
  [[nodiscard]] virtual HResult Delete(const std::u16string& path) = 0;
  // MoveFileEx without replacing, which the provider may refuse.
  [[nodiscard]] virtual HResult Rename(const std::u16string& from, const std::u16string& to) = 0;
  // SetFileInformationByHandle(FileBasicInfo) by an application (zero fields stay as they are):
  // a change of a property the root's in-sync policy tracks takes the item out of sync.
  [[nodiscard]] virtual HResult SetBasicInfo(const std::u16string& path, const FsMetadata& basic) = 0;
  // Explorer's "Always keep on this device" (kPinned), "Free up space" (kUnpinned) or neither
  // (kPinUnspecified): the attribute changes, and the provider is expected to act on it.
  [[nodiscard]] virtual HResult SetPin(const std::u16string& path, uint32_t pin_state) = 0;
  // An application dehydrating a file for the user (CfDehydratePlaceholder, reason USER_MANUAL):
  // the provider may refuse (NOTIFY_DEHYDRATE) and hears the outcome (NOTIFY_DEHYDRATE_COMPLETION).
  // Pinned files, files not in sync and files that must stay whole are refused with their codes.
  [[nodiscard]] virtual HResult Dehydrate(const std::u16string& path) = 0;
  // The system dehydrating on its own, in the background (storage sense) for `reason` (2 low
  // space, 3 inactivity, 4 OS upgrade): every placeholder file at or below `path` that may lose
  // its data, each asked of the provider as above. Only where the root was registered with the
  // AUTO_DEHYDRATION_ALLOWED modifier (ERROR_CLOUD_FILE_DEHYDRATION_DISALLOWED otherwise). Files
  // that are pinned, not in sync or kept by the provider are passed over; *dehydrated (optional)
  // counts the files that lost their data.
  [[nodiscard]] virtual HResult DehydrateAutomatically(const std::u16string& path, uint32_t reason,
                                                       uint32_t* dehydrated) = 0;
  // An application opening `path` with CreateFileW's `desired_access` and `share_mode` and
  // keeping it open until *held goes: opens, deletes and renames by others that conflict fail
  // with ERROR_SHARING_VIOLATION meanwhile ("locked by another process"). A placeholder's provider
  // hears of the open and the close.
  [[nodiscard]] virtual HResult Hold(const std::u16string& path, uint32_t desired_access, uint32_t share_mode,
                                     std::unique_ptr<HeldFile>* held) = 0;
};

std::unique_ptr<UserSide> NewUserSide();

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_POSIX_USER_SIDE_H_
