// What opens, deletes and reads meet on the emulated file system: Windows' sharing rules against
// a file another application keeps open, and placeholders hydrated on a read through the
// platform's own file system, as ReadFile hydrates them for any process.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "emulated_fixture.h"
#include "platform/posix/user_side.h"

namespace ostrasync::platform::testing {
namespace {

constexpr uint32_t kDeleteAccess = 0x10000;
constexpr uint32_t kShareAll = share::kRead | share::kWrite | share::kDelete;
constexpr uint32_t kCreateAlways = 2;

class EmulatedFileAccess : public EmulatedTest {
 protected:
  Win32Error OpenWith(const std::string& name, uint32_t access, uint32_t share_mode, FileHandlePtr* file,
                      uint32_t disposition = 3) {
    OpenRequest request;
    request.desired_access = access;
    request.share_mode = share_mode;
    request.disposition = disposition;
    return fs_->Open(In(name), request, file);
  }
};

TEST_F(EmulatedFileAccess, AFileHeldForWritingWithoutSharingIsLockedForOthers) {
  ASSERT_EQ(Register(), kSOk);
  std::ofstream(root_ + "/doc") << "content";
  auto user = NewUserSide();
  std::unique_ptr<HeldFile> held;
  ASSERT_EQ(user->Hold(In("doc"), access::kGenericWrite, share::kWrite, &held), kSOk);

  // What the engine does to a file it lists or uploads fails as "used by another process".
  FileHandlePtr file;
  EXPECT_EQ(OpenWith("doc", access::kGenericRead, share::kRead, &file), win32::kSharingViolation);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(OpenWith("doc", access::kGenericRead, share::kRead | share::kWrite, &file), win32::kSharingViolation);
  EXPECT_EQ(fs_->RemoveFile(In("doc")), win32::kSharingViolation);
  EXPECT_EQ(fs_->Rename(In("doc"), In("moved"), false), win32::kSharingViolation);
  // A truncating open is refused before it truncates.
  EXPECT_EQ(OpenWith("doc", access::kGenericRead | access::kGenericWrite, kShareAll, &file, kCreateAlways),
            win32::kSharingViolation);
  EXPECT_EQ(Content("doc"), "content");
  // Looking at attributes takes no part in sharing.
  EXPECT_EQ(OpenWith("doc", access::kReadAttributes, share::kRead, &file), 0u);
  file.reset();
  std::vector<uint8_t> buffer(4);
  uint32_t read = 0;
  EXPECT_EQ(user->Read(In("doc"), 0, buffer, &read), HResultFromWin32(win32::kSharingViolation));
  EXPECT_EQ(user->Delete(In("doc")), HResultFromWin32(win32::kSharingViolation));
  EXPECT_EQ(user->Rename(In("doc"), In("moved")), HResultFromWin32(win32::kSharingViolation));
  // Writers that share writing get along with it.
  const uint8_t more[] = {'!'};
  EXPECT_EQ(user->Write(In("doc"), 7, more), kSOk);
  EXPECT_EQ(OpenWith("doc", access::kGenericWrite, share::kWrite, &file), 0u);
  file.reset();

  held.reset();
  EXPECT_EQ(user->Read(In("doc"), 0, buffer, &read), kSOk);
  EXPECT_EQ(Content("doc"), "content!");
  EXPECT_EQ(user->Rename(In("doc"), In("moved")), kSOk);
  EXPECT_EQ(user->Delete(In("moved")), kSOk);
}

TEST_F(EmulatedFileAccess, SharingDeleteLetsOthersDeleteAndAnOpenTargetIsNotReplaced) {
  ASSERT_EQ(Register(), kSOk);
  for (const char* name : {"shared", "target", "source"}) std::ofstream(root_ + "/" + name) << name;
  auto user = NewUserSide();
  std::unique_ptr<HeldFile> reader, target;
  ASSERT_EQ(user->Hold(In("shared"), access::kGenericRead, kShareAll, &reader), kSOk);
  FileHandlePtr file;
  EXPECT_EQ(OpenWith("shared", access::kGenericRead | access::kGenericWrite, share::kRead, &file), 0u);
  // Now an open that does not share writing is there: another writer is refused.
  FileHandlePtr writer;
  EXPECT_EQ(OpenWith("shared", access::kGenericWrite, kShareAll, &writer), win32::kSharingViolation);
  // ... and so is a delete, which the second open does not share.
  EXPECT_EQ(fs_->RemoveFile(In("shared")), win32::kSharingViolation);
  file.reset();
  EXPECT_EQ(fs_->RemoveFile(In("shared")), 0u);

  ASSERT_EQ(user->Hold(In("target"), kDeleteAccess, kShareAll, &target), kSOk);
  EXPECT_EQ(fs_->Rename(In("source"), In("target"), true), win32::kAccessDenied);
  EXPECT_EQ(Content("target"), "target");
  target.reset();
  EXPECT_EQ(fs_->Rename(In("source"), In("target"), true), 0u);
  EXPECT_EQ(Content("target"), "source");
}

TEST_F(EmulatedFileAccess, OpensAndClosesFromManyThreadsLeaveNoClaimBehind) {
  ASSERT_EQ(Register(), kSOk);
  std::ofstream(root_ + "/busy") << "x";
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        FileHandlePtr file;
        const uint32_t access = (i + t) % 2 ? access::kGenericRead : access::kGenericWrite | kDeleteAccess;
        if (OpenWith("busy", access, kShareAll, &file) != 0) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  // Every one of them is gone: an exclusive open goes through.
  FileHandlePtr exclusive;
  EXPECT_EQ(OpenWith("busy", access::kGenericRead | access::kGenericWrite | kDeleteAccess, 0, &exclusive), 0u);
}

TEST_F(EmulatedFileAccess, ReadingAPlaceholderThroughTheFileSystemHydratesItFirst) {
  UseTimeout(kOsGivesUpMs);  // the last read is left to run out
  ASSERT_EQ(Register(cf::kHydrationProgressive), kSOk);
  ASSERT_EQ(MakeFile("p", 3 * 4096), kSOk);
  FileHandlePtr file = OpenItem(In("p"));
  std::vector<uint8_t> buffer(100);
  uint32_t read = 0;
  EXPECT_EQ(fs_->ReadAt(*file, 4096, buffer, &read), win32::kCloudFileProviderNotRunning);

  Provider provider;
  std::atomic<bool> answer{true};
  provider.on_callback = [&](const Seen& s) {
    if (s.type == cf::kFetchData && answer) {
      SendData(*cloud_, s, s.args.required_file_offset, s.args.required_length, 'p');
    }
  };
  Connect(provider);
  ASSERT_EQ(fs_->ReadAt(*file, 4096 + 10, buffer, &read), 0u);
  EXPECT_EQ(read, 100u);
  EXPECT_EQ(buffer, std::vector<uint8_t>(100, 'p'));
  auto fetches = provider.Of(cf::kFetchData);
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_EQ(fetches[0].args.flags, 0u);  // implicit, not CfHydratePlaceholder
  EXPECT_EQ(fetches[0].args.required_file_offset, 4096);
  EXPECT_EQ(fetches[0].args.required_length, 4096);
  ASSERT_EQ(fs_->ReadAt(*file, 4096, buffer, &read), 0u);  // on disk now: nothing asked
  EXPECT_EQ(provider.Of(cf::kFetchData).size(), 1u);

  answer = false;
  EXPECT_EQ(fs_->ReadAt(*file, 0, buffer, &read), win32::kCloudFileRequestTimeout);
  EXPECT_EQ(read, 0u);
}

TEST_F(EmulatedFileAccess, StateChangesWaitForAnotherProcessHoldingTheStateLocks) {
  ASSERT_EQ(Register(), kSOk);
  ASSERT_EQ(MakeFile("f", 10), kSOk);
  FileHandlePtr file = OpenItem(In("f"));
  // Another process's hold: a lock through an open of the lock file of its own.
  const int other = open("/dev/shm/ostrasync-file-state.lock", O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(other, F_OFD_SETLKW, &lock), 0);  // every slot
  std::atomic<bool> done{false};
  std::thread writer([&] {
    EXPECT_EQ(cloud_->SetInSyncState(*file, cf::kInSync, 0, nullptr), kSOk);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(done);
  lock.l_type = F_UNLCK;
  ASSERT_EQ(fcntl(other, F_OFD_SETLK, &lock), 0);
  writer.join();
  EXPECT_TRUE(done);
  close(other);
}

}  // namespace
}  // namespace ostrasync::platform::testing
