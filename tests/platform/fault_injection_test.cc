// Tests of the fault-injecting platform's rules, and fault sweeps over binding operations: every
// failing call must come back as the operation's result, be logged, and leave no handle or
// connection context behind.
#include "platform/testing/fault_injecting_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/cloud_files_binding.h"
#include "platform/testing/recording_platform.h"

namespace ostrasync::platform::testing {
namespace {

constexpr char16_t kDir[] = u"C:\\Cloud\\docs";

FileHandlePtr OpenOrNull(FileSystem& files, const std::u16string& path, Win32Error* error) {
  FileHandlePtr file;
  *error = files.Open(path, OpenRequest{}, &file);
  return file;
}

TEST(FaultInjectingPlatform, RulesFailTheChosenCallOnceOrFromThenOn) {
  RecordingPlatform fake;
  FaultInjectingPlatform faults(fake);
  FaultRule rule;
  rule.operation = "FileSystem.Open";
  rule.countdown = 2;
  rule.win32 = win32::kSharingViolation;
  faults.AddRule(rule);
  Win32Error error = 0;
  EXPECT_TRUE(OpenOrNull(faults.file_system(), u"C:\\a", &error));
  EXPECT_FALSE(OpenOrNull(faults.file_system(), u"C:\\a", &error));  // the 2nd call fails, output reset
  EXPECT_EQ(error, win32::kSharingViolation);
  EXPECT_TRUE(OpenOrNull(faults.file_system(), u"C:\\a", &error));   // transient: only once

  faults.ClearRules();
  rule.countdown = 1;
  rule.persistent = true;
  rule.path_contains = u"secret";
  rule.hresult = HResultFromWin32(win32::kCloudFileInUse);
  faults.AddRule(rule);
  EXPECT_TRUE(OpenOrNull(faults.file_system(), u"C:\\public", &error));
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(OpenOrNull(faults.file_system(), u"C:\\secret\\x", &error));
    EXPECT_EQ(error, win32::kCloudFileInUse);  // the HRESULT's Win32 code, for a Win32 call
  }
  EXPECT_EQ(faults.injected_count(), 3);
  const std::vector<SeenCall> seen = faults.calls();
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_TRUE(seen[1].injected);
  EXPECT_EQ(seen[4].path, u"C:\\secret\\x");
  EXPECT_EQ(fake.CallsTo("FileSystem.Open").size(), 3u);  // the target only got the calls let through
}

TEST(FaultInjectingPlatform, EveryFacilityFailsInItsOwnTerms) {
  RecordingPlatform fake;
  FaultInjectingPlatform faults(fake);
  FaultRule rule;
  rule.win32 = win32::kNotifyEnumDir;
  rule.persistent = true;
  faults.AddRule(rule);
  EXPECT_EQ(faults.shell().SetLastSyncError(u"C:\\a", true), HResultFromWin32(win32::kNotifyEnumDir));
  EXPECT_EQ(faults.cloud_files().UnregisterSyncRoot(u"C:\\a"), HResultFromWin32(win32::kNotifyEnumDir));
  uint32_t attributes = 0;
  EXPECT_EQ(faults.file_system().ReadAttributes(u"C:\\a", &attributes), win32::kNotifyEnumDir);
  EXPECT_EQ(attributes, attr::kInvalid);
  EXPECT_TRUE(fake.calls().empty());

  // A watch's stream is decorated too, so lost changes can be injected into a running watch.
  faults.ClearRules();
  rule.operation = "ChangeStream.Wait";
  rule.persistent = false;
  faults.AddRule(rule);
  std::unique_ptr<ChangeStream> stream;
  ASSERT_EQ(faults.change_notifier().Watch(u"C:\\Cloud", &stream), 0u);
  std::vector<ChangeRecord> records(1);
  EXPECT_EQ(stream->Wait(0, &records), win32::kNotifyEnumDir);
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(stream->Wait(0, &records), win32::kWaitTimeout);  // the fake's own answer
}

// Every call a directory placeholder takes fails in turn.
TEST(FaultSweep, EveryFailingCallOfADirectoryPlaceholderIsReturnedAndLogged) {
  FaultRule base;
  base.operation = "*";
  base.win32 = win32::kCloudFileInUse;
  HResult result = 0;
  std::vector<RecordingLog::Line> lines;
  std::vector<SeenCall> seen;
  int open_handles = 0;

  const int runs = ForEachFaultPoint(
      base,
      [&](const FaultRun& run) {
        RecordingPlatform fake;
        fake.SetAttributes(kDir, attr::kDirectory);
        FaultInjectingPlatform faults(fake);
        faults.AddRule(run.rule);
        RecordingLog log;
        CloudFilesBinding binding(faults, log);
        CreatePlaceholderRequest request;
        request.base_directory = u"C:\\Cloud";
        request.relative_name = u"docs";
        request.attributes = attr::kDirectory;
        result = binding.CreatePlaceholder(&request);
        lines = log.lines();
        seen = faults.calls();
        open_handles = fake.open_handles();
        return faults.injected_count() > 0;
      },
      [&](const FaultRun& run, bool injected) {
        SCOPED_TRACE("fault at call " + std::to_string(run.point));
        EXPECT_EQ(open_handles, 0);
        if (!injected) {
          EXPECT_EQ(result, kSOk);
          EXPECT_EQ(lines.back(), (RecordingLog::Line{kBindingTraceLevel, u"CreatePlaceholder result code: 0x0"}));
          return;
        }
        const SeenCall& failed = seen.at(static_cast<size_t>(run.point) - 1);
        ASSERT_TRUE(failed.injected);
        if (failed.operation == "FileSystem.ReadAttributes") {
          // Unreadable attributes leave the folder's refusal of the first open standing.
          EXPECT_EQ(result, HResultFromWin32(win32::kAccessDenied));
          return;
        }
        EXPECT_EQ(result, HResultFromWin32(win32::kCloudFileInUse)) << failed.operation;
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2],
                  (RecordingLog::Line{kBindingErrorLevel, u"CreatePlaceholder result code: 0x80070187"}));
        EXPECT_EQ(lines.back(), (RecordingLog::Line{kBindingErrorLevel, u"OS error message: System text of 0x80070187"}));
      });
  EXPECT_EQ(runs, 5);  // Open, ReadAttributes, Open, ConvertToPlaceholder, then a clean run
}

