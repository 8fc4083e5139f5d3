// A folder's names by case-folded spelling: read once, then kept current by what other programs
// do in the folder, with every change that finished before a lookup in its answer.
#include "platform/posix/folder_name_index.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/posix_file_handle.h"

namespace ostrasync::platform::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

class FolderNameIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ostrasync-names-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::string Make(const std::string& relative) {
    const std::string path = root_ + "/" + relative;
    std::ofstream(path) << "x";
    return path;
  }
  UniqueFd OpenFolder(const std::string& relative) {
    return UniqueFd(::open((root_ + "/" + relative).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  std::vector<std::string> Names(int dir_fd, const std::u16string& name) {
    std::vector<std::string> names;
    EXPECT_TRUE(index_.NamesFoldingTo(dir_fd, FoldedName(name), &names));
    return names;
  }

  std::string root_;
  FolderNameIndex index_;
};

TEST_F(FolderNameIndexTest, ReadsAFolderOnceAndSeesEveryChangeMadeSince) {
  std::filesystem::create_directory(root_ + "/d");
  Make("d/Alpha.txt");
  Make("d/beta");
  const UniqueFd d = OpenFolder("d");
  ASSERT_TRUE(d.valid());
  EXPECT_THAT(Names(d.get(), u"ALPHA.TXT"), ElementsAre("Alpha.txt"));
  EXPECT_THAT(Names(d.get(), u"gamma"), IsEmpty());

  Make("d/GAMMA");
  EXPECT_THAT(Names(d.get(), u"gamma"), ElementsAre("GAMMA"));
  std::filesystem::rename(root_ + "/d/Alpha.txt", root_ + "/d/alpha.TXT");
  EXPECT_THAT(Names(d.get(), u"Alpha.txt"), ElementsAre("alpha.TXT"));
  std::filesystem::remove(root_ + "/d/beta");
  EXPECT_THAT(Names(d.get(), u"BETA"), IsEmpty());
  Make("d/Beta");
  std::filesystem::create_directory(root_ + "/d/BETA");
  EXPECT_THAT(Names(d.get(), u"beta"), UnorderedElementsAre("Beta", "BETA"));
  // Moved in from elsewhere and out again.
  Make("outside");
  std::filesystem::rename(root_ + "/outside", root_ + "/d/Caf\xc3\xa9");
  EXPECT_THAT(Names(d.get(), u"CAF\u00c9"), ElementsAre("Caf\xc3\xa9"));
  std::filesystem::rename(root_ + "/d/Caf\xc3\xa9", root_ + "/elsewhere");
  EXPECT_THAT(Names(d.get(), u"caf\u00e9"), IsEmpty());

  EXPECT_EQ(index_.FolderReads(), 1u);
}

TEST_F(FolderNameIndexTest, AFolderIsKnownByItselfNotByItsPath) {
  std::filesystem::create_directory(root_ + "/d");
  Make("d/old");
  UniqueFd first = OpenFolder("d");
  EXPECT_THAT(Names(first.get(), u"OLD"), ElementsAre("old"));
  // Another folder takes the path; the first one lives on elsewhere.
  std::filesystem::rename(root_ + "/d", root_ + "/moved");
  std::filesystem::create_directory(root_ + "/d");
  Make("d/new");
  const UniqueFd second = OpenFolder("d");
  EXPECT_THAT(Names(second.get(), u"OLD"), IsEmpty());
  EXPECT_THAT(Names(second.get(), u"NEW"), ElementsAre("new"));
  EXPECT_THAT(Names(first.get(), u"OLD"), ElementsAre("old"));
  EXPECT_EQ(index_.FolderCount(), 2u);

  // A folder removed is forgotten (once nothing holds it open, when the kernel lets it go).
  first.Reset(-1);
  std::filesystem::remove_all(root_ + "/moved");
  EXPECT_THAT(Names(second.get(), u"new"), ElementsAre("new"));
  EXPECT_EQ(index_.FolderCount(), 1u);
  EXPECT_EQ(index_.FolderReads(), 2u);
}

TEST_F(FolderNameIndexTest, KeepsTheMostRecentFoldersAndReadsAnEvictedOneAgain) {
  std::vector<UniqueFd> folders;
  for (size_t i = 0; i <= FolderNameIndex::kMaxFolders; ++i) {
    const std::string name = "f" + std::to_string(i);
    std::filesystem::create_directory(root_ + "/" + name);
    Make(name + "/item");
    folders.push_back(OpenFolder(name));
    EXPECT_THAT(Names(folders.back().get(), u"ITEM"), ElementsAre("item"));
  }
  EXPECT_EQ(index_.FolderCount(), FolderNameIndex::kMaxFolders);
  const uint64_t reads = index_.FolderReads();
  EXPECT_THAT(Names(folders.back().get(), u"ITEM"), ElementsAre("item"));
  EXPECT_EQ(index_.FolderReads(), reads);
  Make("f0/other");  // made while f0 was not watched
  EXPECT_THAT(Names(folders.front().get(), u"OTHER"), ElementsAre("other"));
  EXPECT_EQ(index_.FolderReads(), reads + 1);
}

TEST_F(FolderNameIndexTest, ChangesLostToAFullEventQueueMakeTheFolderReadAgain) {
  int limit = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  if (limit <= 0 || limit > 100000) GTEST_SKIP() << "inotify queue limit " << limit;
  std::filesystem::create_directory(root_ + "/d");
  const UniqueFd d = OpenFolder("d");
  EXPECT_THAT(Names(d.get(), u"last"), IsEmpty());
  for (int i = 0; i <= limit; ++i) {
    const int fd = ::open((root_ + "/d/n" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  Make("d/LAST");
  EXPECT_THAT(Names(d.get(), u"last"), ElementsAre("LAST"));
  EXPECT_EQ(index_.FolderReads(), 2u);
}

}  // namespace
}  // namespace ostrasync::platform::testing
