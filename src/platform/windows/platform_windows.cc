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
        system_(NewWindowsSystemServices()),
        shell_registration_(NewWindowsShellRegistration()),
        search_indexer_(NewWindowsSearchIndexer()),
        registry_(NewWindowsRegistry()),
        user_identity_(NewWindowsUserIdentity()) {}

  CloudFiles& cloud_files() override { return *cloud_files_; }
  FileSystem& file_system() override { return *file_system_; }
  ChangeNotifier& change_notifier() override { return *change_notifier_; }
  Shell& shell() override { return *shell_; }
  SystemServices& system() override { return *system_; }
  ShellRegistration& shell_registration() override { return *shell_registration_; }
  SearchIndexer& search_indexer() override { return *search_indexer_; }
  Registry& registry() override { return *registry_; }
  UserIdentity& user_identity() override { return *user_identity_; }

 private:
  std::unique_ptr<CloudFiles> cloud_files_;
  std::unique_ptr<FileSystem> file_system_;
  std::unique_ptr<ChangeNotifier> change_notifier_;
  std::unique_ptr<Shell> shell_;
  std::unique_ptr<SystemServices> system_;
  std::unique_ptr<ShellRegistration> shell_registration_;
  std::unique_ptr<SearchIndexer> search_indexer_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<UserIdentity> user_identity_;
};

}  // namespace

Platform& DefaultPlatform() {
  static WindowsPlatform platform;
  return platform;
}

}  // namespace ostrasync::platform
