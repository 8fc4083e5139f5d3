// Tests of the inotify watcher: the records a recursive Windows watch would deliver for changes
// made to a real folder tree.
#include "platform/posix/change_notifier_inotify.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/posix/path_mapping.h"
#include "test_timing.h"

namespace ostrasync::platform {
namespace {

namespace fs = std::filesystem;
using namespace file_action;

int64_t Inode(const fs::path& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_ino) : -1;
}

void Write(const fs::path& path, const std::string& text, bool append = false) {
  std::ofstream out(path, append ? std::ios::app : std::ios::trunc);
  out << text;
}

class InotifyChangeNotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ostrasync-watch-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    root_ = base_ / "root";
    fs::create_directory(root_);
  }
  void TearDown() override {
    stream_.reset();
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  void StartWatching(size_t max_batch_bytes = kDefaultChangeBatchBytes) {
    notifier_ = NewInotifyChangeNotifierForTest(max_batch_bytes);
    ASSERT_EQ(notifier_->Watch(ToWin32Path(root_.string()), &stream_), 0u);
    ASSERT_NE(stream_, nullptr);
  }

  // Gathers batches into seen_ until `done` holds or kTestPatience passes. Codes other than
  // success and time-out end the wait and are kept in last_code_.
  bool CollectUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kTestPatience;
    bool issued = false;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (!issued) {
        last_code_ = stream_->Issue();
        if (last_code_ != 0) return false;
        issued = true;
      }
      std::vector<ChangeRecord> batch;
      last_code_ = stream_->Wait(100, &batch);
      if (last_code_ == win32::kWaitTimeout) continue;
      issued = false;
      if (last_code_ != 0) return false;
      seen_.insert(seen_.end(), batch.begin(), batch.end());
    }
    return true;
  }

  // Makes one more change and waits for it: everything done before has been delivered then.
  void Settle() {
    const std::u16string name = u"settle-" + std::u16string(1, static_cast<char16_t>(u'a' + settles_++));
    Write(root_ / std::string(name.begin(), name.end()), "");
    ASSERT_TRUE(CollectUntil([&] { return Index(kAdded, name) >= 0; }));
  }

  // The position in seen_ of the first record with this action and name, else -1.
  int Index(uint32_t action, const std::u16string& name, size_t from = 0) const {
    for (size_t i = from; i < seen_.size(); ++i) {
      if (seen_[i].action == action && seen_[i].name == name) return static_cast<int>(i);
    }
    return -1;
  }
  int Count(uint32_t action, const std::u16string& name) const {
    int count = 0;
    for (const ChangeRecord& record : seen_) count += record.action == action && record.name == name;
    return count;
  }
  const ChangeRecord& At(uint32_t action, const std::u16string& name) const {
    static const ChangeRecord kNone;
    const int index = Index(action, name);
    return index < 0 ? kNone : seen_[static_cast<size_t>(index)];
  }

  fs::path base_;
  fs::path root_;
  std::unique_ptr<ChangeNotifier> notifier_;
  std::unique_ptr<ChangeStream> stream_;
  std::vector<ChangeRecord> seen_;
  Win32Error last_code_ = 0;
  int settles_ = 0;
};

TEST_F(InotifyChangeNotifierTest, FileLifecycleCarriesTheExtendedFields) {
  StartWatching();
  Write(root_ / "a.txt", "hello");
  const int64_t inode = Inode(root_ / "a.txt");
  ASSERT_TRUE(CollectUntil([&] { return Index(kAdded, u"a.txt") >= 0; }));
  const ChangeRecord& added = At(kAdded, u"a.txt");
  EXPECT_EQ(added.file_id, inode);
  EXPECT_EQ(added.parent_file_id, Inode(root_));
  EXPECT_EQ(added.attributes & attr::kDirectory, 0u);
  EXPECT_NE(added.attributes, 0u);
  EXPECT_NE(added.creation_time, 0u);
  EXPECT_NE(added.last_modification_time, 0u);

  Write(root_ / "a.txt", " world", true);
  ASSERT_TRUE(CollectUntil([&] {
    const int i = Index(kModified, u"a.txt");
    return i >= 0 && seen_.back().action == kModified && seen_.back().file_size == 11;
  })) << "last code " << last_code_;

  ASSERT_EQ(unlink((root_ / "a.txt").c_str()), 0);
  ASSERT_TRUE(CollectUntil([&] { return Index(kRemoved, u"a.txt") >= 0; }));
  EXPECT_EQ(At(kRemoved, u"a.txt").file_id, inode);
  EXPECT_EQ(At(kRemoved, u"a.txt").parent_file_id, Inode(root_));
}

