// Checks the pending-operation table: how echoes are matched and consumed, how entries are taken
// back, expire and are cleared, and its behaviour while switched off and under concurrent use.
#include "tracking/pending_operations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace ostrasync::tracking {
namespace {

using Op = PendingOpType;

class PendingOperationsTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kMaxAge = 1000;

  std::atomic<bool> enabled_{true};
  std::atomic<uint64_t> now_{5'000'000};
  std::vector<std::u16string> lines_;
  PendingOperations table_{enabled_, [this] { return now_.load(); }, kMaxAge,
                           [this](int level, std::u16string_view format,
                                  std::initializer_list<engine::LogArg> args) {
                             EXPECT_EQ(level, 4);
                             lines_.push_back(engine::FormatLogMessage(format, args));
                           }};

  bool Check(std::u16string_view path, Op type, bool is_dir = false) {
    return table_.CheckPendingOrRemove(path, type, is_dir);
  }
};

TEST_F(PendingOperationsTest, UpdatesAreCountedAndOtherEntriesConsumedOnce) {
  EXPECT_TRUE(table_.AddPending(u"\\f", Op::kUpdate, false));
  EXPECT_TRUE(table_.AddPending(u"\\f", Op::kUpdate, false));
  EXPECT_TRUE(Check(u"\\f", Op::kUpdate));
  EXPECT_TRUE(Check(u"\\f", Op::kUpdate));
  EXPECT_FALSE(Check(u"\\f", Op::kUpdate));

  EXPECT_TRUE(table_.AddPending(u"\\f", Op::kDelete, false));
  EXPECT_TRUE(table_.AddPending(u"\\f", Op::kDelete, false));
  EXPECT_FALSE(Check(u"\\f", Op::kRename));  // each type has its own entries
  EXPECT_FALSE(Check(u"\\F", Op::kDelete));  // and keys compare case-sensitively
  EXPECT_TRUE(Check(u"\\f", Op::kDelete));
  EXPECT_FALSE(Check(u"\\f", Op::kDelete));

  // RemoveAll takes the file form first, then the folder form.
  ASSERT_TRUE(table_.AddPending(u"\\a", Op::kDelete, false));
  ASSERT_TRUE(table_.AddPending(u"\\a", Op::kDelete, true));
  EXPECT_TRUE(table_.RemoveAll(u"\\a", Op::kDelete));
  EXPECT_TRUE(Check(u"\\a\\x", Op::kDelete));
  EXPECT_TRUE(table_.RemoveAll(u"\\a", Op::kDelete));
  EXPECT_FALSE(Check(u"\\a\\x", Op::kDelete));
  EXPECT_FALSE(table_.RemoveAll(u"\\a", Op::kDelete));
}

TEST_F(PendingOperationsTest, FolderEntryCoversItsDescendantsUntilItsOwnEcho) {
  ASSERT_TRUE(table_.AddPending(u"\\D", Op::kDelete, true));
  EXPECT_TRUE(Check(u"\\D\\x.txt", Op::kDelete));
  EXPECT_TRUE(Check(u"\\D\\sub\\y", Op::kDelete));
  EXPECT_TRUE(Check(u"\\D\\sub", Op::kDelete, true));
  EXPECT_FALSE(Check(u"\\Dx", Op::kDelete));
  EXPECT_FALSE(Check(u"\\D", Op::kDelete, false));  // a file of that name is not the folder
  EXPECT_TRUE(Check(u"\\D", Op::kDelete, true));
  EXPECT_FALSE(Check(u"\\D\\x.txt", Op::kDelete));

  // The root never counts as an ancestor, or one entry would hide every change.
  ASSERT_TRUE(table_.AddPending(u"\\", Op::kReset, true));
  EXPECT_FALSE(Check(u"\\x", Op::kReset));
  EXPECT_TRUE(Check(u"\\", Op::kReset, true));
}

TEST_F(PendingOperationsTest, FailedMethodTakesBackOnlyItsOwnShare) {
  ASSERT_TRUE(table_.AddPending(u"\\f", Op::kUpdate, false));
  ASSERT_TRUE(table_.AddPending(u"\\f", Op::kUpdate, false));
  EXPECT_TRUE(table_.CancelPending(u"\\f", Op::kUpdate, false));
  EXPECT_TRUE(Check(u"\\f", Op::kUpdate));
  EXPECT_FALSE(Check(u"\\f", Op::kUpdate));  // the user's next change is reported

  ASSERT_TRUE(table_.AddPending(u"\\D", Op::kDelete, true));
  ASSERT_TRUE(table_.AddPending(u"\\D", Op::kDelete, true));
  EXPECT_TRUE(table_.CancelPending(u"\\D", Op::kDelete, true));
  EXPECT_TRUE(Check(u"\\D\\x", Op::kDelete));  // the other deletion is still awaited
  EXPECT_TRUE(table_.CancelPending(u"\\D", Op::kDelete, true));
  EXPECT_FALSE(Check(u"\\D\\x", Op::kDelete));
  EXPECT_FALSE(table_.CancelPending(u"\\D", Op::kDelete, true));
}

