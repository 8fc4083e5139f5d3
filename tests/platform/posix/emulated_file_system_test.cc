// The Linux file system answers in Win32 terms: names Windows refuses, missing paths told apart,
// wildcard listings, rename and folder refusals, attributes kept across handles.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "platform/posix/windows_attributes.h"
#include "platform/posix/placeholder_xattrs.h"
#include "emulated_fixture.h"

namespace ostrasync::platform::testing {
namespace {

TEST(EmulatedPathMapping, MapsRootedPathsAndRefusesWindowsInvalidNames) {
  std::string posix;
  EXPECT_EQ(ToPosixPath(u"\\home\\me\\Cloud\\a.txt", &posix), 0u);
  EXPECT_EQ(posix, "/home/me/Cloud/a.txt");
  EXPECT_EQ(ToPosixPath(u"\\home\\\\me\\.\\x\\..\\Cloud/b", &posix), 0u);
  EXPECT_EQ(posix, "/home/me/Cloud/b");
  EXPECT_EQ(ToWin32Path("/home/me/Cloud/a.txt"), u"\\home\\me\\Cloud\\a.txt");
  EXPECT_EQ(ToPosixPath(u"relative\\a", &posix), win32::kPathNotFound);
  for (const char16_t* bad : {u"\\a\\b:c", u"\\a\\b*", u"\\a\\q?", u"\\a\\x\"y", u"\\a\\<", u"\\a\\|",
                              u"\\a\\dot.", u"\\a\\space ", u"\\a\\CON", u"\\a\\con.txt", u"\\a\\LPT1",
                              u"\\a\\com9.log", u"\\a\\NUL  ", u"\\a\\tab\t"}) {
    EXPECT_EQ(ToPosixPath(bad, &posix), win32::kInvalidName) << Utf16ToUtf8(bad);
  }
  EXPECT_FALSE(IsInvalidWin32Name(u"CONSOLE"));
  EXPECT_FALSE(IsInvalidWin32Name(u"COM10"));
  EXPECT_EQ(ToPosixPath(u"\\caf\u00e9", &posix), 0u);
  EXPECT_EQ(posix, "/caf\xc3\xa9");
}

TEST(EmulatedPathMapping, ErrnoValuesBecomeTheirWin32Codes) {
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT), win32::kFileNotFound);
  EXPECT_EQ(Win32ErrorFromErrno(EEXIST), win32::kAlreadyExists);
  EXPECT_EQ(Win32ErrorFromErrno(ENOTEMPTY), win32::kDirNotEmpty);
  EXPECT_EQ(Win32ErrorFromErrno(EACCES), win32::kAccessDenied);
}

TEST(EmulatedRanges, MergeSplitAndCover) {
  std::vector<FileRange> r;
  xattrs::AddRange(&r, 8192, 4096);
  xattrs::AddRange(&r, 0, 4096);
  xattrs::AddRange(&r, 4096, 4096);  // bridges the two
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].length, 12288);
  xattrs::RemoveRange(&r, 4096, 100);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_FALSE(xattrs::Covers(r, 0, 8192));
  EXPECT_TRUE(xattrs::Covers(r, 4196, 8092));
  EXPECT_EQ(xattrs::BytesIn(r), 12288 - 100);
  xattrs::ClipRanges(&r, 5000);
  EXPECT_EQ(xattrs::BytesIn(r), 4096 + 804);
}

class EmulatedFileSystem : public EmulatedTest {};

TEST_F(EmulatedFileSystem, MissingFileAndMissingFolderAreToldApart) {
  uint32_t attributes = 0;
  EXPECT_EQ(fs_->ReadAttributes(In("nothing"), &attributes), win32::kFileNotFound);
  EXPECT_EQ(attributes, attr::kInvalid);
  EXPECT_EQ(fs_->ReadAttributes(In("no/thing"), &attributes), win32::kPathNotFound);
  EXPECT_EQ(fs_->ReadAttributes(In("bad|name"), &attributes), win32::kInvalidName);
  FileHandlePtr handle;
  EXPECT_EQ(fs_->Open(In("no/thing"), OpenRequest{}, &handle), win32::kPathNotFound);
  EXPECT_EQ(handle, nullptr);
}

