// Dehydration asked for by a user or by the system: the provider hears of it first and may keep
// the file, hears the outcome afterwards, and pinned or unsynced files never lose their data. Also
// the provider's own dehydration through the kind of handle the engine opens.
#include <sys/stat.h>

#include <chrono>

#include "emulated_fixture.h"
#include "platform/posix/placeholder_xattrs.h"
#include "platform/posix/user_side.h"
#include "platform/posix/windows_attributes.h"

namespace ostrasync::platform::testing {
namespace {

constexpr uint16_t kAutoDehydrationAllowed = 0x4;
constexpr uint32_t kUserManual = 1, kSystemLowSpace = 2, kSystemInactivity = 3;
constexpr uint32_t kBackground = 0x1, kDehydrated = 0x2;
constexpr NtStatus kDehydrationDisallowed = static_cast<NtStatus>(0xC000CF20);
const std::string kData(3 * 4096 + 5, 'd');

class EmulatedDehydration : public EmulatedTest {
 protected:
  HResult RegisterAuto(bool allowed) {
    SyncPolicies policies;
    policies.hydration = cf::kHydrationFull;
    policies.hydration_modifier = allowed ? kAutoDehydrationAllowed : 0;
    return RegisterWith(policies);
  }

  // Answers NOTIFY_DEHYDRATE for the files named in `keep` with a refusal, the others with consent.
  void AnswerDehydrations(Provider& provider, std::vector<std::string> keep) {
    provider.on_callback = [this, keep](const Seen& s) {
      if (s.type != cf::kNotifyDehydrate) return;
      OperationArgs args;
      for (const std::string& name : keep) {
        if (s.info.normalized_path == In(name)) args.completion_status = kDehydrationDisallowed;
      }
      EXPECT_EQ(cloud_->Execute(AnswerTo(s, cf::kAckDehydrate), &args), kSOk);
    };
  }

  // The times of `name`: access and write as a program sees them with stat, creation as its
  // record keeps it.
  struct Times {
    uint64_t accessed = 0, written = 0, created = 0;
  };
  Times TimesOf(const std::string& name) {
    Times out;
    struct stat st;
    EXPECT_EQ(stat((root_ + "/" + name).c_str(), &st), 0);
    out.accessed = FileTimeFromTimespec(st.st_atim);
    out.written = FileTimeFromTimespec(st.st_mtim);
    xattrs::BasicRecord basic;
    const std::string path = root_ + "/" + name;
    EXPECT_EQ(xattrs::ReadBasic(xattrs::Target::Path(path), &basic), 0);
    out.created = basic.creation_time;
    return out;
  }
  void SetTimes(const std::string& name, const Times& times) {
    FileHandlePtr file = OpenItem(In(name), access::kWriteAttributes);
    FsMetadata basic;
    basic.creation_time = times.created;
    basic.last_access_time = times.accessed;
    basic.last_write_time = times.written;
    ASSERT_EQ(fs_->WriteBasicInformation(*file, basic), 0u);
  }
  void ExpectTimes(const std::string& name, const Times& expected) {
    const Times times = TimesOf(name);
    EXPECT_EQ(times.accessed, expected.accessed) << name;
    EXPECT_EQ(times.written, expected.written) << name;
    EXPECT_EQ(times.created, expected.created) << name;
  }

