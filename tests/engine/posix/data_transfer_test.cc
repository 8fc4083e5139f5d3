// Fetches of file data end to end: the user side reads a placeholder, the host answers GetFileData
// through the exports (PutFileData, FinalizeTask) and the emulated OS receives the parts; and the
// bounds PutFileData and GetLocalData keep.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/posix/emulation_hub.h"
#include "platform/posix/user_side.h"
#include "task_test_helper.h"

namespace ostrasync::testing {
namespace {

using platform::HResultFromWin32;
using Part = std::tuple<int64_t, int64_t, platform::NtStatus>;  // offset, length, completion status
constexpr int64_t kChunk = 409600;
constexpr platform::NtStatus kOk = 0;

uint8_t ByteAt(int64_t k) { return static_cast<uint8_t>((k * 131 + 7) ^ (k >> 12)); }
std::vector<uint8_t> Remote(int64_t offset, int64_t length) {
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  for (int64_t i = 0; i < length; ++i) bytes[static_cast<size_t>(i)] = ByteAt(offset + i);
  return bytes;
}

// Records the TRANSFER_DATA answers and progress reports that reach the OS, and the error marks
// the shell is given; refuses one part on request.
class TransferLog final : public platform::testing::PlatformWrapper {
 public:
  explicit TransferLog(platform::Platform& target)
      : PlatformWrapper(target), cloud_(target.cloud_files(), *this), shell_(target.shell(), *this) {}
  platform::CloudFiles& cloud_files() override { return cloud_; }
  platform::Shell& shell() override { return shell_; }
  std::vector<Part> Parts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return parts_;
  }
  std::vector<int64_t> Progress() {
    std::lock_guard<std::mutex> lock(mutex_);
    return progress_;
  }
  std::atomic<int> refused_part{-1};
  // The marks of the paths ending in `name`, in the order they reached the shell.
  std::vector<bool> Marks(const std::string& name) {
    const std::u16string suffix(name.begin(), name.end());
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<bool> marks;
    for (const auto& [path, error] : marks_) {
      if (path.ends_with(suffix)) marks.push_back(error);
    }
    return marks;
  }
  // Runs `hook` once, just before the next mark that clears an error goes through.
  void BeforeNextClearedMark(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    before_cleared_mark_ = std::move(hook);
  }

 private:
  struct Cloud final : platform::testing::CloudFilesWrapper {
    Cloud(platform::CloudFiles& target, TransferLog& log) : CloudFilesWrapper(target), log(log) {}
    platform::HResult Execute(const platform::OperationInfo& info, platform::OperationArgs* args) override {
      if (info.type == platform::cf::kTransferData) {
        std::lock_guard<std::mutex> lock(log.mutex_);
        log.parts_.emplace_back(args->offset, args->length, args->completion_status);
        if (static_cast<int>(log.parts_.size()) - 1 == log.refused_part.load()) return platform::kEInvalidArg;
      }
      return target().Execute(info, args);
    }
    platform::HResult ReportProviderProgress(int64_t connection, int64_t transfer, int64_t total, int64_t done) override {
      {
        std::lock_guard<std::mutex> lock(log.mutex_);
        log.progress_.push_back(done);
      }
      return target().ReportProviderProgress(connection, transfer, total, done);
    }
    TransferLog& log;
  };
  struct Shell final : platform::testing::ShellWrapper {
    Shell(platform::Shell& target, TransferLog& log) : ShellWrapper(target), log(log) {}
    platform::HResult SetLastSyncError(const std::u16string& path, bool error) override {
      std::function<void()> hook;
      {
        std::lock_guard<std::mutex> lock(log.mutex_);
        if (!error) hook = std::exchange(log.before_cleared_mark_, nullptr);
      }
      if (hook) hook();  // without the lock: the hook may lead to marks of its own
      {
        std::lock_guard<std::mutex> lock(log.mutex_);
        log.marks_.emplace_back(path, error);
      }
      return target().SetLastSyncError(path, error);
    }
    TransferLog& log;
  };
  std::mutex mutex_;
  std::vector<Part> parts_;                               // guarded by mutex_
  std::vector<int64_t> progress_;                         // guarded by mutex_
  std::vector<std::pair<std::u16string, bool>> marks_;    // guarded by mutex_
  std::function<void()> before_cleared_mark_;             // guarded by mutex_
  Cloud cloud_;
  Shell shell_;
};

class DataTransferTest : public ActiveEngineTest {
 protected:
  // `os_timeout_ms`: how long the emulated OS waits for an answer before it cancels a fetch (see
  // kOsWaitsMs); longer by default than the monitor's half-second round that sends the rest of a
  // file an asynchronous host left.
  explicit DataTransferTest(uint32_t os_timeout_ms = kOsWaitsMs)
      : emulated_os_(tree_.state(), false, os_timeout_ms), log_(emulated_os_) {
    host_ = std::make_unique<EngineHost>(log_);
  }
  ~DataTransferTest() override { host_.reset(); }

