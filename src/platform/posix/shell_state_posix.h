// The Linux stand-in for the shell's records of sync roots: the storage-provider registrations,
// the search index's scope rules, the two registry hives and the user's SID, kept in files of a
// per-user state folder so that they outlive the process as they do on Windows.
#ifndef OSTRASYNC_PLATFORM_POSIX_SHELL_STATE_POSIX_H_
#define OSTRASYNC_PLATFORM_POSIX_SHELL_STATE_POSIX_H_

#include <memory>
#include <string>

#include "platform/shell_registration.h"

namespace ostrasync::platform {

// The four facilities over one state folder. The shell registration writes its registry entries
// through `registry`, which it owns alongside it.
struct PosixShellState {
  std::unique_ptr<Registry> registry;
  std::unique_ptr<ShellRegistration> shell_registration;
  std::unique_ptr<SearchIndexer> search_indexer;
  std::unique_ptr<UserIdentity> user_identity;
};

struct PosixShellStateOptions {
  // Both scope-rule calls then fail with kHResultSearchServiceDisabled, as when the Windows
  // Search service is stopped.
  bool search_disabled = false;
};

// The state folder for this process: $OSTRASYNC_STATE_DIR, else $XDG_STATE_HOME/ostrasync, else
// $HOME/.local/state/ostrasync (else the password database's home directory). Nothing is created.
std::string DefaultShellStateDir();

// The facilities over `state_dir`, which is created (mode 0700) at the first write. Nothing is
// read until a call needs it, so construction never fails.
PosixShellState NewPosixShellState(std::string state_dir, const PosixShellStateOptions& options);

// The process's facilities: DefaultShellStateDir(), with the search service disabled when
// OSTRASYNC_SEARCH_DISABLED is set to "1".
PosixShellState NewDefaultPosixShellState();

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_POSIX_SHELL_STATE_POSIX_H_
