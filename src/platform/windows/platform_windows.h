// The pieces of the Windows platform, reached through one factory each, and the handle type
// they share. Only src/platform/windows/ and its tests include this.
#ifndef OSTRASYNC_PLATFORM_WINDOWS_PLATFORM_WINDOWS_H_
#define OSTRASYNC_PLATFORM_WINDOWS_PLATFORM_WINDOWS_H_

#include <windows.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/cfapi_declarations.h"

namespace ostrasync::platform {

// A Win32 file or folder handle, closed when the object goes. The file system makes these; the
// cloud-files calls take the handle back out of them.
class WindowsFileHandle final : public FileHandle {
 public:
  WindowsFileHandle(HANDLE handle, std::u16string path) : handle_(handle), path_(std::move(path)) {}
  ~WindowsFileHandle() override { CloseHandle(handle_); }
  WindowsFileHandle(const WindowsFileHandle&) = delete;
  WindowsFileHandle& operator=(const WindowsFileHandle&) = delete;

  const std::u16string& path() const override { return path_; }
  HANDLE handle() const { return handle_; }

 private:
  HANDLE handle_;
  std::u16string path_;
};

// The Win32 handle inside `file`, or null when `file` came from another platform (a programming
// error every caller answers with an invalid-argument code).
inline HANDLE NativeHandle(FileHandle& file) {
  auto* windows_file = dynamic_cast<WindowsFileHandle*>(&file);
  return windows_file != nullptr ? windows_file->handle() : nullptr;
}

// Our paths are UTF-16 strings; Windows takes them NUL-terminated, so a path holding a NUL would
// silently name a different item. Callers refuse such paths before any call.
inline bool HasEmbeddedNul(const std::u16string& text) { return text.find(u'\0') != std::u16string::npos; }
inline const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

// Cloud files over cldapi.dll, loaded from the system folder at first use. Without the DLL every
// operation fails with HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND); without one of its functions (an
// older Windows) that operation fails with HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND).
std::unique_ptr<CloudFiles> NewWindowsCloudFiles();
// The same over the given entry points instead of cldapi.dll's (tests substitute their own).
std::unique_ptr<CloudFiles> NewWindowsCloudFiles(const cfapi::CldApi& api);

std::unique_ptr<FileSystem> NewWindowsFileSystem();

// Change notifications through ReadDirectoryChangesExW, looked up in kernel32 at run time so the
// library still loads where it is missing (before Windows 10 1709, and Wine); Watch then fails
// with ERROR_PROC_NOT_FOUND.
std::unique_ptr<ChangeNotifier> NewWindowsChangeNotifier();
// Whether this system has ReadDirectoryChangesExW.
bool ExtendedChangeNotificationsAvailable();
// Turns the first `bytes` of a FILE_NOTIFY_EXTENDED_INFORMATION chain into records. Returns false,
// leaving *records empty, when the chain does not fit in `bytes` (an offset or name length that
// points past the end or backwards).
[[nodiscard]] bool ParseChangeRecords(std::span<const uint8_t> bytes, std::vector<ChangeRecord>* records);

std::unique_ptr<Shell> NewWindowsShell();
std::unique_ptr<SystemServices> NewWindowsSystemServices();

// The storage-provider registration through the Windows Runtime, whose entry points are looked up
// in combase.dll at first use so the library still loads without it; there every call fails with
// HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), or ERROR_PROC_NOT_FOUND when an entry point is missing.
std::unique_ptr<ShellRegistration> NewWindowsShellRegistration();
// The "SystemIndex" crawl scope through the Windows Search manager (COM).
std::unique_ptr<SearchIndexer> NewWindowsSearchIndexer();
std::unique_ptr<Registry> NewWindowsRegistry();
std::unique_ptr<UserIdentity> NewWindowsUserIdentity();

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_WINDOWS_PLATFORM_WINDOWS_H_