  // The completion flags the provider was told for `name`; -1 when none came.
  int64_t CompletionFlags(Provider& provider, const std::string& name) {
    for (const Seen& s : provider.Of(cf::kNotifyDehydrateCompletion)) {
      if (s.info.normalized_path == In(name)) return s.args.flags;
    }
    return -1;
  }
};

TEST_F(EmulatedDehydration, TheSystemDehydratesOnlyWhatMayGoAndTellsTheProviderBeforeAndAfter) {
  ASSERT_EQ(RegisterAuto(true), kSOk);
  std::filesystem::create_directory(root_ + "/sub");
  MakeHydrated("sub/old", kData);
  MakeHydrated("kept", kData);
  MakeHydrated("pinned", kData);
  MakeHydrated("dirty", kData, /*in_sync=*/false);
  FileHandlePtr pinned = OpenItem(In("pinned"));
  ASSERT_EQ(cloud_->SetPinState(*pinned, cf::kPinned, 0), kSOk);
  Provider provider;
  AnswerDehydrations(provider, {"kept"});
  Connect(provider);
  auto user = NewUserSide();
  uint32_t dehydrated = 0;
  ASSERT_EQ(user->DehydrateAutomatically(Root(), kSystemLowSpace, &dehydrated), kSOk);
  EXPECT_EQ(dehydrated, 1u);
  EXPECT_EQ(OnDisk("sub/old"), 0);
  EXPECT_EQ(OnDisk("kept"), static_cast<int64_t>(kData.size()));
  EXPECT_EQ(OnDisk("pinned"), static_cast<int64_t>(kData.size()));
  EXPECT_EQ(OnDisk("dirty"), static_cast<int64_t>(kData.size()));
  EXPECT_EQ(Content("kept"), kData);

  // Asked only about the files that could go, in the background, with the reason.
  auto asked = provider.Of(cf::kNotifyDehydrate);
  ASSERT_EQ(asked.size(), 2u);
  for (const Seen& s : asked) {
    EXPECT_EQ(s.args.reason, kSystemLowSpace);
    EXPECT_EQ(s.args.flags, kBackground);
  }
  ASSERT_TRUE(provider.WaitFor(cf::kNotifyDehydrateCompletion, 2));
  EXPECT_EQ(CompletionFlags(provider, "sub/old"), kBackground | kDehydrated);
  EXPECT_EQ(CompletionFlags(provider, "kept"), kBackground);
  EXPECT_EQ(provider.Of(cf::kNotifyDehydrateCompletion)[0].args.reason, kSystemLowSpace);

  // A user's own request names its refusals.
  EXPECT_EQ(user->Dehydrate(In("pinned")), HResultFromWin32(win32::kCloudFilePinned));
  EXPECT_EQ(user->Dehydrate(In("dirty")), HResultFromWin32(win32::kCloudFileNotInSync));
  EXPECT_EQ(user->Dehydrate(In("kept")), HResultFromWin32(434));  // the provider's DEHYDRATION_DISALLOWED
  EXPECT_EQ(user->Dehydrate(In("sub")), kEInvalidArg);
  MakeHydrated("mine", kData);
  ASSERT_EQ(user->Dehydrate(In("mine")), kSOk);
  EXPECT_EQ(OnDisk("mine"), 0);
  const auto mine = provider.Of(cf::kNotifyDehydrate).back();
  EXPECT_EQ(mine.args.reason, kUserManual);
  EXPECT_EQ(mine.args.flags, 0u);
}

TEST_F(EmulatedDehydration, AutomaticDehydrationNeedsTheRootsConsentButNotAConnectedProvider) {
  ASSERT_EQ(RegisterAuto(false), kSOk);
  MakeHydrated("a", kData);
  auto user = NewUserSide();
  EXPECT_EQ(user->DehydrateAutomatically(In("a"), kSystemInactivity, nullptr), HResultFromWin32(434));
  EXPECT_EQ(user->DehydrateAutomatically(In("a"), kUserManual, nullptr), kEInvalidArg);
  EXPECT_EQ(OnDisk("a"), static_cast<int64_t>(kData.size()));
  // Nobody to ask: the file is in sync, so its data can come back.
  ASSERT_EQ(user->Dehydrate(In("a")), kSOk);
  EXPECT_EQ(OnDisk("a"), 0);

  ASSERT_EQ(cloud_->UnregisterSyncRoot(Root()), kSOk);
  ASSERT_EQ(RegisterAuto(true), kSOk);
  MakeHydrated("b", kData);
  uint32_t dehydrated = 0;
  ASSERT_EQ(user->DehydrateAutomatically(In("b"), kSystemInactivity, &dehydrated), kSOk);
  EXPECT_EQ(dehydrated, 1u);
  EXPECT_EQ(OnDisk("b"), 0);
}

TEST_F(EmulatedDehydration, ASilentProviderKeepsTheFileAndOnlyFetchesHaveCancels) {
  UseTimeout(200);  // the provider answers nothing: every request runs out
  ASSERT_EQ(RegisterAuto(true), kSOk);
  MakeHydrated("quiet", kData);
  ASSERT_EQ(MakeFile("gone", 10), kSOk);
  Provider provider;  // answers nothing
  Connect(provider);
  auto user = NewUserSide();
  EXPECT_EQ(user->Dehydrate(In("quiet")), HResultFromWin32(win32::kCloudFileRequestTimeout));
  EXPECT_EQ(OnDisk("quiet"), static_cast<int64_t>(kData.size()));
  ASSERT_TRUE(provider.WaitFor(cf::kNotifyDehydrateCompletion));
  EXPECT_EQ(CompletionFlags(provider, "quiet"), 0);
  EXPECT_EQ(user->Delete(In("gone")), HResultFromWin32(win32::kCloudFileRequestTimeout));
  EXPECT_TRUE(std::filesystem::exists(root_ + "/gone"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(provider.Of(cf::kCancelFetchPlaceholders).empty());
  EXPECT_TRUE(provider.Of(cf::kCancelFetchData).empty());
}

TEST_F(EmulatedDehydration, EveryDehydrationLeavesTheTimesThePlaceholderHadOrWasGiven) {
  ASSERT_EQ(RegisterAuto(true), kSOk);
  // Years before the test runs, and with a part below the second, so nothing lands on them by chance.
  const Times old{132100000000000001ull, 132200000000000002ull, 132000000000000003ull};
  for (const char* name : {"given", "kept", "range", "user", "system"}) {
    MakeHydrated(name, kData);
    SetTimes(name, old);
  }

  // The host's way of saying the server's file changed: a new size, the server's times, dehydrate.
  FsMetadata server;
  server.file_size = 2 * 4096 + 7;
  server.creation_time = 133000000000000004ull;
  server.last_access_time = 133100000000000005ull;
  server.last_write_time = 133200000000000006ull;
  FileHandlePtr given = OpenItem(In("given"), 0);
  ASSERT_EQ(cloud_->UpdatePlaceholder(*given, &server, {}, {}, cf::kUpdateDehydrate), kSOk);
  EXPECT_EQ(OnDisk("given"), 0);
  ExpectTimes("given", {server.last_access_time, server.last_write_time, server.creation_time});
  // The same without times: the file keeps its own through the new size and the dehydration.
  FsMetadata resized;
  resized.file_size = 5;
  FileHandlePtr kept = OpenItem(In("kept"), 0);
  ASSERT_EQ(cloud_->UpdatePlaceholder(*kept, &resized, {}, {}, cf::kUpdateDehydrate), kSOk);
  EXPECT_EQ(std::filesystem::file_size(root_ + "/kept"), 5u);
  ExpectTimes("kept", old);

  FileHandlePtr range = OpenItem(In("range"), 0);
  ASSERT_EQ(cloud_->DehydratePlaceholder(*range, 4096, 4096, 0), kSOk);
  EXPECT_EQ(OnDisk("range"), static_cast<int64_t>(kData.size()) - 4096);
  ExpectTimes("range", old);

  auto user = NewUserSide();
  ASSERT_EQ(user->Dehydrate(In("user")), kSOk);
  EXPECT_EQ(OnDisk("user"), 0);
  ExpectTimes("user", old);
  ASSERT_EQ(user->DehydrateAutomatically(In("system"), kSystemLowSpace, nullptr), kSOk);
  EXPECT_EQ(OnDisk("system"), 0);
  ExpectTimes("system", old);
}

TEST_F(EmulatedDehydration, TheProviderDehydratesThroughAHandleWithoutAccess) {
  ASSERT_EQ(Register(), kSOk);
  MakeHydrated("f", kData);
  MakeHydrated("g", kData);
  // The engine opens the items it changes with no access at all.
  FileHandlePtr f = OpenItem(In("f"), 0);
  ASSERT_EQ(cloud_->DehydratePlaceholder(*f, 0, -1, 0), kSOk);
  EXPECT_EQ(OnDisk("f"), 0);
  FileHandlePtr g = OpenItem(In("g"), 0);
  FsMetadata smaller;
  smaller.file_size = 4096;
  ASSERT_EQ(cloud_->UpdatePlaceholder(*g, &smaller, {}, {}, cf::kUpdateDehydrate), kSOk);
  EXPECT_EQ(OnDisk("g"), 0);
  EXPECT_EQ(std::filesystem::file_size(root_ + "/g"), 4096u);

  // A root whose files must stay whole refuses both dehydration and empty placeholders.
  ASSERT_EQ(cloud_->UnregisterSyncRoot(Root()), kSOk);
  ASSERT_EQ(Register(cf::kHydrationAlwaysFull), kSOk);
  MakeHydrated("whole", kData);
  FileHandlePtr whole = OpenItem(In("whole"), 0);
  EXPECT_EQ(cloud_->DehydratePlaceholder(*whole, 0, -1, 0), HResultFromWin32(win32::kCloudFileInvalidRequest));
  EXPECT_EQ(MakeFile("empty", 10), HResultFromWin32(win32::kCloudFileInvalidRequest));
}

}  // namespace
}  // namespace ostrasync::platform::testing
