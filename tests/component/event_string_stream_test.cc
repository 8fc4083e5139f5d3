// The two helper exports: event string records and host stream forwarding.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ostrasync.h"

namespace {

struct RecordGuard {
  OstraSyncEventRecord record{};
  explicit RecordGuard(int code_page) { record.code_page = code_page; }
  ~RecordGuard() { OstraSync_EvtStr(&record, 1, nullptr, 1); }  // releases owned texts
};

const char* ReadText(OstraSyncEventRecord* r) { return static_cast<const char*>(OstraSync_EvtStr(r, 0, nullptr, 1)); }
const char16_t* ReadUtf16(OstraSyncEventRecord* r) {
  return static_cast<const char16_t*>(OstraSync_EvtStr(r, 0, nullptr, 2));
}

TEST(EventStringTest, ReadsEitherEncodingOfOneText) {
  RecordGuard g(65001);
  char16_t wide[] = u"caf\u00e9";
  OstraSync_EvtStr(&g.record, 1, wide, 2);
  EXPECT_STREQ(ReadText(&g.record), "caf\xC3\xA9");
  EXPECT_EQ(std::u16string(ReadUtf16(&g.record)), u"caf\u00e9");

  RecordGuard empty(65001);
  char16_t nothing[] = u"";
  OstraSync_EvtStr(&empty.record, 1, nothing, 2);
  EXPECT_STREQ(ReadText(&empty.record), "");

  RecordGuard bytes(1252);
  char latin[] = "caf\xE9";
  OstraSync_EvtStr(&bytes.record, 2, latin, 1);
  EXPECT_EQ(std::u16string(ReadUtf16(&bytes.record)), u"caf\u00e9");
}

TEST(EventStringTest, ReusedAddressNeverReturnsThePreviousText) {
  RecordGuard g(65001);
  char16_t buffer[8] = u"first";
  OstraSync_EvtStr(&g.record, 1, buffer, 2);
  EXPECT_STREQ(ReadText(&g.record), "first");
  std::memcpy(buffer, u"second", sizeof(u"second"));
  OstraSync_EvtStr(&g.record, 1, buffer, 2);  // same pointer, new event
  EXPECT_STREQ(ReadText(&g.record), "second");
}

TEST(EventStringTest, CopyOwnsItsTextEvenWhenEqualOrFromItself) {
  RecordGuard g(65001);
  char text[] = "abc";
  OstraSync_EvtStr(&g.record, 1, text, 1);
  OstraSync_EvtStr(&g.record, 2, text, 1);  // equal text: the record must still own a copy
  text[0] = 'X';
  EXPECT_STREQ(ReadText(&g.record), "abc");
  OstraSync_EvtStr(&g.record, 2, g.record.text, 1);  // from its own text
  EXPECT_STREQ(ReadText(&g.record), "abc");
  OstraSync_EvtStr(&g.record, 2, nullptr, 1);
  EXPECT_EQ(g.record.text, nullptr);
  EXPECT_EQ(ReadText(&g.record), nullptr);
  EXPECT_EQ(OstraSync_EvtStr(&g.record, 7, text, 1), nullptr);
  EXPECT_EQ(OstraSync_EvtStr(&g.record, 0, nullptr, 3), nullptr);
}

TEST(EventStringTest, FailedConversionReadsNullUntilSetAgain) {
  RecordGuard g(65001);
  g.record.code_page = 12345;  // no such code page
  char16_t wide[] = u"x";
  OstraSync_EvtStr(&g.record, 1, wide, 2);
  EXPECT_EQ(ReadText(&g.record), nullptr);
  EXPECT_NE(g.record.error, 0);
  EXPECT_EQ(ReadUtf16(&g.record), nullptr);
  g.record.code_page = 65001;
  OstraSync_EvtStr(&g.record, 1, wide, 2);
  EXPECT_STREQ(ReadText(&g.record), "x");
}

// A host stream: a table of operations called with the object first, as the export calls them.
struct FakeStream {
  void* const* table;
  int destroyed = 0;
  int64_t last_seek = 0;
  int last_int = 0;
  void* last_pointer = nullptr;
};

int Op1(FakeStream* s, int v) { s->last_int = v; return 0x1FF; }
int64_t Op2(FakeStream*) { return int64_t{1} << 40; }
int Op3(FakeStream* s, int64_t v) { s->last_seek = v; return 3; }
int Op4(FakeStream* s, void* p, int n, void*) { s->last_pointer = p; s->last_int = n; return 4; }
int Op6(FakeStream* s, int64_t v, int n, void*) { s->last_seek = v; s->last_int = n; return 6; }
int Op7(FakeStream*) { return 7; }
int Op8(FakeStream*) { return 8; }
void Destroy(FakeStream* s, int flags) { s->destroyed = flags; }
const char* ErrorText(FakeStream*) { return "stream error"; }
int ErrorCode(FakeStream*) { return 99; }

void* const kTable[] = {nullptr, nullptr, reinterpret_cast<void*>(&Destroy), reinterpret_cast<void*>(&ErrorText),
                        reinterpret_cast<void*>(&ErrorCode), nullptr, reinterpret_cast<void*>(&Op1),
                        reinterpret_cast<void*>(&Op2), reinterpret_cast<void*>(&Op3), reinterpret_cast<void*>(&Op4),
                        reinterpret_cast<void*>(&Op4), reinterpret_cast<void*>(&Op6), reinterpret_cast<void*>(&Op7),
                        reinterpret_cast<void*>(&Op8)};

struct Block {
  void* pointer;
  int value;
};

TEST(HostStreamTest, ForwardsOperationsWithTheirArguments) {
  FakeStream stream{kTable};
  int64_t offset = 12345;
  char data[4];
  Block block{data, 4};
  int result = 0;
  EXPECT_EQ(OstraSync_Stream(&stream, 500, &block, &result), 4);
  EXPECT_EQ(stream.last_pointer, data);
  block.pointer = &offset;
  EXPECT_EQ(OstraSync_Stream(&stream, 502, &block, &result), 6);
  EXPECT_EQ(stream.last_seek, 12345);
  EXPECT_EQ(OstraSync_Stream(&stream, 507, &block, nullptr), 3);
  EXPECT_EQ(OstraSync_Stream(&stream, 503, nullptr, nullptr), 7);
  int64_t size = 0;
  EXPECT_EQ(OstraSync_Stream(&stream, 506, nullptr, &size), 0);
  EXPECT_EQ(size, int64_t{1} << 40);
  Block first{reinterpret_cast<void*>(intptr_t{77}), 0};
  uint8_t byte[2] = {0xAA, 0xAA};
  EXPECT_EQ(OstraSync_Stream(&stream, 505, &first, byte), 0);
  EXPECT_EQ(stream.last_int, 77);
  EXPECT_EQ(byte[0], 0xFF);
  EXPECT_EQ(byte[1], 0xAA);  // exactly one byte stored
  const char* text = nullptr;
  EXPECT_EQ(OstraSync_Stream(&stream, 508, nullptr, &text), 0);
  EXPECT_STREQ(text, "stream error");
  EXPECT_EQ(OstraSync_Stream(&stream, 509, nullptr, &result), 0);
  EXPECT_EQ(result, 99);
  EXPECT_EQ(OstraSync_Stream(&stream, 504, nullptr, nullptr), 0);
  EXPECT_EQ(stream.destroyed, 1);
  EXPECT_EQ(OstraSync_Stream(&stream, 499, nullptr, nullptr), 0);
}

TEST(HostStreamTest, MissingStreamArgumentsOrResultAreRefused) {
  FakeStream stream{kTable};
  int result = 5;
  EXPECT_EQ(OstraSync_Stream(&stream, 500, nullptr, &result), -1);
  EXPECT_EQ(OstraSync_Stream(&stream, 509, nullptr, nullptr), -1);
  Block no_pointer{nullptr, 1};
  EXPECT_EQ(OstraSync_Stream(&stream, 502, &no_pointer, &result), -1);

  EXPECT_EQ(OstraSync_Stream(nullptr, 504, nullptr, nullptr), 0);
  uint8_t byte = 9;
  EXPECT_EQ(OstraSync_Stream(nullptr, 505, nullptr, &byte), 0);
  EXPECT_EQ(byte, 0);
  const char* text = nullptr;
  EXPECT_EQ(OstraSync_Stream(nullptr, 508, nullptr, &text), 0);
  EXPECT_STREQ(text, "Invalid stream pointer.");
  EXPECT_EQ(OstraSync_Stream(nullptr, 509, nullptr, &result), 0);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(OstraSync_Stream(nullptr, 500, nullptr, &result), -1);
  EXPECT_EQ(OstraSync_Stream(nullptr, 508, nullptr, nullptr), -1);
}

}  // namespace
