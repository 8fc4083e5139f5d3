// Tests of the code-page converters and the boundary primitives built on them.
#include "platform/text_codec.h"
#include "platform/system_info.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace ostrasync::platform {
namespace {

int Decode(uint32_t code_page, const std::string& bytes, char16_t* dst, int cap, uint32_t* error) {
  return MultiByteToUtf16(code_page, bytes.data(), static_cast<int>(bytes.size()), dst, cap, error);
}

// Full conversion with explicit lengths; the test fails if either step reports an error.
std::u16string Decode(uint32_t code_page, const std::string& bytes) {
  uint32_t error = 0;
  const int needed = Decode(code_page, bytes, nullptr, 0, &error);
  EXPECT_GT(needed, 0) << "error " << error;
  std::u16string out(static_cast<size_t>(std::max(needed, 0)), u'\0');
  EXPECT_EQ(Decode(code_page, bytes, out.data(), needed, &error), needed);
  return out;
}

std::string Encode(uint32_t code_page, const std::u16string& text) {
  uint32_t error = 0;
  const int size = static_cast<int>(text.size());
  const int needed = Utf16ToMultiByte(code_page, text.data(), size, nullptr, 0, &error);
  EXPECT_GT(needed, 0) << "error " << error;
  std::string out(static_cast<size_t>(std::max(needed, 0)), '\0');
  EXPECT_EQ(Utf16ToMultiByte(code_page, text.data(), size, out.data(), needed, &error), needed);
  return out;
}

struct Utf8Case {
  const char* bytes;
  std::u16string expected;
};

void ExpectDecodes(const std::vector<Utf8Case>& cases) {
  for (const Utf8Case& c : cases) {
    const std::string bytes = c.bytes;
    EXPECT_EQ(Utf8ToUtf16(bytes), c.expected) << "input " << testing::PrintToString(bytes);
    EXPECT_EQ(Decode(kCodePageUtf8, bytes), c.expected) << "input " << testing::PrintToString(bytes);
  }
}

TEST(Utf8Decode, BytesThatCannotStartOrFinishASequenceBecomeReplacements) {
  ExpectDecodes({
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                // overlong 2-byte form: C0 never starts one
      {"\xF5\x80", u"\uFFFD\uFFFD"},                // F5 would start a code point above U+10FFFF
      {"a\xE2\x82", u"a\uFFFD"},                    // truncated at the end: one for the prefix
      {"\xF0\x9F\x98z", u"\uFFFDz"},                // truncated before a new character
      {"\xE2\x28\xA1", u"\uFFFD(\uFFFD"},
      {"\x80\xBF", u"\uFFFD\uFFFD"},                // stray continuation bytes
      {"\xFF\xFE", u"\uFFFD\uFFFD"},
      {"\xC2\xE9\xA9", u"\uFFFD\uFFFD"},            // two truncated sequences in a row
  });
}

// A lead byte whose second byte falls outside its narrowed range is a sequence of its own, and
// each following continuation byte is one more.
TEST(Utf8Decode, OverlongSurrogateAndOutOfRangeFormsFollowMaximalSubparts) {
  if (RunningUnderWine()) GTEST_SKIP() << "Wine's decoder groups these bytes differently from Windows";
  ExpectDecodes({
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong 3-byte form
      {"\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // overlong 4-byte form
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // surrogate D800 written in UTF-8
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // U+110000
      {"\xED\x9F\xBF", u"\uD7FF"},                       // just below the surrogates is fine
  });
}

TEST(Utf8, SupplementaryCharactersUseSurrogatePairsBothWays) {
  const std::string utf8 = "x\xF0\x9F\x98\x80y\xF4\x8F\xBF\xBF\xF0\x90\x80\x80";
  const std::u16string utf16 = u"x\xD83D\xDE00y\xDBFF\xDFFF\xD800\xDC00";
  EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
  EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
  EXPECT_EQ(Encode(kCodePageUtf8, utf16), utf8);
}

TEST(Utf8, UnpairedSurrogatesEncodeAsReplacement) {
  EXPECT_EQ(Utf16ToUtf8(u"a\xD800" u"b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Utf16ToUtf8(u"\xDC00"), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(u"z\xD83D"), "z\xEF\xBF\xBD");                      // high at the very end
  EXPECT_EQ(Utf16ToUtf8(u"\xDE00\xD83D"), "\xEF\xBF\xBD\xEF\xBF\xBD");      // pair in the wrong order
}

TEST(Utf8, LengthsAreExplicitNotNulTerminated) {
  EXPECT_EQ(Utf8ToUtf16(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_EQ(Utf16ToUtf8(std::u16string_view(u"a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(Utf8ToUtf16(""), u"");
  EXPECT_EQ(Utf16ToUtf8(u""), "");
}

TEST(CodePage1252, MatchesTheWindowsTableAndRoundTripsEveryByte) {
  EXPECT_EQ(Decode(1252, "\xE9\x80\x81\x8D\x8F\x90\x9D\x9F\x8A"),
            u"\u00E9\u20AC\u0081\u008D\u008F\u0090\u009D\u0178\u0160");
  EXPECT_EQ(Encode(1252, u"\u00E9\u20AC\u0081\u2122"), "\xE9\x80\x81\x99");

  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(Encode(1252, Decode(1252, all)), all);
  // The ANSI code pages read as 1252.
  EXPECT_EQ(Decode(0, all), Decode(1252, all));
  EXPECT_EQ(Decode(3, all), Decode(1252, all));
}

TEST(CodePage1252, CharactersItCannotHoldBecomeQuestionMarks) {
  EXPECT_EQ(Encode(1252, u"a\u4E2D\u0E01b"), "a??b");
  EXPECT_EQ(Encode(0, u"\u4E2D"), "?");
}

TEST(CodePage932, JapaneseRoundTrips) {
  const std::u16string text = u"\u65E5\u672C\u8A9E\u30C6\u30AD\u30B9\u30C8 ok \uFF71";  // 日本語テキスト ok ｱ
  const std::string sjis = Encode(932, text);
  EXPECT_EQ(sjis.substr(0, 4), "\x93\xFA\x96\x7B");  // 日本
  EXPECT_EQ(sjis.back(), '\xB1');                    // half-width katakana is one byte
  EXPECT_EQ(Decode(932, sjis), text);
  EXPECT_EQ(Encode(932, u"\u0E01\u0416"), "?\x84\x47");  // Thai is not in 932, Cyrillic is
}

TEST(Converters, RejectUnusableCodePagesAndBadArguments) {
  for (uint32_t code_page : {12345u, 1200u, 1201u}) {
    uint32_t error = 0;
    EXPECT_EQ(MultiByteToUtf16(code_page, "abc", 3, nullptr, 0, &error), 0);
    EXPECT_EQ(error, kErrorInvalidParameter);
    error = 0;
    EXPECT_EQ(Utf16ToMultiByte(code_page, u"abc", 3, nullptr, 0, &error), 0);
    EXPECT_EQ(error, kErrorInvalidParameter);
    EXPECT_FALSE(IsUsableCodePage(code_page));
  }
  for (uint32_t code_page : {0u, 1u, 3u, 437u, 932u, 936u, 1251u, 1252u, 28605u, 65001u}) {
    EXPECT_TRUE(IsUsableCodePage(code_page)) << code_page;
  }

  std::u16string wide = u"stale";
  EXPECT_EQ(ToUtf16(12345, "abc", &wide), kConversionSizeUnknown);
  EXPECT_TRUE(wide.empty());
  std::string narrow = "stale";
  EXPECT_EQ(FromUtf16(12345, u"abc", &narrow), kConversionSizeUnknown);
  EXPECT_TRUE(narrow.empty());

  char16_t dst[8];
  for (int bad_len : {0, -2}) {
    uint32_t error = 0;
    EXPECT_EQ(MultiByteToUtf16(kCodePageUtf8, "abc", bad_len, dst, 8, &error), 0);
    EXPECT_EQ(error, kErrorInvalidParameter) << bad_len;
  }
  uint32_t error = 0;
  EXPECT_EQ(MultiByteToUtf16(kCodePageUtf8, nullptr, 3, dst, 8, &error), 0);
  EXPECT_EQ(error, kErrorInvalidParameter);
  error = 0;
  EXPECT_EQ(Utf16ToMultiByte(kCodePageUtf8, nullptr, -1, nullptr, 0, &error), 0);
  EXPECT_EQ(error, kErrorInvalidParameter);
}

TEST(Converters, SizeQueryAndTooSmallBuffer) {
  const std::string text = "h\xC3\xA9llo";  // héllo: 6 bytes, 5 units
  uint32_t error = 0;
  EXPECT_EQ(Decode(kCodePageUtf8, text, nullptr, 0, &error), 5);

  // Nothing may land beyond the capacity given, even when the call fails.
  std::u16string buffer(8, u'#');
  EXPECT_EQ(Decode(kCodePageUtf8, text, buffer.data(), 4, &error), 0);
  EXPECT_EQ(error, kErrorInsufficientBuffer);
  EXPECT_EQ(buffer.substr(4), u"####");
  EXPECT_EQ(Decode(kCodePageUtf8, text, buffer.data(), 5, &error), 5);
  EXPECT_EQ(buffer, u"h\u00E9llo###");

  std::string bytes(8, '#');
  EXPECT_EQ(Utf16ToMultiByte(932, u"\u65E5\u672C", 2, bytes.data(), 3, &error), 0);
  EXPECT_EQ(error, kErrorInsufficientBuffer);
  EXPECT_EQ(bytes.substr(3), "#####");

  // -1 counts the terminator and writes it.
  EXPECT_EQ(MultiByteToUtf16(kCodePageUtf8, text.c_str(), -1, nullptr, 0, &error), 6);
  EXPECT_EQ(MultiByteToUtf16(kCodePageUtf8, text.c_str(), -1, buffer.data(), 6, &error), 6);
  EXPECT_EQ(buffer, std::u16string(u"h\u00E9llo\0##", 8));
  EXPECT_EQ(Utf16ToMultiByte(kCodePageUtf8, u"\u00E9", -1, nullptr, 0, &error), 3);
}

TEST(Primitives, OutputExcludesTheTerminatorAndNullIsEmpty) {
  std::u16string wide = u"stale";
  EXPECT_EQ(ToUtf16(kCodePageUtf8, "h\xC3\xA9llo", &wide), 0);
  EXPECT_EQ(wide, u"h\u00E9llo");
  EXPECT_EQ(ToUtf16(1252, "\xE9\x80", &wide), 0);
  EXPECT_EQ(wide, u"\u00E9\u20AC");
  EXPECT_EQ(ToUtf16(932, "\x93\xFA", &wide), 0);
  EXPECT_EQ(wide, u"\u65E5");

  std::string narrow = "stale";
  EXPECT_EQ(FromUtf16(kCodePageUtf8, u"h\u00E9llo\xD83D\xDE00", &narrow), 0);
  EXPECT_EQ(narrow, "h\xC3\xA9llo\xF0\x9F\x98\x80");
  EXPECT_EQ(FromUtf16(0, u"\u00E9", &narrow), 0);
  EXPECT_EQ(narrow, "\xE9");

  for (const char* empty : {static_cast<const char*>(nullptr), ""}) {
    wide = u"stale";
    EXPECT_EQ(ToUtf16(kCodePageUtf8, empty, &wide), 0);
    EXPECT_TRUE(wide.empty());
  }
  for (const char16_t* empty : {static_cast<const char16_t*>(nullptr), u""}) {
    narrow = "stale";
    EXPECT_EQ(FromUtf16(1252, empty, &narrow), 0);
    EXPECT_TRUE(narrow.empty());
  }
}

// iconv converters are shared between callers; each must see its own complete, correct result.
TEST(Converters, ConcurrentMultiByteConversionsStayCorrect) {
  const std::u16string text = u"\u65E5\u672C\u8A9E \u4E2D\u6587 abc";
  const std::string gbk = Encode(936, text);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const uint32_t code_page = t % 2 == 0 ? 932 : 936;
      for (int i = 0; i < 200; ++i) {
        std::string narrow;
        std::u16string wide;
        if (FromUtf16(code_page, text.c_str(), &narrow) != 0 || ToUtf16(code_page, narrow.c_str(), &wide) != 0 ||
            wide != text || (code_page == 936 && narrow != gbk)) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace ostrasync::platform
