// A Platform decorator that makes chosen calls fail, and records every call it sees, so tests can
// drive the engine's error paths over any target platform.
#ifndef OSTRASYNC_PLATFORM_TESTING_FAULT_INJECTING_PLATFORM_H_
#define OSTRASYNC_PLATFORM_TESTING_FAULT_INJECTING_PLATFORM_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/testing/platform_wrapper.h"

namespace ostrasync::platform::testing {

// When and how calls fail. Operations are named "<Facility>.<Method>", such as
// "CloudFiles.ConvertToPlaceholder", "FileSystem.Open", "ChangeStream.Wait" or "Shell.SetLastSyncError";
// "*" matches every operation. The shell-registration facilities can fail at
// "ShellRegistration.RegisterSyncRoot" (path: the root's folder), "ShellRegistration.UnregisterSyncRoot"
// (path: the id), "SearchIndexer.AddScopeRule" and "SearchIndexer.RemoveScopeRule" (path: the URL),
// "Registry.ReadValue" and "Registry.DeleteTree" (path: the key) and "UserIdentity.CurrentUserSid"
// (no path).
struct FaultRule {
  std::string operation = "*";
  // Only calls whose path contains this text count (empty: every call). Calls that take a handle
  // use the handle's path; calls without a path never match a non-empty filter.
  std::u16string path_contains;
  // The rule fires at the countdown-th matching call (1: the next one).
  int countdown = 1;
  // Transient rules fire once; persistent ones also fail every later matching call.
  bool persistent = false;
  // The code failing calls return: the Win32 code for calls that return one, HRESULT_FROM_WIN32 of
  // it for calls that return an HRESULT, unless `hresult` is given.
  Win32Error win32 = win32::kAccessDenied;
  std::optional<HResult> hresult;
  // When set, a firing rule runs this just before the call instead of failing it, and the call
  // goes through: a way to have something else happen at an exact point, such as another process
  // changing a file the call is about to touch.
  std::function<void()> before_call;
};

struct SeenCall {
  std::string operation;
  std::u16string path;
  bool injected = false;  // this call was failed by a rule
};

// Thread-safe; all state belongs to the instance. The target must outlive it.
class FaultInjectingPlatform final : public PlatformWrapper {
 public:
  explicit FaultInjectingPlatform(Platform& target);
  ~FaultInjectingPlatform() override;

  CloudFiles& cloud_files() override;
  FileSystem& file_system() override;
  ChangeNotifier& change_notifier() override;
  Shell& shell() override;
  ShellRegistration& shell_registration() override;
  SearchIndexer& search_indexer() override;
  Registry& registry() override;
  UserIdentity& user_identity() override;

  void AddRule(const FaultRule& rule);
  void ClearRules();
  // How many calls the rules have failed so far.
  int injected_count() const;
  std::vector<SeenCall> calls() const;
  // The operation names seen, in order (handy for comparing runs).
  std::vector<std::string> operations() const;
  void ClearCalls();

  // Counts the call against the rules and records it. Returns the code to fail it with, or 0 to
  // let it through. `returns_hresult` picks which form of the rule's code is wanted. Used by the
  // facility decorators; tests need not call it.
  uint32_t Check(std::string_view operation, std::u16string_view path, bool returns_hresult);

 private:
  struct ArmedRule {
    FaultRule rule;
    int remaining = 0;  // matching calls still to let through before firing
    bool fired = false;
  };
  class Cloud;
  class Files;
  class Notifier;
  class ShellFaults;
  class ShellRegistrationFaults;
  class SearchFaults;
  class RegistryFaults;
  class IdentityFaults;

  mutable std::mutex mutex_;
  std::vector<ArmedRule> rules_;  // guarded by mutex_
  std::vector<SeenCall> calls_;   // guarded by mutex_
  int injected_ = 0;              // guarded by mutex_

  std::unique_ptr<Cloud> cloud_;
  std::unique_ptr<Files> files_;
  std::unique_ptr<Notifier> notifier_;
  std::unique_ptr<ShellFaults> shell_;
  std::unique_ptr<ShellRegistrationFaults> shell_registration_;
  std::unique_ptr<SearchFaults> search_;
  std::unique_ptr<RegistryFaults> registry_;
  std::unique_ptr<IdentityFaults> identity_;
};

// One run of a sweep: the fault is armed at the `point`-th call that `rule` matches.
struct FaultRun {
  int point = 0;
  FaultRule rule;
};

// Runs a scenario once per fault point, as SQLite's fault sweeps do: with `base` armed at call 1,
// then call 2, 3, ... until a run in which the fault was never injected (every call of the
// scenario has then had its turn to fail). `scenario` builds fresh state, adds run.rule to its
// FaultInjectingPlatform, runs, and returns whether the fault was injected; `check` is then told
// the run and whether it was injected, and asserts what the scenario left behind. Stops early after
// `max_points` runs. Returns the number of runs.
int ForEachFaultPoint(const FaultRule& base, const std::function<bool(const FaultRun&)>& scenario,
                      const std::function<void(const FaultRun&, bool injected)>& check, int max_points = 1000);

}  // namespace ostrasync::platform::testing

#endif  // OSTRASYNC_PLATFORM_TESTING_FAULT_INJECTING_PLATFORM_H_