  std::string Posix(const std::string& name) const { return tree_.root() + "/" + name; }
  std::u16string In(const std::string& name) const { return platform::ToWin32Path(Posix(name)); }
  void MakePlaceholder(const std::string& name, int64_t size, bool in_sync = true) {
    platform::PlaceholderCreateEntry entry;
    entry.relative_name.assign(name.begin(), name.end());
    entry.metadata.file_size = size;
    entry.identity = {'i', 'd'};
    entry.flags = in_sync ? platform::cf::kPlaceholderCreateMarkInSync : 0;
    ASSERT_EQ(log_.cloud_files().CreatePlaceholders(platform::ToWin32Path(tree_.root()), std::span(&entry, 1), 0, nullptr), platform::kSOk);
  }
  bool InSync(const std::string& name) {
    return (engine().binding().GetPlaceholderState(In(name).c_str()) & platform::cf::kStateInSync) != 0;
  }
  platform::HResult Read(const std::string& name, int64_t size, std::vector<uint8_t>* data) {
    data->assign(static_cast<size_t>(size), 0);
    uint32_t read = 0;
    const platform::HResult hr = user_->Read(In(name), 0, *data, &read);
    data->resize(read);
    return hr;
  }
  // The host's answer to every GetFileData.
  void OnFetch(std::function<void(HostEvent&)> answer) {
    host_->set_answer([answer](HostEvent& e) {
      if (e.id == OSTRASYNC_EVENT_GET_FILE_DATA) answer(e);
      return 0;
    });
  }
  int Put(int64_t id, std::span<const uint8_t> data, int index, int count) {
    void* params[] = {&id, const_cast<uint8_t*>(data.data()), reinterpret_cast<void*>(static_cast<intptr_t>(index)),
                      reinterpret_cast<void*>(static_cast<intptr_t>(count))};
    int cbparams[] = {0, static_cast<int>(data.size()), 0, 0};
    return OstraSync_Kelvo_Do(host_->handle(), OSTRASYNC_METHOD_PUT_FILE_DATA, 4, params, cbparams);
  }
  // Supplies `supplied` bytes from the requested offset in pieces of `piece`, then finalises with `error`.
  int Serve(const HostEvent& event, int64_t piece, int64_t supplied, int error = 0) {
    for (int64_t done = 0; done < supplied; done += piece) {
      const std::vector<uint8_t> data = Remote(event.offset + done, std::min(piece, supplied - done));
      if (const int rc = Put(event.task_id, data, 0, static_cast<int>(data.size()))) return rc;
    }
    return Finalize(event.task_id, error);
  }
  bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kTestPatience;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
  }

  EmulatedPlatform emulated_os_;
  TransferLog log_;
  std::unique_ptr<platform::UserSide> user_ = platform::NewUserSide();
};

// An OS that gives up on a host that stops sending.
class ImpatientOsTest : public DataTransferTest {
 protected:
  ImpatientOsTest() : DataTransferTest(kOsGivesUpMs) {}
};

