// The OS callbacks as the emulation's user side raises them: what the user sees, what the host
// hears, serialisation, and deactivation while a callback is inside the engine.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <thread>

#include "platform/cloud_files_binding.h"
#include "platform/posix/user_side.h"
#include "task_test_helper.h"

namespace ostrasync::testing {
namespace {

using engine::OperationType;
using engine::TaskTestPeer;
using platform::HResultFromWin32;
using Clock = std::chrono::steady_clock;

constexpr platform::HResult kRefused = HResultFromWin32(platform::win32::kCloudFileAccessDenied);

class CallbackDispatchTest : public ActiveEngineTest {
 protected:
  using ActiveEngineTest::ActiveEngineTest;
  std::u16string Root() const { return platform::ToWin32Path(tree_.root()); }
  std::u16string In(const std::string& name) const { return platform::ToWin32Path(tree_.root() + "/" + name); }

  // A dehydrated file placeholder, or a folder placeholder whose content the OS has yet to ask for.
  void MakePlaceholder(const std::string& name, bool folder = false) {
    platform::PlaceholderCreateEntry entry;
    entry.relative_name = std::u16string(name.begin(), name.end());
    entry.metadata.file_size = folder ? 0 : 8192;
    entry.metadata.attributes = folder ? platform::attr::kDirectory : 0;
    entry.identity = {'i', 'd'};
    entry.flags = platform::cf::kPlaceholderCreateMarkInSync;
    ASSERT_EQ(platform_.cloud_files().CreatePlaceholders(Root(), std::span(&entry, 1), 0, nullptr), platform::kSOk);
  }
  // A file with its data on disk, in sync.
  void MakeHydratedFile(const std::string& name) {
    std::ofstream(tree_.root() + "/" + name) << std::string(5000, 'x');
    platform::FileHandlePtr file;
    platform::OpenRequest open;
    open.desired_access = platform::access::kGenericRead;
    ASSERT_EQ(platform_.file_system().Open(In(name), open, &file), 0u);
    const uint8_t identity[] = {'i', 'd'};
    ASSERT_EQ(platform_.cloud_files().ConvertToPlaceholder(*file, identity, platform::cf::kConvertMarkInSync),
              platform::kSOk);
  }
  bool WaitForLog(const std::string& fragment) {
    const auto deadline = Clock::now() + kTestPatience;
    while (!host_->Logged(fragment)) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  std::string Utf8(const std::u16string& text) { return EngineHost::Utf8(text); }
  // A host that refuses to serve file data: the user's read fails at once with its code.
  static void RefuseFileData(HostEvent& event) {
    if (event.id == OSTRASYNC_EVENT_GET_FILE_DATA) event.code = OSTRASYNC_ERR_OPERATION_DENIED;
  }

  std::unique_ptr<platform::UserSide> user_ = platform::NewUserSide();
};

TEST_F(CallbackDispatchTest, FetchAndListingAreRefusedAtOnceAndReported) {
  Start();
  host_->set_answer([](HostEvent& event) {
    RefuseFileData(event);
    if (event.id == OSTRASYNC_EVENT_LIST_DIRECTORY) event.code = OSTRASYNC_ERR_OPERATION_DENIED;
    return 0;
  });
  MakePlaceholder("file.bin");
  MakePlaceholder("folder", /*folder=*/true);
  std::vector<uint8_t> buffer(100);
  uint32_t read = 0;
  // The refusal, not the OS's time-out, ends the user's wait.
  EXPECT_EQ(user_->Read(In("file.bin"), 0, buffer, &read), kRefused);
  std::vector<platform::FindData> entries;
  EXPECT_EQ(user_->List(In("folder"), &entries), kRefused);

  ASSERT_TRUE(host_->WaitForEvents(OSTRASYNC_EVENT_ERROR, 2));
  for (const HostEvent& error : host_->Events(OSTRASYNC_EVENT_ERROR)) {
    EXPECT_EQ(error.code, OSTRASYNC_ERR_OPERATION_DENIED);
    EXPECT_EQ(error.text, "Placeholder callback failed");
  }
  EXPECT_TRUE(host_->Logged("Placeholder callback fired for '" + Utf8(In("file.bin")) +
                            "', type: CF_CALLBACK_TYPE_FETCH_DATA"));
  EXPECT_TRUE(host_->Logged("Placeholder callback failed for '" + Utf8(In("folder")) +
                            "'. Type: CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS, error code: 0x21000006"));
  EXPECT_EQ(TaskCount(), 0);
}

TEST_F(CallbackDispatchTest, DehydrationIsRefusedAndItsCompletionFinishesQuietly) {
  Start();
  MakeHydratedFile("kept.txt");
  EXPECT_EQ(user_->Dehydrate(In("kept.txt")), kRefused);
  ASSERT_TRUE(WaitForLog("Placeholder callback type CF_CALLBACK_TYPE_NOTIFY_DEHYDRATE_COMPLETION finished "
                         "successfully for '" + Utf8(In("kept.txt")) + "'"));
  ASSERT_TRUE(host_->WaitForEvents(OSTRASYNC_EVENT_ERROR, 1));
  EXPECT_EQ(host_->Events(OSTRASYNC_EVENT_ERROR).size(), 1u) << "only the refusal is an error";
  EXPECT_EQ(std::filesystem::file_size(tree_.root() + "/kept.txt"), 5000u);
}

TEST_F(CallbackDispatchTest, OpenAndCloseArriveWithOnlineOnlyAndNeedNoAnswer) {
  Start({"OnlineOnly=true"});
  MakePlaceholder("doc.txt");
  ASSERT_EQ(user_->Open(In("doc.txt")), platform::kSOk);
  ASSERT_EQ(user_->Close(In("doc.txt")), platform::kSOk);
  for (const char* type : {"OPEN", "CLOSE"}) {
    EXPECT_TRUE(WaitForLog(std::string("Placeholder callback type CF_CALLBACK_TYPE_NOTIFY_FILE_") + type +
                           "_COMPLETION finished successfully for '" + Utf8(In("doc.txt")) + "'"));
  }
  EXPECT_TRUE(host_->Events(OSTRASYNC_EVENT_ERROR).empty());
  EXPECT_EQ(TaskCount(), 0);
}

TEST_F(CallbackDispatchTest, CancelsFindTheirTaskByTheRelativePath) {
  Start();
  engine::TaskRef listing = engine().NewTask(u"\\", OperationType::kList);
  engine::TaskRef fetch = engine().NewTask(u"\\Dir\\f.txt", OperationType::kReadData);
  platform::CallbackInfo info;
  // The root itself, as the OS names it: without the trailing backslash.
  info.normalized_path = Root();
  TaskTestPeer::Dispatch(engine(), platform::cf::kCancelFetchPlaceholders, info, nullptr);
  // The root's part of the path compares without regard to case.
  std::u16string shouting = Root();
  for (char16_t& c : shouting) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  info.normalized_path = shouting + u"\\Dir\\f.txt";
  TaskTestPeer::Dispatch(engine(), platform::cf::kCancelFetchData, info, nullptr);
  EXPECT_EQ(CancelledIds(), (std::vector<int64_t>{listing->id(), fetch->id()}));
  EXPECT_EQ(TaskCount(), 0);
  EXPECT_FALSE(listing->registered.load());

  // No task, or a path outside the root (a sibling whose name begins with the root's): nothing
  // to cancel, nothing to report.
  info.normalized_path = Root() + u"\\Dir\\f.txt";
  TaskTestPeer::Dispatch(engine(), platform::cf::kCancelFetchData, info, nullptr);
  info.normalized_path = Root() + u"X\\Dir\\f.txt";
  TaskTestPeer::Dispatch(engine(), platform::cf::kCancelFetchData, info, nullptr);
  EXPECT_TRUE(host_->Logged("Failed to get relative path for '" + Utf8(info.normalized_path) + "'"));
  EXPECT_EQ(CancelledIds().size(), 2u);
  EXPECT_TRUE(host_->Events(OSTRASYNC_EVENT_ERROR).empty());
}

TEST_F(CallbackDispatchTest, CallbacksOfAnInactiveEngineAreDropped) {
  ASSERT_EQ(host_->SetRoot(tree_.root()), 0);
  platform::CallbackInfo info;
  info.normalized_path = In("file.bin");
  platform::CallbackParametersPtr set = platform::CallbackParameters::Create();
  TaskTestPeer::Dispatch(engine(), platform::cf::kFetchData, info, set.get());
  Start();
  ASSERT_EQ(host_->Deactivate(), 0);
  TaskTestPeer::Dispatch(engine(), platform::cf::kFetchData, info, set.get());
  EXPECT_FALSE(host_->Logged("Placeholder callback fired"));
  EXPECT_TRUE(host_->Events(OSTRASYNC_EVENT_ERROR).empty());
}

// An OS that gives up on a fetch left waiting.
class ImpatientOsDispatchTest : public CallbackDispatchTest {
 protected:
  ImpatientOsDispatchTest() : CallbackDispatchTest(kOsGivesUpMs) {}
};

TEST_F(ImpatientOsDispatchTest, SerializeEventsHoldsFetchesButLetsTheirCancelThrough) {
  Start({"SerializeEvents=true"});
  MakePlaceholder("first.bin");
  MakePlaceholder("second.bin");
  engine::TaskRef pending = engine().NewTask(u"\\second.bin", OperationType::kReadData);
  std::mutex mutex;
  std::condition_variable changed;
  bool inside = false, release = false;  // guarded by mutex
  std::atomic<int> errors{0};
  // The first failure's Error handler keeps its callback, and so the serialisation lock, busy.
  host_->set_answer([&](HostEvent& event) {
    RefuseFileData(event);
    if (event.id != OSTRASYNC_EVENT_ERROR || errors.fetch_add(1) != 0) return 0;
    std::unique_lock<std::mutex> lock(mutex);
    inside = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    return 0;
  });
  std::vector<uint8_t> buffer(10);
  uint32_t read = 0;
  EXPECT_EQ(user_->Read(In("first.bin"), 0, buffer, &read), kRefused);
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kTestPatience, [&] { return inside; }));
  }
  // The second fetch waits for the lock until the OS gives up on it and cancels it; the cancel
  // is served at once.
  std::thread second([&] {
    std::vector<uint8_t> data(10);
    uint32_t n = 0;
    (void)user_->Read(In("second.bin"), 0, data, &n);
  });
  const bool cancelled = host_->WaitForEvents(OSTRASYNC_EVENT_CANCEL_TASK, 1);
  const std::string fetch_of_second = Utf8(In("second.bin")) + "', type: CF_CALLBACK_TYPE_FETCH_DATA";
  EXPECT_TRUE(host_->Logged("Acquiring critical section to process callback in SerializeEvents mode for '" +
                            fetch_of_second));
  EXPECT_FALSE(host_->Logged("Acquired critical section to process callback in SerializeEvents mode for '" +
                             fetch_of_second));
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
    changed.notify_all();
  }
  second.join();
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(CancelledIds(), std::vector<int64_t>{pending->id()});
  EXPECT_TRUE(WaitForLog("Released critical section in SerializeEvents mode for '" + fetch_of_second));
}

