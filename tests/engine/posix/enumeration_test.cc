// Folder listings end to end: a host serving a remote tree from memory answers ListDirectory with
// ListFile and ListFolder, at activation and when the user opens a folder on the emulation.
#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <thread>

#include "engine/sync_engine.h"
#include "engine_host.h"
#include "platform/posix/user_side.h"

namespace ostrasync::engine {
class EnumerationTestPeer {
 public:
  static int ListWithoutFlushes(SyncEngine& engine, std::u16string_view path) {
    return engine.ProcessDirectory(path, u"*", 0, /*batch_size=*/0, /*recursive=*/false);
  }
};
}  // namespace ostrasync::engine

namespace ostrasync::testing {
namespace {

using ::testing::AnyOf;
using ::testing::UnorderedElementsAre;

struct RemoteItem {
  std::string name;
  bool folder = false;
  int64_t size = 0;
  int attributes = 0;
};
using Items = std::vector<RemoteItem>;

template <typename Predicate>
bool WaitUntil(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + kTestPatience;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class EnumerationTest : public ::testing::Test {
 protected:
  explicit EnumerationTest(uint32_t os_timeout_ms = kOsWaitsMs)
      : emulation_(tree_.state(), false, os_timeout_ms), host_(std::make_unique<EngineHost>(emulation_)) {
    ServeTree();
  }

  // Every ListDirectory is answered inside its handler from the folder's items, or with the code
  // set for the folder; a listing answered 0x21000001 waits in pending_ for the test.
  void ServeTree() {
    host_->set_answer([this](HostEvent& event) {
      if (event.id != OSTRASYNC_EVENT_LIST_DIRECTORY) return 0;
      Items items;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        listed_.push_back(event.text);
        event.code = answer_[event.text];
        if (event.code == OSTRASYNC_ERR_PENDING) pending_.push_back(event.task_id);
        items = remote_[event.text];
      }
      if (event.code == 0) ListAll(event.task_id, items);
      return 0;
    });
  }

  // The root is listed at activation unless folders are listed on demand.
  void Start(bool on_demand, const std::vector<std::string>& settings = {}) {
    ASSERT_EQ(host_->SetRoot(tree_.root()), 0);
    ASSERT_EQ(host_->Config(std::string("WindowsCreatePlaceholdersOnDemand=") + (on_demand ? "true" : "false")), 0);
    for (const std::string& setting : settings) ASSERT_EQ(host_->Config(setting), 0) << setting;
    ASSERT_EQ(host_->Install(), 0) << host_->LastErrorText();
    ASSERT_EQ(host_->Activate(true), 0) << host_->LastErrorText();
  }
  engine::SyncEngine& engine() { return static_cast<component::Kelvo*>(host_->handle())->engine(); }

  void Serve(const std::string& path, Items items, int answer = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    remote_[path] = std::move(items);
    answer_[path] = answer;
  }
  int List(int64_t handle, const RemoteItem& item) {
    int64_t size = item.size, time = 0x01D5000000000000;
    void* name = const_cast<char*>(item.name.c_str());
    void* attributes = reinterpret_cast<void*>(static_cast<intptr_t>(item.attributes));
    if (item.folder) return host_->Do(OSTRASYNC_METHOD_LIST_FOLDER, {&handle, name, attributes, &time, &time, &time});
    return host_->Do(OSTRASYNC_METHOD_LIST_FILE, {&handle, name, attributes, &size, &time, &time, &time});
  }
  void ListAll(int64_t handle, const Items& items) {
    for (const RemoteItem& item : items) List(handle, item);
  }
  int Finalize(int64_t handle, int error_code) {
    return host_->Do(OSTRASYNC_METHOD_FINALIZE_TASK, {&handle, reinterpret_cast<void*>(static_cast<intptr_t>(error_code))});
  }
  std::vector<std::string> Listed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return listed_;
  }
  int64_t TakePending() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty()) return -1;
    const int64_t handle = pending_.front();
    pending_.erase(pending_.begin());
    return handle;
  }

  std::string Posix(const std::string& relative) const { return tree_.root() + (relative.empty() ? "" : "/" + relative); }
  bool OnDisk(const std::string& relative) const { return std::filesystem::exists(Posix(relative)); }
  size_t RootSize() const { return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(tree_.root()), {})); }
  // Whether the OS takes the folder's content to be all there.
  bool Populated(const std::string& relative) {
    uint32_t attributes = 0;
    return emulation_.file_system().ReadAttributes(platform::ToWin32Path(Posix(relative)), &attributes) == 0 &&
           (attributes & platform::attr::kRecallOnOpen) == 0;
  }
  platform::HResult UserList(const std::string& relative, std::vector<std::string>* names = nullptr) {
    std::vector<platform::FindData> entries;
    const platform::HResult hr = user_->List(platform::ToWin32Path(Posix(relative)), &entries);
    if (names != nullptr) names->clear();
    for (const platform::FindData& entry : entries) {
      if (names != nullptr) names->push_back(EngineHost::Utf8(entry.name));
    }
    return hr;
  }
  std::vector<int> ErrorCodes() {
    std::vector<int> codes;
    for (const HostEvent& e : host_->Events(OSTRASYNC_EVENT_ERROR)) codes.push_back(e.code);
    return codes;
  }

  TempTree tree_;
  EmulatedPlatform emulation_;
  // Declared before the host, whose handlers use them until it is gone.
  std::mutex mutex_;
  std::map<std::string, Items> remote_;  // guarded by mutex_
  std::map<std::string, int> answer_;    // guarded by mutex_
  std::vector<std::string> listed_;      // guarded by mutex_
  std::vector<int64_t> pending_;         // guarded by mutex_
  std::unique_ptr<EngineHost> host_;
  std::unique_ptr<platform::UserSide> user_ = platform::NewUserSide();
};