TEST_F(DataTransferTest, ASynchronousHandlerSendsWholePartsThenTheRest) {
  Start();
  MakePlaceholder("one.bin", 1 << 20);
  OnFetch([&](HostEvent& e) { EXPECT_EQ(Serve(e, e.length, e.length), 0); });
  std::vector<uint8_t> data;
  ASSERT_EQ(Read("one.bin", 1 << 20, &data), platform::kSOk);
  EXPECT_EQ(data, Remote(0, 1 << 20));
  EXPECT_EQ(log_.Parts(), (std::vector<Part>{{0, kChunk, kOk}, {kChunk, kChunk, kOk}, {2 * kChunk, 229376, kOk}}));
  EXPECT_EQ(log_.Progress(), (std::vector<int64_t>{kChunk, 2 * kChunk, 1 << 20}));
  EXPECT_TRUE(WaitFor([&] { return TaskCount() == 0; }));
  EXPECT_TRUE(ErrorCodes().empty());
}

TEST_F(DataTransferTest, ARequestIsServedAtItsOffset) {
  Start();
  MakePlaceholder("range.bin", 3 * kChunk);
  MakePlaceholder("huge.bin", int64_t{5} << 30);
  OnFetch([&](HostEvent& e) {
    if (e.text == "\\huge.bin") e.code = OSTRASYNC_ERR_BACKEND;
    if (e.text == "\\range.bin") {
      EXPECT_EQ(Serve(e, 4096, e.length), 0);
    }
  });
  ASSERT_EQ(platform::emulation::FetchData(Posix("range.bin"), kChunk + 8192, 8192, 0), platform::kSOk);
  EXPECT_EQ(log_.Parts(), std::vector<Part>{Part(kChunk + 8192, 8192, kOk)});
  std::vector<uint8_t> on_disk(8192);
  const int fd = open(Posix("range.bin").c_str(), O_RDONLY);
  EXPECT_EQ(pread(fd, on_disk.data(), on_disk.size(), kChunk + 8192), 8192);
  close(fd);
  EXPECT_EQ(on_disk, Remote(kChunk + 8192, 8192));
  // Beyond 4 GiB the host is asked for the rest of the file; its refusal reaches the requester.
  EXPECT_EQ(platform::emulation::FetchData(Posix("huge.bin"), 1 << 20, 4096, 0), HResultFromWin32(389));
  ASSERT_TRUE(host_->WaitForEvents(OSTRASYNC_EVENT_ERROR, 1));
  const HostEvent asked = host_->Events(OSTRASYNC_EVENT_GET_FILE_DATA).back();
  EXPECT_EQ(asked.offset, 1 << 20);
  EXPECT_EQ(asked.length, (int64_t{5} << 30) - (1 << 20));
  EXPECT_EQ(ErrorCodes(), std::vector<int>{OSTRASYNC_ERR_BACKEND});
}

TEST_F(DataTransferTest, AnAsynchronousHostFinishesFromItsOwnThread) {
  Start();
  MakePlaceholder("async.bin", 1 << 20, /*in_sync=*/false);
  std::thread worker;
  OnFetch([&](HostEvent& e) {
    e.code = OSTRASYNC_ERR_PENDING;
    worker = std::thread([this, e] { EXPECT_EQ(Serve(e, 300000, e.length), 0); });
  });
  std::vector<uint8_t> data;
  const platform::HResult read = Read("async.bin", 1 << 20, &data);
  const bool handled = host_->WaitForEvents(OSTRASYNC_EVENT_GET_FILE_DATA, 1);  // the handler has returned
  if (worker.joinable()) worker.join();
  ASSERT_TRUE(handled);
  ASSERT_EQ(read, platform::kSOk);
  EXPECT_EQ(data, Remote(0, 1 << 20));
  EXPECT_TRUE(WaitFor([&] { return InSync("async.bin") && TaskCount() == 0; }));
  EXPECT_EQ(std::get<0>(log_.Parts().back()), 2 * kChunk) << "the monitor sent the rest after the host's parts";
  EXPECT_TRUE(ErrorCodes().empty());
}