TEST_F(InotifyChangeNotifierTest, RepeatedWritesInOneBatchAreOneModifiedAndUnwrittenClosesNone) {
  Write(root_ / "log", "");
  Write(root_ / "untouched", "");
  StartWatching();
  // Queued before the wait, so they all come in one batch.
  for (int i = 0; i < 20; ++i) Write(root_ / "log", "0123456789", true);
  ASSERT_EQ(stream_->Issue(), 0u);
  std::vector<ChangeRecord> batch;
  ASSERT_EQ(stream_->Wait(5000, &batch), 0u);
  seen_ = batch;
  EXPECT_EQ(Count(kModified, u"log"), 1);
  EXPECT_EQ(At(kModified, u"log").file_size, 200) << "the coalesced record shows the end of the batch";

  const int fd = open((root_ / "untouched").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(chmod((root_ / "log").c_str(), 0444), 0);
  ASSERT_TRUE(CollectUntil([&] { return Index(kModified, u"log", 1) >= 0; }));
  EXPECT_NE(seen_.back().attributes & attr::kReadOnly, 0u);
  Settle();
  EXPECT_EQ(Count(kModified, u"untouched"), 0);
}

// The kernel reports what is done to an unlinked O_TMPFILE file under "#<inode>"; Windows has no
// such name, so only the link shows, as the file arriving whole.
TEST_F(InotifyChangeNotifierTest, FileMadeUnnamedThenLinkedArrivesOnceUnderItsName) {
  StartWatching();
  const int fd = open(root_.c_str(), O_TMPFILE | O_RDWR, 0644);
  if (fd < 0) GTEST_SKIP() << "no O_TMPFILE on this file system";
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  ASSERT_EQ(fchmod(fd, 0600), 0);
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  ASSERT_EQ(linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, (root_ / "made").c_str(), AT_SYMLINK_FOLLOW), 0);
  close(fd);
  Settle();
  EXPECT_EQ(Count(kAdded, u"made"), 1);
  EXPECT_EQ(At(kAdded, u"made").file_size, 4096);
  for (const ChangeRecord& record : seen_) {
    EXPECT_NE(record.name.front(), u'#') << "a record of the unnamed file, action " << record.action;
  }
}

TEST_F(InotifyChangeNotifierTest, WriteJustBeforeItsFolderIsRenamedIsStillReported) {
  fs::create_directory(root_ / "d");
  Write(root_ / "d" / "f", "");
  const int64_t inode = Inode(root_ / "d" / "f");
  StartWatching();
  Write(root_ / "d" / "f", "new content", true);
  fs::rename(root_ / "d", root_ / "e");
  ASSERT_TRUE(CollectUntil([&] { return Index(kRenamedNewName, u"e") >= 0; }));
  const int modified = Index(kModified, u"d\\f");
  ASSERT_GE(modified, 0);
  EXPECT_EQ(seen_[static_cast<size_t>(modified)].file_id, inode);
  EXPECT_LT(modified, Index(kRenamedOldName, u"d"));
}

TEST_F(InotifyChangeNotifierTest, RenameInAFolderIsOldThenNewNameAndReplacingRemovesTheTarget) {
  fs::create_directory(root_ / "d");
  Write(root_ / "d" / "x", "1");
  Write(root_ / "d" / "z", "2");
  const int64_t x = Inode(root_ / "d" / "x");
  const int64_t z = Inode(root_ / "d" / "z");
  StartWatching();

  fs::rename(root_ / "d" / "x", root_ / "d" / "y");
  ASSERT_TRUE(CollectUntil([&] { return Index(kRenamedNewName, u"d\\y") >= 0; }));
  const int old_index = Index(kRenamedOldName, u"d\\x");
  ASSERT_GE(old_index, 0);
  EXPECT_EQ(Index(kRenamedNewName, u"d\\y"), old_index + 1);
  EXPECT_EQ(At(kRenamedOldName, u"d\\x").file_id, x);
  EXPECT_EQ(At(kRenamedNewName, u"d\\y").file_id, x);
  EXPECT_EQ(At(kRenamedNewName, u"d\\y").parent_file_id, Inode(root_ / "d"));

  // Renaming over an existing file removes that one first, with its own FileId.
  fs::rename(root_ / "d" / "y", root_ / "d" / "z");
  ASSERT_TRUE(CollectUntil([&] { return Index(kRenamedNewName, u"d\\z") >= 0; }));
  const int removed = Index(kRemoved, u"d\\z");
  ASSERT_GE(removed, 0);
  EXPECT_EQ(seen_[static_cast<size_t>(removed)].file_id, z);
  EXPECT_LT(removed, Index(kRenamedOldName, u"d\\y"));
  EXPECT_EQ(At(kRenamedNewName, u"d\\z").file_id, x);
}

