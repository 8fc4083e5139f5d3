// Properties: both encodings, the code page, the state and the refusals.
#include <gtest/gtest.h>

#include <string>

#include "test_host.h"

namespace ostrasync::testing {
namespace {

std::string GetText(TestHost& host, int id) {
  const char* value = static_cast<const char*>(OstraSync_Kelvo_Get(host.handle(), id));
  return value ? value : "<null>";
}

std::u16string GetUtf16(TestHost& host, int id) {
  const auto* value = static_cast<const char16_t*>(OstraSync_Kelvo_Get(host.handle(), id));
  return value ? value : u"<null>";
}

TEST(PropertyTableTest, StringsRoundTripThroughEveryVariant) {
  TestHost host;
  ASSERT_EQ(OstraSync_Kelvo_Set(host.handle(), 10004, 0, u"C:\\Donn\u00e9es\\\U0001F600"), 0);
  EXPECT_EQ(GetText(host, 4), "C:\\Donn\xC3\xA9" "es\\\xF0\x9F\x98\x80");
  EXPECT_EQ(GetText(host, 20004), GetText(host, 4));
  EXPECT_EQ(GetUtf16(host, 10004), u"C:\\Donn\u00e9es\\\U0001F600");
  ASSERT_EQ(OstraSync_Kelvo_Set(host.handle(), 3, 0, "My Cloud"), 0);
  EXPECT_EQ(GetUtf16(host, 10003), u"My Cloud");
  ASSERT_EQ(OstraSync_Kelvo_Set(host.handle(), 2, 0, "icon.ico,1"), 0);
  ASSERT_EQ(OstraSync_Kelvo_Set(host.handle(), 2, 0, nullptr), 0);
  EXPECT_EQ(GetText(host, 2), "");
}

TEST(PropertyTableTest, CodePage1252ConvertsBothWays) {
  TestHost host;
  ASSERT_EQ(host.Config("CodePage=1252"), 0);
  EXPECT_EQ(reinterpret_cast<intptr_t>(OstraSync_Kelvo_Get(host.handle(), 8000)), 1252);
  ASSERT_EQ(OstraSync_Kelvo_Set(host.handle(), 4, 0, "C:\\caf\xE9"), 0);
  EXPECT_EQ(GetUtf16(host, 10004), u"C:\\caf\u00e9");
  EXPECT_EQ(GetText(host, 4), "C:\\caf\xE9");
}

TEST(PropertyTableTest, ReadOnlyAndUnknownIdsAreRefused) {
  TestHost host;
  for (int id : {0, 1, 5, 8000, 10000, 10001, 28000, -1}) {
    EXPECT_EQ(OstraSync_Kelvo_Set(host.handle(), id, 0, "x"), -1) << id;
    EXPECT_EQ(host.last_error_code(), -1) << id;
  }
  EXPECT_EQ(reinterpret_cast<intptr_t>(OstraSync_Kelvo_Get(host.handle(), 8000)), 65001);
}

TEST(PropertyTableTest, StateFollowsTheEngineAndLocksTheRootProperties) {
  TestHost host;
  ASSERT_EQ(OstraSync_Kelvo_Set(host.handle(), 4, 0, "C:\\old"), 0);
  EXPECT_EQ(reinterpret_cast<intptr_t>(OstraSync_Kelvo_Get(host.handle(), 1)), 0);
  engine::SyncEngineTestPeer::SetActivating(host.engine(), true);
  EXPECT_EQ(reinterpret_cast<intptr_t>(OstraSync_Kelvo_Get(host.handle(), 1)), 1);
  engine::SyncEngineTestPeer::SetActive(host.engine(), true);
  EXPECT_EQ(reinterpret_cast<intptr_t>(OstraSync_Kelvo_Get(host.handle(), 10001)), 2);
  for (int id : {2, 3, 4, 10004}) {
    EXPECT_EQ(OstraSync_Kelvo_Set(host.handle(), id, 0, id == 10004 ? static_cast<const void*>(u"x") : "x"),
              0x21000003) << id;
    EXPECT_EQ(host.last_error(), "The sync operation has already been started");
  }
  EXPECT_EQ(GetText(host, 4), "C:\\old");
  engine::SyncEngineTestPeer::SetActive(host.engine(), false);
  engine::SyncEngineTestPeer::SetActivating(host.engine(), false);
}

}  // namespace
}  // namespace ostrasync::testing
