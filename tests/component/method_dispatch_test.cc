// Method calls through OstraSync_Kelvo_Do: every id's answer, unusable slots, the conversion
// service and the Config method's own answers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_host.h"

namespace ostrasync::testing {
namespace {

// Slots that satisfy any method's layout: strings, 64-bit pointers and a buffer.
struct AnySlots {
  int64_t number = 7;
  char text[4] = "\\a";
  uint8_t buffer[16] = {};
  std::vector<void*> params;
  std::vector<int> cbparams;

  explicit AnySlots(const char* layout) {
    for (const char* c = layout; *c; ++c) {
      switch (*c) {
        case 's': params.push_back(text); cbparams.push_back(0); break;
        case 'i': params.push_back(nullptr); cbparams.push_back(0); break;
        case 'q': params.push_back(&number); cbparams.push_back(0); break;
        case 'b': params.push_back(buffer); cbparams.push_back(sizeof buffer); break;
        case 'o': params.push_back(reinterpret_cast<void*>(intptr_t{99})); cbparams.push_back(0); break;
      }
    }
    params.resize(8);
    cbparams.resize(8);
  }
};

struct MethodCase {
  int id;
  const char* layout;
  int expected;
};

const MethodCase kMethods[] = {
    {4, "siqqqq", 21}, {5, "siqqq", 21}, {6, "", 21}, {7, "s", 21},
    {8, "si", 21}, {9, "qi", 21}, {10, "so", 21}, {11, "qqbiio", 21}, {12, "so", 21},
    {13, "so", 21}, {14, "so", 21}, {15, "", 0x21000007}, {16, "qsiqqqq", 21}, {17, "qsiqqq", 21},
    {18, "s", 21}, {19, "s", 21}, {20, "qbii", 21}, {21, "ssi", 21}, {22, "ss", 21},
    {23, "s", 21}, {24, "s", 21}, {25, "si", 21}, {26, "si", 21}, {27, "s", 21},
    {28, "", 0x21000004}, {29, "s", 21}, {30, "s", 21}, {31, "siqqqq", 21}, {32, "siqqq", 21},
};

TEST(MethodDispatchTest, MethodsOfAnIdleEngineFailWithCodeAndText) {
  TestHost host;
  for (const MethodCase& method : kMethods) {
    for (int variant : {0, 10000}) {
      AnySlots slots(method.layout);
      char16_t wide_text[] = u"\\a";
      if (variant) {
        for (std::size_t i = 0; method.layout[i]; ++i) {
          if (method.layout[i] == 's') slots.params[i] = wide_text;
        }
      }
      const int id = method.id + variant;
      EXPECT_EQ(OstraSync_Kelvo_Do(host.handle(), id, 8, slots.params.data(), slots.cbparams.data()),
                method.expected) << id;
      EXPECT_EQ(host.last_error_code(), method.expected) << id;
      EXPECT_EQ(host.last_error(), method.expected == 21           ? "The sync operation is not active"
                                   : method.expected == 0x21000004 ? "The specified SyncRootPath is not a valid synchronization root"
                                                                   : "Initialization failed") << id;
      // Out slots never keep a stale value.
      if (const char* o = std::strchr(method.layout, 'o')) {
        EXPECT_EQ(slots.params[o - method.layout], nullptr) << id;
      }
    }
  }
}

TEST(MethodDispatchTest, UnknownIdsSucceedAndClearTheLastError) {
  TestHost host;
  for (int id : {1, 33, 0, -5, 2004, 10001, 12003, 99999}) {
    OstraSync_Kelvo_SetLastErrorAndCode(host.handle(), 5, "old");
    EXPECT_EQ(OstraSync_Kelvo_Do(host.handle(), id, 0, nullptr, nullptr), 0) << id;
    EXPECT_EQ(host.last_error_code(), 0) << id;
  }
}

TEST(MethodDispatchTest, UnusableSlotsAreRefusedWithoutBeingRead) {
  TestHost host;
  auto expect_refused = [&](int id, void** params, int* cbparams) {
    EXPECT_EQ(OstraSync_Kelvo_Do(host.handle(), id, 6, params, cbparams), 0x21000004) << id;
    EXPECT_EQ(host.last_error(), "Invalid input parameter") << id;
  };
  int cb[8] = {};
  expect_refused(OSTRASYNC_METHOD_CREATE_FILE, nullptr, cb);  // no params array
  AnySlots create("siqqqq");
  create.params[3] = nullptr;  // a 64-bit value without its pointer
  expect_refused(OSTRASYNC_METHOD_CREATE_FILE, create.params.data(), create.cbparams.data());
  AnySlots put("qbii");
  expect_refused(OSTRASYNC_METHOD_PUT_FILE_DATA, put.params.data(), nullptr);  // no lengths
  put.cbparams[1] = -1;
  expect_refused(OSTRASYNC_METHOD_PUT_FILE_DATA, put.params.data(), put.cbparams.data());
  put.params[1] = nullptr;
  put.cbparams[1] = 5;
  expect_refused(OSTRASYNC_METHOD_PUT_FILE_DATA, put.params.data(), put.cbparams.data());
  expect_refused(OSTRASYNC_METHOD_CONFIG, nullptr, cb);
  // A null buffer of length 0 is an empty buffer, and a method without slots needs no array.
  put.cbparams[1] = 0;
  EXPECT_EQ(OstraSync_Kelvo_Do(host.handle(), OSTRASYNC_METHOD_PUT_FILE_DATA, 4, put.params.data(),
                               put.cbparams.data()), 21);
  EXPECT_EQ(OstraSync_Kelvo_Do(host.handle(), OSTRASYNC_METHOD_DEACTIVATE, 0, nullptr, nullptr), 21);
}

// Calls the conversion service; returns its result and the units it reported.
int Convert(TestHost& host, const char* source, int source_length, char16_t* destination,
            int capacity, int count, intptr_t* units) {
  void* params[3] = {const_cast<char*>(source), destination, reinterpret_cast<void*>(intptr_t{-7})};
  int cbparams[3] = {source_length, capacity, 0};
  const int rc = OstraSync_Kelvo_Do(host.handle(), 2003, count, params, cbparams);
  *units = reinterpret_cast<intptr_t>(params[2]);
  return rc;
}

TEST(MethodDispatchTest, ConversionServiceSizesAndConvertsWithinCapacity) {
  TestHost host;
  OstraSync_Kelvo_SetLastErrorAndCode(host.handle(), 42, "kept");
  intptr_t units = 0;
  EXPECT_EQ(Convert(host, "hello", 5, nullptr, 0, 2, &units), 0);
  EXPECT_EQ(units, 5);
  EXPECT_EQ(Convert(host, "hello", 5, nullptr, 0, 3, &units), -1);
  EXPECT_EQ(units, -7);  // nothing written

  const char utf8[] = "h\xC3\xA9\xF0\x9F\x98\x80";  // h, U+00E9, U+1F600
  char16_t out[8];
  std::fill(std::begin(out), std::end(out), u'#');
  EXPECT_EQ(Convert(host, utf8, 7, out, 6, 2, &units), 0);
  EXPECT_EQ(units, 4);
  EXPECT_EQ(std::u16string(out, 4), u"h\u00e9\U0001F600");
  EXPECT_EQ(out[4], u'#');

  // Too small a destination (capacity in UTF-16 units, not bytes) is refused, not overrun.
  std::fill(std::begin(out), std::end(out), u'#');
  EXPECT_EQ(Convert(host, utf8, 7, out, 3, 2, &units), 122);
  EXPECT_EQ(units, 0);
  for (int i = 3; i < 8; ++i) EXPECT_EQ(out[i], u'#');

  EXPECT_EQ(Convert(host, "", 0, out, 8, 2, &units), 0);  // empty source: nothing to convert
  EXPECT_EQ(units, 0);
  EXPECT_EQ(Convert(host, nullptr, 4, out, 8, 2, &units), 0x21000004);
  EXPECT_EQ(Convert(host, "abc", 3, nullptr, 8, 2, &units), 0x21000004);
  EXPECT_EQ(host.last_error_code(), 42);  // the service never touches the last error
}

TEST(MethodDispatchTest, ConfigAnswersVersionsItselfInBothEncodings) {
  TestHost host;
  EXPECT_EQ(host.Query("BuildInfo"), "24.0.9557");
  EXPECT_EQ(host.Query("majorversion"), "24");
  void* params[2] = {const_cast<char16_t*>(u"MajorVersion"), nullptr};
  int cbparams[2] = {};
  EXPECT_EQ(OstraSync_Kelvo_Do(host.handle(), 10003, 1, params, cbparams), 0);
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(params[1])), u"24");
  params[0] = const_cast<char16_t*>(u"LogLevel");
  EXPECT_EQ(OstraSync_Kelvo_Do(host.handle(), 10003, 1, params, cbparams), 0);
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(params[1])), u"3");
}