TEST_F(EnumerationTest, ActivationListsTheTreeDepthFirstAndPlacesOnlyValidItems) {
  Serve("\\", {{"a", true}, {"b", true}, {"c", true}, {"top.txt", false, 10}, {".", true}, {"..", true}, {"a:b"}, {""},
               {"neg.txt", false, -1}, {"ro.txt", false, 1, 0x1}, {"~$top.txt"}, {"db.LACCDB"}});
  Serve("\\a", {{"x", true}, {"a1.txt", false, 5}});
  Serve("\\a\\x", {{"deep.txt", false, 7}});
  Serve("\\b", {{"lost.txt"}}, OSTRASYNC_ERR_BACKEND);  // one folder failing does not stop the others
  Serve("\\c", {{"c1.txt"}});
  Start(/*on_demand=*/false, {"TrackOfficeLockFiles=true"});

  EXPECT_EQ(Listed(), (std::vector<std::string>{"\\", "\\a", "\\a\\x", "\\b", "\\c"}));
  EXPECT_EQ(RootSize(), 4u) << "a, b, c and top.txt";
  EXPECT_TRUE(OnDisk("top.txt") && OnDisk("a/a1.txt") && OnDisk("c/c1.txt") && !OnDisk("b/lost.txt"));
  EXPECT_EQ(std::filesystem::file_size(Posix("a/x/deep.txt")), 7u);
  EXPECT_EQ(engine().metadata_cache().GetItemCopy(u"\\a\\x\\deep.txt")->size, 7u);
  EXPECT_TRUE(Populated("a") && Populated("a/x"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tree_.path()), {}), 2) << "nothing beside the root";
  EXPECT_THAT(ErrorCodes(), UnorderedElementsAre(OSTRASYNC_ERR_INVALID_ITEM_NAME, OSTRASYNC_ERR_INVALID_ITEM_NAME,
                                                 OSTRASYNC_ERR_INVALID_ITEM_NAME, OSTRASYNC_ERR_INVALID_ITEM_NAME,
                                                 OSTRASYNC_ERR_INVALID_ITEM_PROPERTY,
                                                 OSTRASYNC_ERR_INVALID_ITEM_ATTRIBUTES, OSTRASYNC_ERR_BACKEND));
  EXPECT_TRUE(host_->Logged("Skip item because of invalid name: '..'. Error code: 0x21000014"));
  EXPECT_TRUE(host_->Logged("Item skipped as TrackOfficeLockFiles config in 'true': '~$top.txt'"));
  EXPECT_EQ(engine().task_registry().Count(), 0u);
}

TEST_F(EnumerationTest, EveryThousandReportedItemsReachTheDiskWhileTheHostReports) {
  std::vector<int> results;
  std::vector<size_t> placed;  // on disk after the 1000th, 1001st, 2000th and last report
  host_->set_answer([&](HostEvent& event) {
    for (int i = 0; event.id == OSTRASYNC_EVENT_LIST_DIRECTORY && i < 2500; ++i) {
      results.push_back(List(event.task_id, {"f" + std::to_string(i)}));
      if (i == 999 || i == 1000 || i == 1999 || i == 2499) placed.push_back(RootSize());
    }
    return 0;
  });
  Start(/*on_demand=*/false, {"LogLevel=3"});
  EXPECT_EQ(std::count(results.begin(), results.end(), 0), 2500);
  EXPECT_EQ(placed, (std::vector<size_t>{1000, 1000, 2000, 2000}));
  EXPECT_EQ(RootSize(), 2500u) << "the last 500 when the handler returns";
  EXPECT_EQ(engine().metadata_cache().Count(), 2500u);
}