TEST_F(DataTransferTest, AFetchFinalisedShortOrWithAnErrorFailsAtOnce) {
  Start();
  engine::TaskTestPeer::StopMonitor(engine());
  const int64_t size = 2 * kChunk + 100;
  const platform::HResult aborted = HResultFromWin32(platform::win32::kCloudFileRequestAborted);
  struct Case {
    bool async;
    int64_t supplied;
    int error;  // -1: never finalised
    platform::HResult seen;
    int reported;
  };
  const std::vector<Case> cases = {
      {false, size, -1, aborted, OSTRASYNC_ERR_DATA_NOT_COMPLETED},
      {false, kChunk + 5, 0, aborted, OSTRASYNC_ERR_DATA_NOT_COMPLETED},
      {false, size, OSTRASYNC_ERR_OPERATION_DENIED, HResultFromWin32(395), OSTRASYNC_ERR_OPERATION_DENIED},
      {true, kChunk + 5, 0, aborted, OSTRASYNC_ERR_DATA_NOT_COMPLETED},
      {true, size, OSTRASYNC_ERR_BACKEND, HResultFromWin32(389), OSTRASYNC_ERR_BACKEND},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string name = "fail" + std::to_string(i) + ".bin";
    MakePlaceholder(name, size, /*in_sync=*/false);
    int64_t id = 0;
    std::thread worker;
    OnFetch([&](HostEvent& e) {
      id = e.task_id;
      if (!c.async && c.error == -1) {
        EXPECT_EQ(Put(e.task_id, Remote(0, size), 0, static_cast<int>(size)), 0);
      } else if (!c.async) {
        EXPECT_EQ(Serve(e, kChunk, c.supplied, c.error), 0);
      } else {
        e.code = OSTRASYNC_ERR_PENDING;
        worker = std::thread([&, e] {
          EXPECT_EQ(Serve(e, kChunk, c.supplied, c.error), 0);
          EXPECT_EQ(Put(e.task_id, Remote(0, 10), 0, 10), OSTRASYNC_ERR_INVALID_PARAMETER) << "after FinalizeTask";
          std::size_t cursor = 0;
          engine::TaskTestPeer::MonitorPass(engine(), &cursor);
        });
      }
    });
    std::vector<uint8_t> data;
    EXPECT_EQ(Read(name, size, &data), c.seen) << i;
    const bool handled = host_->WaitForEvents(OSTRASYNC_EVENT_GET_FILE_DATA, i + 1);
    if (worker.joinable()) worker.join();
    ASSERT_TRUE(handled) << i;
    EXPECT_TRUE(WaitFor([&] { return TaskCount() == 0 && ErrorCodes().size() == i + 1; })) << i;
    EXPECT_EQ(ErrorCodes().back(), c.reported) << i;
    EXPECT_FALSE(InSync(name)) << i;
    EXPECT_EQ(Put(id, Remote(0, 10), 0, 10), OSTRASYNC_ERR_INVALID_OPID) << i;
  }
  EXPECT_TRUE(host_->Logged("PutItemData or FinalizeTask was not called from GetItemData event handler"));
  // A request without its range cannot be served, but is still answered.
  platform::CallbackInfo info;
  info.normalized_path = In("fail0.bin");
  platform::CallbackParametersPtr set = platform::CallbackParameters::Create();
  engine::TaskTestPeer::Dispatch(engine(), platform::cf::kFetchData, info, set.get());
  EXPECT_TRUE(host_->Logged("Internal error 0x1: the `RequiredFileOffset` parameter not found in DoFetch."));
  EXPECT_EQ(std::get<2>(log_.Parts().back()), static_cast<platform::NtStatus>(0xC000CF0B));
}

// A host may answer a fetch later and still be done with it, from a thread of its own, before its
// handler has returned: the monitor's round after the finalisation then finds a task its handler
// has not handed over yet. The monitor here runs only when the host runs it, so a fetch left to
// a later round would never be answered and the read would end only at the OS's time-out.
TEST_F(DataTransferTest, AFetchFinalisedBeforeItsHandlerReturnsIsCompletedAtOnce) {
  Start();
  engine::TaskTestPeer::StopMonitor(engine());
  const int64_t size = 2 * kChunk + 100;
  for (const int error : {0, OSTRASYNC_ERR_BACKEND}) {
    SCOPED_TRACE(error == 0 ? "finalised with all data" : "finalised with an error");
    const std::string name = "early" + std::to_string(error) + ".bin";
    MakePlaceholder(name, size, /*in_sync=*/false);
    OnFetch([&](HostEvent& e) {
      e.code = OSTRASYNC_ERR_PENDING;
      std::thread([&, e] {
        EXPECT_EQ(Serve(e, 300000, e.length, error), 0);
        std::size_t cursor = 0;
        engine::TaskTestPeer::MonitorPass(engine(), &cursor);
      }).join();
    });
    std::vector<uint8_t> data;
    const platform::HResult read = Read(name, size, &data);
    if (error == 0) {
      EXPECT_EQ(read, platform::kSOk);
      EXPECT_EQ(data, Remote(0, size));
      EXPECT_TRUE(WaitFor([&] { return TaskCount() == 0; }));
      EXPECT_TRUE(InSync(name));
      EXPECT_TRUE(ErrorCodes().empty());
    } else {
      EXPECT_EQ(read, HResultFromWin32(389));
      EXPECT_TRUE(WaitFor([&] { return TaskCount() == 0 && !ErrorCodes().empty(); }));
      EXPECT_EQ(ErrorCodes(), std::vector<int>{OSTRASYNC_ERR_BACKEND});
      EXPECT_FALSE(InSync(name));
    }
  }
}

