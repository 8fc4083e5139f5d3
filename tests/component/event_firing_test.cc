// Events as the host receives them: slots, encodings, the in/out ResultCode, event errors, the
// unhandled-error rule, nesting and the log.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "engine/process_settings.h"
#include "test_host.h"

namespace ostrasync::testing {
namespace {

int FireCreateFile(TestHost& host, std::u16string_view path, int result_code = 0) {
  engine::SyncEngine& engine = host.engine();
  return engine.FireRequest(u"Create", path, &result_code, [&](int* rc) {
    return engine.sink().OnCreateFile(17, path, 0x2, 1234, 1, 2, 3, rc);
  });
}

bool HasLine(TestHost& host, const std::string& text) {
  for (const std::string& line : host.log_lines())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

TEST(EventFiringTest, WithoutCallbackEveryEventCountsAsHandled) {
  TestHost host(0, /*with_callback=*/false);
  EXPECT_EQ(FireCreateFile(host, u"\\a", 0x21000001), 0x21000001);
  EXPECT_EQ(host.engine().FireCancelTask(3, u"\\a", 0), 0);
}

TEST(EventFiringTest, SlotsFollowTheHostConventions) {
  TestHost host;
  int64_t seen_size = 0, seen_task = 0;
  host.set_handler([&](int id, int count, void** params) {
    if (id != OSTRASYNC_EVENT_CREATE_FILE) return 0;
    EXPECT_EQ(count, 8);
    seen_task = *static_cast<int64_t*>(params[0]);
    seen_size = *static_cast<int64_t*>(params[3]);
    EXPECT_EQ(reinterpret_cast<intptr_t>(params[2]), 2);
    *static_cast<int64_t*>(params[3]) = -1;  // handlers get copies: the engine is unaffected
    params[7] = reinterpret_cast<void*>(intptr_t{0x21000001});
    return 0;
  });
  EXPECT_EQ(FireCreateFile(host, u"\\caf\u00e9.txt"), 0x21000001);
  EXPECT_EQ(seen_task, 17);
  EXPECT_EQ(seen_size, 1234);
  EXPECT_EQ(host.events_of(OSTRASYNC_EVENT_CREATE_FILE).at(0).texts.at(0), "\\caf\xC3\xA9.txt");
  host.Config("LogLevel=3");
  EXPECT_TRUE(HasLine(host, "'Create' event handler switched to the asynchronous mode for '\\caf\xC3\xA9.txt'"));
}

TEST(EventFiringTest, WideEventsDeliverUtf16) {
  TestHost host(OSTRASYNC_WIDE_EVENTS);
  host.engine().FireErrorEvent(0x21000040, "backend \xC3\xA9");
  const auto errors = host.events_of(OSTRASYNC_EVENT_ERROR);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].texts.at(0), "backend \xC3\xA9");
  EXPECT_EQ(errors[0].level, 0x21000040);
}

TEST(EventFiringTest, FailingHandlerBecomesAnErrorEvent) {
  TestHost host;
  host.set_handler([](int id, int, void**) { return id == OSTRASYNC_EVENT_CREATE_FILE ? 5 : 0; });
  EXPECT_EQ(FireCreateFile(host, u"\\a.txt"), 5);
  const auto errors = host.events_of(OSTRASYNC_EVENT_ERROR);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].level, 5);
  EXPECT_EQ(errors[0].texts.at(0), "An unhandled error occurred in the CreateFile event handler");
  EXPECT_TRUE(HasLine(host, "'Create' event handler failed for '\\a.txt'"));
  EXPECT_TRUE(HasLine(host, "Event handler error code: 0x5"));
}

TEST(EventFiringTest, ReportedEventErrorTakesPrecedence) {
  TestHost host;
  host.set_handler([&](int id, int, void**) {
    if (id != OSTRASYNC_EVENT_CREATE_FILE) return 0;
    OstraSync_Kelvo_SetEventErrorAndCode(host.handle(), 0x21000040, "server said no");
    return 1;
  });
  EXPECT_EQ(FireCreateFile(host, u"\\a"), 0x21000040);
  EXPECT_TRUE(host.events_of(OSTRASYNC_EVENT_ERROR).empty());

  host.set_handler([&](int id, int, void**) {
    if (id == OSTRASYNC_EVENT_CREATE_FILE) OstraSync_Kelvo_SetEventErrorAndCode(host.handle(), -1, "x");
    return 0;
  });
  EXPECT_EQ(FireCreateFile(host, u"\\a"), 1359);

  host.set_handler([](int id, int, void**) -> int {
    if (id == OSTRASYNC_EVENT_CREATE_FILE) throw std::runtime_error("host bug");
    return 0;
  });
  EXPECT_EQ(FireCreateFile(host, u"\\a"), 1359);
}