// Connecting and disconnecting with each call failing in turn: a failed connect leaves no
// context, a failed disconnect keeps it (and a later disconnect frees it).
TEST(FaultSweep, ConnectionContextsAreNeitherLeakedNorFreedEarly) {
  const int baseline = ConnectionContext::LiveContextsForTest();
  FaultRule base;
  base.operation = "*";
  base.hresult = kEFail;
  HResult connected = 0;
  HResult disconnected = 0;
  int contexts_after = 0;
  int contexts_after_retry = 0;

  ForEachFaultPoint(
      base,
      [&](const FaultRun& run) {
        RecordingPlatform fake;
        FaultInjectingPlatform faults(fake);
        faults.AddRule(run.rule);
        RecordingLog log;
        CloudFilesBinding binding(faults, log);
        ConnectRootRequest connect;
        connect.path = u"C:\\Cloud";
        connect.dispatcher = [](void*, cf::CallbackType, const CallbackInfo&, CallbackParameters*) {};
        connected = binding.ConnectPlaceholderRoot(&connect);
        disconnected = kSOk;
        if (connected >= 0) {
          DisconnectRootRequest disconnect;
          disconnect.context = connect.context;
          disconnected = binding.DisconnectPlaceholderRoot(&disconnect);
          contexts_after = ConnectionContext::LiveContextsForTest();
          if (disconnected < 0) {
            EXPECT_EQ(disconnect.context, connect.context);
            faults.ClearRules();
            EXPECT_EQ(binding.DisconnectPlaceholderRoot(&disconnect), kSOk);
          }
        } else {
          EXPECT_EQ(connect.context, nullptr);
          contexts_after = ConnectionContext::LiveContextsForTest();
        }
        contexts_after_retry = ConnectionContext::LiveContextsForTest();
        return faults.injected_count() > 0;
      },
      [&](const FaultRun& run, bool injected) {
        SCOPED_TRACE("fault at call " + std::to_string(run.point));
        EXPECT_EQ(contexts_after_retry, baseline);
        if (!injected) {
          EXPECT_EQ(connected, kSOk);
          EXPECT_EQ(disconnected, kSOk);
        } else if (run.point == 1) {
          EXPECT_EQ(connected, kEFail);
          EXPECT_EQ(contexts_after, baseline);
        } else {
          EXPECT_EQ(disconnected, kEFail);
          EXPECT_EQ(contexts_after, baseline + 1);
        }
      });
}

}  // namespace
}  // namespace ostrasync::platform::testing