TEST_F(EnumerationTest, TheOsAsksAgainUntilAListingSucceedsAndNeverAfter) {
  Serve("\\", {{"doc.txt", false, 3}, {"sub", true}, {"~$doc.txt"}}, OSTRASYNC_ERR_BACKEND);
  Start(/*on_demand=*/true);
  EXPECT_LT(UserList(""), 0) << "the host's failure reaches the user";
  ASSERT_TRUE(host_->WaitForEvents(OSTRASYNC_EVENT_ERROR, 1));
  EXPECT_EQ(ErrorCodes(), std::vector<int>{OSTRASYNC_ERR_BACKEND});
  EXPECT_FALSE(Populated(""));

  Serve("\\", {{"doc.txt", false, 3}, {"sub", true}, {"~$doc.txt"}});
  std::vector<std::string> names;
  ASSERT_EQ(UserList("", &names), 0);
  EXPECT_THAT(names, UnorderedElementsAre("doc.txt", "sub", "~$doc.txt")) << "lock files are placed by default";
  EXPECT_TRUE(Populated(""));
  ASSERT_EQ(UserList(""), 0);
  EXPECT_EQ(Listed().size(), 2u) << "a folder listed in full is not asked about again";
  ASSERT_EQ(UserList("sub"), 0);
  EXPECT_EQ(Listed().back(), "\\sub") << "its folders are listed on demand in turn";
  EXPECT_EQ(engine().task_registry().Count(), 0u);
}

TEST_F(EnumerationTest, AnAsynchronousListingPopulatesItsFolderOnlyWhenFinishedWithoutError) {
  const Items root = {{"late.txt", false, 4}, {"sub", true}}, sub = {{"s.txt", false, 2}};
  Serve("\\", root, OSTRASYNC_ERR_PENDING);
  Serve("\\sub", sub, OSTRASYNC_ERR_PENDING);
  Start(/*on_demand=*/true);
  std::vector<std::string> names;
  ASSERT_EQ(UserList("", &names), 0);
  EXPECT_TRUE(names.empty());
  EXPECT_FALSE(Populated("")) << "acknowledged before its items exist";
  ASSERT_EQ(UserList(""), 0);
  ASSERT_EQ(Listed().size(), 2u) << "so the OS asks again";

  std::thread([&] {  // the host answers both from a thread of its own
    for (int64_t handle = TakePending(); handle > 0; handle = TakePending()) {
      ListAll(handle, root);
      EXPECT_EQ(Finalize(handle, 0), 0);
    }
  }).join();
  ASSERT_TRUE(WaitUntil([&] { return Populated("") && engine().task_registry().Count() == 0; }));
  ASSERT_EQ(UserList("", &names), 0);
  EXPECT_THAT(names, UnorderedElementsAre("late.txt", "sub"));
  EXPECT_EQ(Listed().size(), 2u);

  // Finalised with an error: what was reported is placed, and the folder is asked for again.
  ASSERT_EQ(UserList("sub"), 0);
  std::thread([&] {
    const int64_t handle = TakePending();
    ListAll(handle, sub);
    EXPECT_EQ(Finalize(handle, OSTRASYNC_ERR_BACKEND), 0);
  }).join();
  ASSERT_TRUE(host_->WaitForEvents(OSTRASYNC_EVENT_ERROR, 1));
  EXPECT_EQ(host_->Events(OSTRASYNC_EVENT_ERROR)[0].code, OSTRASYNC_ERR_BACKEND);
  EXPECT_EQ(host_->Events(OSTRASYNC_EVENT_ERROR)[0].text, "Asynchronous operation failed");
  EXPECT_TRUE(OnDisk("sub/s.txt"));
  EXPECT_FALSE(Populated("sub"));
}

