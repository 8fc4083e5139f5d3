// Every OS call of answering a folder listing and a file fetch failing in turn, in a fresh
// component each time: the user's listing or read ends at once (with an error, or with success
// when the call was not needed), the host hears of the failure, no task is left behind, nothing
// is lost for good (the next listing or read, with the OS healthy again, gives everything), and
// Deactivate stays prompt. Then the OS calls of GetLocalData.
#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/sync_engine.h"
#include "engine_host.h"
#include "platform/posix/user_side.h"
#include "platform/testing/fault_injecting_platform.h"
#include "platform/text_codec.h"
#include "task_test_helper.h"

namespace ostrasync::testing {
namespace {

namespace fs = std::filesystem;
using platform::testing::FaultInjectingPlatform;
using platform::testing::FaultRule;
using platform::testing::FaultRun;
using platform::testing::ForEachFaultPoint;
using ::testing::AnyOf;
using ::testing::UnorderedElementsAre;
using Clock = std::chrono::steady_clock;

// The emulated OS would give up on an unanswered request only after this long, and the requester
// would then see a time-out's code: any other code means it was answered.
constexpr uint32_t kOsTimeoutMs = 30000;
constexpr platform::HResult kOsGaveUp = platform::HResultFromWin32(platform::win32::kCloudFileRequestTimeout);
constexpr int64_t kPart = 409600;
constexpr int64_t kFileSize = 2 * kPart + 100;  // two whole parts and a short one

uint8_t ByteAt(int64_t k) { return static_cast<uint8_t>((k * 131 + 7) ^ (k >> 12)); }
std::vector<uint8_t> Remote(int64_t offset, int64_t length) {
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  for (int64_t i = 0; i < length; ++i) bytes[static_cast<size_t>(i)] = ByteAt(offset + i);
  return bytes;
}

// Only the calls the sweep means to fail carry "Qx7" in their paths; the calls without a path
// (the answers and progress reports to the OS) are swept by their names, as nothing else makes
// them while the scenario runs.
FaultRule ByPath() {
  FaultRule rule;
  rule.path_contains = u"Qx7";
  return rule;
}
FaultRule ByName(const char* operation) {
  FaultRule rule;
  rule.operation = operation;
  return rule;
}

// One active component over a fault-injecting emulation, placeholders made on demand, and a host
// that serves "\Qx7dir" (two files and a folder) and the file "\Qx7file.bin", answering inside
// its handlers or, when `async`, later from another thread (ServeLater).
struct World {
  explicit World(bool answers_later) : async(answers_later) {
    EXPECT_EQ(host->SetRoot(tree.root()), 0);
    EXPECT_EQ(host->Config("WindowsCreatePlaceholdersOnDemand=true"), 0);
    EXPECT_EQ(host->Config("WindowsUpdateIconOnRetrieveErrors=true"), 0);
    EXPECT_EQ(host->Install(), 0) << host->LastErrorText();
    EXPECT_EQ(host->Activate(true), 0) << host->LastErrorText();
    // The monitor's rounds run on the host's thread right after it finalises, so that the test
    // knows when a deferred answer is complete.
    if (async) engine::TaskTestPeer::StopMonitor(engine());
    host->set_answer([this](HostEvent& e) {
      if (e.id != OSTRASYNC_EVENT_LIST_DIRECTORY && e.id != OSTRASYNC_EVENT_GET_FILE_DATA) return 0;
      if (async && e.text != "\\") {
        e.code = OSTRASYNC_ERR_PENDING;
        std::lock_guard<std::mutex> lock(mutex);
        later.push_back(e);
        arrived.notify_all();
      } else {
        Serve(e, /*deferred=*/false);
      }
      return 0;
    });
  }

