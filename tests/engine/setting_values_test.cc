// Checks how setting values are read from and written to text.
#include "engine/setting_values.h"

#include <gtest/gtest.h>

#include <optional>

namespace ostrasync::engine {
namespace {

TEST(SettingValuesTest, BoolIsTrueOnlyForTheThreeTrueWords) {
  for (const char* yes : {"TRUE", "true", "TrUe", "yes", "YES", "1"}) {
    EXPECT_TRUE(ParseBoolValue(yes)) << yes;
  }
  for (const char* no : {"on", "", "2", " yes", "yes ", "01", "truee", "FALSE", "0"}) {
    EXPECT_FALSE(ParseBoolValue(no)) << no;
  }
  EXPECT_EQ(FormatBoolValue(true), "True");
  EXPECT_EQ(FormatBoolValue(false), "False");
}

TEST(SettingValuesTest, IntAcceptsWordsDecimalAndHex) {
  EXPECT_EQ(ParseIntValue("TRUE"), 1);
  EXPECT_EQ(ParseIntValue("Yes"), 1);
  EXPECT_EQ(ParseIntValue("false"), 0);
  EXPECT_EQ(ParseIntValue("NO"), 0);
  EXPECT_EQ(ParseIntValue("42"), 42);
  EXPECT_EQ(ParseIntValue("+42"), 42);
  EXPECT_EQ(ParseIntValue("-42"), -42);
  EXPECT_EQ(ParseIntValue("12abc"), 12);
  EXPECT_EQ(ParseIntValue("abc"), 0);
  EXPECT_EQ(ParseIntValue(""), 0);
  EXPECT_EQ(ParseIntValue("-"), 0);
  EXPECT_EQ(ParseIntValue(" 5"), 0);
  EXPECT_EQ(ParseIntValue("0x1F"), 31);
  EXPECT_EQ(ParseIntValue("0XfFg"), 255);
  EXPECT_EQ(ParseIntValue("0x"), 0);
  EXPECT_EQ(ParseIntValue("0x7FFFFFFF"), 2147483647);
  EXPECT_EQ(ParseIntValue("-0x10"), 0);  // only a bare "0x" prefix means hex
}

TEST(SettingValuesTest, IntRejectsNumbersOutsideTheIntRange) {
  EXPECT_EQ(ParseIntValue("2147483647"), 2147483647);
  EXPECT_EQ(ParseIntValue("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseIntValue("000000000000000000000000012"), 12);
  for (const char* out_of_range :
       {"2147483648", "-2147483649", "4294967296", "0x80000000", "0xFFFFFFFF", "0x100000000",
        "99999999999999999999999", "18446744073709551617", "-18446744073709551616",
        "0x10000000000000001", "0xFFFFFFFFFFFFFFFFFFFF"}) {
    EXPECT_EQ(ParseIntValue(out_of_range), std::nullopt) << out_of_range;
  }
  EXPECT_EQ(ParseDecimalInt("yes"), 0);  // words are a setting value's business, not an index's
  EXPECT_EQ(ParseDecimalInt("0x10"), 0);
}

TEST(SettingValuesTest, NamesCompareWithoutRegardToAsciiCase) {
  EXPECT_TRUE(EqualsIgnoreCase("LogLevel", "LOGLEVEL"));
  EXPECT_TRUE(EqualsIgnoreCase("", ""));
  EXPECT_FALSE(EqualsIgnoreCase("LogLevel", "LogLeve"));
  EXPECT_FALSE(EqualsIgnoreCase("a[", "A{"));  // only letters fold: '[' and '{' differ by 0x20 too
  EXPECT_FALSE(EqualsIgnoreCase("\xC4", "\xE4"));  // bytes above 0x7F are code-page text
}

}  // namespace
}  // namespace ostrasync::engine