TEST(EventFiringTest, FailingErrorHandlerIsOnlyLogged) {
  TestHost host;
  host.set_handler([](int id, int, void**) { return id == OSTRASYNC_EVENT_ERROR ? 7 : 0; });
  host.engine().FireErrorEvent(0x21000040, "x");
  EXPECT_EQ(host.events_of(OSTRASYNC_EVENT_ERROR).size(), 1u);  // no Error about the Error
  EXPECT_TRUE(HasLine(host, "'Error' event handler failed with error code 0x7"));
}

TEST(EventFiringTest, NestedEventsLeaveTheOuterHandlersReportAlone) {
  TestHost host;
  // A Log handler that always fails, and a request handler that calls a method which logs.
  host.set_handler([&](int id, int, void**) {
    if (id == OSTRASYNC_EVENT_LOG) return 9;
    if (id == OSTRASYNC_EVENT_CANCEL_TASK) {
      (void)OstraSync_Kelvo_Do(host.handle(), OSTRASYNC_METHOD_DEACTIVATE, 0, nullptr, nullptr);
      return 0;
    }
    if (id == OSTRASYNC_EVENT_CREATE_FILE) {
      OstraSync_Kelvo_SetEventErrorAndCode(host.handle(), 0x21000040, "first");
      (void)OstraSync_Kelvo_Do(host.handle(), OSTRASYNC_METHOD_DEACTIVATE, 0, nullptr, nullptr);
      EXPECT_EQ(OstraSync_Kelvo_GetEventErrorCode(host.handle()), 0x21000040);
      return 0;
    }
    return 0;
  });
  EXPECT_EQ(host.engine().FireCancelTask(1, u"\\a", 0), 0);  // the failing Log does not fail it
  EXPECT_EQ(FireCreateFile(host, u"\\a"), 0x21000040);        // nor clear the handler's report
}

TEST(EventFiringTest, LogHandlerCallingBackDoesNotRecurse) {
  TestHost host;
  int depth = 0, max_depth = 0;
  host.set_handler([&](int id, int, void**) {
    if (id != OSTRASYNC_EVENT_LOG) return 0;
    max_depth = std::max(max_depth, ++depth);
    (void)OstraSync_Kelvo_Do(host.handle(), OSTRASYNC_METHOD_DEACTIVATE, 0, nullptr, nullptr);  // logs
    --depth;
    return 0;
  });
  (void)OstraSync_Kelvo_Do(host.handle(), OSTRASYNC_METHOD_DEACTIVATE, 0, nullptr, nullptr);
  EXPECT_EQ(max_depth, 1);
}

TEST(EventFiringTest, LogLevelIsSharedByAllComponentsOfTheProcess) {
  TestHost first, second;
  OstraSync_Kelvo_Set(second.handle(), 4, 0, "C:\\quiet");
  EXPECT_TRUE(second.log_lines().empty());  // level 4 is filtered by default
  ASSERT_EQ(first.Config("LogLevel=4"), 0);
  OstraSync_Kelvo_Set(second.handle(), 4, 0, "C:\\loud");
  ASSERT_EQ(second.log_lines().size(), 1u);
  const std::string line = second.log_lines()[0];
  EXPECT_EQ(line.substr(0, 2), " (");
  EXPECT_NE(line.find(") Sync: SetSyncRootPath C:\\loud"), std::string::npos) << line;
  ASSERT_EQ(second.Config("LogLevel=3"), 0);
  EXPECT_EQ(first.Query("LogLevel"), "3");
}

TEST(EventFiringTest, PlatformRequestKeepsCopiesOfTheHostsBuffers) {
  TestHost host;
  static char host_text[] = "from host";
  static char host_bytes[] = {1, 2, 3, 4};
  std::vector<void*> released;
  host.set_handler([&](int id, int count, void** params) {
    if (id != OSTRASYNC_EVENT_PLATFORM_REQUEST) return 0;
    if (count == 2) {
      EXPECT_EQ(reinterpret_cast<intptr_t>(params[0]), 2000);
      released.push_back(params[1]);
      return 0;
    }
    auto** values = static_cast<void**>(params[1]);
    auto* lengths = static_cast<int*>(params[2]);
    values[0] = host_text;
    lengths[0] = 0;  // a string: measured by the component
    values[1] = host_bytes;
    lengths[1] = 4;
    return 0;
  });
  void* values[3] = {nullptr, nullptr, nullptr};
  int lengths[3] = {-1, -1, 5};
  EXPECT_EQ(host.kelvo().OnPlatformRequest(42, 3, values, lengths), 0);
  ASSERT_EQ(released.size(), 2u);
  EXPECT_EQ(released[0], host_text);
  ASSERT_NE(values[0], host_text);
  host_text[0] = 'X';  // the host may reuse its memory at once
  EXPECT_STREQ(static_cast<const char*>(values[0]), "from host");
  EXPECT_EQ(std::memcmp(values[1], "\1\2\3\4", 4), 0);
  EXPECT_EQ(values[2], nullptr);  // not requested from the host
}

}  // namespace
}  // namespace ostrasync::testing
