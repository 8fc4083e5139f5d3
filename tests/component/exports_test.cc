// The exported functions as a host sees them: null handles, a new component, Destroy's guard.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "test_host.h"

namespace ostrasync::testing {
namespace {

TEST(ExportsTest, NullHandleGetsTheFixedAnswerFromEveryExport) {
  EXPECT_EQ(OstraSync_Kelvo_Destroy(nullptr), 0);
  EXPECT_EQ(OstraSync_Kelvo_Do(nullptr, 3, 0, nullptr, nullptr), 200);
  EXPECT_EQ(OstraSync_Kelvo_Get(nullptr, 0), nullptr);
  EXPECT_EQ(OstraSync_Kelvo_Set(nullptr, 4, 0, "x"), 200);
  EXPECT_EQ(OstraSync_Kelvo_CheckIndex(nullptr, 0, 0), 200);
  EXPECT_EQ(OstraSync_Kelvo_GetLastError(nullptr), nullptr);
  EXPECT_EQ(OstraSync_Kelvo_GetLastErrorCode(nullptr), 200);
  EXPECT_EQ(OstraSync_Kelvo_SetLastErrorAndCode(nullptr, 1, "x"), 200);
  EXPECT_EQ(OstraSync_Kelvo_GetEventError(nullptr), nullptr);
  EXPECT_EQ(OstraSync_Kelvo_GetEventErrorCode(nullptr), 200);
  EXPECT_EQ(OstraSync_Kelvo_SetEventErrorAndCode(nullptr, 1, "x"), 200);
  EXPECT_EQ(OstraSync_EvtStr(nullptr, 0, nullptr, 1), nullptr);
  EXPECT_EQ(OstraSync_Kelvo_StaticInit(nullptr), 0);
}

TEST(ExportsTest, NewComponentIsBlankWithUtf8CodePage) {
  TestHost host;
  ASSERT_NE(host.handle(), nullptr);
  EXPECT_EQ(reinterpret_cast<intptr_t>(OstraSync_Kelvo_Get(host.handle(), 8000)), 65001);
  for (int id : {2, 3, 4}) EXPECT_STREQ(static_cast<const char*>(OstraSync_Kelvo_Get(host.handle(), id)), "") << id;
  EXPECT_EQ(OstraSync_Kelvo_CheckIndex(host.handle(), 123, 456), 0);
  EXPECT_EQ(host.last_error_code(), 0);
  EXPECT_EQ(host.last_error(), "");
  // Create's own CodePage write must not leave a stray last error.
  OstraSync_Kelvo_SetLastErrorAndCode(host.handle(), 77, "seven");
  EXPECT_STREQ(static_cast<const char*>(OstraSync_Kelvo_Get(host.handle(), 0)), "OSTRASYNC_VERSION_24_0_9557");
  EXPECT_EQ(host.last_error_code(), 77);  // the version leaves the last error alone
  EXPECT_EQ(OstraSync_Kelvo_Get(host.handle(), 7), nullptr);
  EXPECT_EQ(host.last_error_code(), 0);  // any other read clears it
}

TEST(ExportsTest, HandlerCannotDestroyTheComponentCallingIt) {
  TestHost host;
  int destroy_result = 0;
  host.set_handler([&](int id, int, void**) {
    if (id == OSTRASYNC_EVENT_ERROR) destroy_result = OstraSync_Kelvo_Destroy(host.handle());
    return 0;
  });
  host.engine().FireErrorEvent(0x21000040, "backend down");
  EXPECT_EQ(destroy_result, -1);
  // Still alive and answering.
  EXPECT_EQ(host.Query("MajorVersion"), "24");
}

TEST(ExportsTest, EventErrorWithNullTextKeepsCodeOnThatThreadOnly) {
  TestHost host;
  EXPECT_EQ(OstraSync_Kelvo_SetEventErrorAndCode(host.handle(), 5, nullptr), 5);
  EXPECT_STREQ(OstraSync_Kelvo_GetEventError(host.handle()), "");
  EXPECT_EQ(OstraSync_Kelvo_GetEventErrorCode(host.handle()), 5);
  std::thread([&] { EXPECT_EQ(OstraSync_Kelvo_GetEventErrorCode(host.handle()), 0); }).join();
}

}  // namespace
}  // namespace ostrasync::testing
