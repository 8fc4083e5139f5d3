// SyncRootPath normalisation, the ItemDomain name rule and the volume-relative root.
#include <gtest/gtest.h>

#include "engine/sync_root_path.h"

namespace ostrasync::engine {
namespace {

TEST(SyncRootPathTest, NormalisesSeparatorsDotsAndTrailingSlash) {
  EXPECT_EQ(NormalizeSyncRootPath(u"C:/Users//me/./Cloud/"), u"C:\\Users\\me\\Cloud");
  EXPECT_EQ(NormalizeSyncRootPath(u"C:\\a\\b\\..\\..\\..\\c"), u"C:\\c") << ".. never removes the drive";
  EXPECT_EQ(NormalizeSyncRootPath(u"C:\\"), u"C:\\");
  EXPECT_EQ(NormalizeSyncRootPath(u"C:"), u"C:");
  EXPECT_EQ(NormalizeSyncRootPath(u"C:a\\.\\b"), u"C:a\\b");
  EXPECT_EQ(NormalizeSyncRootPath(u"/home/me/../you/Cloud"), u"\\home\\you\\Cloud");
  EXPECT_EQ(NormalizeSyncRootPath(u"relative\\x\\"), u"relative\\x");
  EXPECT_EQ(NormalizeSyncRootPath(u""), u"");
}

TEST(SyncRootPathTest, KeepsLongAndNetworkPrefixes) {
  EXPECT_EQ(NormalizeSyncRootPath(u"\\\\?\\C:\\a\\..\\Cloud\\"), u"\\\\?\\C:\\Cloud");
  EXPECT_EQ(NormalizeSyncRootPath(u"\\\\server\\share\\..\\x"), u"\\\\server\\share\\x");
  EXPECT_EQ(NormalizeSyncRootPath(u"//server/share/dir/"), u"\\\\server\\share\\dir");
  EXPECT_EQ(NormalizeSyncRootPath(u"\\\\?\\UNC\\server\\share\\..\\..\\d"), u"\\\\?\\UNC\\server\\share\\d");
}

TEST(SyncRootPathTest, ItemDomainIsOnePlainName) {
  EXPECT_TRUE(IsSingleNameComponent(u"Team"));
  EXPECT_TRUE(IsSingleNameComponent(u"a.b c"));
  for (const char16_t* bad : {u"", u".", u"..", u"a\\b", u"a/b", u"C:", u"x*", u"trailing.", u"trailing ", u"con",
                              u"NUL.txt", u"LPT1", u"a\tb"}) {
    EXPECT_FALSE(IsSingleNameComponent(bad)) << std::u16string(bad).size();
  }
  EXPECT_EQ(JoinRootAndDomain(u"C:\\", u"d"), u"C:\\d");
  EXPECT_EQ(JoinRootAndDomain(u"C:\\r", u""), u"C:\\r");
}

TEST(SyncRootPathTest, VolumeRelativeFolder) {
  EXPECT_EQ(VolumeRelativeFolder(u"C:\\Users\\me"), u"\\Users\\me\\");
  EXPECT_EQ(VolumeRelativeFolder(u"\\\\?\\C:\\Cloud\\"), u"\\Cloud\\");
  EXPECT_EQ(VolumeRelativeFolder(u"\\\\server\\share\\dir"), u"\\dir\\");
  EXPECT_EQ(VolumeRelativeFolder(u"\\home\\me"), u"\\home\\me\\");
}

}  // namespace
}  // namespace ostrasync::engine
