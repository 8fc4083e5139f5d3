// Every OS call of Install, Activate and Uninstall failing in turn: each failure gives one of the
// codes and log lines the engine states for it, leaves the engine inactive and no connection.
#include <filesystem>
#include <map>
#include <set>

#include "engine_host.h"
#include "platform/cloud_files_binding.h"
#include "platform/testing/fault_injecting_platform.h"

namespace ostrasync::testing {
namespace {

namespace fs = std::filesystem;
using platform::testing::FaultInjectingPlatform;
using platform::testing::FaultRule;
using platform::testing::FaultRun;
using platform::testing::ForEachFaultPoint;

constexpr int kShellFailure = static_cast<int>(0x80070005);  // the injected HRESULT, passed through

// The log lines that may explain each failing result.
const std::map<int, std::vector<std::string>> kExplanations = {
    {OSTRASYNC_ERR_INIT_FAILED,
     {"Failed to register placeholder root", "Failed to connect placeholder root", "Failed to initialize placeholder manager",
      "Registering sync provider in Windows shell...",
      "Failed to start directory changes watcher", "Invalid SyncSyncRootPath value"}},
    {OSTRASYNC_ERR_OS_CALL,
     {"Failed to scan directory", "Failed to create directory", "Unregistering sync provider from Windows shell failed",
      "UnregisterPlaceholderRoot", "Failed to disconnect placeholder root"}},
    {OSTRASYNC_ERR_NOT_INSTALLED, {"Connecting sync root"}},
    {OSTRASYNC_ERR_INVALID_PARAMETER, {"Uninstallation started"}},
    {kShellFailure, {"Registering sync provider in Windows Shell failed. Error code: 0x80070005"}},
};

// One fresh component over a fault-injecting emulation.
struct FaultWorld {
  TempTree tree;
  EmulatedPlatform base{tree.state()};
  FaultInjectingPlatform faults{base};
  std::unique_ptr<EngineHost> host = std::make_unique<EngineHost>(faults);