TEST_F(InotifyChangeNotifierTest, MoveBetweenFoldersIsRemovedThenAddedWithTheSameFileId) {
  fs::create_directory(root_ / "a");
  fs::create_directory(root_ / "b");
  Write(root_ / "a" / "f", "content");
  const int64_t inode = Inode(root_ / "a" / "f");
  StartWatching();

  fs::rename(root_ / "a" / "f", root_ / "b" / "f");
  ASSERT_TRUE(CollectUntil([&] { return Index(kAdded, u"b\\f") >= 0; }));
  const int removed = Index(kRemoved, u"a\\f");
  ASSERT_GE(removed, 0);
  EXPECT_EQ(Index(kAdded, u"b\\f"), removed + 1);
  EXPECT_EQ(At(kRemoved, u"a\\f").file_id, inode);
  EXPECT_EQ(At(kAdded, u"b\\f").file_id, inode);
  EXPECT_EQ(At(kRemoved, u"a\\f").parent_file_id, Inode(root_ / "a"));
  EXPECT_EQ(At(kAdded, u"b\\f").parent_file_id, Inode(root_ / "b"));
  EXPECT_EQ(At(kAdded, u"b\\f").file_size, 7);
}

TEST_F(InotifyChangeNotifierTest, NewFoldersAndWhatIsMadeInThemAtOnceAreReportedOnce) {
  StartWatching();
  fs::create_directories(root_ / "n" / "m");
  Write(root_ / "n" / "m" / "f", "x");
  Settle();
  EXPECT_EQ(Count(kAdded, u"n"), 1);
  EXPECT_EQ(Count(kAdded, u"n\\m"), 1);
  EXPECT_EQ(Count(kAdded, u"n\\m\\f"), 1);
  EXPECT_NE(At(kAdded, u"n").attributes & attr::kDirectory, 0u);
  EXPECT_EQ(At(kAdded, u"n\\m\\f").file_id, Inode(root_ / "n" / "m" / "f"));
  EXPECT_EQ(At(kAdded, u"n\\m\\f").parent_file_id, Inode(root_ / "n" / "m"));

  // The new folders are watched from then on.
  Write(root_ / "n" / "m" / "f", "more", true);
  ASSERT_TRUE(CollectUntil([&] { return Index(kModified, u"n\\m\\f") >= 0; }));
}

TEST_F(InotifyChangeNotifierTest, FolderMovedInReportsWhatItHolds) {
  fs::create_directories(base_ / "out" / "sub");
  Write(base_ / "out" / "sub" / "f", "deep");
  Write(base_ / "out" / "top", "");
  StartWatching();

  fs::rename(base_ / "out", root_ / "in");
  ASSERT_TRUE(CollectUntil([&] {
    return Index(kAdded, u"in") >= 0 && Index(kAdded, u"in\\sub") >= 0 &&
           Index(kAdded, u"in\\sub\\f") >= 0 && Index(kAdded, u"in\\top") >= 0;
  }));
  EXPECT_LT(Index(kAdded, u"in"), Index(kAdded, u"in\\sub"));
  EXPECT_EQ(At(kAdded, u"in\\sub\\f").file_id, Inode(root_ / "in" / "sub" / "f"));
  EXPECT_EQ(At(kAdded, u"in\\sub\\f").file_size, 4);

  Write(root_ / "in" / "sub" / "g", "");
  ASSERT_TRUE(CollectUntil([&] { return Index(kAdded, u"in\\sub\\g") >= 0; }));
}