  void Serve(const HostEvent& e, bool deferred) {
    const int64_t id = e.task_id;
    if (e.id == OSTRASYNC_EVENT_LIST_DIRECTORY && e.text == "\\") {
      Record(ListItem(id, "Qx7dir", true, 0));
    } else if (e.id == OSTRASYNC_EVENT_LIST_DIRECTORY) {
      Record(ListItem(id, "Qx7a.txt", false, 5000));
      Record(ListItem(id, "Qx7b.txt", false, 0));
      Record(ListItem(id, "Qx7sub", true, 0));
    } else {
      // In two pieces, so that a part is made of the bytes of both.
      const int64_t first = std::min<int64_t>(e.length, 500000);
      Record(Put(id, Remote(e.offset, first)));
      if (e.length > first) Record(Put(id, Remote(e.offset + first, e.length - first)));
    }
    if (e.id == OSTRASYNC_EVENT_GET_FILE_DATA || deferred) Record(Finalize(id));
    if (deferred) {
      std::size_t cursor = 0;
      while (engine::TaskTestPeer::MonitorPass(engine(), &cursor)) {
      }
    }
  }
  // The asynchronous host answers the next request it deferred, waiting for one until `stop`
  // (read under `mutex`) says there will be none.
  void ServeLater(const std::function<bool()>& stop) {
    HostEvent e;
    {
      std::unique_lock<std::mutex> lock(mutex);
      arrived.wait(lock, [&] { return !later.empty() || stop(); });
      if (later.empty()) return;
      e = later.front();
      later.erase(later.begin());
    }
    Serve(e, /*deferred=*/true);
  }

  int ListItem(int64_t handle, const char* name, bool folder, int64_t size) {
    int64_t time = 0x01D5000000000000;
    void* item = const_cast<char*>(name);
    if (folder) return host->Do(OSTRASYNC_METHOD_LIST_FOLDER, {&handle, item, nullptr, &time, &time, &time});
    return host->Do(OSTRASYNC_METHOD_LIST_FILE, {&handle, item, nullptr, &size, &time, &time, &time});
  }
  int Put(int64_t id, const std::vector<uint8_t>& data) {
    void* params[] = {&id, const_cast<uint8_t*>(data.data()), nullptr,
                      reinterpret_cast<void*>(static_cast<intptr_t>(data.size()))};
    int cbparams[] = {0, static_cast<int>(data.size()), 0, 0};
    return OstraSync_Kelvo_Do(host->handle(), OSTRASYNC_METHOD_PUT_FILE_DATA, 4, params, cbparams);
  }
  int Finalize(int64_t id) { return host->Do(OSTRASYNC_METHOD_FINALIZE_TASK, {&id, nullptr}); }
  void Record(int result) {
    std::lock_guard<std::mutex> lock(mutex);
    results.push_back(result);
  }
  std::vector<int> Results() {
    std::lock_guard<std::mutex> lock(mutex);
    return results;
  }

