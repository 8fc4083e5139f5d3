// The Windows platform: the real system behind every part of the seam.
#include "platform/windows/platform_windows.h"

namespace ostrasync::platform {
namespace {

class WindowsPlatform final : public Platform {
 public:
  WindowsPlatform()
      : cloud_files_(NewWindowsCloudFiles()),
        file_system_(NewWindowsFileSystem()),
        change_notifier_(NewWindowsChangeNotifier()),
        shell_(NewWindowsShell()),
        system_(NewWindowsSystemServices()) {}

  CloudFiles& cloud_files() override { return *cloud_files_; }
  FileSystem& file_system() override { return *file_system_; }
  ChangeNotifier& change_notifier() override { return *change_notifier_; }
  Shell& shell() override { return *shell_; }
  SystemServices& system() override { return *system_; }

 private:
  std::unique_ptr<CloudFiles> cloud_files_;
  std::unique_ptr<FileSystem> file_system_;
  std::unique_ptr<ChangeNotifier> change_notifier_;
  std::unique_ptr<Shell> shell_;
  std::unique_ptr<SystemServices> system_;
};

}  // namespace

Platform& DefaultPlatform() {
  static WindowsPlatform platform;
  return platform;
}

}  // namespace ostrasync::platform
