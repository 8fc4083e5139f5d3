// Install, activation, deactivation and uninstall of a component on the Linux emulation,
// driven through the exported functions as a host drives them.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "engine_host.h"
#include "platform/cloud_files_binding.h"

namespace ostrasync::testing {
namespace {

namespace fs = std::filesystem;

class InstallLifecycleTest : public ::testing::Test {
 protected:
  InstallLifecycleTest() : platform_(tree_.state()), host_(std::make_unique<EngineHost>(platform_)) {
    EXPECT_EQ(host_->SetRoot(tree_.root()), 0);
  }

  bool IsSyncRoot() {
    platform::SyncRootInfo info;
    return platform_.cloud_files().GetSyncRootInfo(platform::ToWin32Path(tree_.root()), &info) >= 0;
  }
  std::u16string ShellId() {
    std::u16string sid;
    EXPECT_EQ(platform_.user_identity().CurrentUserSid(&sid), 0u);
    return u"Kelvo!" + sid + u"!Kelvo";
  }
  bool ShellKnowsRoot() {
    platform::ShellSyncRoot root;
    return platform_.shell_registration().GetSyncRoot(ShellId(), &root) >= 0;
  }

  TempTree tree_;
  EmulatedPlatform platform_;
  std::unique_ptr<EngineHost> host_;
};

TEST_F(InstallLifecycleTest, InstallRegistersEverywhereAndReinstallRepeatsNothing) {
  ASSERT_EQ(host_->Install(), 0) << host_->LastErrorText() << [&] {
    std::string all;
    for (const HostEvent& e : host_->Events(OSTRASYNC_EVENT_LOG)) all += e.text + "\n";
    return all;
  }();
  EXPECT_TRUE(IsSyncRoot());
  platform::ShellSyncRoot shell;
  ASSERT_GE(platform_.shell_registration().GetSyncRoot(ShellId(), &shell), 0);
  EXPECT_EQ(shell.path, platform::ToWin32Path(tree_.root()));
  EXPECT_EQ(shell.display_name, u"Kelvo");
  EXPECT_EQ(shell.icon, u",0");
  EXPECT_EQ(shell.population_policy, 2);
  EXPECT_EQ(shell.in_sync_policy, 0x11u);
  EXPECT_TRUE(platform_.search_indexer().HasScopeRule(u"file:///" + platform::ToWin32Path(tree_.root())));
  EXPECT_TRUE(host_->Logged("Registration finished with result code: 0x0"));
  EXPECT_EQ(host_->State(), 0);

  host_->ClearEvents();
  ASSERT_EQ(host_->Install(), 0);
  EXPECT_FALSE(host_->Logged("Directory is not sync root"));
  EXPECT_FALSE(host_->Logged("Registering sync provider in Windows shell..."));
}

TEST_F(InstallLifecycleTest, ActivateDeactivateAndUninstall) {
  ASSERT_EQ(host_->Install(), 0);
  ASSERT_EQ(host_->Activate(true), 0) << host_->LastErrorText();
  EXPECT_EQ(host_->State(), 2);
  EXPECT_TRUE(host_->Logged("< Activated successfully"));
  EXPECT_TRUE(host_->Events(OSTRASYNC_EVENT_ACTIVATED).empty()) << "a synchronous activation fires no Activated";

  EXPECT_EQ(host_->Activate(true), OSTRASYNC_ERR_ALREADY_STARTED);
  EXPECT_EQ(host_->LastErrorText(), "The sync operation has already been started");
  EXPECT_EQ(OstraSync_Kelvo_Set(host_->handle(), OSTRASYNC_PROP_SYNC_ROOT_LABEL, 0, "x"), OSTRASYNC_ERR_ALREADY_STARTED);
  EXPECT_EQ(host_->Config("SerializeEvents=true"), OSTRASYNC_ERR_ALREADY_STARTED);
  EXPECT_EQ(host_->Install(), OSTRASYNC_ERR_ALREADY_STARTED);

  EXPECT_EQ(host_->Deactivate(), 0);
  EXPECT_EQ(host_->State(), 0);
  EXPECT_EQ(platform::ConnectionContext::LiveContextsForTest(), 0);
  EXPECT_TRUE(host_->Logged("< Deactivated"));
  EXPECT_EQ(host_->Deactivate(), 21);
  EXPECT_EQ(host_->LastErrorText(), "The sync operation is not active");

  // Activating again after a deactivation works as the first time did.
  ASSERT_EQ(host_->Activate(true), 0);
  fs::create_directories(tree_.root() + "/empty/deeper");
  fs::create_directories(tree_.root() + "/kept/inner");
  std::ofstream(tree_.root() + "/kept/inner/file.txt") << "data";
  std::ofstream(tree_.root() + "/top.txt") << "data";
  fs::create_directories(tree_.path() + "/elsewhere/empty");
  fs::create_directory_symlink(tree_.path() + "/elsewhere", tree_.root() + "/link");

  EXPECT_EQ(host_->Uninstall(), 0) << host_->LastErrorText();
  EXPECT_EQ(host_->State(), 0) << "Uninstall deactivates first";
  EXPECT_FALSE(IsSyncRoot());
  EXPECT_FALSE(ShellKnowsRoot());
  EXPECT_FALSE(platform_.search_indexer().HasScopeRule(u"file:///" + platform::ToWin32Path(tree_.root())));
  EXPECT_TRUE(fs::exists(tree_.root())) << "the root stays";
  EXPECT_FALSE(fs::exists(tree_.root() + "/empty"));
  EXPECT_TRUE(fs::exists(tree_.root() + "/kept/inner/file.txt"));
  EXPECT_TRUE(fs::exists(tree_.root() + "/top.txt"));
  EXPECT_TRUE(fs::exists(tree_.path() + "/elsewhere/empty")) << "a link is never followed";

  EXPECT_EQ(host_->Uninstall(), OSTRASYNC_ERR_INVALID_PARAMETER) << "no longer a sync root";
}

TEST_F(InstallLifecycleTest, ActivateWithoutInstallIsRefused) {
  EXPECT_EQ(host_->Activate(true), OSTRASYNC_ERR_NOT_INSTALLED);
  EXPECT_EQ(host_->LastErrorText(), "Install must be called before performing this operation");
  EXPECT_EQ(host_->State(), 0);
  EXPECT_EQ(platform::ConnectionContext::LiveContextsForTest(), 0);
}

TEST_F(InstallLifecycleTest, InvalidRootAndItemDomainAreRefused) {
  ASSERT_EQ(host_->SetRoot(tree_.path() + "/missing"), 0);
  EXPECT_EQ(host_->Install(), OSTRASYNC_ERR_INIT_FAILED);
  EXPECT_TRUE(host_->Logged("Invalid SyncSyncRootPath value:"));

  ASSERT_EQ(host_->SetRoot(tree_.root()), 0);
  for (const char* domain : {"..", "a/b", "a\\\\b", ".", "CON"}) {
    ASSERT_EQ(host_->Config(std::string("ItemDomain=") + domain), 0);
    EXPECT_EQ(host_->Install(), OSTRASYNC_ERR_INVALID_PARAMETER) << domain;
  }
  EXPECT_FALSE(IsSyncRoot());
}

TEST_F(InstallLifecycleTest, ItemDomainRootIsCreatedInsideSyncRootPath) {
  ASSERT_EQ(host_->Config("ItemDomain=Team"), 0);
  ASSERT_EQ(host_->Install(), 0) << host_->LastErrorText();
  EXPECT_TRUE(fs::is_directory(tree_.root() + "/Team"));
  ASSERT_EQ(host_->Activate(true), 0);
  EXPECT_EQ(host_->Uninstall(), 0);
  EXPECT_TRUE(fs::is_directory(tree_.root() + "/Team")) << "the effective root itself stays";
}

TEST_F(InstallLifecycleTest, AsynchronousActivationEndsWithActivated) {
  ASSERT_EQ(host_->Install(), 0);
  ASSERT_EQ(host_->Activate(false), 0);
  EXPECT_EQ(host_->WaitForActivated(), 0);
  EXPECT_EQ(host_->State(), 2);
  EXPECT_EQ(host_->Deactivate(), 0);
  EXPECT_EQ(host_->State(), 0);
}

TEST_F(InstallLifecycleTest, AsynchronousActivationReportsFailureThroughActivated) {
  ASSERT_EQ(host_->Activate(false), 0);
  EXPECT_EQ(host_->WaitForActivated(), OSTRASYNC_ERR_NOT_INSTALLED);
  EXPECT_EQ(host_->State(), 0);
}

TEST_F(InstallLifecycleTest, DeactivateDuringAsynchronousActivationStopsIt) {
  ASSERT_EQ(host_->Install(), 0);
  // Deactivate as soon as the activation has begun its work, from the host's own thread.
  std::mutex m;
  std::condition_variable started_cv;
  bool started = false;
  host_->set_handler([&](const HostEvent& e) {
    if (e.id == OSTRASYNC_EVENT_LOG && e.text.find("IntActivate Synchronous") != std::string::npos) {
      std::lock_guard<std::mutex> lock(m);
      started = true;
      started_cv.notify_all();
    }
  });
  ASSERT_EQ(host_->Activate(false), 0);
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(started_cv.wait_for(lock, kTestPatience, [&] { return started; }));
  }
  EXPECT_EQ(host_->Deactivate(), 0);
  EXPECT_EQ(host_->State(), 0);
  EXPECT_EQ(platform::ConnectionContext::LiveContextsForTest(), 0);
  // Either the activation gave up (no Activated) or it had already finished and was then
  // deactivated; in both cases nothing is left running.
  for (const HostEvent& e : host_->Events(OSTRASYNC_EVENT_ACTIVATED)) EXPECT_EQ(e.code, 0);
}

TEST_F(InstallLifecycleTest, DeactivateFromActivatingThreadHandlerDoesNotWaitForItself) {
  ASSERT_EQ(host_->Install(), 0);
  std::atomic<int> deactivate_result{-7};
  host_->set_handler([&](const HostEvent& e) {
    if (e.id == OSTRASYNC_EVENT_LOG && e.text.find("Launching Cloud API provider") != std::string::npos) {
      deactivate_result = host_->Deactivate();
    }
  });
  EXPECT_EQ(host_->Activate(true), OSTRASYNC_ERR_CANCELLED);
  EXPECT_EQ(deactivate_result.load(), 0);
  EXPECT_EQ(host_->State(), 0);
  EXPECT_EQ(platform::ConnectionContext::LiveContextsForTest(), 0);
}

TEST_F(InstallLifecycleTest, DeactivateFromActivatedHandler) {
  ASSERT_EQ(host_->Install(), 0);
  std::atomic<int> result{-7};
  host_->set_handler([&](const HostEvent& e) {
    if (e.id == OSTRASYNC_EVENT_ACTIVATED) result = host_->Deactivate();
  });
  ASSERT_EQ(host_->Activate(false), 0);
  EXPECT_EQ(host_->WaitForActivated(), 0);
  const auto deadline = std::chrono::steady_clock::now() + kTestPatience;
  while (result.load() == -7 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(host_->State(), 0);
}

TEST_F(InstallLifecycleTest, DestroyWhileActiveTearsDown) {
  ASSERT_EQ(host_->Install(), 0);
  ASSERT_EQ(host_->Config("PendingTaskTimeout=5"), 0);
  ASSERT_EQ(host_->Activate(true), 0);
  host_.reset();
  EXPECT_EQ(platform::ConnectionContext::LiveContextsForTest(), 0);
  // The root stays registered: destruction only deactivates.
  EXPECT_TRUE(IsSyncRoot());
}

TEST_F(InstallLifecycleTest, DestroyDuringAsynchronousActivation) {
  ASSERT_EQ(host_->Install(), 0);
  ASSERT_EQ(host_->Activate(false), 0);
  host_.reset();
  EXPECT_EQ(platform::ConnectionContext::LiveContextsForTest(), 0);
}

TEST_F(InstallLifecycleTest, UninstallWithoutInstall) {
  EXPECT_EQ(host_->Uninstall(), OSTRASYNC_ERR_INVALID_PARAMETER);
  ASSERT_EQ(host_->SetRoot(tree_.path() + "/missing"), 0);
  EXPECT_EQ(host_->Uninstall(), OSTRASYNC_ERR_INVALID_PARAMETER);
  EXPECT_EQ(host_->LastErrorText(), "The specified SyncRootPath is not a valid synchronization root");
}

TEST_F(InstallLifecycleTest, StaleShellRegistryEntriesAreRemovedOnlyForAClassId) {
  platform::Registry& registry = platform_.registry();
  const std::u16string key = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\SyncRootManager\\" + ShellId();
  const std::u16string clsid = u"{01234567-89AB-CDEF-0123-456789ABCDEF}";
  ASSERT_EQ(registry.WriteString(platform::RegistryRoot::kLocalMachine, key, u"NamespaceCLSID", clsid), 0u);
  ASSERT_EQ(registry.WriteString(platform::RegistryRoot::kCurrentUser, u"Software\\Classes\\CLSID\\" + clsid, u"x", u"y"), 0u);
  ASSERT_EQ(registry.WriteString(platform::RegistryRoot::kCurrentUser, u"Software\\Classes\\CLSID\\other", u"x", u"y"), 0u);
  ASSERT_EQ(host_->Install(), 0);
  uint32_t type = 0;
  std::u16string value;
  EXPECT_NE(registry.ReadValue(platform::RegistryRoot::kCurrentUser, u"Software\\Classes\\CLSID\\" + clsid, u"x", &type, &value), 0u);
  EXPECT_EQ(registry.ReadValue(platform::RegistryRoot::kCurrentUser, u"Software\\Classes\\CLSID\\other", u"x", &type, &value), 0u);

  // An empty class id must never aim the delete at the whole per-user class key.
  ASSERT_EQ(registry.WriteString(platform::RegistryRoot::kLocalMachine, key, u"NamespaceCLSID", u""), 0u);
  EXPECT_EQ(host_->Uninstall(), 0);
  EXPECT_EQ(registry.ReadValue(platform::RegistryRoot::kCurrentUser, u"Software\\Classes\\CLSID\\other", u"x", &type, &value), 0u);
}

TEST(InstallWithoutSearchTest, SearchServiceDisabledStillInstalls) {
  TempTree tree_;
  EmulatedPlatform no_search(tree_.state(), true);
  EngineHost host(no_search);
  ASSERT_EQ(host.SetRoot(tree_.root()), 0);
  EXPECT_EQ(host.Install(), 0);
  EXPECT_TRUE(host.Logged("failed as Windows Search service is disabled"));
  EXPECT_EQ(host.Uninstall(), 0);
}

}  // namespace
}  // namespace ostrasync::testing
