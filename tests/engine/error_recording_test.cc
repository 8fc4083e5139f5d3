// Recording failures: texts of codes, the last error, the OS error and the log lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/error_codes.h"
#include "engine/process_settings.h"
#include "engine/sync_engine.h"
#include "platform/system_info.h"
#include "platform/text_codec.h"

namespace ostrasync::engine {
namespace {

// A sink that keeps log lines and ignores every other event.
class LogSink final : public EventSink {
 public:
  std::vector<std::pair<int, std::string>> lines;
  int OnActivated(int) override { return 0; }
  int OnCancelTask(int64_t, std::u16string_view, int*) override { return 0; }
  int OnCreateFile(int64_t, std::u16string_view, int, int64_t, int64_t, int64_t, int64_t, int*) override { return 0; }
  int OnCreateFolder(int64_t, std::u16string_view, int, int64_t, int64_t, int64_t, int*) override { return 0; }
  int OnDeleteFile(int64_t, std::u16string_view, int, int*) override { return 0; }
  int OnDeleteFolder(int64_t, std::u16string_view, int, int*) override { return 0; }
  int OnError(int, std::string_view) override { return 0; }
  int OnGetFileData(int64_t, std::u16string_view, int64_t, int64_t, int*) override { return 0; }
  int OnListDirectory(int64_t, std::u16string_view, std::u16string_view, int*) override { return 0; }
  int OnLog(int level, std::u16string_view line) override {
    lines.emplace_back(level, platform::Utf16ToUtf8(line));
    return 0;
  }
  int OnRenameFile(int64_t, std::u16string_view, std::u16string_view, int*) override { return 0; }
  int OnRenameFolder(int64_t, std::u16string_view, std::u16string_view, int*) override { return 0; }
  int OnResetFile(int64_t, std::u16string_view) override { return 0; }
  int OnUpdateFile(int64_t, std::u16string_view, int, int, int64_t, int64_t, int64_t, int64_t, int*) override { return 0; }
  int OnUpdateFolder(int64_t, std::u16string_view, int, int, int64_t, int64_t, int64_t, int*) override { return 0; }
  int OnPlatformRequest(int, int, void**, int*) override { return 0; }
};

std::string Prefix() { return " (" + std::to_string(platform::CurrentThreadId()) + ") Sync: "; }

TEST(ErrorRecordingTest, ComponentCodesCarryTheirTableText) {
  LogSink sink;
  SyncEngine engine(&sink);
  EXPECT_EQ(engine.RecordError(OSTRASYNC_ERR_NOT_ACTIVE), OSTRASYNC_ERR_NOT_ACTIVE);
  EXPECT_EQ(engine.last_errors().Code(), OSTRASYNC_ERR_NOT_ACTIVE);
  EXPECT_STREQ(engine.last_errors().Text(), "The sync operation is not active");
  ASSERT_EQ(sink.lines.size(), 1u);
  EXPECT_EQ(sink.lines[0].first, 1);
  EXPECT_EQ(sink.lines[0].second, Prefix() + "Sync error code: 0x21000002, The sync operation is not active");

  EXPECT_EQ(TextOfCode(0x21000101), "Unknown error");
  EXPECT_EQ(TextOfCode(OSTRASYNC_ERR_TOO_MANY_ITEMS), "Too many items reported by enumeration event hadler");
  EXPECT_EQ(TextOfCode(OSTRASYNC_ERR_PENDING), "");
  engine.RecordError(OSTRASYNC_ERR_CANCELLED);
  EXPECT_STREQ(engine.last_errors().Text(), "");  // a code without text leaves no stale text
}

TEST(ErrorRecordingTest, WindowsCodesCarryTheSystemMessage) {
  if (!platform::SystemMessagesAreWindowsTexts()) GTEST_SKIP() << "system message texts differ here";
  EXPECT_EQ(TextOfCode(2), "The system cannot find the file specified.");
  EXPECT_EQ(TextOfCode(0x80070057), "The parameter is incorrect.");
}

TEST(ErrorRecordingTest, OsCallFailureNamesTheStoredOsError) {
  LogSink sink;
  SyncEngine engine(&sink);
  engine.SetOsLastError(5);
  engine.RecordError(OSTRASYNC_ERR_OS_CALL);
  EXPECT_STREQ(engine.last_errors().Text(), "The OS call failed with error 0x5");
  engine.RecordError(OSTRASYNC_ERR_OS_CALL);  // kept until it is read
  EXPECT_STREQ(engine.last_errors().Text(), "The OS call failed with error 0x5");
  EXPECT_EQ(engine.TakeOsLastError(), 5u);
  EXPECT_EQ(engine.TakeOsLastError(), 0u);
}

TEST(ErrorRecordingTest, LinesAboveTheLevelAreNotFormatted) {
  LogSink sink;
  SyncEngine engine(&sink);
  engine.Log(4, u"detail %s", {u"x"});
  EXPECT_TRUE(sink.lines.empty());
  Process().log_level = 8705;
  engine.Log(4, u"detail %s %d", {u"x", 7});
  Process().log_level = 3;
  ASSERT_EQ(sink.lines.size(), 1u);
  EXPECT_EQ(sink.lines[0].second, Prefix() + "detail x 7");
}

}  // namespace
}  // namespace ostrasync::engine
