// A temporary sync-root folder and a scriptable provider for the emulated cloud-files tests.
#ifndef OSTRASYNC_TESTS_PLATFORM_EMULATED_FIXTURE_H_
#define OSTRASYNC_TESTS_PLATFORM_EMULATED_FIXTURE_H_

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/emulated_cloud_files.h"
#include "platform/posix/file_system_posix.h"
#include "platform/posix/path_mapping.h"
#include "platform/text_codec.h"
#include "test_timing.h"

namespace ostrasync::platform::testing {

// One callback as the provider saw it.
struct Seen {
  cf::CallbackType type;
  CallbackInfo info;
  CallbackArgs args;
  std::thread::id thread;
};

// Records every callback; `on_callback` (set before connecting) may answer it.
class Provider {
 public:
  std::function<void(const Seen&)> on_callback;
  // Set by EmulatedTest::Connect: ends the connection before the provider (and the test's locals
  // its callbacks use) goes away, since a callback may still be running after it answered.
  std::function<void()> before_destroy;

  Provider() = default;
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  ~Provider() {
    if (before_destroy) before_destroy();
  }

  static void Callback(cf::CallbackType type, const CallbackInfo& info, const CallbackArgs& args) {
    auto* self = static_cast<Provider*>(info.callback_context);
    Seen seen{type, info, args, std::this_thread::get_id()};
    seen.info.file_identity = {};  // the span dies with the call
    {
      // Recorded before the answer, so a requester released by the answer finds it.
      std::lock_guard<std::mutex> lock(self->mu_);
      self->seen_.push_back(seen);
      self->cv_.notify_all();
    }
    if (self->on_callback) self->on_callback(seen);
  }

  std::vector<CallbackRegistration> Table() const {
    std::vector<CallbackRegistration> table;
    for (uint32_t t = 0; t < cf::kCallbackTypeCount; ++t) table.push_back({static_cast<cf::CallbackType>(t), &Callback});
    table.push_back({cf::kCallbackNone, nullptr});
    return table;
  }

  std::vector<Seen> Of(cf::CallbackType type) {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Seen> out;
    for (const Seen& s : seen_) if (s.type == type) out.push_back(s);
    return out;
  }

  bool WaitFor(cf::CallbackType type, size_t count = 1) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kTestPatience, [&] {
      size_t n = 0;
      for (const Seen& s : seen_) n += s.type == type;
      return n >= count;
    });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Seen> seen_;  // guarded by mu_
};

// The operation that answers the request `s` raised.
inline OperationInfo AnswerTo(const Seen& s, uint32_t operation) {
  OperationInfo op;
  op.type = operation;
  op.connection_key = s.info.connection_key;
  op.transfer_key = s.info.transfer_key;
  return op;
}

// Sends `byte` over [offset, offset + length) through TRANSFER_DATA, in `chunk`-byte pieces.
inline void SendData(CloudFiles& cloud, const Seen& s, int64_t offset, int64_t length, uint8_t byte,
                     int64_t chunk = 4096) {
  std::vector<uint8_t> data(static_cast<size_t>(chunk), byte);
  for (int64_t at = offset; at < offset + length; at += chunk) {
    OperationInfo op = AnswerTo(s, cf::kTransferData);
    OperationArgs args;
    args.buffer = data.data();
    args.offset = at;
    args.length = chunk;
    EXPECT_EQ(cloud.Execute(op, &args), kSOk);
  }
}

class EmulatedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ostrasync-emu-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    temp_ = pattern;
    root_ = temp_ + "/Cloud";
    std::filesystem::create_directory(root_);
    settings_.request_timeout_ms = kOsWaitsMs;
    cloud_ = NewEmulatedCloudFiles(settings_);
    fs_ = NewPosixFileSystem();
  }
  void TearDown() override {
    cloud_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(temp_, ignored);
  }

  std::u16string W(const std::string& posix) const { return ToWin32Path(posix); }
  std::u16string Root() const { return W(root_); }
  std::u16string In(const std::string& relative) const { return W(root_ + "/" + relative); }

  HResult Register(uint16_t hydration = cf::kHydrationFull, uint32_t flags = 0) {
    SyncRegistration registration;
    registration.provider_name = u"Test";
    registration.provider_version = u"1.0";
    registration.sync_root_identity = {1, 2, 3};
    SyncPolicies policies;
    policies.hydration = hydration;
    return cloud_->RegisterSyncRoot(Root(), registration, policies, flags);
  }

  HResult RegisterWith(const SyncPolicies& policies) {
    SyncRegistration registration;
    registration.provider_name = u"Test";
    return cloud_->RegisterSyncRoot(Root(), registration, policies, 0);
  }

  // A new facility instance whose requests wait `timeout_ms` for the provider (see kOsGivesUpMs);
  // called before Connect.
  void UseTimeout(uint32_t timeout_ms) {
    settings_.request_timeout_ms = timeout_ms;
    cloud_ = NewEmulatedCloudFiles(settings_);
  }

  int64_t Connect(Provider& provider) {
    int64_t key = 0;
    auto table = provider.Table();
    EXPECT_EQ(cloud_->ConnectSyncRoot(Root(), table, &provider, 0, &key), kSOk);
    // Disconnecting by key works from any instance; a connection already ended answers with an
    // error that is of no interest here.
    provider.before_destroy = [this, key] {
      if (cloud_ != nullptr) (void)cloud_->DisconnectSyncRoot(key);
    };
    return key;
  }

  // A dehydrated file placeholder of `size` bytes.
  HResult MakeFile(const std::string& name, int64_t size, uint32_t flags = cf::kPlaceholderCreateMarkInSync) {
    PlaceholderCreateEntry entry;
    entry.relative_name = Utf8ToUtf16(name);
    entry.metadata.file_size = size;
    entry.identity = {'i', 'd'};
    entry.flags = flags;
    return cloud_->CreatePlaceholders(Root(), std::span(&entry, 1), 0, nullptr);
  }

  // A placeholder file with all of `content` on disk, in sync or not.
  void MakeHydrated(const std::string& name, const std::string& content, bool in_sync = true) {
    {
      std::ofstream out(root_ + "/" + name, std::ios::binary);
      out << content;
    }
    FileHandlePtr file = OpenItem(In(name));
    const uint8_t id[] = {'h'};
    ASSERT_EQ(cloud_->ConvertToPlaceholder(*file, id, in_sync ? cf::kConvertMarkInSync : 0u), kSOk);
  }

  // How many bytes of the placeholder are on disk (and valid), as the facility says.
  int64_t OnDisk(const std::string& name) {
    FileHandlePtr file = OpenItem(In(name));
    PlaceholderInfo info;
    EXPECT_EQ(cloud_->GetPlaceholderInfo(*file, cf::kPlaceholderInfoStandard, &info), kSOk);
    return info.on_disk_data_size;
  }

  std::string Content(const std::string& name) const {
    std::ifstream in(root_ + "/" + name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  FileHandlePtr OpenItem(const std::u16string& path, uint32_t access = access::kGenericRead) {
    FileHandlePtr handle;
    OpenRequest request;
    request.desired_access = access;
    request.share_mode = share::kRead | share::kWrite | share::kDelete;  // the test's look never gets in the way
    request.flags_and_attributes = open_flag::kBackupSemantics;
    EXPECT_EQ(fs_->Open(path, request, &handle), 0u);
    return handle;
  }

  std::string temp_, root_;
  EmulationSettings settings_;
  std::unique_ptr<CloudFiles> cloud_;
  std::unique_ptr<FileSystem> fs_;
};

}  // namespace ostrasync::platform::testing

#endif  // OSTRASYNC_TESTS_PLATFORM_EMULATED_FIXTURE_H_
