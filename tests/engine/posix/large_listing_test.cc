// A folder of 100,000 items listed on demand: the host reports them all in one ListDirectory,
// they reach the disk batch by batch while it reports, the user sees every one with its size,
// and the folder is never asked about again.
#include <gmock/gmock.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "engine/sync_engine.h"
#include "engine_host.h"
#include "platform/posix/user_side.h"

namespace ostrasync::testing {
namespace {

// Under a sanitizer every item costs several times more, and on a busy machine more again: the
// full count took a third of the test's time limit there on an idle machine and ran out of it on
// a busy one. The sanitizers look for races and bad memory use, which a tenth of the items meet
// as well (ten batches of a thousand); the release build runs the full count (the `large` label).
#if defined(OSTRASYNC_TESTS_SANITIZED)
constexpr int kItems = 10000;
#else
constexpr int kItems = 100000;
#endif

std::string Name(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "f%06d", i);
  return name;
}
int64_t SizeOf(int i) { return static_cast<int64_t>(i) * 7 % 100003; }

TEST(LargeListingTest, AHundredThousandItemsArePlacedOnDemandOnceAndNotAskedForAgain) {
  TempTree tree;
  // The OS's wait for the listing starts again at each batch the engine places (kOsWaitsMs).
  EmulatedPlatform emulation(tree.state());
  EngineHost host(emulation);
  ASSERT_EQ(host.Config("LogLevel=3"), 0);  // a line per item would be most of the work
  ASSERT_EQ(host.SetRoot(tree.root()), 0);
  ASSERT_EQ(host.Config("WindowsCreatePlaceholdersOnDemand=true"), 0);
  ASSERT_EQ(host.Install(), 0) << host.LastErrorText();
  ASSERT_EQ(host.Activate(true), 0) << host.LastErrorText();

  int refused = 0;
  host.set_answer([&](HostEvent& e) {
    if (e.id != OSTRASYNC_EVENT_LIST_DIRECTORY) return 0;
    int64_t handle = e.task_id, time = 0x01D5000000000000;
    for (int i = 0; i < kItems; ++i) {
      const std::string name = Name(i);
      int64_t size = SizeOf(i);
      refused += host.Do(OSTRASYNC_METHOD_LIST_FILE,
                         {&handle, const_cast<char*>(name.c_str()), nullptr, &size, &time, &time, &time}) != 0;
    }
    return 0;
  });

  std::unique_ptr<platform::UserSide> user = platform::NewUserSide();
  std::vector<platform::FindData> entries;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(user->List(platform::ToWin32Path(tree.root()), &entries), platform::kSOk);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(refused, 0);
  ASSERT_EQ(entries.size(), static_cast<size_t>(kItems));
  std::map<std::string, int64_t> seen;
  for (const platform::FindData& entry : entries) seen[EngineHost::Utf8(entry.name)] = entry.file_size;
  ASSERT_EQ(seen.size(), static_cast<size_t>(kItems));
  int wrong = 0;
  for (int i = 0; i < kItems; ++i) {
    const auto it = seen.find(Name(i));
    wrong += it == seen.end() || it->second != SizeOf(i);
  }
  EXPECT_EQ(wrong, 0) << "items missing or with the wrong size";
  EXPECT_EQ(static_cast<component::Kelvo*>(host.handle())->engine().metadata_cache().Count(),
            static_cast<size_t>(kItems));

  ASSERT_EQ(user->List(platform::ToWin32Path(tree.root()), &entries), platform::kSOk);
  EXPECT_EQ(entries.size(), static_cast<size_t>(kItems));
  EXPECT_EQ(host.Events(OSTRASYNC_EVENT_LIST_DIRECTORY).size(), 1u) << "the folder is asked about once";
  EXPECT_TRUE(host.Events(OSTRASYNC_EVENT_ERROR).empty());
  RecordProperty("first_listing_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

}  // namespace
}  // namespace ostrasync::testing