TEST_F(EmulatedFileSystem, FoldersOpenOnlyWithBackupSemanticsAndRefuseRemovalWhenNotEmpty) {
  EXPECT_EQ(fs_->MakeFolder(In("d")), 0u);
  EXPECT_EQ(fs_->MakeFolder(In("d")), win32::kAlreadyExists);
  EXPECT_EQ(fs_->MakeFolder(In("x/y")), win32::kPathNotFound);
  FileHandlePtr handle;
  EXPECT_EQ(fs_->Open(In("d"), OpenRequest{}, &handle), win32::kAccessDenied);
  std::ofstream(root_ + "/d/f") << "x";
  EXPECT_EQ(fs_->RemoveFolder(In("d")), win32::kDirNotEmpty);
  EXPECT_EQ(fs_->RemoveFile(In("d")), win32::kAccessDenied);
  EXPECT_EQ(fs_->RemoveFolder(In("d/f")), win32::kDirectory);
  EXPECT_EQ(fs_->RemoveFile(In("d/f")), 0u);
  EXPECT_EQ(fs_->RemoveFolder(In("d")), 0u);
}

TEST_F(EmulatedFileSystem, RenameReplacesOnlyWhenAsked) {
  std::ofstream(root_ + "/a") << "aaa";
  std::ofstream(root_ + "/b") << "b";
  EXPECT_EQ(fs_->Rename(In("a"), In("b"), false), win32::kAlreadyExists);
  EXPECT_EQ(fs_->Rename(In("a"), In("b"), true), 0u);
  EXPECT_EQ(fs_->Rename(In("b"), In("B"), false), 0u);  // another case of the same name
  EXPECT_EQ(fs_->Rename(In("gone"), In("c"), false), win32::kFileNotFound);
  FileHandlePtr handle = OpenItem(In("B"));
  int64_t size = 0;
  EXPECT_EQ(fs_->FileSize(*handle, &size), 0u);
  EXPECT_EQ(size, 3);
}

TEST_F(EmulatedFileSystem, FindMatchesWildcardsIgnoringCaseWithDotEntries) {
  std::ofstream(root_ + "/Report.TXT") << "r";
  std::ofstream(root_ + "/notes.md") << "n";
  std::filesystem::create_directory(root_ + "/sub");
  std::vector<FindData> entries;
  ASSERT_EQ(fs_->Find(In("*"), &entries), 0u);
  std::vector<std::u16string> names;
  for (const FindData& e : entries) names.push_back(e.name);
  EXPECT_THAT(names, ::testing::UnorderedElementsAre(u".", u"..", u"Report.TXT", u"notes.md", u"sub"));
  ASSERT_EQ(fs_->Find(In("*.txt"), &entries), 0u);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, u"Report.TXT");
  EXPECT_EQ(entries[0].file_size, 1);
  ASSERT_EQ(fs_->Find(In("n?tes.*"), &entries), 0u);
  EXPECT_EQ(entries.size(), 1u);
  EXPECT_EQ(fs_->Find(In("*.none"), &entries), win32::kFileNotFound);
  EXPECT_EQ(fs_->Find(In("missing/*"), &entries), win32::kPathNotFound);
  EXPECT_TRUE(MatchesWin32Pattern(u"*\u00e9*", u"CAF\u00c9"));
}

TEST_F(EmulatedFileSystem, FindOfOneNameAnswersInAnySpellingAndKeepsUpWithChanges) {
  std::ofstream(root_ + "/Report.TXT") << "r";
  auto names = [&](const char* pattern) {
    std::vector<FindData> entries;
    std::vector<std::u16string> found;
    if (fs_->Find(In(pattern), &entries) == 0) {
      for (const FindData& e : entries) found.push_back(e.name);
    }
    return found;
  };
  EXPECT_THAT(names("Report.TXT"), ::testing::ElementsAre(u"Report.TXT"));
  EXPECT_THAT(names("REPORT.txt"), ::testing::ElementsAre(u"Report.TXT"));
  EXPECT_THAT(names("other"), ::testing::IsEmpty());
  // Made, renamed and removed by other programs between two searches: each search sees it.
  std::ofstream(root_ + "/OTHER") << "o";
  EXPECT_THAT(names("other"), ::testing::ElementsAre(u"OTHER"));
  std::filesystem::rename(root_ + "/Report.TXT", root_ + "/report.txt");
  EXPECT_THAT(names("REPORT.TXT"), ::testing::ElementsAre(u"report.txt"));
  std::filesystem::remove(root_ + "/report.txt");
  EXPECT_THAT(names("Report.TXT"), ::testing::IsEmpty());
  // Where Linux holds two spellings, the one asked for wins; another spelling finds both.
  std::ofstream(root_ + "/other") << "o";
  EXPECT_THAT(names("other"), ::testing::ElementsAre(u"other"));
  EXPECT_THAT(names("Other"), ::testing::UnorderedElementsAre(u"other", u"OTHER"));
  std::vector<FindData> entries;
  EXPECT_EQ(fs_->Find(In("missing/other"), &entries), win32::kPathNotFound);
  EXPECT_EQ(fs_->Find(In("."), &entries), 0u);
  EXPECT_EQ(entries.size(), 1u);
}