// A pending fetch's error mark is cleared as its handler ends. The host failing the fetch from
// another thread at that very moment must leave the file marked: the failure is the fetch's last
// word, whichever thread completes it.
TEST_F(DataTransferTest, AFetchThatFailsAsItsHandlerEndsKeepsItsErrorMark) {
  Start({"WindowsUpdateIconOnRetrieveErrors=true"});
  engine::TaskTestPeer::StopMonitor(engine());
  MakePlaceholder("late.bin", kChunk, /*in_sync=*/false);
  OnFetch([&](HostEvent& e) {
    e.code = OSTRASYNC_ERR_PENDING;
    log_.BeforeNextClearedMark([this, id = e.task_id] {
      EXPECT_EQ(Finalize(id, OSTRASYNC_ERR_BACKEND), 0);
      std::size_t cursor = 0;
      engine::TaskTestPeer::MonitorPass(engine(), &cursor);
    });
  });
  std::vector<uint8_t> data;
  EXPECT_EQ(Read("late.bin", kChunk, &data), HResultFromWin32(389));
  // The requester may be answered before the handler's thread is done: the file is marked twice,
  // cleared by the handler's thread and marked by the failure, whatever the order.
  ASSERT_TRUE(WaitFor([&] { return log_.Marks("late.bin").size() >= 2; }));
  EXPECT_EQ(log_.Marks("late.bin").back(), true) << "the failed file shows its error";
  EXPECT_TRUE(WaitFor([&] { return TaskCount() == 0; }));
  EXPECT_EQ(ErrorCodes(), std::vector<int>{OSTRASYNC_ERR_BACKEND});
}

TEST_F(ImpatientOsTest, AnOsCancelEndsTheFetchAndAReadAfterItSucceeds) {
  Start();
  MakePlaceholder("slow.bin", 2 * kChunk + 100);
  int64_t cancelled = 0;
  OnFetch([&](HostEvent& e) {
    if (cancelled != 0) {
      EXPECT_EQ(Serve(e, kChunk, e.length), 0);
      return;
    }
    cancelled = e.task_id;
    EXPECT_EQ(Put(e.task_id, Remote(0, kChunk), 0, kChunk), 0);  // the first part, then silence
    e.code = OSTRASYNC_ERR_PENDING;
  });
  std::vector<uint8_t> data;
  EXPECT_EQ(Read("slow.bin", 100, &data), HResultFromWin32(platform::win32::kCloudFileRequestTimeout));
  ASSERT_TRUE(host_->WaitForEvents(OSTRASYNC_EVENT_CANCEL_TASK, 1));
  EXPECT_EQ(CancelledIds(), std::vector<int64_t>{cancelled});
  EXPECT_TRUE(WaitFor([&] { return TaskCount() == 0; }));
  EXPECT_EQ(Put(cancelled, Remote(0, 10), 0, 10), OSTRASYNC_ERR_INVALID_OPID);
  ASSERT_EQ(Read("slow.bin", 2 * kChunk + 100, &data), platform::kSOk);
  EXPECT_EQ(data, Remote(0, 2 * kChunk + 100));
}

