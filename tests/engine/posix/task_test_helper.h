// Tests of tasks and callbacks on a component activated over the Linux emulation: single passes
// of the monitor, the checker and the dispatcher, clocks the test moves on, and the firing of a
// task's event as the engine's firers do it.
#ifndef OSTRASYNC_TESTS_ENGINE_TASK_TEST_HELPER_H_
#define OSTRASYNC_TESTS_ENGINE_TASK_TEST_HELPER_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/sync_engine.h"
#include "engine_host.h"
#include "platform/testing/platform_wrapper.h"

namespace ostrasync::engine {

class TaskTestPeer {
 public:
  // The monitor's passes are then the test's to run.
  static void StopMonitor(SyncEngine& engine) {
    engine.monitor_thread_.RequestStop();
    engine.monitor_thread_.Join();
  }
  static bool MonitorPass(SyncEngine& engine, std::size_t* cursor) { return engine.CompleteFinishedTasks(cursor, nullptr); }
  static void CheckerPass(SyncEngine& engine) { engine.CancelExpiredTasks(nullptr); }
  static void Dispatch(SyncEngine& engine, platform::cf::CallbackType type, const platform::CallbackInfo& info,
                       platform::CallbackParameters* parameters) {
    engine.DispatchCallback(type, info, parameters);
  }
};

}  // namespace ostrasync::engine

namespace ostrasync::testing {

// The emulation, with a monotonic clock that only the test moves on (a real one would age tasks
// while a busy machine runs the test slowly) and a wall clock the test steps.
class SteppedClockPlatform final : public platform::testing::PlatformWrapper {
 public:
  explicit SteppedClockPlatform(platform::Platform& target) : PlatformWrapper(target), clock_(target.system()) {}
  platform::SystemServices& system() override { return clock_; }
  void AdvanceMonotonic(int64_t ms) { clock_.monotonic_offset += ms; }
  void StepWallClock(int64_t ms) { clock_.wall_offset += ms; }

 private:
  struct Clock final : platform::testing::SystemServicesWrapper {
    explicit Clock(platform::SystemServices& target)
        : SystemServicesWrapper(target), monotonic_start(target.MonotonicMilliseconds()) {}
    uint64_t NowFileTime() override { return target().NowFileTime() + static_cast<uint64_t>(wall_offset.load() * 10000); }
    int64_t MonotonicMilliseconds() override { return monotonic_start + monotonic_offset.load(); }
    const int64_t monotonic_start;
    std::atomic<int64_t> monotonic_offset{0};
    std::atomic<int64_t> wall_offset{0};
  };
  Clock clock_;
};

class ActiveEngineTest : public ::testing::Test {
 protected:
  // `os_timeout_ms`: how long the emulated OS waits for the engine's answers (see kOsWaitsMs).
  explicit ActiveEngineTest(uint32_t os_timeout_ms = kOsWaitsMs)
      : emulation_(tree_.state(), false, os_timeout_ms), platform_(emulation_),
        host_(std::make_unique<EngineHost>(platform_)) {}

  // Installs and activates with `settings` applied first. Placeholders are created only on demand,
  // so that activation asks the host for nothing.
  void Start(const std::vector<std::string>& settings = {}) {
    ASSERT_EQ(host_->SetRoot(tree_.root()), 0);
    ASSERT_EQ(host_->Config("WindowsCreatePlaceholdersOnDemand=true"), 0);
    for (const std::string& setting : settings) ASSERT_EQ(host_->Config(setting), 0) << setting;
    ASSERT_EQ(host_->Install(), 0) << host_->LastErrorText();
    ASSERT_EQ(host_->Activate(true), 0) << host_->LastErrorText();
  }

  engine::SyncEngine& engine() { return static_cast<component::Kelvo*>(host_->handle())->engine(); }

  // A registered task whose event went to the host the way every firer sends it; *result is the
  // handler's answer. A synchronous task's firer is the caller, who removes it.
  engine::TaskRef FireNew(engine::OperationType type, std::u16string_view path, int* result) {
    engine::SyncEngine& e = engine();
    engine::TaskRef task = e.NewTask(path, type);
    EXPECT_TRUE(task);
    e.FireTaskEvent(*task, u"UpdateFile", path, result, [&](int* code) {
      return e.sink().OnUpdateFile(task->id(), path, 0, 0, 0, 0, 0, 0, code);
    });
    e.EndTaskHandler(*task, *result);
    return task;
  }
  // An asynchronous task: the host answers UpdateFile with 0x21000001.
  int64_t NewAsyncTask(engine::OperationType type, std::u16string_view path) {
    host_->set_answer([](HostEvent& event) {
      if (event.id == OSTRASYNC_EVENT_UPDATE_FILE) event.code = OSTRASYNC_ERR_PENDING;
      return 0;
    });
    int result = 0;
    engine::TaskRef task = FireNew(type, path, &result);
    EXPECT_EQ(result, OSTRASYNC_ERR_PENDING);
    host_->set_answer(nullptr);
    return task->id();
  }

  int Finalize(int64_t op_id, int error_code) {
    return host_->Do(OSTRASYNC_METHOD_FINALIZE_TASK, {&op_id, reinterpret_cast<void*>(static_cast<intptr_t>(error_code))});
  }
  // A statistic read through Config.
  int64_t Statistic(const std::string& name) {
    std::vector<char> text(name.begin(), name.end());
    text.push_back('\0');
    void* params[2] = {text.data(), nullptr};
    int cbparams[2] = {0, 0};
    EXPECT_EQ(OstraSync_Kelvo_Do(host_->handle(), OSTRASYNC_METHOD_CONFIG, 1, params, cbparams), 0);
    return params[1] ? std::stoll(static_cast<const char*>(params[1])) : -1;
  }
  int64_t TaskCount() { return Statistic("PendingOperationCount"); }

  std::vector<int> ErrorCodes() {
    std::vector<int> codes;
    for (const HostEvent& e : host_->Events(OSTRASYNC_EVENT_ERROR)) codes.push_back(e.code);
    return codes;
  }
  std::vector<int64_t> CancelledIds() {
    std::vector<int64_t> ids;
    for (const HostEvent& e : host_->Events(OSTRASYNC_EVENT_CANCEL_TASK)) ids.push_back(e.task_id);
    return ids;
  }

  TempTree tree_;
  EmulatedPlatform emulation_;
  SteppedClockPlatform platform_;
  std::unique_ptr<EngineHost> host_;
};

}  // namespace ostrasync::testing

#endif  // OSTRASYNC_TESTS_ENGINE_TASK_TEST_HELPER_H_
