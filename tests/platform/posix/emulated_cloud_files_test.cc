// The emulated cloud-files facility keeps Windows' rules: registration, placeholders and their
// states on disk across instances, hydration through the provider with its refusals, time-outs,
// cancellation and disconnection, listings populated on demand, and concurrent callbacks.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>

#include "emulated_fixture.h"
#include "platform/posix/placeholder_xattrs.h"
#include "platform/posix/user_side.h"

namespace ostrasync::platform::testing {
namespace {

class EmulatedCloudFiles : public EmulatedTest {};

// Answers a FETCH_DATA with `byte` repeated over the required range, in 4 KiB-aligned pieces.
void Serve(CloudFiles& cloud, const Seen& s, uint8_t byte, int64_t chunk = 8192) {
  std::vector<uint8_t> data(static_cast<size_t>(chunk), byte);
  for (int64_t offset = s.args.required_file_offset; offset < s.args.required_file_offset + s.args.required_length;
       offset += chunk) {
    OperationInfo op;
    op.type = cf::kTransferData;
    op.connection_key = s.info.connection_key;
    op.transfer_key = s.info.transfer_key;
    OperationArgs args;
    args.buffer = data.data();
    args.offset = offset;
    args.length = chunk;
    EXPECT_EQ(cloud.Execute(op, &args), kSOk);
  }
}

TEST_F(EmulatedCloudFiles, RegistrationIsFoundFromBelowSurvivesAReopenAndRefusesOverlaps) {
  ASSERT_EQ(Register(), kSOk);
  std::filesystem::create_directories(root_ + "/a/b");
  EXPECT_EQ(Register(), HResultFromWin32(win32::kAlreadyExists));
  EXPECT_EQ(Register(cf::kHydrationProgressive, cf::kRegisterUpdate), kSOk);

  cloud_ = NewEmulatedCloudFiles(settings_);  // a new instance sees what the old one left
  SyncRootInfo info;
  ASSERT_EQ(cloud_->GetSyncRootInfo(In("a/b"), &info), kSOk);
  EXPECT_EQ(info.provider_name, u"Test");
  EXPECT_EQ(info.policies.hydration, cf::kHydrationProgressive);
  EXPECT_EQ(info.sync_root_identity, (std::vector<uint8_t>{1, 2, 3}));
  struct stat st;
  ASSERT_EQ(stat(root_.c_str(), &st), 0);
  EXPECT_EQ(info.sync_root_file_id, static_cast<int64_t>(st.st_ino));

  SyncRegistration registration;
  registration.provider_name = u"Other";
  EXPECT_EQ(cloud_->RegisterSyncRoot(In("a"), registration, SyncPolicies{}, 0),
            HResultFromWin32(win32::kCloudFileInvalidRequest));  // inside a root
  EXPECT_EQ(cloud_->RegisterSyncRoot(W(temp_), registration, SyncPolicies{}, 0),
            HResultFromWin32(win32::kCloudFileInvalidRequest));  // around a root
  EXPECT_EQ(cloud_->UnregisterSyncRoot(In("a")), HResultFromWin32(win32::kCloudFileNotUnderSyncRoot));
  EXPECT_EQ(cloud_->UnregisterSyncRoot(Root()), kSOk);
  EXPECT_EQ(cloud_->GetSyncRootInfo(Root(), &info), HResultFromWin32(win32::kCloudFileNotUnderSyncRoot));
}

TEST_F(EmulatedCloudFiles, ARootRecordChangedBehindTheFacilitysBackIsSeenAtOnce) {
  ASSERT_EQ(Register(), kSOk);
  std::filesystem::create_directories(root_ + "/a/b");
  // Long enough after the registration for the root to be kept between lookups.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  SyncRootInfo info;
  ASSERT_EQ(cloud_->GetSyncRootInfo(In("a/b"), &info), kSOk);
  ASSERT_EQ(cloud_->GetSyncRootInfo(In("a"), &info), kSOk);
  EXPECT_EQ(info.policies.hydration, cf::kHydrationFull);

  // Another process rewrites the record, then removes it: the very next lookups see each.
  const auto target = xattrs::Target::Path(root_);
  xattrs::SyncRootRecord record;
  ASSERT_EQ(xattrs::ReadSyncRoot(target, &record), 0);
  record.policies.hydration = cf::kHydrationProgressive;
  ASSERT_EQ(xattrs::WriteSyncRoot(target, record), 0);
  ASSERT_EQ(cloud_->GetSyncRootInfo(In("a/b"), &info), kSOk);
  EXPECT_EQ(info.policies.hydration, cf::kHydrationProgressive);
  ASSERT_EQ(xattrs::RemoveSyncRoot(target), 0);
  EXPECT_EQ(cloud_->GetSyncRootInfo(In("a/b"), &info), HResultFromWin32(win32::kCloudFileNotUnderSyncRoot));

  // A folder put where the root was is no root either.
  ASSERT_EQ(Register(), kSOk);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(cloud_->GetSyncRootInfo(In("a"), &info), kSOk);
  std::filesystem::rename(root_, temp_ + "/moved");
  std::filesystem::create_directories(root_ + "/a");
  EXPECT_EQ(cloud_->GetSyncRootInfo(In("a"), &info), HResultFromWin32(win32::kCloudFileNotUnderSyncRoot));
  std::filesystem::remove_all(root_);
  std::filesystem::rename(temp_ + "/moved", root_);
}

TEST_F(EmulatedCloudFiles, OneConnectionPerRootAndNoneOutsideARoot) {
  Provider provider, second;
  int64_t key = 0;
  auto table = provider.Table();
  EXPECT_EQ(cloud_->ConnectSyncRoot(Root(), table, &provider, 0, &key), HResultFromWin32(win32::kNotACloudSyncRoot));
  ASSERT_EQ(Register(), kSOk);
  key = Connect(provider);
  auto other = NewEmulatedCloudFiles(settings_);  // the rule holds across instances
  int64_t second_key = 0;
  EXPECT_EQ(other->ConnectSyncRoot(Root(), table, &second, 0, &second_key),
            HResultFromWin32(win32::kCloudFileAlreadyConnected));
  EXPECT_EQ(cloud_->DisconnectSyncRoot(key), kSOk);
  EXPECT_EQ(other->ConnectSyncRoot(Root(), table, &second, 0, &second_key), kSOk);
  EXPECT_EQ(other->DisconnectSyncRoot(second_key), kSOk);
}

TEST_F(EmulatedCloudFiles, PlaceholdersAreCreatedPerEntryAsSparseFilesWithTheirState) {
  ASSERT_EQ(Register(), kSOk);
  std::vector<PlaceholderCreateEntry> entries(4);
  entries[0].relative_name = u"a.bin";
  entries[0].metadata.file_size = 1 << 20;
  entries[0].identity = {'a'};
  entries[1].relative_name = u"bad:name";
  entries[1].identity = {'b'};
  entries[2].relative_name = u"dir";
  entries[2].metadata.attributes = attr::kDirectory | attr::kHidden;
  entries[2].flags = cf::kPlaceholderCreateDisableOnDemandPopulation | cf::kPlaceholderCreateMarkInSync;
  entries[3].relative_name = u"a.bin";  // already there by now
  entries[3].identity = {'c'};
  uint32_t processed = 0;
  EXPECT_EQ(cloud_->CreatePlaceholders(Root(), entries, 0, &processed), HResultFromWin32(win32::kInvalidName));
  EXPECT_EQ(processed, 4u);
  EXPECT_EQ(entries[0].result, kSOk);
  EXPECT_EQ(entries[1].result, HResultFromWin32(win32::kInvalidName));
  EXPECT_EQ(entries[2].result, kSOk);
  EXPECT_EQ(entries[3].result, HResultFromWin32(win32::kAlreadyExists));
  entries[0].result = 1;
  EXPECT_EQ(cloud_->CreatePlaceholders(Root(), entries, cf::kCreateStopOnError, &processed),
            HResultFromWin32(win32::kAlreadyExists));
  EXPECT_EQ(processed, 1u);

  struct stat st;
  ASSERT_EQ(stat((root_ + "/a.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1 << 20);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);  // sparse: nothing is on disk yet

  cloud_ = NewEmulatedCloudFiles(settings_);
  std::vector<FindData> found;
  ASSERT_EQ(fs_->Find(In("*"), &found), 0u);
  for (const FindData& f : found) {
    const uint32_t state = cloud_->PlaceholderStateFromFindData(f);
    if (f.name == u"a.bin") {
      EXPECT_EQ(state, cf::kStatePlaceholder | cf::kStatePartial | cf::kStatePartiallyOnDisk);
    } else if (f.name == u"dir") {
      EXPECT_EQ(state, cf::kStatePlaceholder | cf::kStateInSync);
      EXPECT_TRUE(f.attributes & attr::kHidden);
    } else if (f.name == u".") {
      EXPECT_EQ(state, cf::kStatePlaceholder | cf::kStateSyncRoot | cf::kStatePartial);  // not yet populated
    } else if (f.name != u"..") {
      EXPECT_EQ(state, cf::kStateNone);
    }
  }
  FileHandlePtr file = OpenItem(In("a.bin"));
  PlaceholderInfo info;
  ASSERT_EQ(cloud_->GetPlaceholderInfo(*file, cf::kPlaceholderInfoStandard, &info), kSOk);
  EXPECT_EQ(info.identity, std::vector<uint8_t>{'a'});
  EXPECT_EQ(info.in_sync_state, cf::kNotInSync);
  EXPECT_EQ(info.on_disk_data_size, 0);
  EXPECT_EQ(info.file_id, static_cast<int64_t>(st.st_ino));
  EXPECT_NE(info.sync_root_file_id, 0);

  std::ofstream(root_ + "/plain") << "x";
  FileHandlePtr plain = OpenItem(In("plain"));
  EXPECT_EQ(cloud_->GetPlaceholderInfo(*plain, cf::kPlaceholderInfoBasic, &info), HResultFromWin32(win32::kNotACloudFile));
  std::vector<uint8_t> too_long(cf::kMaxFileIdentityLength + 1, 'x');
  EXPECT_EQ(cloud_->ConvertToPlaceholder(*plain, too_long, 0), kEInvalidArg);
  EXPECT_EQ(cloud_->CreatePlaceholders(W(temp_), entries, 0, nullptr),
            HResultFromWin32(win32::kCloudFileNotUnderSyncRoot));
}

TEST_F(EmulatedCloudFiles, ConvertUpdateAndDehydrateFollowPinAndInSyncRules) {
  ASSERT_EQ(Register(), kSOk);
  std::ofstream(root_ + "/doc") << std::string(10000, 'd');
  FileHandlePtr file = OpenItem(In("doc"), access::kGenericRead | access::kGenericWrite);
  const uint8_t id[] = {'d'};
  EXPECT_EQ(cloud_->ConvertToPlaceholder(*file, id, cf::kConvertDehydrate), HResultFromWin32(win32::kCloudFileNotInSync));
  ASSERT_EQ(cloud_->ConvertToPlaceholder(*file, id, 0), kSOk);
  PlaceholderInfo info;
  ASSERT_EQ(cloud_->GetPlaceholderInfo(*file, cf::kPlaceholderInfoStandard, &info), kSOk);
  EXPECT_EQ(info.on_disk_data_size, 10000);
  EXPECT_EQ(cloud_->DehydratePlaceholder(*file, 0, -1, 0), HResultFromWin32(win32::kCloudFileNotInSync));
  EXPECT_EQ(cloud_->UpdatePlaceholder(*file, nullptr, {}, {}, cf::kUpdateVerifyInSync),
            HResultFromWin32(win32::kCloudFileNotInSync));
  int64_t usn = 0;
  ASSERT_EQ(cloud_->SetInSyncState(*file, cf::kInSync, 0, &usn), kSOk);
  int64_t stale = usn - 1;
  EXPECT_EQ(cloud_->SetInSyncState(*file, cf::kInSync, 0, &stale), HResultFromWin32(win32::kCloudFileNotInSync));
  ASSERT_EQ(cloud_->SetPinState(*file, cf::kPinned, 0), kSOk);
  EXPECT_EQ(cloud_->DehydratePlaceholder(*file, 0, -1, 0), HResultFromWin32(win32::kCloudFilePinned));
  uint32_t attributes = 0;
  ASSERT_EQ(fs_->ReadAttributes(In("doc"), &attributes), 0u);
  EXPECT_TRUE(attributes & attr::kPinned);
  ASSERT_EQ(cloud_->SetPinState(*file, cf::kUnpinned, 0), kSOk);
  ASSERT_EQ(cloud_->DehydratePlaceholder(*file, 0, -1, 0), kSOk);
  ASSERT_EQ(cloud_->GetPlaceholderInfo(*file, cf::kPlaceholderInfoStandard, &info), kSOk);
  EXPECT_EQ(info.on_disk_data_size, 0);
  EXPECT_EQ(info.pin_state, cf::kUnpinned);

  const uint8_t new_id[] = {'n', 'e', 'w'};
  FsMetadata metadata;
  metadata.file_size = 5000;
  ASSERT_EQ(cloud_->UpdatePlaceholder(*file, &metadata, new_id, {}, cf::kUpdateClearInSync), kSOk);
  ASSERT_EQ(cloud_->GetPlaceholderInfo(*file, cf::kPlaceholderInfoBasic, &info), kSOk);
  EXPECT_EQ(info.identity, (std::vector<uint8_t>{'n', 'e', 'w'}));
  EXPECT_EQ(info.in_sync_state, cf::kNotInSync);
  struct stat st;
  ASSERT_EQ(stat((root_ + "/doc").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 5000);
}

TEST_F(EmulatedCloudFiles, PinStateRecursesBelowAFolder) {
  ASSERT_EQ(Register(), kSOk);
  std::filesystem::create_directories(root_ + "/f/g");
  std::ofstream(root_ + "/f/g/x") << "x";
  FileHandlePtr folder = OpenItem(In("f"));
  ASSERT_EQ(cloud_->SetPinState(*folder, cf::kPinned, cf::kSetPinRecurseOnly), kSOk);
  uint32_t attributes = 0;
  ASSERT_EQ(fs_->ReadAttributes(In("f"), &attributes), 0u);
  EXPECT_FALSE(attributes & attr::kPinned);
  ASSERT_EQ(fs_->ReadAttributes(In("f/g/x"), &attributes), 0u);
  EXPECT_TRUE(attributes & attr::kPinned);
  ASSERT_EQ(cloud_->SetPinState(*folder, cf::kUnpinned, cf::kSetPinRecurse), kSOk);
  ASSERT_EQ(fs_->ReadAttributes(In("f/g/x"), &attributes), 0u);
  EXPECT_TRUE(attributes & attr::kUnpinned);
  ASSERT_EQ(fs_->ReadAttributes(In("f"), &attributes), 0u);
  EXPECT_TRUE(attributes & attr::kUnpinned);
}

TEST_F(EmulatedCloudFiles, HydrationAsksTheProviderOnItsThreadAndChecksTransfers) {
  ASSERT_EQ(Register(), kSOk);
  ASSERT_EQ(MakeFile("big", 3 * 4096 + 100), kSOk);
  FileHandlePtr file = OpenItem(In("big"));
  EXPECT_EQ(cloud_->HydratePlaceholder(*file, 0, -1, 0), HResultFromWin32(win32::kCloudFileProviderNotRunning));

  Provider provider;
  std::atomic<int> bad_offset{0}, bad_length{0};
  provider.on_callback = [&](const Seen& s) {
    if (s.type != cf::kFetchData) return;
    OperationInfo op;
    op.type = cf::kTransferData;
    op.connection_key = s.info.connection_key;
    op.transfer_key = s.info.transfer_key;
    std::vector<uint8_t> data(4 * 4096, 'z');
    OperationArgs args;
    args.buffer = data.data();
    args.offset = 100;
    args.length = 4096;
    bad_offset = cloud_->Execute(op, &args);
    args.offset = 0;
    args.length = 1000;
    bad_length = cloud_->Execute(op, &args);
    Serve(*cloud_, s, 'z', 4096);
  };
  Connect(provider);
  ASSERT_EQ(cloud_->HydratePlaceholder(*file, 0, -1, 0), kSOk);
  EXPECT_EQ(bad_offset, HResultFromWin32(win32::kCloudFileInvalidRequest));
  EXPECT_EQ(bad_length, HResultFromWin32(win32::kCloudFileInvalidRequest));
  auto fetches = provider.Of(cf::kFetchData);
  ASSERT_EQ(fetches.size(), 1u);
  EXPECT_NE(fetches[0].thread, std::this_thread::get_id());
  EXPECT_EQ(fetches[0].info.normalized_path, In("big"));
  EXPECT_EQ(fetches[0].info.file_size, 3 * 4096 + 100);
  EXPECT_EQ(fetches[0].args.flags & 0x2u, 0x2u);  // explicit hydration
  std::ifstream in(root_ + "/big", std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, std::string(3 * 4096 + 100, 'z'));
  PlaceholderInfo info;
  ASSERT_EQ(cloud_->GetPlaceholderInfo(*file, cf::kPlaceholderInfoStandard, &info), kSOk);
  EXPECT_EQ(info.on_disk_data_size, 3 * 4096 + 100);
  ASSERT_EQ(cloud_->HydratePlaceholder(*file, 0, -1, 0), kSOk);  // already there: no new request
  EXPECT_EQ(provider.Of(cf::kFetchData).size(), 1u);
}

TEST_F(EmulatedCloudFiles, ASilentProviderTimesOutAndIsCancelledUnlessItReportsProgress) {
  // The keep-alive below reports every 20 ms: only a pause of a whole second between two reports,
  // far beyond a busy machine's, would let the request run out.
  constexpr auto kTimeout = std::chrono::milliseconds(1000);
  UseTimeout(static_cast<uint32_t>(kTimeout.count()));
  ASSERT_EQ(Register(), kSOk);
  ASSERT_EQ(MakeFile("slow", 8192), kSOk);
  Provider provider;
  std::atomic<bool> keep_alive{false};
  provider.on_callback = [&](const Seen& s) {
    if (s.type != cf::kFetchData || !keep_alive) return;
    // Progress for twice the time-out, then the data.
    const auto until = std::chrono::steady_clock::now() + 2 * kTimeout;
    while (std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_EQ(cloud_->ReportProviderProgress(s.info.connection_key, s.info.transfer_key, 8192, 0), kSOk);
    }
    Serve(*cloud_, s, 'p');
  };
  Connect(provider);
  FileHandlePtr file = OpenItem(In("slow"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(cloud_->HydratePlaceholder(*file, 0, -1, 0), HResultFromWin32(win32::kCloudFileRequestTimeout));
  EXPECT_GE(std::chrono::steady_clock::now() - start, kTimeout);
  ASSERT_TRUE(provider.WaitFor(cf::kCancelFetchData));
  const Seen cancel = provider.Of(cf::kCancelFetchData)[0];
  EXPECT_EQ(cancel.args.flags & 0x1u, 0x1u);  // IO_TIMEOUT
  EXPECT_EQ(cancel.args.cancel_length, 8192);
  // The request is gone: a late answer is refused.
  OperationInfo op;
  op.connection_key = cancel.info.connection_key;
  op.transfer_key = cancel.info.transfer_key;
  std::vector<uint8_t> data(8192);
  OperationArgs args;
  args.buffer = data.data();
  args.length = 8192;
  EXPECT_EQ(cloud_->Execute(op, &args), HResultFromWin32(win32::kCloudFileInvalidRequest));

  keep_alive = true;
  EXPECT_EQ(cloud_->HydratePlaceholder(*file, 0, -1, 0), kSOk);
}

TEST_F(EmulatedCloudFiles, DisconnectFailsOpenRequestsAndStopsCallbacks) {
  ASSERT_EQ(Register(), kSOk);
  ASSERT_EQ(MakeFile("f", 4096), kSOk);
  Provider provider;
  const int64_t key = Connect(provider);
  FileHandlePtr file = OpenItem(In("f"));
  HResult result = kSOk;
  std::thread requester([&] { result = cloud_->HydratePlaceholder(*file, 0, -1, 0); });
  ASSERT_TRUE(provider.WaitFor(cf::kFetchData));
  ASSERT_EQ(cloud_->DisconnectSyncRoot(key), kSOk);
  requester.join();
  EXPECT_EQ(result, HResultFromWin32(win32::kCloudFileRequestAborted));
  auto user = NewUserSide();
  EXPECT_EQ(user->Open(In("f")), kSOk);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(provider.Of(cf::kNotifyFileOpenCompletion).empty());
  std::vector<uint8_t> buffer(10);
  uint32_t read = 0;
  EXPECT_EQ(user->Read(In("f"), 0, buffer, &read), HResultFromWin32(win32::kCloudFileProviderNotRunning));
  EXPECT_EQ(cloud_->DisconnectSyncRoot(key), HResultFromWin32(win32::kCloudFileInvalidRequest));
}

TEST_F(EmulatedCloudFiles, ReadsOfSeveralFilesAreServedConcurrently) {
  ASSERT_EQ(Register(cf::kHydrationProgressive), kSOk);
  constexpr int kFiles = 3;
  for (int i = 0; i < kFiles; ++i) ASSERT_EQ(MakeFile("c" + std::to_string(i), 3 * 4096), kSOk);
  Provider provider;
  std::mutex mu;
  std::condition_variable cv;
  int inside = 0;  // guarded by mu
  provider.on_callback = [&](const Seen& s) {
    if (s.type != cf::kFetchData) return;
    std::unique_lock<std::mutex> lock(mu);
    ++inside;
    cv.notify_all();
    // Each answer waits until every fetch is under way: only concurrent callbacks get past this.
    EXPECT_TRUE(cv.wait_for(lock, kTestPatience, [&] { return inside == kFiles; }));
    lock.unlock();
    Serve(*cloud_, s, 'c', 4096);
  };
  Connect(provider);
  auto user = NewUserSide();
  std::vector<std::thread> readers;
  std::vector<HResult> results(kFiles, kEFail);
  for (int i = 0; i < kFiles; ++i) {
    readers.emplace_back([&, i] {
      std::vector<uint8_t> buffer(100);
      uint32_t read = 0;
      results[i] = user->Read(In("c" + std::to_string(i)), 4096, buffer, &read);
      if (read != 100 || buffer[0] != 'c') results[i] = kEFail;
    });
  }
  for (auto& t : readers) t.join();
  for (HResult hr : results) EXPECT_EQ(hr, kSOk);
  // Progressive: only the page read was asked for.
  for (const Seen& s : provider.Of(cf::kFetchData)) {
    EXPECT_EQ(s.args.required_file_offset, 4096);
    EXPECT_EQ(s.args.required_length, 4096);
  }
}

TEST_F(EmulatedCloudFiles, ListingAsksForPlaceholdersUntilTheFolderIsPopulated) {
  ASSERT_EQ(Register(), kSOk);
  Provider provider;
  std::atomic<int> listings{0};
  provider.on_callback = [&](const Seen& s) {
    if (s.type != cf::kFetchPlaceholders) return;
    const int n = ++listings;
    std::vector<PlaceholderCreateEntry> entries(1);
    entries[0].relative_name = n == 1 ? u"one" : u"two";
    entries[0].metadata.file_size = 10;
    entries[0].identity = {'x'};
    OperationInfo op;
    op.struct_size = n == 1 ? 32 : 48;  // both layouts are accepted
    op.type = cf::kTransferPlaceholders;
    op.connection_key = s.info.connection_key;
    op.transfer_key = s.info.transfer_key;
    OperationArgs args;
    args.placeholders = entries;
    args.placeholder_total_count = 1;
    args.flags = n == 1 ? 0 : cf::kTransferPlaceholdersDisableOnDemandPopulation;
    EXPECT_EQ(cloud_->Execute(op, &args), kSOk);
    EXPECT_EQ(args.entries_processed, 1u);
    op.struct_size = 40;
    EXPECT_EQ(cloud_->Execute(op, &args), kEInvalidArg);
  };
  Connect(provider);
  auto user = NewUserSide();
  std::vector<FindData> entries;
  ASSERT_EQ(user->List(Root(), &entries), kSOk);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, u"one");
  ASSERT_EQ(user->List(Root(), &entries), kSOk);
  EXPECT_EQ(entries.size(), 2u);
  ASSERT_EQ(user->List(Root(), &entries), kSOk);  // populated now: no more requests
  EXPECT_EQ(listings, 2);
}

TEST_F(EmulatedCloudFiles, DeleteAndRenameAskTheProviderWhichMayRefuse) {
  ASSERT_EQ(Register(), kSOk);
  ASSERT_EQ(MakeFile("keep", 10), kSOk);
  ASSERT_EQ(MakeFile("move", 10), kSOk);
  Provider provider;
  provider.on_callback = [&](const Seen& s) {
    if (s.type != cf::kNotifyDelete && s.type != cf::kNotifyRename) return;
    OperationInfo op;
    op.type = s.type == cf::kNotifyDelete ? cf::kAckDelete : cf::kAckRename;
    op.connection_key = s.info.connection_key;
    op.transfer_key = s.info.transfer_key;
    OperationArgs args;
    args.completion_status = s.type == cf::kNotifyDelete ? ntstatus::kCloudFileAccessDenied : 0;
    EXPECT_EQ(cloud_->Execute(op, &args), kSOk);
  };
  Connect(provider);
  auto user = NewUserSide();
  EXPECT_EQ(user->Delete(In("keep")), HResultFromWin32(win32::kCloudFileAccessDenied));
  EXPECT_TRUE(std::filesystem::exists(root_ + "/keep"));
  EXPECT_EQ(user->Rename(In("move"), In("keep")), HResultFromWin32(win32::kAlreadyExists));
  ASSERT_EQ(user->Rename(In("move"), In("moved")), kSOk);
  EXPECT_TRUE(std::filesystem::exists(root_ + "/moved"));
  ASSERT_TRUE(provider.WaitFor(cf::kNotifyRenameCompletion));
  const Seen done = provider.Of(cf::kNotifyRenameCompletion)[0];
  EXPECT_EQ(done.args.source_path, In("move"));
  EXPECT_EQ(done.info.normalized_path, In("moved"));
  EXPECT_EQ(provider.Of(cf::kNotifyRename)[0].args.target_path, In("keep"));
}

TEST_F(EmulatedCloudFiles, WritingToAPlaceholderHydratesItAndClearsInSync) {
  ASSERT_EQ(Register(), kSOk);
  ASSERT_EQ(MakeFile("w", 4096), kSOk);
  Provider provider;
  provider.on_callback = [&](const Seen& s) {
    if (s.type == cf::kFetchData) Serve(*cloud_, s, 'o', 4096);
  };
  Connect(provider);
  auto user = NewUserSide();
  const uint8_t bytes[] = {'n', 'e', 'w'};
  ASSERT_EQ(user->Write(In("w"), 4096, bytes), kSOk);
  FileHandlePtr file = OpenItem(In("w"));
  PlaceholderInfo info;
  ASSERT_EQ(cloud_->GetPlaceholderInfo(*file, cf::kPlaceholderInfoStandard, &info), kSOk);
  EXPECT_EQ(info.in_sync_state, cf::kNotInSync);
  EXPECT_EQ(info.on_disk_data_size, 4099);
  ASSERT_EQ(user->SetPin(In("w"), cf::kUnpinned), kSOk);
  ASSERT_EQ(cloud_->GetPlaceholderInfo(*file, cf::kPlaceholderInfoBasic, &info), kSOk);
  EXPECT_EQ(info.pin_state, cf::kUnpinned);
}

TEST_F(EmulatedCloudFiles, UnregisteringAConnectedRootEndsItsConnection) {
  ASSERT_EQ(Register(), kSOk);
  ASSERT_EQ(MakeFile("f", 4096), kSOk);
  Provider provider;
  const int64_t key = Connect(provider);
  FileHandlePtr file = OpenItem(In("f"));
  HResult result = kSOk;
  std::thread requester([&] { result = cloud_->HydratePlaceholder(*file, 0, -1, 0); });
  ASSERT_TRUE(provider.WaitFor(cf::kFetchData));
  ASSERT_EQ(cloud_->UnregisterSyncRoot(Root()), kSOk);
  requester.join();
  EXPECT_EQ(result, HResultFromWin32(win32::kCloudFileRequestAborted));
  EXPECT_EQ(cloud_->DisconnectSyncRoot(key), HResultFromWin32(win32::kCloudFileInvalidRequest));

  // Registered again, the root has no provider until one connects: the old one hears nothing.
  ASSERT_EQ(Register(), kSOk);
  auto user = NewUserSide();
  std::vector<uint8_t> buffer(10);
  uint32_t read = 0;
  EXPECT_EQ(user->Read(In("f"), 0, buffer, &read), HResultFromWin32(win32::kCloudFileProviderNotRunning));
  EXPECT_EQ(user->Open(In("f")), kSOk);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(provider.Of(cf::kNotifyFileOpenCompletion).empty());
  EXPECT_EQ(provider.Of(cf::kFetchData).size(), 1u);
  Provider next;
  Connect(next);
}

TEST_F(EmulatedCloudFiles, AnIdentityTheFileSystemCannotHoldIsMetadataTooLargeNeverDiskFull) {
  ASSERT_EQ(Register(), kSOk);
  ASSERT_EQ(MakeFile("small", 4096), kSOk);
  const std::vector<uint8_t> largest(cf::kMaxFileIdentityLength, 'x');
  const HResult too_large = HResultFromWin32(364);  // ERROR_CLOUD_FILE_METADATA_TOO_LARGE

  std::vector<PlaceholderCreateEntry> entries(2);
  entries[0].relative_name = u"big.bin";
  entries[0].metadata.file_size = 4096;
  entries[1].relative_name = u"big";
  entries[1].metadata.attributes = attr::kDirectory;
  for (PlaceholderCreateEntry& entry : entries) entry.identity = largest;
  (void)cloud_->CreatePlaceholders(Root(), entries, 0, nullptr);
  FileHandlePtr small = OpenItem(In("small"), access::kGenericRead | access::kGenericWrite);
  const HResult updated = cloud_->UpdatePlaceholder(*small, nullptr, largest, {}, 0);
  PlaceholderInfo info;
  ASSERT_EQ(cloud_->GetPlaceholderInfo(*small, cf::kPlaceholderInfoBasic, &info), kSOk);
  if (updated == kSOk) {
    EXPECT_EQ(info.identity, largest);
  } else {
    // Refused as Windows refuses it, and the placeholder keeps the identity it had.
    EXPECT_EQ(updated, too_large);
    EXPECT_EQ(info.identity, (std::vector<uint8_t>{'i', 'd'}));
  }
  for (const PlaceholderCreateEntry& entry : entries) {
    const std::string name = entry.relative_name == u"big" ? "big" : "big.bin";
    if (entry.result == kSOk) {
      FileHandlePtr item = OpenItem(In(name));
      ASSERT_EQ(cloud_->GetPlaceholderInfo(*item, cf::kPlaceholderInfoBasic, &info), kSOk);
      EXPECT_EQ(info.identity, largest);
    } else {
      // Nothing half made is left under the name, so the provider can try again.
      EXPECT_EQ(entry.result, too_large) << name;
      EXPECT_FALSE(std::filesystem::exists(root_ + "/" + name)) << name;
    }
  }
}

TEST_F(EmulatedCloudFiles, TrackedPropertyChangesClearInSyncAsTheInSyncPolicySays) {
  constexpr uint32_t kTrackFileHidden = 0x4, kTrackDirectoryReadOnly = 0x20, kTrackFileLastWriteTime = 0x100,
                     kPreserveForSyncEngine = 0x80000000;
  SyncRegistration registration;
  registration.provider_name = u"Test";
  SyncPolicies policies;
  policies.in_sync = kTrackFileHidden | kTrackDirectoryReadOnly | kTrackFileLastWriteTime | kPreserveForSyncEngine;
  ASSERT_EQ(cloud_->RegisterSyncRoot(Root(), registration, policies, 0), kSOk);
  for (const char* name : {"hidden", "system", "touched", "engine"}) ASSERT_EQ(MakeFile(name, 4096), kSOk);
  PlaceholderCreateEntry folder;
  folder.relative_name = u"folder";
  folder.metadata.attributes = attr::kDirectory;
  folder.flags = cf::kPlaceholderCreateMarkInSync;
  ASSERT_EQ(cloud_->CreatePlaceholders(Root(), std::span(&folder, 1), 0, nullptr), kSOk);
  auto user = NewUserSide();
  auto in_sync = [&](const char* name) {
    FileHandlePtr item = OpenItem(In(name));
    PlaceholderInfo info;
    EXPECT_EQ(cloud_->GetPlaceholderInfo(*item, cf::kPlaceholderInfoBasic, &info), kSOk);
    return info.in_sync_state == cf::kInSync;
  };
  FsMetadata hidden, system, touched, read_only;
  hidden.attributes = attr::kHidden;
  system.attributes = attr::kSystem;
  touched.last_write_time = 133'000'000'000'000'000ull;
  read_only.attributes = attr::kReadOnly | attr::kDirectory;

  ASSERT_EQ(user->SetBasicInfo(In("hidden"), hidden), kSOk);
  ASSERT_EQ(user->SetBasicInfo(In("system"), system), kSOk);  // not tracked
  ASSERT_EQ(user->SetBasicInfo(In("touched"), touched), kSOk);
  ASSERT_EQ(user->SetBasicInfo(In("folder"), read_only), kSOk);
  EXPECT_FALSE(in_sync("hidden"));
  EXPECT_TRUE(in_sync("system"));
  EXPECT_FALSE(in_sync("touched"));
  EXPECT_FALSE(in_sync("folder"));

  // Writing what is already there changes nothing tracked.
  FileHandlePtr file = OpenItem(In("hidden"));
  ASSERT_EQ(cloud_->SetInSyncState(*file, cf::kInSync, 0, nullptr), kSOk);
  ASSERT_EQ(user->SetBasicInfo(In("hidden"), hidden), kSOk);
  EXPECT_TRUE(in_sync("hidden"));

  // The sync engine's own change keeps in-sync while the policy preserves it, and not after.
  FileHandlePtr engine = OpenItem(In("engine"), access::kWriteAttributes);
  ASSERT_EQ(fs_->WriteBasicInformation(*engine, hidden), 0u);
  EXPECT_TRUE(in_sync("engine"));
  policies.in_sync &= ~kPreserveForSyncEngine;
  ASSERT_EQ(cloud_->RegisterSyncRoot(Root(), registration, policies, cf::kRegisterUpdate), kSOk);
  FsMetadata visible;
  visible.attributes = attr::kNormal;
  ASSERT_EQ(fs_->WriteBasicInformation(*engine, visible), 0u);
  EXPECT_FALSE(in_sync("engine"));
}

}  // namespace
}  // namespace ostrasync::platform::testing