TEST_F(CallbackDispatchTest, DeactivateFromInsideACallbacksHandler) {
  Start({"SerializeEvents=true"});
  MakePlaceholder("file.bin");
  std::atomic<int> deactivated{-1};
  host_->set_answer([&](HostEvent& event) {
    RefuseFileData(event);
    if (event.id == OSTRASYNC_EVENT_ERROR && deactivated.load() == -1) deactivated.store(host_->Deactivate());
    return 0;
  });
  std::vector<uint8_t> buffer(10);
  uint32_t read = 0;
  EXPECT_EQ(user_->Read(In("file.bin"), 0, buffer, &read), kRefused);
  ASSERT_TRUE(WaitForLog("< Deactivated"));
  EXPECT_TRUE(WaitForLog("Released critical section in SerializeEvents mode"));
  EXPECT_EQ(deactivated.load(), 0);
  EXPECT_EQ(host_->State(), 0);
  const auto deadline = Clock::now() + kTestPatience;
  while (platform::ConnectionContext::LiveContextsForTest() != 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(platform::ConnectionContext::LiveContextsForTest(), 0);
}

TEST_F(CallbackDispatchTest, DeactivateWaitsForACallbackStillInItsHandler) {
  Start();
  MakePlaceholder("file.bin");
  std::atomic<bool> inside{false}, done{false};
  host_->set_answer([&](HostEvent& event) {
    RefuseFileData(event);
    if (event.id != OSTRASYNC_EVENT_ERROR) return 0;
    inside.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    done.store(true);
    return 0;
  });
  std::vector<uint8_t> buffer(10);
  uint32_t read = 0;
  EXPECT_EQ(user_->Read(In("file.bin"), 0, buffer, &read), kRefused);
  while (!inside.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(host_->Deactivate(), 0);
  EXPECT_TRUE(done.load()) << "nothing the callback uses went while it ran";
}

}  // namespace
}  // namespace ostrasync::testing