  FaultWorld() { EXPECT_EQ(host->SetRoot(tree.root()), 0); }
  bool IsSyncRoot() {
    platform::SyncRootInfo info;
    return base.cloud_files().GetSyncRootInfo(platform::ToWin32Path(tree.root()), &info) >= 0;
  }
};

void ExpectExplained(EngineHost& host, int code, const FaultRun& run) {
  auto it = kExplanations.find(code);
  ASSERT_NE(it, kExplanations.end()) << "unexpected code 0x" << std::hex << code << " at point " << run.point;
  bool explained = false;
  for (const std::string& line : it->second) explained = explained || host.Logged(line);
  EXPECT_TRUE(explained) << "no log line explains 0x" << std::hex << code << " at point " << std::dec << run.point;
}

TEST(LifecycleFaultsTest, EveryInstallCallFailingInTurn) {
  std::unique_ptr<FaultWorld> world;
  int result = 0;
  const int runs = ForEachFaultPoint(
      FaultRule{},
      [&](const FaultRun& run) {
        world.reset();  // one emulation at a time
        world = std::make_unique<FaultWorld>();
        world->faults.AddRule(run.rule);
        result = world->host->Install();
        return world->faults.injected_count() > 0;
      },
      [&](const FaultRun& run, bool injected) {
        EXPECT_EQ(world->host->State(), 0);
        const bool failed = injected && result != 0;
        if (failed) {
          ExpectExplained(*world->host, result, run);
          // A failed install leaves no half registration behind, so a retry registers again.
          EXPECT_FALSE(world->IsSyncRoot()) << "point " << run.point;
          world->faults.ClearRules();
          EXPECT_EQ(world->host->Install(), 0) << "retry after point " << run.point;
        }
        if (result == 0) {
          EXPECT_TRUE(world->IsSyncRoot()) << "point " << run.point;
        }
        world.reset();
        EXPECT_EQ(platform::ConnectionContext::LiveContextsForTest(), 0);
      });
  EXPECT_GT(runs, 5);
}

TEST(LifecycleFaultsTest, EveryActivationCallFailingInTurn) {
  std::unique_ptr<FaultWorld> world;
  int result = 0;
  ForEachFaultPoint(
      FaultRule{},
      [&](const FaultRun& run) {
        world.reset();  // one emulation at a time
        world = std::make_unique<FaultWorld>();
        EXPECT_EQ(world->host->Install(), 0);
        world->faults.ClearCalls();
        world->faults.AddRule(run.rule);
        result = world->host->Activate(true);
        return world->faults.injected_count() > 0;
      },
      [&](const FaultRun& run, bool) {
        if (result != 0) {
          ExpectExplained(*world->host, result, run);
          EXPECT_EQ(world->host->State(), 0);
          EXPECT_EQ(platform::ConnectionContext::LiveContextsForTest(), 0) << "point " << run.point;
        } else {
          EXPECT_EQ(world->host->State(), 2);
          EXPECT_EQ(world->host->Deactivate(), 0);
          EXPECT_EQ(world->host->State(), 0);
        }
        world.reset();
        EXPECT_EQ(platform::ConnectionContext::LiveContextsForTest(), 0);
      },
      200);
}

TEST(LifecycleFaultsTest, EveryUninstallCallFailingInTurn) {
  std::unique_ptr<FaultWorld> world;
  int result = 0;
  ForEachFaultPoint(
      FaultRule{},
      [&](const FaultRun& run) {
        world.reset();  // one emulation at a time
        world = std::make_unique<FaultWorld>();
        EXPECT_EQ(world->host->Install(), 0);
        EXPECT_EQ(world->host->Activate(true), 0);
        fs::create_directories(world->tree.root() + "/empty");
        world->faults.AddRule(run.rule);
        result = world->host->Uninstall();
        return world->faults.injected_count() > 0;
      },
      [&](const FaultRun& run, bool) {
        EXPECT_EQ(world->host->State(), 0) << "point " << run.point;
        if (result != 0) {
          ExpectExplained(*world->host, result, run);
          EXPECT_TRUE(fs::exists(world->tree.root() + "/empty")) << "a failed uninstall prunes nothing";
        }
        // A connection whose disconnect failed is kept (the OS may still call back) and taken
        // down when the component goes.
        world.reset();
        EXPECT_EQ(platform::ConnectionContext::LiveContextsForTest(), 0) << "point " << run.point;
      },
      300);
}

TEST(LifecycleFaultsTest, ShellFailureRollsBackTheFreshRegistration) {
  FaultWorld world;
  FaultRule rule;
  rule.operation = "ShellRegistration.RegisterSyncRoot";
  world.faults.AddRule(rule);
  EXPECT_EQ(world.host->Install(), kShellFailure);
  EXPECT_FALSE(world.IsSyncRoot());
  EXPECT_FALSE(world.base.search_indexer().HasScopeRule(u"file:///" + platform::ToWin32Path(world.tree.root())));
  EXPECT_EQ(world.host->Install(), 0);
  EXPECT_TRUE(world.IsSyncRoot());
}

TEST(LifecycleFaultsTest, FailedCloudUnregisterStillClearsTheShellButPrunesNothing) {
  FaultWorld world;
  ASSERT_EQ(world.host->Install(), 0);
  fs::create_directories(world.tree.root() + "/empty");
  FaultRule rule;
  rule.operation = "CloudFiles.UnregisterSyncRoot";
  world.faults.AddRule(rule);
  EXPECT_EQ(world.host->Uninstall(), OSTRASYNC_ERR_OS_CALL);
  std::u16string sid;
  ASSERT_EQ(world.base.user_identity().CurrentUserSid(&sid), 0u);
  platform::ShellSyncRoot shell;
  EXPECT_LT(world.base.shell_registration().GetSyncRoot(u"Kelvo!" + sid + u"!Kelvo", &shell), 0);
  EXPECT_TRUE(fs::exists(world.tree.root() + "/empty"));
}

TEST(LifecycleFaultsTest, FailedShellUnregisterReportsTheOsCallAndPrunesNothing) {
  FaultWorld world;
  ASSERT_EQ(world.host->Install(), 0);
  fs::create_directories(world.tree.root() + "/empty");
  FaultRule rule;
  rule.operation = "ShellRegistration.UnregisterSyncRoot";
  world.faults.AddRule(rule);
  EXPECT_EQ(world.host->Uninstall(), OSTRASYNC_ERR_OS_CALL);
  EXPECT_TRUE(world.host->Logged("Unregistering sync provider from Windows shell failed. Error code: 0x80070005"));
  EXPECT_TRUE(fs::exists(world.tree.root() + "/empty"));
}

}  // namespace
}  // namespace ostrasync::testing