  std::string Posix(const std::string& relative) const { return tree.root() + relative; }
  // The user lists a folder: the names it saw. An asynchronous host then reports the items, and
  // the monitor puts them on disk.
  platform::HResult UserList(const std::string& relative, std::vector<std::string>* names) {
    std::vector<platform::FindData> entries;
    const platform::HResult hr = user->List(platform::ToWin32Path(Posix(relative)), &entries);
    names->clear();
    for (const platform::FindData& entry : entries) names->push_back(EngineHost::Utf8(entry.name));
    WaitForRequestsToEnd();
    if (async && !relative.empty()) {
      ServeLater([] { return true; });  // deferred before the OS was answered, if at all
      EXPECT_TRUE(NoTaskLeft());
    }
    return hr;
  }
  // The user reads a whole file, while an asynchronous host supplies it from a thread of its own.
  platform::HResult UserRead(const std::string& relative, std::vector<uint8_t>* data) {
    std::thread server;
    bool over = false;  // guarded by mutex
    if (async) server = std::thread([this, &over] { ServeLater([&] { return over; }); });
    data->assign(static_cast<size_t>(kFileSize), 0);
    uint32_t read = 0;
    const platform::HResult hr = user->Read(platform::ToWin32Path(Posix(relative)), 0, *data, &read);
    data->resize(read);
    {
      std::lock_guard<std::mutex> lock(mutex);
      over = true;
    }
    arrived.notify_all();
    if (server.joinable()) server.join();
    WaitForRequestsToEnd();
    return hr;
  }
  // The requester may be answered before the engine is done with its request (it reports a
  // failure, marks the file's state): the engine's log says when it is.
  void WaitForRequestsToEnd() {
    auto open_requests = [this] {
      int open = 0;
      for (const HostEvent& e : host->Events(OSTRASYNC_EVENT_LOG)) {
        if (e.text.find("TYPE_FETCH_DATA") == std::string::npos &&
            e.text.find("TYPE_FETCH_PLACEHOLDERS") == std::string::npos) {
          continue;
        }
        if (e.text.find("Placeholder callback fired for") != std::string::npos) ++open;
        if (e.text.find("finished successfully for") != std::string::npos ||
            e.text.find("Placeholder callback failed for") != std::string::npos) {
          --open;
        }
      }
      return open;
    };
    const auto deadline = Clock::now() + kTestPatience;
    while (open_requests() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(open_requests(), 0);
  }
  bool Populated(const std::string& relative) {
    uint32_t attributes = 0;
    return base.file_system().ReadAttributes(platform::ToWin32Path(Posix(relative)), &attributes) == 0 &&
           (attributes & platform::attr::kRecallOnOpen) == 0;
  }
  // A value read through Config.
  int64_t Statistic(const char* name) {
    std::string text(name);
    void* params[2] = {text.data(), nullptr};
    int cbparams[2] = {0, 0};
    EXPECT_EQ(OstraSync_Kelvo_Do(host->handle(), OSTRASYNC_METHOD_CONFIG, 1, params, cbparams), 0);
    return params[1] ? std::stoll(static_cast<const char*>(params[1])) : -1;
  }
  int64_t PendingOperationCount() { return Statistic("PendingOperationCount"); }
  bool NoTaskLeft() {
    const auto deadline = Clock::now() + kTestPatience;
    while (PendingOperationCount() != 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return PendingOperationCount() == 0;
  }
  std::vector<int> ErrorCodes() {
    std::vector<int> codes;
    for (const HostEvent& e : host->Events(OSTRASYNC_EVENT_ERROR)) codes.push_back(e.code);
    return codes;
  }
  std::string FailedCall() {
    for (const auto& call : faults.calls()) {
      if (call.injected) return call.operation + " " + EngineHost::Utf8(call.path);
    }
    return "nothing";
  }
  engine::SyncEngine& engine() { return static_cast<component::Kelvo*>(host->handle())->engine(); }

  const bool async;
  TempTree tree;
  EmulatedPlatform base{tree.state(), false, kOsTimeoutMs};
  FaultInjectingPlatform faults{base};
  std::mutex mutex;
  std::condition_variable arrived;  // signalled when `later` grows or a read is over
  std::vector<HostEvent> later;     // requests the asynchronous host deferred; guarded by mutex
  std::vector<int> results;         // the host's calls answering the scenario; guarded by mutex
  std::unique_ptr<EngineHost> host = std::make_unique<EngineHost>(faults);
  std::unique_ptr<platform::UserSide> user = platform::NewUserSide();
};

// Runs `act` in a fresh world once per call of each swept kind, that call failing; `check`
// then judges the outcome. Every run must leave no task, and Deactivate then succeeds.
void SweepEachCall(const std::vector<FaultRule>& swept_calls, bool async, const std::function<void(World&)>& prepare,
                   const std::function<void(World&)>& act, const std::function<void(World&, bool injected)>& check) {
  for (const FaultRule& swept : swept_calls) {
    std::unique_ptr<World> world;
    const int runs = ForEachFaultPoint(
        swept,
        [&](const FaultRun& run) {
          world.reset();  // one emulation at a time
          world = std::make_unique<World>(async);
          prepare(*world);
          world->host->ClearEvents();
          world->faults.ClearCalls();
          world->faults.AddRule(run.rule);
          act(*world);
          world->faults.ClearRules();
          return world->faults.injected_count() > 0;
        },
        [&](const FaultRun& run, bool injected) {
          SCOPED_TRACE(swept.operation + " point " + std::to_string(run.point) + ", failing " + world->FailedCall());
          check(*world, injected);
          EXPECT_TRUE(world->NoTaskLeft());
          EXPECT_EQ(world->host->Deactivate(), 0);
          world.reset();
        },
        100);
    EXPECT_GE(runs, 2) << swept.operation;
  }
}

// The user looks into the root, then into "\Qx7dir", with `action` run at the moment the listed
// files of "\Qx7dir" are about to be made. The calls recorded are those of the second look.
void ListQx7dirRunningJustBeforeItsFilesAreMade(World& w, std::function<void()> action) {
  std::vector<std::string> names;
  ASSERT_EQ(w.UserList("", &names), 0);
  FaultRule rule;
  rule.operation = "CloudFiles.CreatePlaceholders";
  rule.path_contains = u"Qx7dir";
  rule.before_call = std::move(action);
  w.faults.AddRule(rule);
  w.faults.ClearCalls();
  ASSERT_EQ(w.UserList("/Qx7dir", &names), 0);  // serves a deferred listing too
}

// A listing's new files reach the OS together: one creation call for the folder's files, in
// both answer modes, whatever the number of files (the folder itself is made apart). Until they
// are on disk the listing counts as pending, also when the monitor completes a late answer.
TEST(ListingCallsTest, NewFilesOfAFolderAreCreatedInOneCallWhileTheListingIsPending) {
  for (bool async : {false, true}) {
    SCOPED_TRACE(async ? "answered later" : "answered in the handler");
    World w(async);
    int64_t pending_while_creating = -1;
    ListQx7dirRunningJustBeforeItsFilesAreMade(w, [&] { pending_while_creating = w.PendingOperationCount(); });
    int creations = 0;
    for (const auto& call : w.faults.calls()) creations += call.operation == "CloudFiles.CreatePlaceholders";
    EXPECT_EQ(creations, 1);
    EXPECT_TRUE(fs::exists(w.Posix("/Qx7dir/Qx7a.txt")) && fs::exists(w.Posix("/Qx7dir/Qx7b.txt")));
    EXPECT_GE(pending_while_creating, 1);
    EXPECT_TRUE(w.NoTaskLeft());
    EXPECT_EQ(w.host->Deactivate(), 0);
  }
}

// A folder that is empty when its listing starts is read once, and its new items are not looked
// for one by one. Something made under a listed name meanwhile is left as it is: that item's
// creation fails, the host hears of it, and the folder stays incomplete until a later listing
// has looked at the newcomer.
TEST(ListingCallsTest, AnEmptyFolderIsReadOnceAndANewcomerIsKept) {
  for (bool async : {false, true}) {
    SCOPED_TRACE(async ? "answered later" : "answered in the handler");
    World w(async);
    ListQx7dirRunningJustBeforeItsFilesAreMade(w, [&] { std::ofstream(w.Posix("/Qx7dir/Qx7a.txt")) << "mine"; });

    int folder_reads = 0, item_looks = 0;
    for (const auto& call : w.faults.calls()) {
      folder_reads += call.operation == "FileSystem.IsFolderEmpty";
      item_looks += call.operation == "FileSystem.ReadAttributes" && call.path.ends_with(u"Qx7b.txt");
    }
    EXPECT_EQ(folder_reads, 1);
    EXPECT_EQ(item_looks, 0);
    auto content = [&] {
      std::ifstream in(w.Posix("/Qx7dir/Qx7a.txt"));
      return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(content(), "mine");
    EXPECT_TRUE(fs::exists(w.Posix("/Qx7dir/Qx7b.txt")));
    EXPECT_THAT(w.ErrorCodes(), ::testing::Not(::testing::IsEmpty()));
    EXPECT_FALSE(w.Populated("/Qx7dir")) << "the OS would never ask for the missing item again";

    std::vector<std::string> names;
    ASSERT_EQ(w.UserList("/Qx7dir", &names), 0);
    if (async) {
      ASSERT_EQ(w.UserList("/Qx7dir", &names), 0);
    }
    EXPECT_THAT(names, UnorderedElementsAre("Qx7a.txt", "Qx7b.txt", "Qx7sub"));
    EXPECT_EQ(content(), "mine");
    EXPECT_EQ(w.host->Deactivate(), 0);
  }
}

class ListingFaultsTest : public ::testing::TestWithParam<bool> {};

TEST_P(ListingFaultsTest, AFolderListedWhileEachCallFails) {
  platform::HResult listed = 0;
  std::vector<std::string> names;
  SweepEachCall(
      {ByPath(), ByName("CloudFiles.Execute")}, GetParam(),
      [&](World& w) { ASSERT_EQ(w.UserList("", &names), 0); },
      [&](World& w) { listed = w.UserList("/Qx7dir", &names); },
      [&](World& w, bool injected) {
        EXPECT_NE(listed, kOsGaveUp) << "the user's listing waited for the OS to give up";
        for (int result : w.Results()) EXPECT_EQ(result, 0) << "the host's reports are accepted";
        const bool all_placed = fs::exists(w.Posix("/Qx7dir/Qx7a.txt")) && fs::exists(w.Posix("/Qx7dir/Qx7b.txt")) &&
                                fs::exists(w.Posix("/Qx7dir/Qx7sub"));
        if (!injected) {
          EXPECT_EQ(listed, 0);
          EXPECT_TRUE(all_placed && w.Populated("/Qx7dir"));
          EXPECT_THAT(w.ErrorCodes(), ::testing::IsEmpty());
          return;
        }
        if (listed != 0 || !all_placed) {
          EXPECT_THAT(w.ErrorCodes(), ::testing::Not(::testing::IsEmpty())) << "the host is told";
        }
        // The OS is told the folder is complete only when it is: otherwise it asks again.
        if (w.Populated("/Qx7dir")) {
          EXPECT_TRUE(all_placed) << "a missing item would stay missing";
        }
        for (const char* item : {"\\Qx7dir\\Qx7a.txt", "\\Qx7dir\\Qx7b.txt", "\\Qx7dir\\Qx7sub"}) {
          const bool cached = w.engine().metadata_cache().GetItemCopy(platform::Utf8ToUtf16(item)).has_value();
          std::string posix = item;
          std::replace(posix.begin(), posix.end(), '\\', '/');
          EXPECT_EQ(cached, fs::exists(w.Posix(posix))) << item;
        }

        // With the OS healthy again, the next listing shows everything.
        ASSERT_EQ(w.UserList("/Qx7dir", &names), 0);
        // An asynchronous listing shows its items to the next look.
        if (w.async) {
          ASSERT_EQ(w.UserList("/Qx7dir", &names), 0);
        }
        EXPECT_THAT(names, UnorderedElementsAre("Qx7a.txt", "Qx7b.txt", "Qx7sub"));
        std::error_code missing;
        EXPECT_EQ(fs::file_size(w.Posix("/Qx7dir/Qx7a.txt"), missing), 5000u);
        EXPECT_TRUE(w.Populated("/Qx7dir"));
      });
}

INSTANTIATE_TEST_SUITE_P(HostAnswers, ListingFaultsTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Later" : "InItsHandler"; });

class FetchFaultsTest : public ::testing::TestWithParam<bool> {};

TEST_P(FetchFaultsTest, AFileReadWhileEachCallFails) {
  platform::HResult read = 0;
  std::vector<uint8_t> data;
  SweepEachCall(
      {ByPath(), ByName("CloudFiles.Execute"), ByName("CloudFiles.ReportProviderProgress")}, GetParam(),
      [&](World& w) {
        platform::PlaceholderCreateEntry entry;
        entry.relative_name = u"Qx7file.bin";
        entry.metadata.file_size = kFileSize;
        entry.identity = {'i', 'd'};
        entry.flags = platform::cf::kPlaceholderCreateMarkInSync;
        ASSERT_EQ(w.base.cloud_files().CreatePlaceholders(platform::ToWin32Path(w.tree.root()), std::span(&entry, 1), 0,
                                                          nullptr),
                  platform::kSOk);
      },
      [&](World& w) { read = w.UserRead("/Qx7file.bin", &data); },
      [&](World& w, bool injected) {
        EXPECT_NE(read, kOsGaveUp) << "the user's read waited for the OS to give up";
        for (int result : w.Results()) {
          // A part the OS refused fails the fetch, and the host hears of it through CancelTask;
          // calls after that find the fetch over.
          EXPECT_THAT(result, AnyOf(0, OSTRASYNC_ERR_OS_CALL, OSTRASYNC_ERR_CANCELLED, OSTRASYNC_ERR_INVALID_OPID));
          if (result == OSTRASYNC_ERR_OS_CALL) {
            EXPECT_TRUE(w.host->WaitForEvents(OSTRASYNC_EVENT_CANCEL_TASK, 1));
          }
        }
        if (!injected) {
          EXPECT_EQ(read, 0);
          EXPECT_THAT(w.ErrorCodes(), ::testing::IsEmpty());
        }
        if (read == 0) {
          EXPECT_EQ(data, Remote(0, kFileSize)) << "a read that succeeds has the host's bytes";
        } else {
          EXPECT_LT(read, 0);
          const std::vector<int> results = w.Results();
          const bool refused = std::any_of(results.begin(), results.end(), [](int r) { return r != 0; });
          EXPECT_TRUE(refused || w.host->WaitForEvents(OSTRASYNC_EVENT_ERROR, 1)) << "the host is told";
        }
        // With the OS healthy again, the next read gets the whole file.
        ASSERT_TRUE(w.NoTaskLeft());
        ASSERT_EQ(w.UserRead("/Qx7file.bin", &data), 0);
        EXPECT_EQ(data, Remote(0, kFileSize));
      });
}

INSTANTIATE_TEST_SUITE_P(HostAnswers, FetchFaultsTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Later" : "InItsHandler"; });

// The local data file's open, size and reads failing in turn: the documented code and log line,
// the OS's code kept, and the next call on the same task reads on as if nothing had happened.
TEST(LocalDataFaultsTest, EachCallOfAnUploadFailsOnceAndTheNextCallRecovers) {
  World w(false);
  const std::vector<uint8_t> content = Remote(0, 3000);
  {
    std::ofstream out(w.Posix("/Qx7up.txt"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
  }

  engine::TaskRef task;
  std::vector<uint8_t> buffer(1000);
  auto get = [&](int64_t offset, int* bytes_read) {
    int64_t id = task->id();
    void* params[] = {&id, &offset, buffer.data(), nullptr, reinterpret_cast<void*>(intptr_t{1000}), nullptr};
    int cbparams[] = {0, 0, 1000, 0, 0, 0};
    const int rc = OstraSync_Kelvo_Do(w.host->handle(), OSTRASYNC_METHOD_GET_LOCAL_DATA, 6, params, cbparams);
    *bytes_read = static_cast<int>(reinterpret_cast<intptr_t>(params[5]));
    return rc;
  };
  FaultRule rule;
  rule.path_contains = u"Qx7";
  const int runs = ForEachFaultPoint(
      rule,
      [&](const FaultRun& run) {
        SCOPED_TRACE("point " + std::to_string(run.point));
        task = w.engine().NewTask(u"\\Qx7up.txt", engine::OperationType::kWriteData);
        w.host->ClearEvents();
        w.faults.ClearCalls();
        const int before = w.faults.injected_count();
        w.faults.AddRule(run.rule);
        std::vector<uint8_t> got;
        int failed = 0;
        for (int64_t offset = 0; offset < 3000 && failed <= 1;) {
          int n = 0;
          const int rc = get(offset, &n);
          if (rc != 0) {
            ++failed;
            EXPECT_EQ(rc, OSTRASYNC_ERR_LOCAL_DATA) << "at " << offset;
            EXPECT_EQ(n, 0);
            EXPECT_TRUE(w.host->Logged("Opening local data file failed with system error code 5") ||
                        w.host->Logged("Getting local data size failed with system error code 5") ||
                        w.host->Logged("Getting local data failed with system error code 5"));
            EXPECT_EQ(w.Statistic("OSLastError"), platform::win32::kAccessDenied);
            continue;  // the rule fires once: the same call again succeeds
          }
          EXPECT_EQ(n, 1000);
          if (n != 1000) break;
          got.insert(got.end(), buffer.begin(), buffer.end());
          offset += n;
        }
        EXPECT_EQ(got, content);
        w.faults.ClearRules();
        (void)w.engine().task_registry().Remove(task.get());
        task.reset();
        return w.faults.injected_count() > before;
      },
      [](const FaultRun&, bool) {});
  EXPECT_EQ(runs, 6) << "open, size and three reads, then a run without a fault";
}

}  // namespace
}  // namespace ostrasync::testing
