// Tests of the named values a callback carries: conversions, absent values, bad arguments,
// shared ownership and concurrent use.
#include "platform/callback_parameters.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace ostrasync::platform {
namespace {

TEST(CallbackParameters, ReadersConvertBetweenStoredTypes) {
  CallbackParametersPtr set = CallbackParameters::Create();
  ASSERT_TRUE(set);
  ASSERT_EQ(set->SetInt32(u"Flags", -1), kSOk);
  ASSERT_EQ(set->SetInt64(u"Length", int64_t{1} << 40), kSOk);
  ASSERT_EQ(set->SetString(u"Text", u" -42 "), kSOk);
  ASSERT_EQ(set->SetString(u"Word", u"abc"), kSOk);
  int buffer = 0;
  ASSERT_EQ(set->SetPointer(u"Buffer", &buffer), kSOk);

  uint32_t u32 = 7;
  EXPECT_EQ(set->ReadUInt32(u"Flags", &u32), kSOk);
  EXPECT_EQ(u32, 0xFFFFFFFFu);  // flags stored as a negative 32-bit value keep their bits
  EXPECT_EQ(set->ReadUInt32(u"Length", &u32), kParameterOverflow);
  EXPECT_EQ(u32, 0u);

  int64_t i64 = 0;
  EXPECT_EQ(set->ReadInt64(u"Flags", &i64), kSOk);
  EXPECT_EQ(i64, -1);
  EXPECT_EQ(set->ReadInt64(u"Text", &i64), kSOk);
  EXPECT_EQ(i64, -42);
  EXPECT_EQ(set->ReadInt64(u"Word", &i64), kParameterTypeMismatch);

  const void* pointer = nullptr;
  EXPECT_EQ(set->ReadPointer(u"Buffer", &pointer), kSOk);
  EXPECT_EQ(pointer, &buffer);
  EXPECT_EQ(set->ReadPointer(u"Flags", &pointer), kParameterOverflow);  // -1 is no address
  EXPECT_EQ(pointer, nullptr);

  std::u16string text;
  EXPECT_EQ(set->ReadString(u"Length", &text), kSOk);
  EXPECT_EQ(text, u"1099511627776");
  EXPECT_EQ(set->ReadString(u"Word", &text), kSOk);
  EXPECT_EQ(text, u"abc");

  // The extremes convert without overflowing on the way.
  ASSERT_EQ(set->SetInt64(u"Min", std::numeric_limits<int64_t>::min()), kSOk);
  EXPECT_EQ(set->ReadInt64(u"Min", &i64), kSOk);
  EXPECT_EQ(i64, std::numeric_limits<int64_t>::min());
  ASSERT_EQ(set->SetUInt64(u"Max", std::numeric_limits<uint64_t>::max()), kSOk);
  EXPECT_EQ(set->ReadInt64(u"Max", &i64), kParameterOverflow);
  ASSERT_EQ(set->SetString(u"Huge", u"99999999999999999999999"), kSOk);
  EXPECT_EQ(set->ReadInt64(u"Huge", &i64), kParameterOverflow);
}

TEST(CallbackParameters, AbsentOrEmptyValuesGiveOneAndZeroOutputs) {
  CallbackParametersPtr set = CallbackParameters::Create();
  ASSERT_EQ(set->SetEmpty(u"Empty"), kSOk);
  for (const char16_t* name : {u"Missing", u"Empty"}) {
    uint32_t u32 = 5;
    int64_t i64 = 5;
    const void* pointer = &u32;
    std::u16string text = u"stale";
    EXPECT_EQ(set->ReadUInt32(name, &u32), kParameterMissing);
    EXPECT_EQ(set->ReadInt64(name, &i64), kParameterMissing);
    EXPECT_EQ(set->ReadPointer(name, &pointer), kParameterMissing);
    EXPECT_EQ(set->ReadString(name, &text), kParameterMissing);
    EXPECT_EQ(u32, 0u);
    EXPECT_EQ(i64, 0);
    EXPECT_EQ(pointer, nullptr);
    EXPECT_EQ(text, u"");
  }
  // Names are exact: another case is another name.
  ASSERT_EQ(set->SetInt32(u"Flags", 3), kSOk);
  uint32_t flags = 0;
  EXPECT_EQ(set->ReadUInt32(u"flags", &flags), kParameterMissing);
}

TEST(CallbackParameters, NullNamesAndOutputsAreInvalidArguments) {
  CallbackParametersPtr set = CallbackParameters::Create();
  EXPECT_EQ(set->SetInt32(nullptr, 1), kEInvalidArg);
  EXPECT_EQ(set->SetString(nullptr, u"x"), kEInvalidArg);
  ASSERT_EQ(set->SetInt32(u"Flags", 1), kSOk);
  uint32_t u32 = 0;
  EXPECT_EQ(set->ReadUInt32(nullptr, &u32), kEInvalidArg);
  EXPECT_EQ(set->ReadUInt32(u"Flags", nullptr), kEInvalidArg);
  EXPECT_EQ(set->ReadInt64(u"Flags", nullptr), kEInvalidArg);
  EXPECT_EQ(set->ReadPointer(u"Flags", nullptr), kEInvalidArg);
  EXPECT_EQ(set->ReadString(u"Flags", nullptr), kEInvalidArg);
}

TEST(CallbackParameters, SettingReplacesTheValueAndItsType) {
  CallbackParametersPtr set = CallbackParameters::Create();
  ASSERT_EQ(set->SetString(u"Offset", u"x"), kSOk);
  ASSERT_EQ(set->SetInt64(u"Offset", 9), kSOk);
  int64_t offset = 0;
  EXPECT_EQ(set->ReadInt64(u"Offset", &offset), kSOk);
  EXPECT_EQ(offset, 9);
  // The set keeps its own copy of a string.
  std::u16string pattern = u"*.txt";
  ASSERT_EQ(set->SetString(u"Pattern", pattern), kSOk);
  pattern = u"changed";
  std::u16string read;
  EXPECT_EQ(set->ReadString(u"Pattern", &read), kSOk);
  EXPECT_EQ(read, u"*.txt");
}

TEST(CallbackParameters, ARetainedReferenceKeepsTheSetAfterTheCreatorLetsGo) {
  CallbackParametersPtr kept;
  {
    CallbackParametersPtr created = CallbackParameters::Create();
    ASSERT_EQ(created->SetInt32(u"Flags", 4), kSOk);
    kept = CallbackParametersPtr::Retain(created.get());
    CallbackParametersPtr copy = created;
    CallbackParametersPtr moved = std::move(copy);
  }
  uint32_t flags = 0;
  EXPECT_EQ(kept->ReadUInt32(u"Flags", &flags), kSOk);  // a use after free here fails under ASan
  EXPECT_EQ(flags, 4u);
  EXPECT_FALSE(CallbackParametersPtr::Retain(nullptr));
}

TEST(CallbackParameters, ConcurrentWritersAndReadersSeeWholeValues) {
  CallbackParametersPtr set = CallbackParameters::Create();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&set, t] {
      CallbackParametersPtr mine = CallbackParametersPtr::Retain(set.get());
      for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(mine->SetString(u"Shared", t % 2 ? u"odd-writer" : u"even-writer"), kSOk);
        std::u16string text;
        ASSERT_EQ(mine->ReadString(u"Shared", &text), kSOk);
        EXPECT_TRUE(text == u"odd-writer" || text == u"even-writer");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace ostrasync::platform