TEST_F(EnumerationTest, HandlesAreCheckedAndAListingHoldsAtMostAThousandUnplacedItems) {
  EXPECT_EQ(List(1, {"x"}), 21) << "inactive";
  Start(/*on_demand=*/true);
  for (int64_t bad : {-1, 0, 12345}) EXPECT_EQ(List(bad, {"x"}), OSTRASYNC_ERR_INVALID_OPID) << bad;
  EXPECT_EQ(host_->LastErrorText(), "Invalid OpId");
  engine::TaskRef fetch = engine().NewTask(u"\\f.bin", engine::OperationType::kReadData);
  EXPECT_EQ(List(fetch->id(), {"x"}), OSTRASYNC_ERR_INVALID_OPID) << "not a listing";
  (void)engine().task_registry().Remove(fetch.get());

  std::vector<int> results;
  std::string refusal;
  int64_t handle = 0;
  host_->set_answer([&](HostEvent& event) {
    for (int i = 0; event.id == OSTRASYNC_EVENT_LIST_DIRECTORY && i < 1001; ++i) {
      results.push_back(List(handle = event.task_id, {"f" + std::to_string(i)}));
    }
    refusal = host_->LastErrorText();
    return 0;
  });
  EXPECT_EQ(engine::EnumerationTestPeer::ListWithoutFlushes(engine(), u"\\"), 0);
  EXPECT_EQ(std::count(results.begin(), results.end(), 0), 1000);
  EXPECT_EQ(results.back(), OSTRASYNC_ERR_TOO_MANY_ITEMS);
  EXPECT_EQ(refusal, "Too many items reported by enumeration event hadler");
  EXPECT_EQ(RootSize(), 1000u);
  EXPECT_EQ(List(handle, {"late"}), OSTRASYNC_ERR_INVALID_OPID) << "the listing is over";
  EXPECT_EQ(engine().task_registry().Count(), 0u);
}

TEST_F(EnumerationTest, ItemsReportedFromSeveralHostThreadsAtOnceAreAllPlaced) {
  Serve("\\", {}, OSTRASYNC_ERR_PENDING);
  Start(/*on_demand=*/false, {"LogLevel=3"});
  const int64_t handle = TakePending();
  // 1200 items: a flush runs on one thread while the other goes on reporting.
  auto report = [&](char prefix) {
    for (int i = 0; i < 600; ++i) EXPECT_EQ(List(handle, {prefix + std::to_string(i)}), 0);
  };
  std::thread first(report, 'a'), second(report, 'b');
  first.join();
  second.join();
  ASSERT_EQ(Finalize(handle, 0), 0);
  EXPECT_TRUE(WaitUntil([&] { return RootSize() == 1200u; }));
  EXPECT_TRUE(host_->Events(OSTRASYNC_EVENT_ERROR).empty());
}

class ListingCancelTest : public EnumerationTest {
 protected:
  ListingCancelTest() : EnumerationTest(kOsGivesUpMs) {}
};

TEST_F(ListingCancelTest, ACancelledListingPlacesNothingMoreAndTheFolderIsAskedAgain) {
  Start(/*on_demand=*/true);
  std::atomic<int> after_cancel{-1};
  host_->set_answer([&](HostEvent& event) {
    // A host too slow for the OS: it reports only once the request was cancelled.
    if (event.id == OSTRASYNC_EVENT_LIST_DIRECTORY && host_->WaitForEvents(OSTRASYNC_EVENT_CANCEL_TASK, 1) &&
        WaitUntil([&] { return engine().task_registry().Count() == 0; })) {
      after_cancel = List(event.task_id, {"late.txt"});
    }
    return 0;
  });
  EXPECT_EQ(UserList(""), platform::HResultFromWin32(platform::win32::kCloudFileRequestTimeout));
  ASSERT_TRUE(WaitUntil([&] { return after_cancel.load() != -1; }));
  EXPECT_THAT(after_cancel.load(), AnyOf(OSTRASYNC_ERR_INVALID_OPID, OSTRASYNC_ERR_CANCELLED));
  EXPECT_EQ(host_->Events(OSTRASYNC_EVENT_CANCEL_TASK)[0].text, "\\");
  EXPECT_FALSE(OnDisk("late.txt") || Populated(""));

  // Answered in time, the next request succeeds.
  ServeTree();
  Serve("\\", {{"now.txt"}, {"sub", true}});
  Serve("\\sub", {{"s.txt"}}, OSTRASYNC_ERR_PENDING);
  std::vector<std::string> names;
  ASSERT_EQ(UserList("", &names), 0);
  EXPECT_THAT(names, UnorderedElementsAre("now.txt", "sub"));

  // A listing cancelled on the engine's side stays known until the host has heard of it.
  ASSERT_EQ(UserList("sub"), 0);
  const int64_t handle = TakePending();
  EXPECT_TRUE(engine().CancelTransferByPath(u"\\sub", static_cast<int>(engine::OperationType::kList)));
  EXPECT_EQ(List(handle, {"s.txt"}), OSTRASYNC_ERR_CANCELLED);
  EXPECT_EQ(Finalize(handle, 0), OSTRASYNC_ERR_CANCELLED);
  EXPECT_EQ(engine().task_registry().Count(), 0u);
  EXPECT_FALSE(OnDisk("sub/s.txt"));
}

}  // namespace
}  // namespace ostrasync::testing
