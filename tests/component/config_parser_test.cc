// Checks how the text of a Config call is split into name, index and value.
#include "component/config_parser.h"

#include <gtest/gtest.h>

namespace ostrasync::component {
namespace {

engine::ConfigRequest Parse(const char* text) {
  engine::ConfigRequest request;
  request.value = "stale";  // shows that nothing from an earlier call survives
  EXPECT_EQ(ParseConfigString(text, &request), 0) << text;
  return request;
}

TEST(ConfigParserTest, TextWithoutEqualsIsAQueryOfTheUntrimmedName) {
  auto r = Parse("LogLevel");
  EXPECT_TRUE(r.query);
  EXPECT_EQ(r.name, "LogLevel");
  EXPECT_EQ(r.value, "");

  EXPECT_EQ(Parse(" LogLevel ").name, " LogLevel ");
  EXPECT_TRUE(Parse("").query);

  r = Parse(nullptr);
  EXPECT_TRUE(r.query);
  EXPECT_EQ(r.name, "");
}

TEST(ConfigParserTest, WriteTrimsNameAndValue) {
  auto r = Parse("LogLevel = 4");
  EXPECT_FALSE(r.query);
  EXPECT_EQ(r.name, "LogLevel");
  EXPECT_EQ(r.value, "4");

  r = Parse("  Item Domain  =   a b   ");
  EXPECT_EQ(r.name, "Item Domain");
  EXPECT_EQ(r.value, "a b");

  r = Parse("A=b=c");
  EXPECT_EQ(r.name, "A");
  EXPECT_EQ(r.value, "b=c");

  EXPECT_EQ(Parse("Path=C:\\dir\\\"x\\").value, "C:\\dir\\\"x\\");
  EXPECT_EQ(Parse("X=\ta\t").value, "\ta\t");  // only 0x20 is a space
  EXPECT_EQ(Parse("X=\xC3\xA9 ").value, "\xC3\xA9");
}

TEST(ConfigParserTest, NothingAfterEqualsWritesEmptyValueWithUntrimmedName) {
  auto r = Parse("Name=");
  EXPECT_FALSE(r.query);
  EXPECT_EQ(r.name, "Name");
  EXPECT_EQ(r.value, "");
  EXPECT_EQ(Parse("Name =").name, "Name ");
  EXPECT_EQ(Parse("=").name, "");
}

TEST(ConfigParserTest, QuotesAreStrippedAndDegenerateValuesAreEmpty) {
  EXPECT_EQ(Parse("ItemDomain=\"a b\"").value, "a b");
  EXPECT_EQ(Parse("ItemDomain= \" a b \"  ").value, " a b ");
  EXPECT_EQ(Parse("X=\"abc").value, "abc");
  EXPECT_EQ(Parse("X=abc\"").value, "abc");
  EXPECT_EQ(Parse("X=a\"b").value, "a\"b");
  // A lone quote or nothing but spaces leaves no text between the ends: empty, never negative.
  for (const char* empty : {"ItemDomain=\"", "ItemDomain=   ", "X=\"\"", "X=  \"  ", "X= \"\" "}) {
    EXPECT_EQ(Parse(empty).value, "") << empty;
  }
}

TEST(ConfigParserTest, BracketsGiveAnIndexAndLeaveTheName) {
  auto r = Parse("Foo[ 3 ]=1");
  EXPECT_EQ(r.name, "Foo");
  EXPECT_EQ(r.index, 3);
  EXPECT_EQ(r.index_text, "3");
  EXPECT_EQ(r.value, "1");

  r = Parse("Foo(2)");
  EXPECT_TRUE(r.query);
  EXPECT_EQ(r.name, "Foo");
  EXPECT_EQ(r.index, 2);

  r = Parse("Foo[-7)Bar");
  EXPECT_EQ(r.name, "FooBar");
  EXPECT_EQ(r.index, -7);

  r = Parse("Foo[abc]");  // not a number: index 0, text kept
  EXPECT_EQ(r.index, 0);
  EXPECT_EQ(r.index_text, "abc");

  r = Parse("Foo[3=1]");  // the '=' comes first, so the bracket never closes
  EXPECT_EQ(r.name, "Foo");
  EXPECT_EQ(r.index, 0);
  EXPECT_EQ(r.index_text, "");
  EXPECT_EQ(r.value, "1]");

  EXPECT_EQ(Parse("Foo[2147483647]").index, 2147483647);
  EXPECT_EQ(Parse("Foo[-2147483648]").index, -2147483648LL);
}

TEST(ConfigParserTest, IndexOutsideTheIntRangeFails) {
  engine::ConfigRequest r;
  EXPECT_EQ(ParseConfigString("Foo[99999999999]=1", &r), kConfigParseFailed);
  EXPECT_EQ(ParseConfigString("Foo[2147483648]", &r), kConfigParseFailed);
  EXPECT_EQ(ParseConfigString("Foo(-99999999999999999999999999)", &r), kConfigParseFailed);
  EXPECT_EQ(ParseConfigString("Foo=1", nullptr), kConfigParseFailed);
}

}  // namespace
}  // namespace ostrasync::component