TEST(MethodDispatchTest, UnknownSettingIsRefusedWithText) {
  TestHost host;
  std::string value = "stale";
  EXPECT_EQ(host.Config("NoSuchSetting", &value), -1);
  EXPECT_EQ(value, "");
  EXPECT_EQ(host.last_error_code(), -1);
  EXPECT_EQ(host.last_error(), "Unknown config setting.");
  EXPECT_EQ(host.Config(" LogLevel", &value), -1);  // query names are not trimmed
  EXPECT_EQ(host.Config("", &value), -1);
}

TEST(MethodDispatchTest, Utf16ConfigKeepsUtf8SettingsIntactUnderAnotherCodePage) {
  TestHost host;
  ASSERT_EQ(host.Config("CodePage=1252"), 0);
  void* params[2] = {const_cast<char16_t*>(u"ItemDomain=D\u00f6m\u00e4in \u4e2d"), nullptr};
  int cbparams[2] = {};
  ASSERT_EQ(OstraSync_Kelvo_Do(host.handle(), 10003, 1, params, cbparams), 0);
  params[0] = const_cast<char16_t*>(u"ItemDomain");
  ASSERT_EQ(OstraSync_Kelvo_Do(host.handle(), 10003, 1, params, cbparams), 0);
  EXPECT_EQ(std::u16string(static_cast<const char16_t*>(params[1])), u"D\u00f6m\u00e4in \u4e2d");
  EXPECT_EQ(host.Query("ItemDomain"), "D\xC3\xB6m\xC3\xA4in \xE4\xB8\xAD");  // plain Config: UTF-8
}

}  // namespace
}  // namespace ostrasync::testing