TEST_F(InotifyChangeNotifierTest, RenamedFolderKeepsReportingAndMovedOutFolderStops) {
  fs::create_directories(root_ / "d" / "e");
  Write(root_ / "d" / "e" / "f", "1");
  const int64_t folder = Inode(root_ / "d");
  StartWatching();

  fs::rename(root_ / "d", root_ / "g");
  ASSERT_TRUE(CollectUntil([&] { return Index(kRenamedNewName, u"g") >= 0; }));
  EXPECT_EQ(At(kRenamedOldName, u"d").file_id, folder);
  Write(root_ / "g" / "e" / "f", "2", true);
  ASSERT_TRUE(CollectUntil([&] { return Index(kModified, u"g\\e\\f") >= 0; }));

  fs::rename(root_ / "g", base_ / "gone");
  ASSERT_TRUE(CollectUntil([&] { return Index(kRemoved, u"g") >= 0; }));
  EXPECT_EQ(At(kRemoved, u"g").file_id, folder);
  EXPECT_NE(At(kRemoved, u"g").attributes & attr::kDirectory, 0u);
  const size_t after_removal = seen_.size();
  Write(base_ / "gone" / "e" / "f", "3", true);
  Write(base_ / "gone" / "e" / "new", "");
  Settle();
  for (size_t i = after_removal; i < seen_.size(); ++i) {
    EXPECT_NE(seen_[i].name.substr(0, 2), u"g\\") << "a folder outside the tree is still watched";
  }
}

TEST_F(InotifyChangeNotifierTest, DeletedTreeIsReportedWithTheFileIdsItHad) {
  fs::create_directories(root_ / "t" / "u");
  Write(root_ / "t" / "u" / "v", "1");
  const int64_t t = Inode(root_ / "t"), u = Inode(root_ / "t" / "u"), v = Inode(root_ / "t" / "u" / "v");
  StartWatching();

  fs::remove_all(root_ / "t");
  ASSERT_TRUE(CollectUntil([&] { return Index(kRemoved, u"t") >= 0; }));
  EXPECT_EQ(At(kRemoved, u"t\\u\\v").file_id, v);
  EXPECT_EQ(At(kRemoved, u"t\\u\\v").parent_file_id, u);
  EXPECT_EQ(At(kRemoved, u"t\\u").file_id, u);
  EXPECT_EQ(At(kRemoved, u"t").file_id, t);
  EXPECT_LT(Index(kRemoved, u"t\\u\\v"), Index(kRemoved, u"t"));
}

TEST_F(InotifyChangeNotifierTest, BatchBeyondItsBoundIsLostChangesAndWatchingGoesOn) {
  fs::create_directory(root_ / "sub");
  // Room for about twenty records.
  StartWatching(2048);
  for (int i = 0; i < 100; ++i) Write(root_ / ("file-" + std::to_string(i)), "");
  ASSERT_EQ(stream_->Issue(), 0u);
  std::vector<ChangeRecord> batch;
  EXPECT_EQ(stream_->Wait(5000, &batch), win32::kNotifyEnumDir);
  EXPECT_TRUE(batch.empty());

  // The watch was rebuilt: changes after the loss arrive, in subfolders too.
  Write(root_ / "sub" / "later", "");
  ASSERT_TRUE(CollectUntil([&] { return Index(kAdded, u"sub\\later") >= 0; })) << last_code_;
  EXPECT_EQ(Count(kAdded, u"file-1"), 0);
}

TEST_F(InotifyChangeNotifierTest, QuietTreeTimesOutAndDeletedRootEndsTheWatch) {
  StartWatching();
  ASSERT_EQ(stream_->Issue(), 0u);
  std::vector<ChangeRecord> batch;
  EXPECT_EQ(stream_->Wait(20, &batch), win32::kWaitTimeout);

  fs::remove_all(root_);
  EXPECT_FALSE(CollectUntil([] { return false; }));
  EXPECT_EQ(last_code_, win32::kAccessDenied);
  EXPECT_EQ(stream_->Issue(), win32::kAccessDenied);
}

TEST_F(InotifyChangeNotifierTest, WatchRefusesWhatIsNoFolder) {
  auto notifier = NewInotifyChangeNotifier();
  std::unique_ptr<ChangeStream> stream;
  EXPECT_EQ(notifier->Watch(ToWin32Path((base_ / "missing").string()), &stream), win32::kFileNotFound);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(notifier->Watch(ToWin32Path((base_ / "missing" / "below").string()), &stream),
            win32::kPathNotFound);
  Write(base_ / "file", "");
  EXPECT_EQ(notifier->Watch(ToWin32Path((base_ / "file").string()), &stream), win32::kDirectory);
  EXPECT_EQ(stream, nullptr);
}

}  // namespace
}  // namespace ostrasync::platform