TEST_F(EmulatedFileSystem, FolderIsEmptyWithOnlyItsDotEntries) {
  std::filesystem::create_directory(root_ + "/d");
  bool empty = false;
  ASSERT_EQ(fs_->IsFolderEmpty(In("d"), &empty), 0u);
  EXPECT_TRUE(empty);
  std::ofstream(root_ + "/d/f") << "";
  ASSERT_EQ(fs_->IsFolderEmpty(In("d"), &empty), 0u);
  EXPECT_FALSE(empty);
  EXPECT_EQ(fs_->IsFolderEmpty(In("missing"), &empty), win32::kPathNotFound);
  EXPECT_EQ(fs_->IsFolderEmpty(In("d/f"), &empty), win32::kPathNotFound);
  EXPECT_FALSE(empty);
}

TEST_F(EmulatedFileSystem, AttributesTimesAndIdentityOfAFile) {
  std::ofstream(root_ + "/f") << "hello";
  EXPECT_EQ(fs_->WriteAttributes(In("f"), attr::kHidden | attr::kSystem | attr::kReadOnly), 0u);
  uint32_t attributes = 0;
  ASSERT_EQ(fs_->ReadAttributes(In("f"), &attributes), 0u);
  EXPECT_EQ(attributes, attr::kHidden | attr::kSystem | attr::kReadOnly);
  // Read-only holds even for a privileged process, as on Windows.
  EXPECT_EQ(fs_->RemoveFile(In("f")), win32::kAccessDenied);
  FileHandlePtr denied;
  OpenRequest write;
  write.desired_access = access::kGenericWrite;
  EXPECT_EQ(fs_->Open(In("f"), write, &denied), win32::kAccessDenied);
  EXPECT_EQ(fs_->WriteAttributes(In("f"), attr::kNormal), 0u);
  ASSERT_EQ(fs_->ReadAttributes(In("f"), &attributes), 0u);
  EXPECT_EQ(attributes, attr::kNormal);

  FileHandlePtr handle = OpenItem(In("f"), access::kGenericRead | access::kWriteAttributes);
  FsMetadata basic;
  basic.creation_time = 132000000000000000ULL;
  basic.last_write_time = 133000000000000000ULL;
  ASSERT_EQ(fs_->WriteBasicInformation(*handle, basic), 0u);
  FileInformation info;
  ASSERT_EQ(fs_->ReadInformation(*handle, &info), 0u);
  struct stat st;
  ASSERT_EQ(stat((root_ + "/f").c_str(), &st), 0);
  EXPECT_EQ(info.file_index, st.st_ino);
  EXPECT_EQ(info.volume_serial, static_cast<uint32_t>(st.st_dev));
  EXPECT_EQ(info.creation_time, basic.creation_time);
  EXPECT_EQ(info.last_write_time, basic.last_write_time);
  EXPECT_EQ(info.file_size, 5);
  std::vector<uint8_t> buffer(10);
  uint32_t read = 0;
  ASSERT_EQ(fs_->ReadAt(*handle, 1, buffer, &read), 0u);
  EXPECT_EQ(read, 4u);
  std::u16string long_path;
  ASSERT_EQ(fs_->LongPath(In("./f"), &long_path), 0u);
  EXPECT_EQ(long_path, In("f"));
}

}  // namespace
}  // namespace ostrasync::platform::testing
