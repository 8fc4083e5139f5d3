// Checks that log texts expand as the Windows wsprintfW would expand them, within the size cap.
#include "engine/log_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace ostrasync::engine {
namespace {

std::u16string Format(std::u16string_view format, std::initializer_list<LogArg> args) {
  return FormatLogMessage(format, args);
}

TEST(LogFormatTest, ConvertsEachIntegerTypeAsWsprintfDoes) {
  EXPECT_EQ(Format(u"%d %i %u", {int32_t{-42}, int32_t{7}, uint32_t{4000000000u}}),
            u"-42 7 4000000000");
  EXPECT_EQ(Format(u"%d", {int32_t{INT_MIN}}), u"-2147483648");
  EXPECT_EQ(Format(u"%x", {int32_t{-1}}), u"ffffffff");
  EXPECT_EQ(Format(u"%X %lx", {uint32_t{0xBEEFu}, uint32_t{0xABCu}}), u"BEEF abc");
  EXPECT_EQ(Format(u"%08X", {uint32_t{0x1A2Bu}}), u"00001A2B");
  EXPECT_EQ(Format(u"%04hX", {uint32_t{0x12345u}}), u"2345");
  EXPECT_EQ(Format(u"%hd %hu", {int32_t{0xFFFF}, int32_t{-1}}), u"-1 65535");
  EXPECT_EQ(Format(u"%I64u", {UINT64_MAX}), u"18446744073709551615");
  EXPECT_EQ(Format(u"%I64d", {INT64_MIN}), u"-9223372036854775808");
  EXPECT_EQ(
      Format(u"%I64x %I64X", {uint64_t{0x123456789ABCDEFull}, uint64_t{0xFEDCBA9876543210ull}}),
      u"123456789abcdef FEDCBA9876543210");
  EXPECT_EQ(Format(u"%u", {uint32_t{0}}), u"0");
}

TEST(LogFormatTest, AdaptsArgumentWidthToTheConversion) {
  // A 32-bit conversion reads the low half of a 64-bit argument.
  EXPECT_EQ(Format(u"%u %x", {uint64_t{0x100000005ull}, int64_t{-2}}), u"5 fffffffe");
  // A 64-bit conversion widens a 32-bit argument, keeping the sign of a signed one.
  EXPECT_EQ(Format(u"%I64d %I64x", {int32_t{-5}, int32_t{-1}}), u"-5 ffffffffffffffff");
  EXPECT_EQ(Format(u"%I64u", {uint32_t{0xFFFFFFFFu}}), u"4294967295");
}

TEST(LogFormatTest, AppliesWidthFlagsAndPrecision) {
  EXPECT_EQ(Format(u"[%5d]", {int32_t{42}}), u"[   42]");
  EXPECT_EQ(Format(u"[%-5d]", {int32_t{42}}), u"[42   ]");
  EXPECT_EQ(Format(u"[%05d]", {int32_t{-42}}), u"[-0042]");
  EXPECT_EQ(Format(u"[%-05d]", {int32_t{42}}), u"[42   ]");
  EXPECT_EQ(Format(u"[%2d]", {int32_t{12345}}), u"[12345]");
  EXPECT_EQ(Format(u"[%6s|%-6s]", {u"ab", u"cd"}), u"[    ab|cd    ]");
  EXPECT_EQ(Format(u"[%.3s]", {u"abcdef"}), u"[abc]");
  EXPECT_EQ(Format(u"[%5.2s]", {u"abcdef"}), u"[   ab]");
  EXPECT_EQ(Format(u"[%.5d]", {int32_t{-42}}), u"[-00042]");
  // A precision never leaves half of a surrogate pair.
  EXPECT_EQ(Format(u"%.2s", {u"a\U0001F600"}), u"a");
}

TEST(LogFormatTest, CopiesLiteralsPercentsAndUnknownConversions) {
  EXPECT_EQ(Format(u"100%% of %s", {u"C:\\x"}), u"100% of C:\\x");
  EXPECT_EQ(Format(u"a %q b %5y c", {int32_t{1}}), u"a %q b %5y c");
  EXPECT_EQ(Format(u"%I32d and %d", {int32_t{3}}), u"%I32d and 3");
  EXPECT_EQ(Format(u"trailing %", {}), u"trailing %");
  EXPECT_EQ(Format(u"trailing %-08", {}), u"trailing %-08");
  EXPECT_EQ(Format(u"cut %I64", {uint64_t{1}}), u"cut %I64");
  EXPECT_EQ(Format(u"", {int32_t{1}}), u"");
}

TEST(LogFormatTest, PrintsNothingForMissingOrMismatchedArguments) {
  EXPECT_EQ(Format(u"[%s][%d]", {}), u"[][]");
  // A mismatched argument is used up, so the following ones stay in step.
  EXPECT_EQ(Format(u"[%s][%d][%u]", {int32_t{1}, u"x", uint32_t{3}}), u"[][][3]");
  EXPECT_EQ(Format(u"[%5s][%05d]", {uint32_t{1}, u"x"}), u"[][]");
  EXPECT_EQ(Format(u"[%s]", {static_cast<const char16_t*>(nullptr)}), u"[]");
  EXPECT_EQ(Format(u"%d %d", {int32_t{1}}), u"1 ");
}

TEST(LogFormatTest, CutsLongOutputAtTheCap) {
  const std::u16string path(40000, u'p');
  const std::u16string out = Format(u"File %s done", {path});
  ASSERT_EQ(out.size(), kMaxLogMessageUnits);
  EXPECT_EQ(out.substr(0, 5), u"File ");
  EXPECT_EQ(out.back(), u'p');

  // A huge width cannot overflow its count or run past the cap.
  EXPECT_EQ(Format(u"%99999999999999999999999d", {int32_t{1}}).size(), kMaxLogMessageUnits);
  EXPECT_EQ(Format(u"%-99999999999999999999999s", {u"a"}).size(), kMaxLogMessageUnits);
}

TEST(LogFormatTest, CutDropsASurrogatePairItWouldSplit) {
  // The pair straddles the cap: both halves go.
  std::u16string text(kMaxLogMessageUnits - 1, u'a');
  text += u"\U0001F600";
  std::u16string out = Format(u"%s", {text});
  ASSERT_EQ(out.size(), kMaxLogMessageUnits - 1);
  EXPECT_EQ(out.back(), u'a');

  // The pair ends exactly at the cap: it is kept whole.
  text.assign(kMaxLogMessageUnits - 2, u'a');
  text += u"\U0001F600";
  out = Format(u"%sz", {text});
  ASSERT_EQ(out.size(), kMaxLogMessageUnits);
  EXPECT_EQ(out.substr(out.size() - 2), u"\U0001F600");

  // The same holds when the cut falls in the literal text of the format.
  std::u16string format(kMaxLogMessageUnits - 1, u'b');
  format += u"\U0001F600tail";
  out = Format(format, {});
  ASSERT_EQ(out.size(), kMaxLogMessageUnits - 1);
  EXPECT_EQ(out.back(), u'b');
}

}  // namespace
}  // namespace ostrasync::engine