TEST_F(DataTransferTest, ARefusedPartFailsTheFetchAndCancelsItsTask) {
  Start();
  MakePlaceholder("refused.bin", 1 << 20);
  log_.refused_part = 1;
  OnFetch([&](HostEvent& e) { EXPECT_EQ(Put(e.task_id, Remote(0, 1 << 20), 0, 1 << 20), OSTRASYNC_ERR_OS_CALL); });
  std::vector<uint8_t> data;
  EXPECT_EQ(Read("refused.bin", 10, &data), HResultFromWin32(389));
  ASSERT_TRUE(host_->WaitForEvents(OSTRASYNC_EVENT_ERROR, 1));  // the callback has returned
  EXPECT_EQ(log_.Parts(), (std::vector<Part>{{0, kChunk, kOk}, {kChunk, kChunk, kOk}, {0, 1 << 20, platform::ntstatus::kCloudFileUnsuccessful}}));
  EXPECT_EQ(CancelledIds(), std::vector<int64_t>{host_->Events(OSTRASYNC_EVENT_GET_FILE_DATA).at(0).task_id});
  EXPECT_TRUE(WaitFor([&] { return TaskCount() == 0; }));
}

TEST_F(DataTransferTest, PutFileDataAndGetLocalDataKeepToTheirBounds) {
  std::vector<uint8_t> bytes(100);
  EXPECT_EQ(Put(1, bytes, 0, 1), 21);
  Start();
  std::ofstream(Posix("up.txt"), std::ios::binary).write(reinterpret_cast<const char*>(Remote(0, 5000).data()), 5000);
  const int64_t upload = engine().NewTask(u"\\up.txt", engine::OperationType::kWriteData)->id();
  const int64_t missing = engine().NewTask(u"\\gone.txt", engine::OperationType::kWriteData)->id();
  for (auto [id, index, count, expected] : std::vector<std::tuple<int64_t, int, int, int>>{
           {-1, 0, 1, OSTRASYNC_ERR_INVALID_OPID}, {upload, 100, 0, OSTRASYNC_ERR_INVALID_PARAMETER},
           {upload, -1, 1, OSTRASYNC_ERR_INVALID_PARAMETER}, {upload, 50, 51, OSTRASYNC_ERR_INVALID_PARAMETER},
           {upload + 100, 0, 1, OSTRASYNC_ERR_INVALID_OPID}, {upload, 0, 1, OSTRASYNC_ERR_INVALID_PARAMETER}}) {
    EXPECT_EQ(Put(id, bytes, index, count), expected) << id << " " << index << " " << count;
  }
  EXPECT_EQ(host_->LastErrorText(), "No operation found by the provided OpId");

  int read = -1;
  auto get = [&](int64_t id, int64_t offset, int index, int count) {
    void* params[] = {&id, &offset, bytes.data(), reinterpret_cast<void*>(static_cast<intptr_t>(index)),
                      reinterpret_cast<void*>(static_cast<intptr_t>(count)), nullptr};
    int cbparams[] = {0, 0, static_cast<int>(bytes.size()), 0, 0, 0};
    const int rc = OstraSync_Kelvo_Do(host_->handle(), OSTRASYNC_METHOD_GET_LOCAL_DATA, 6, params, cbparams);
    read = static_cast<int>(reinterpret_cast<intptr_t>(params[5]));
    return rc;
  };
  ASSERT_EQ(get(upload, 4990, 50, 50), 0);
  EXPECT_EQ(read, 10);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 50, bytes.begin() + 60), Remote(4990, 10));
  EXPECT_EQ(get(upload, 5000, 0, 10), 0);
  EXPECT_EQ(read, 0);
  EXPECT_EQ(get(upload, 5001, 0, 10), OSTRASYNC_ERR_LOCAL_DATA_EOF);
  for (auto [offset, index, count] :
       std::vector<std::tuple<int64_t, int, int>>{{-1, 0, 10}, {0, -1, 10}, {0, 60, 41}, {0, 101, 0}, {0, 0x7fffff00, 0x200}}) {
    EXPECT_EQ(get(upload, offset, index, count), OSTRASYNC_ERR_INVALID_PARAMETER) << offset << " " << index;
  }
  EXPECT_EQ(get(missing, 0, 0, 10), OSTRASYNC_ERR_LOCAL_DATA);
}

}  // namespace
}  // namespace ostrasync::testing
