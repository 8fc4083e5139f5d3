// Tests of the system message texts and thread ids.
#include "platform/system_info.h"

#include <gtest/gtest.h>

#include <thread>

namespace ostrasync::platform {
namespace {

TEST(SystemMessage, GivesTheEnglishWindowsTextWithoutLineEnd) {
  if (!SystemMessagesAreWindowsTexts()) GTEST_SKIP() << "this system's message texts are not the Windows ones";
  EXPECT_EQ(SystemMessage(2), "The system cannot find the file specified.");
  EXPECT_EQ(SystemMessage(5), "Access is denied.");
  EXPECT_EQ(SystemMessage(380), "The cloud operation is invalid.");
  EXPECT_EQ(SystemMessage(0x80010106), "Cannot change thread mode after it is set.");
  // An HRESULT wrapping a Win32 error reads as that error.
  EXPECT_EQ(SystemMessage(0x80070002), SystemMessage(2));
  EXPECT_EQ(SystemMessage(0x80070057), "The parameter is incorrect.");
  EXPECT_EQ(SystemMessage(0x8007017F), "The cloud sync provider failed to validate the downloaded data.");
}

TEST(SystemMessage, UnknownCodesHaveNoText) {
  // Codes with the customer bit set are never the system's.
  EXPECT_EQ(SystemMessage(0x20001234), "");
  EXPECT_EQ(SystemMessageUtf16(0x20001234), u"");
}

TEST(SystemMessage, Utf16TextHasNoLineEnd) {
  const std::u16string text = SystemMessageUtf16(2);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), u'\n');
  EXPECT_NE(text.back(), u'\r');
}

TEST(CurrentThreadId, StableWithinAThreadAndDistinctAcrossThreads) {
  const uint32_t mine = CurrentThreadId();
  EXPECT_NE(mine, 0u);
  EXPECT_EQ(CurrentThreadId(), mine);
  uint32_t other = 0;
  std::thread([&other] { other = CurrentThreadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, mine);
}

}  // namespace
}  // namespace ostrasync::platform
