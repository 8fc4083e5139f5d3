// Verify that concurrent threads never see, or free, each other's errors and result buffers.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_host.h"

namespace ostrasync::testing {
namespace {

TEST(ThreadIsolationTest, ErrorsAndResultBuffersBelongToTheirThread) {
  TestHost host;
  ASSERT_EQ(OstraSync_Kelvo_Set(host.handle(), 4, 0, "C:\\root"), 0);
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string mine = "thread " + std::to_string(t);
      for (int round = 0; round < kRounds; ++round) {
        OstraSync_Kelvo_SetLastErrorAndCode(host.handle(), t + 1, mine.c_str());
        OstraSync_Kelvo_SetEventErrorAndCode(host.handle(), 100 + t, mine.c_str());
        // Property and Config results land in per-thread buffers; read them while others do too.
        const char* path = static_cast<const char*>(OstraSync_Kelvo_Get(host.handle(), 4));
        std::string level;
        host.Config("LogLevel", &level);
        if (std::string(path) != "C:\\root" || level != "3") ++failures;
        OstraSync_Kelvo_SetLastErrorAndCode(host.handle(), t + 1, mine.c_str());
        if (OstraSync_Kelvo_GetLastErrorCode(host.handle()) != t + 1) ++failures;
        if (OstraSync_Kelvo_GetLastError(host.handle()) != mine) ++failures;
        if (OstraSync_Kelvo_GetEventErrorCode(host.handle()) != 100 + t) ++failures;
        if (OstraSync_Kelvo_GetEventError(host.handle()) != mine) ++failures;
        // A failing method records its own code on this thread only.
        if (OstraSync_Kelvo_Do(host.handle(), OSTRASYNC_METHOD_DEACTIVATE, 0, nullptr, nullptr) != 21 ||
            OstraSync_Kelvo_GetLastErrorCode(host.handle()) != 21) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(ThreadIsolationTest, PropertyValueStaysValidWhileAnotherThreadReadsIt) {
  TestHost host;
  ASSERT_EQ(OstraSync_Kelvo_Set(host.handle(), 3, 0, "Label one"), 0);
  const char* mine = static_cast<const char*>(OstraSync_Kelvo_Get(host.handle(), 3));
  std::thread([&] {
    for (int i = 0; i < 100; ++i) (void)OstraSync_Kelvo_Get(host.handle(), 3);
  }).join();
  EXPECT_STREQ(mine, "Label one");
}

}  // namespace
}  // namespace ostrasync::testing
