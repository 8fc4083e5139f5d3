// The Linux platform: the POSIX file system, the emulated cloud-files facility, inotify change
// notifications, a shell whose sync-error mark is an extended attribute, the system services, and
// the shell's sync-root records kept in the per-user state folder.
#include <memory>

#include "platform/platform.h"
#include "platform/posix/change_notifier_inotify.h"
#include "platform/posix/emulated_cloud_files.h"
#include "platform/posix/file_system_posix.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/placeholder_xattrs.h"
#include "platform/posix/shell_state_posix.h"
#include "platform/posix/system_services_posix.h"

namespace ostrasync::platform {
namespace {

class XattrShell final : public Shell {
 public:
  HResult SetLastSyncError(const std::u16string& path, bool error) override {
    std::string posix;
    if (Win32Error e = ToPosixPath(path, &posix)) return HResultFromWin32(e);
    const auto target = xattrs::Target::Path(posix);
    const int rc = error ? xattrs::WriteSyncError(target, kEFail) : xattrs::RemoveSyncError(target);
    return rc == 0 ? kSOk : HResultFromWin32(Win32ErrorFromErrno(rc));
  }
};

class PosixPlatform final : public Platform {
 public:
  PosixPlatform()
      : cloud_files_(NewEmulatedCloudFiles(EmulationSettings{})),
        file_system_(NewPosixFileSystem()),
        change_notifier_(NewInotifyChangeNotifier()),
        system_(NewPosixSystemServices()),
        shell_state_(NewDefaultPosixShellState()) {}
  CloudFiles& cloud_files() override { return *cloud_files_; }
  FileSystem& file_system() override { return *file_system_; }
  ChangeNotifier& change_notifier() override { return *change_notifier_; }
  Shell& shell() override { return shell_; }
  SystemServices& system() override { return *system_; }
  ShellRegistration& shell_registration() override { return *shell_state_.shell_registration; }
  SearchIndexer& search_indexer() override { return *shell_state_.search_indexer; }
  Registry& registry() override { return *shell_state_.registry; }
  UserIdentity& user_identity() override { return *shell_state_.user_identity; }

 private:
  const std::unique_ptr<CloudFiles> cloud_files_;
  const std::unique_ptr<FileSystem> file_system_;
  const std::unique_ptr<ChangeNotifier> change_notifier_;
  const std::unique_ptr<SystemServices> system_;
  XattrShell shell_;
  const PosixShellState shell_state_;
};

}  // namespace

Platform& DefaultPlatform() {
  // Never destroyed: connections and watches may be in use until the process ends.
  static PosixPlatform* platform = new PosixPlatform;
  return *platform;
}

}  // namespace ostrasync::platform