TEST_F(PendingOperationsTest, EntriesWhoseEchoNeverComesExpire) {
  ASSERT_TRUE(table_.AddPending(u"\\D", Op::kUpdate, true));
  ASSERT_TRUE(table_.AddPending(u"\\f", Op::kRename, false));
  now_ += kMaxAge - 1;
  EXPECT_TRUE(Check(u"\\D\\x", Op::kUpdate));
  now_ += 1;
  EXPECT_FALSE(Check(u"\\D\\x", Op::kUpdate));
  EXPECT_FALSE(Check(u"\\f", Op::kRename));

  // A clock set back does not extend an entry's life either.
  ASSERT_TRUE(table_.AddPending(u"\\f", Op::kRename, false));
  now_ -= kMaxAge;
  EXPECT_FALSE(Check(u"\\f", Op::kRename));

  // A stale count does not carry over to a new operation on the same path.
  ASSERT_TRUE(table_.AddPending(u"\\g", Op::kUpdate, false));
  now_ += kMaxAge;
  ASSERT_TRUE(table_.AddPending(u"\\g", Op::kUpdate, false));
  EXPECT_TRUE(Check(u"\\g", Op::kUpdate));
  EXPECT_FALSE(Check(u"\\g", Op::kUpdate));

  // The periodic sweep drops old entries without waiting for a check.
  ASSERT_TRUE(table_.AddPending(u"\\h", Op::kDelete, false));
  now_ += kMaxAge;
  table_.RemoveExpired();
  now_ -= kMaxAge;
  EXPECT_FALSE(Check(u"\\h", Op::kDelete));
}

TEST_F(PendingOperationsTest, SwitchedOffOrUnknownTypeMatchesNothingAndClearEmptiesAll) {
  ASSERT_TRUE(table_.AddPending(u"\\f", Op::kDelete, false));
  enabled_ = false;
  EXPECT_FALSE(table_.AddPending(u"\\g", Op::kDelete, false));
  EXPECT_FALSE(Check(u"\\f", Op::kDelete));
  enabled_ = true;
  EXPECT_TRUE(Check(u"\\f", Op::kDelete));  // switching off consumed nothing
  EXPECT_FALSE(Check(u"\\g", Op::kDelete));

  for (Op bad : {static_cast<Op>(5), static_cast<Op>(-1)}) {
    EXPECT_FALSE(table_.AddPending(u"\\f", bad, false));
    EXPECT_FALSE(Check(u"\\f", bad));
    EXPECT_FALSE(table_.RemoveAll(u"\\f", bad));
    EXPECT_FALSE(table_.CancelPending(u"\\f", bad, false));
  }
  EXPECT_EQ(lines_[1], u"AddPending Path(\\g), IsDir(false), OpType(0)");
  EXPECT_EQ(lines_[2], u"CheckPendingOrRemove Path(\\f), IsDir(false), OpType(0)");
  EXPECT_EQ(lines_.back(), u"RemoveAll Path(\\f), OpType(-1)");

  // Clear empties every type's table.
  for (int type = 0; type < 5; ++type) {
    ASSERT_TRUE(table_.AddPending(u"\\f", static_cast<Op>(type), false));
  }
  table_.Clear();
  for (int type = 0; type < 5; ++type) EXPECT_FALSE(Check(u"\\f", static_cast<Op>(type)));
}

// Verify that concurrent methods and echoes on one path neither lose nor invent an update, while
// other types are used at the same time.
TEST_F(PendingOperationsTest, ConcurrentAddsAndChecksBalance) {
  // A table without a log, so that the threads share no test state but the table.
  PendingOperations table(enabled_, [this] { return now_.load(); }, kMaxAge);
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::atomic<int> matched{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const Op other = static_cast<Op>(t % 3 == 0 ? 0 : t % 3 == 1 ? 2 : 4);
      for (int i = 0; i < kPerThread; ++i) {
        table.AddPending(u"\\shared", Op::kUpdate, false);
        if (table.CheckPendingOrRemove(u"\\shared", Op::kUpdate, false)) matched++;
        table.AddPending(u"\\D", other, true);
        (void)table.CheckPendingOrRemove(u"\\D\\x", other, false);
        table.CancelPending(u"\\D", other, true);
        if (i % 100 == 0) table.RemoveExpired();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  int left = 0;
  while (table.CheckPendingOrRemove(u"\\shared", Op::kUpdate, false)) left++;
  EXPECT_EQ(matched.load() + left, kThreads * kPerThread);
}

}  // namespace
}  // namespace ostrasync::tracking
