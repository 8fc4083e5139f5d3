// The host's item paths and attributes: what may name an item below the root, how paths split
// and join, and how item attributes map to the file system's.
#include <gtest/gtest.h>

#include "items/item_paths.h"
#include "ostrasync.h"
#include "platform/win32_terms.h"

namespace ostrasync::items {
namespace {

namespace attr = platform::attr;

TEST(ItemPathsTest, OnlyPlainItemNamesBelowTheRootAreSafe) {
  for (const char16_t* path : {u"\\", u"\\a", u"\\dir\\file.txt", u"\\a b\\...x", u"\\.hidden", u"\\~$lock.docx"}) {
    EXPECT_TRUE(IsSafeLocalPath(path)) << std::string(path, path + std::char_traits<char16_t>::length(path));
  }
  // Each of these climbs out of the root, names the root's sibling, reaches a stream, or names
  // another item than it seems to once Windows trims it.
  for (const char16_t* path :
       {u"", u"x", u"..\\x", u"\\..", u"\\.", u"\\..\\x", u"\\a\\..\\..\\x", u"\\a/..", u"/a", u"\\a:s",
        u"\\a\\\\b", u"\\a\\", u"\\...", u"\\a.", u"\\a ", u"\\.. \\x", u"\\a\tb", u"\\a*", u"\\a?", u"\\a|b",
        u"\\\"a\"", u"\\<a>"}) {
    EXPECT_FALSE(IsSafeLocalPath(path)) << std::string(path, path + std::char_traits<char16_t>::length(path));
  }
  EXPECT_FALSE(IsSafeLocalPath(std::u16string(u"\\a\0b", 4)));
}

TEST(ItemPathsTest, SplitAndJoinNeverDoubleOrDropASeparator) {
  std::u16string dir, name;
  ASSERT_TRUE(ExtractFileDirAndName(u"\\dir\\sub\\file.txt", &dir, &name));
  EXPECT_EQ(dir, u"\\dir\\sub");
  EXPECT_EQ(name, u"file.txt");
  ASSERT_TRUE(ExtractFileDirAndName(u"\\file.txt", &dir, &name));
  EXPECT_EQ(dir, u"\\");
  EXPECT_EQ(name, u"file.txt");
  EXPECT_FALSE(ExtractFileDirAndName(u"file.txt", &dir, &name));

  EXPECT_EQ(JoinPath(u"C:\\Root", u"\\a"), u"C:\\Root\\a");
  EXPECT_EQ(JoinPath(u"C:\\Root\\", u"\\a"), u"C:\\Root\\a");
  EXPECT_EQ(JoinPath(u"C:\\Root", u"a"), u"C:\\Root\\a");
  EXPECT_EQ(JoinPath(u"\\", u"a"), u"\\a");
  EXPECT_EQ(JoinPath(u"C:\\Root", u""), u"C:\\Root");
}

TEST(ItemPathsTest, AttributesMapBothWaysWithPinnedWinning) {
  EXPECT_EQ(ItemToWindowsAttributes(0), attr::kNormal);
  EXPECT_EQ(ItemToWindowsAttributes(OSTRASYNC_ATTR_READ_ONLY | OSTRASYNC_ATTR_HIDDEN | OSTRASYNC_ATTR_SYSTEM),
            attr::kReadOnly | attr::kHidden | attr::kSystem);
  EXPECT_EQ(ItemToWindowsAttributes(OSTRASYNC_ATTR_FOLDER), attr::kDirectory);
  EXPECT_EQ(ItemToWindowsAttributes(OSTRASYNC_ATTR_PINNED | OSTRASYNC_ATTR_UNPINNED), attr::kPinned);
  EXPECT_EQ(ItemToWindowsAttributes(OSTRASYNC_ATTR_UNPINNED), attr::kUnpinned);

  EXPECT_EQ(WindowsToItemAttributes(attr::kNormal), 0u);
  EXPECT_EQ(WindowsToItemAttributes(attr::kArchive | attr::kReparsePoint | attr::kOffline), 0u);
  EXPECT_EQ(WindowsToItemAttributes(attr::kPinned | attr::kUnpinned | attr::kDirectory),
            static_cast<uint32_t>(OSTRASYNC_ATTR_PINNED | OSTRASYNC_ATTR_FOLDER));
  for (uint32_t item : {0x2u, 0x4u, 0x8u, 0x100000u, 0x200000u, 0x40000000u, 0x4010000Eu}) {
    EXPECT_EQ(WindowsToItemAttributes(ItemToWindowsAttributes(item)), item) << std::hex << item;
  }
}

}  // namespace
}  // namespace ostrasync::items
