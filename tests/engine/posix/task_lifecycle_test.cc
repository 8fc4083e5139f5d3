// Tasks handed to the host: synchronous and asynchronous answers, FinalizeTask from any thread,
// the monitor's batches, expiry, cancellation and deactivation with tasks pending.
#include <chrono>
#include <thread>

#include "task_test_helper.h"

namespace ostrasync::testing {
namespace {

using engine::OperationType;
using engine::TaskTestPeer;
using Clock = std::chrono::steady_clock;

constexpr int kBackendError = OSTRASYNC_ERR_BACKEND;

class TaskLifecycleTest : public ActiveEngineTest {
 protected:
  // Runs monitor passes until one ends its batch; returns how many passes that took.
  int MonitorUntilIdle() {
    std::size_t cursor = 0;
    int passes = 1;
    while (TaskTestPeer::MonitorPass(engine(), &cursor)) ++passes;
    return passes;
  }
  bool WaitForTaskCount(int64_t count) {
    const auto deadline = Clock::now() + kTestPatience;
    while (TaskCount() != count) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
};

TEST_F(TaskLifecycleTest, ASynchronousTaskBelongsToItsFirer) {
  Start();
  TaskTestPeer::StopMonitor(engine());
  engine::SyncEngine& e = engine();
  engine::TaskRef task = e.NewTask(u"\\doc.txt", OperationType::kReadData);
  host_->set_answer([&](HostEvent& event) {
    if (event.id == OSTRASYNC_EVENT_UPDATE_FILE) {
      EXPECT_EQ(Finalize(event.task_id, kBackendError), 0) << "finalising inside the handler is accepted";
    }
    return 0;
  });
  int result = -1;
  e.FireTaskEvent(*task, u"GetFileData", u"\\doc.txt", &result,
                  [&](int* code) { return e.sink().OnUpdateFile(task->id(), u"\\doc.txt", 0, 0, 0, 0, 0, 0, code); });
  EXPECT_EQ(result, 0);
  // A fetch's handler that finalises on its own thread gives the lock up; its firer then has
  // nothing left to leave.
  EXPECT_FALSE(task->handler_lock.Held());
  e.EndTaskHandler(*task, result);
  EXPECT_FALSE(task->handler_lock.Held());
  EXPECT_EQ(task->async_start.load(), 0);
  EXPECT_TRUE(task->finished.load());
  EXPECT_EQ(Statistic("StatPendingTasks"), 0);

  // Finished, but never asynchronous: the monitor leaves its completion to the firer.
  MonitorUntilIdle();
  EXPECT_TRUE(ErrorCodes().empty());
  EXPECT_EQ(TaskCount(), 1);
  EXPECT_TRUE(e.task_registry().Remove(task.get()));
  EXPECT_FALSE(e.task_registry().Remove(task.get())) << "a second removal finds nothing";
  EXPECT_EQ(TaskCount(), 0);
}

TEST_F(TaskLifecycleTest, FinalizeFromAnotherThreadBeforeTheFirerReturns) {
  Start();
  engine::SyncEngine& e = engine();
  engine::TaskRef task = e.NewTask(u"\\early.txt", OperationType::kReadData);
  bool owner_kept_lock = false;
  host_->set_answer([&](HostEvent& event) {
    if (event.id != OSTRASYNC_EVENT_UPDATE_FILE) return 0;
    std::thread([&] { EXPECT_EQ(Finalize(event.task_id, kBackendError), 0); }).join();
    // Another thread's FinalizeTask never leaves the lock this handler's firer holds.
    owner_kept_lock = task->handler_lock.HeldByCurrentThread();
    event.code = OSTRASYNC_ERR_PENDING;
    return 0;
  });
  int result = 0;
  e.FireTaskEvent(*task, u"GetFileData", u"\\early.txt", &result,
                  [&](int* code) { return e.sink().OnUpdateFile(task->id(), u"\\early.txt", 0, 0, 0, 0, 0, 0, code); });
  EXPECT_TRUE(task->handler_lock.HeldByCurrentThread());
  e.EndTaskHandler(*task, result);
  EXPECT_TRUE(owner_kept_lock);
  EXPECT_FALSE(task->handler_lock.Held()) << "left once, by its owner";
  EXPECT_GE(task->async_start.load(), 1);

  // The running monitor completes it and reports the failed fetch.
  ASSERT_TRUE(WaitForTaskCount(0));
  EXPECT_EQ(ErrorCodes().size(), 1u);
  EXPECT_EQ(Finalize(task->id(), 0), OSTRASYNC_ERR_INVALID_OPID);
  EXPECT_EQ(host_->LastErrorText(), "Invalid OpId");
}

TEST_F(TaskLifecycleTest, FinalizeFromAnotherThreadAfterTheFirerReturns) {
  Start();
  engine().metadata_cache().AddNewItemToCache(u"\\gone.txt", u"gone.txt", 0, 1, 1, 1, 1);
  const int64_t deleted = NewAsyncTask(OperationType::kDelete, u"\\gone.txt");
  const int64_t failing = NewAsyncTask(OperationType::kCreate, u"\\new.txt");
  EXPECT_EQ(Statistic("StatPendingTasks"), 2);
  std::thread([&] {
    EXPECT_EQ(Finalize(deleted, OSTRASYNC_ERR_ITEM_GONE), 0);
    EXPECT_EQ(Finalize(failing, kBackendError), 0);
  }).join();
  ASSERT_TRUE(WaitForTaskCount(0));
  EXPECT_TRUE(engine().metadata_cache().NoItemInCache(u"\\gone.txt"));
  // An item the host no longer had is deleted, not failed; the failed creation is reported.
  EXPECT_EQ(ErrorCodes(), std::vector<int>{kBackendError});
  EXPECT_EQ(host_->Events(OSTRASYNC_EVENT_ERROR).at(0).text, "Asynchronous operation failed");

  for (int64_t bad : {int64_t{0}, int64_t{-3}, failing, failing + 100}) {
    EXPECT_EQ(Finalize(bad, 0), OSTRASYNC_ERR_INVALID_OPID) << bad;
  }
}

TEST_F(TaskLifecycleTest, MonitorBatchesFollowTheBatchSize) {
  Start();
  TaskTestPeer::StopMonitor(engine());
  struct Case {
    const char* setting;
    std::vector<int64_t> left_after_each_pass;
  };
  for (const Case& c : {Case{"PendingOpsProcessingBatchSize=2", {3, 1, 0}}, Case{"PendingOpsProcessingBatchSize=0", {0}},
                        Case{"PendingOpsProcessingBatchSize=-1", {0}}}) {
    ASSERT_EQ(host_->Config(c.setting), 0);
    std::vector<int64_t> ids;
    for (int i = 0; i < 5; ++i) ids.push_back(NewAsyncTask(OperationType::kDelete, u"\\f" + std::u16string(1, u'0' + i)));
    for (int64_t id : ids) ASSERT_EQ(Finalize(id, 0), 0);
    std::size_t cursor = 0;
    for (size_t pass = 0; pass < c.left_after_each_pass.size(); ++pass) {
      const bool more = TaskTestPeer::MonitorPass(engine(), &cursor);
      EXPECT_EQ(TaskCount(), c.left_after_each_pass[pass]) << c.setting << " pass " << pass;
      EXPECT_EQ(more, pass + 1 < c.left_after_each_pass.size()) << c.setting << " pass " << pass;
    }
  }
  EXPECT_TRUE(ErrorCodes().empty());
}

TEST_F(TaskLifecycleTest, ExpiryCancelsOnlyUnfinishedTasksByTheMonotonicClock) {
  Start({"PendingTaskTimeout=1"});
  TaskTestPeer::StopMonitor(engine());
  const int64_t waiting = NewAsyncTask(OperationType::kWriteData, u"\\slow.txt");
  const int64_t finalised = NewAsyncTask(OperationType::kDelete, u"\\done.txt");

  // A step of the wall clock ages nothing.
  platform_.StepWallClock(int64_t{365} * 24 * 3600 * 1000);
  TaskTestPeer::CheckerPass(engine());
  EXPECT_TRUE(CancelledIds().empty());

  platform_.AdvanceMonotonic(900);
  TaskTestPeer::CheckerPass(engine());
  EXPECT_TRUE(CancelledIds().empty());

  // Finalised just before its time ran out: the monitor completes it, the checker leaves it.
  ASSERT_EQ(Finalize(finalised, 0), 0);
  platform_.AdvanceMonotonic(200);
  TaskTestPeer::CheckerPass(engine());
  ASSERT_EQ(CancelledIds(), std::vector<int64_t>{waiting});
  const HostEvent cancel = host_->Events(OSTRASYNC_EVENT_CANCEL_TASK).at(0);
  EXPECT_EQ(cancel.code, OSTRASYNC_ERR_TASK_EXPIRED);
  EXPECT_EQ(cancel.text, "\\slow.txt");
  EXPECT_EQ(Finalize(waiting, 0), OSTRASYNC_ERR_INVALID_OPID) << "the checker removed it";
  EXPECT_EQ(TaskCount(), 1);
  MonitorUntilIdle();
  EXPECT_EQ(TaskCount(), 0);
  EXPECT_TRUE(ErrorCodes().empty());
}

TEST_F(TaskLifecycleTest, TheCheckerThreadRunsWhenATimeoutIsSet) {
  Start({"PendingTaskTimeout=1"});
  const int64_t id = NewAsyncTask(OperationType::kWriteData, u"\\stuck.txt");
  platform_.AdvanceMonotonic(5000);
  ASSERT_TRUE(host_->WaitForEvents(OSTRASYNC_EVENT_CANCEL_TASK, 1));
  EXPECT_EQ(CancelledIds(), std::vector<int64_t>{id});
  EXPECT_TRUE(WaitForTaskCount(0));
}

TEST_F(TaskLifecycleTest, AHostObjectingToACancelKeepsItsTask) {
  Start();
  TaskTestPeer::StopMonitor(engine());
  const int64_t id = NewAsyncTask(OperationType::kWriteData, u"\\upload.txt");
  host_->set_answer([](HostEvent& event) {
    if (event.id == OSTRASYNC_EVENT_CANCEL_TASK) event.code = kBackendError;
    return 0;
  });
  EXPECT_FALSE(engine().CancelTransferByPath(u"\\upload.txt", -1));
  EXPECT_EQ(CancelledIds(), std::vector<int64_t>{id});
  // Neither cancelled nor finished: the upload is not declared in sync behind the host's back.
  MonitorUntilIdle();
  EXPECT_EQ(TaskCount(), 1);
  EXPECT_TRUE(ErrorCodes().empty());
  EXPECT_EQ(Statistic("StatPendingTasks"), 1);

  // Its own failure still reaches the host.
  ASSERT_EQ(Finalize(id, kBackendError), 0);
  MonitorUntilIdle();
  EXPECT_EQ(TaskCount(), 0);
  EXPECT_EQ(ErrorCodes(), std::vector<int>{kBackendError});

  // A host that agrees: the task is cancelled once, and its late FinalizeTask is refused.
  host_->set_answer(nullptr);
  const int64_t agreed = NewAsyncTask(OperationType::kWriteData, u"\\other.txt");
  EXPECT_TRUE(engine().CancelTransferByPath(u"\\other.txt", static_cast<int>(OperationType::kWriteData)));
  EXPECT_FALSE(engine().CancelTransferByPath(u"\\other.txt", -1)) << "already cancelled";
  EXPECT_EQ(Statistic("StatPendingTasks"), 0);
  MonitorUntilIdle();
  EXPECT_EQ(ErrorCodes().size(), 1u) << "a cancelled task is never completed";
  EXPECT_EQ(Finalize(agreed, 0), OSTRASYNC_ERR_CANCELLED);
  EXPECT_EQ(TaskCount(), 0) << "answered, the cancelled task leaves the registry";
}

TEST_F(TaskLifecycleTest, DeactivateCancelsPendingTasksNewestFirstAndPromptly) {
  Start();
  std::vector<int64_t> ids;
  for (const char16_t* path : {u"\\a", u"\\b", u"\\c"}) ids.push_back(NewAsyncTask(OperationType::kReadData, path));

  // A host objecting during deactivation keeps the engine running.
  host_->set_answer([](HostEvent& event) {
    if (event.id == OSTRASYNC_EVENT_CANCEL_TASK) event.code = kBackendError;
    return 0;
  });
  EXPECT_EQ(host_->Deactivate(), kBackendError);
  EXPECT_EQ(host_->State(), 2);
  host_->set_answer(nullptr);
  host_->ClearEvents();

  // Nothing is left to wait for: a wait for tasks still registered would run until its deadline,
  // which the test's clock, standing still, never reaches.
  EXPECT_EQ(host_->Deactivate(), 0);
  EXPECT_EQ(host_->State(), 0);
  std::vector<int64_t> cancelled = CancelledIds();
  EXPECT_GE(cancelled.size(), 2u);
  EXPECT_TRUE(std::is_sorted(cancelled.rbegin(), cancelled.rend())) << "newest first";
  EXPECT_EQ(TaskCount(), 0);
  EXPECT_EQ(engine().task_registry().PoolSizeForTest(), 0u);
  EXPECT_EQ(Finalize(ids[0], 0), OSTRASYNC_ERR_WINDOWS_NOT_READY);
}

// Firing, finalising, cancelling, expiring, completing and callbacks all at once: no deadlock, no
// race (under the thread sanitizer), and nothing left after deactivation.
TEST_F(TaskLifecycleTest, ConcurrentFinaliseCancelExpiryAndDispatch) {
  Start({"PendingOpsProcessingBatchSize=3", "PendingTaskTimeout=1"});
  ASSERT_EQ(host_->Config("LogLevel=1"), 0);  // thousands of tasks: only failures are logged
  std::atomic<bool> stop{false};
  std::atomic<int64_t> last_id{0};
  host_->set_answer([&](HostEvent& event) {
    if (event.id == OSTRASYNC_EVENT_UPDATE_FILE) {
      last_id.store(event.task_id);
      event.code = event.task_id % 3 == 0 ? 0 : OSTRASYNC_ERR_PENDING;
    }
    if (event.id == OSTRASYNC_EVENT_CANCEL_TASK && event.task_id % 4 == 0) event.code = kBackendError;
    return 0;
  });
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; !stop.load(); ++i) {
      int result = 0;
      static constexpr OperationType kTypes[] = {OperationType::kReadData, OperationType::kDelete,
                                                 OperationType::kWriteData};
      engine::TaskRef task = FireNew(kTypes[i % 3],
                                     u"\\p" + std::u16string(1, static_cast<char16_t>(u'0' + i % 8)), &result);
      if (result != OSTRASYNC_ERR_PENDING) (void)engine().task_registry().Remove(task.get());
    }
  });
  threads.emplace_back([&] {
    while (!stop.load()) (void)Finalize(last_id.load() - 1, 0);
  });
  threads.emplace_back([&] {
    for (int i = 0; !stop.load(); ++i) {
      (void)engine().CancelTransferByPath(u"\\p" + std::u16string(1, static_cast<char16_t>(u'0' + i % 8)), -1);
    }
  });
  threads.emplace_back([&] {
    while (!stop.load()) {
      platform_.AdvanceMonotonic(300);
      TaskTestPeer::CheckerPass(engine());
    }
  });
  threads.emplace_back([&] {
    platform::CallbackInfo info;
    info.normalized_path = platform::ToWin32Path(tree_.root()) + u"\\p1";
    while (!stop.load()) TaskTestPeer::Dispatch(engine(), platform::cf::kCancelFetchData, info, nullptr);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  stop.store(true);
  for (std::thread& t : threads) t.join();
  host_->set_answer(nullptr);
  EXPECT_EQ(host_->Deactivate(), 0);
  EXPECT_EQ(TaskCount(), 0);
}

}  // namespace
}  // namespace ostrasync::testing
