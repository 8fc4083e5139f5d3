// How the provider's answers to a fetch move its requester on: validation before a reader gets
// the bytes (read back and acknowledged), a restarted hydration, and refusals that end a request
// at once with their code.
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "emulated_fixture.h"
#include "platform/posix/user_side.h"
#include "platform/posix/windows_attributes.h"

namespace ostrasync::platform::testing {
namespace {

constexpr uint16_t kValidationRequired = 0x1;
constexpr NtStatus kValidationFailed = static_cast<NtStatus>(0xC000CF0E);
constexpr NtStatus kNetworkUnavailable = static_cast<NtStatus>(0xC000CF11);
constexpr NtStatus kStatusUnsuccessful = static_cast<NtStatus>(0xC0000001);  // not of the cloud family

class EmulatedAnswers : public EmulatedTest {
 protected:
  HResult RegisterValidating() {
    SyncPolicies policies;
    policies.hydration = cf::kHydrationFull;
    policies.hydration_modifier = kValidationRequired;
    return RegisterWith(policies);
  }

  HResult Retrieve(const Seen& s, int64_t offset, std::vector<uint8_t>* buffer) {
    OperationInfo op = AnswerTo(s, cf::kRetrieveData);
    OperationArgs args;
    args.buffer = buffer->data();
    args.offset = offset;
    args.length = static_cast<int64_t>(buffer->size());
    const HResult hr = cloud_->Execute(op, &args);
    if (hr == kSOk) buffer->resize(static_cast<size_t>(args.length));
    return hr;
  }

  HResult Ack(const Seen& s, int64_t offset, int64_t length, NtStatus status = 0) {
    OperationInfo op = AnswerTo(s, cf::kAckData);
    OperationArgs args;
    args.offset = offset;
    args.length = length;
    args.completion_status = status;
    return cloud_->Execute(op, &args);
  }
};

TEST_F(EmulatedAnswers, ValidationHoldsTheReaderUntilTheProviderAcknowledgesWhatItReadsBack) {
  ASSERT_EQ(RegisterValidating(), kSOk);
  constexpr int64_t kSize = 2 * 4096 + 10;
  ASSERT_EQ(MakeFile("v", kSize), kSOk);
  Provider provider;
  std::atomic<bool> read_done{false};
  std::vector<uint8_t> read_back(kSize + 100);
  provider.on_callback = [&](const Seen& s) {
    if (s.type == cf::kFetchData) {
      std::vector<uint8_t> early(4096);
      EXPECT_EQ(Retrieve(s, 0, &early), HResultFromWin32(win32::kCloudFileInvalidRequest));  // nothing sent yet
      SendData(*cloud_, s, 0, kSize, 'v');
    } else if (s.type == cf::kValidateData) {
      EXPECT_FALSE(read_done);
      EXPECT_EQ(OnDisk("v"), 0);  // sent, but not valid until acknowledged
      EXPECT_EQ(Retrieve(s, 0, &read_back), kSOk);
      EXPECT_EQ(Ack(s, 100, 4096), HResultFromWin32(win32::kCloudFileInvalidRequest));  // not page aligned
      EXPECT_EQ(Ack(s, 0, 4096), kSOk);
      EXPECT_FALSE(read_done);  // half the range is valid so far
      EXPECT_EQ(Ack(s, 4096, kSize - 4096), kSOk);
    }
  };
  Connect(provider);
  auto user = NewUserSide();
  std::vector<uint8_t> buffer(kSize);
  uint32_t read = 0;
  ASSERT_EQ(user->Read(In("v"), 0, buffer, &read), kSOk);
  read_done = true;
  EXPECT_EQ(read, kSize);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(kSize, 'v'));
  EXPECT_EQ(read_back, std::vector<uint8_t>(kSize, 'v'));  // cut to the file's end
  auto validations = provider.Of(cf::kValidateData);
  ASSERT_EQ(validations.size(), 1u);
  EXPECT_EQ(validations[0].args.required_file_offset, 0);
  EXPECT_EQ(validations[0].args.required_length, kSize);
  EXPECT_EQ(validations[0].info.transfer_key, provider.Of(cf::kFetchData)[0].info.transfer_key);
  EXPECT_EQ(OnDisk("v"), kSize);
}

TEST_F(EmulatedAnswers, DataTheProviderFindsInvalidFailsTheReadAtOnceAndIsFetchedAgain) {
  ASSERT_EQ(RegisterValidating(), kSOk);
  ASSERT_EQ(MakeFile("bad", 4096), kSOk);
  Provider provider;
  std::atomic<int> fetches{0};
  provider.on_callback = [&](const Seen& s) {
    if (s.type == cf::kFetchData) {
      SendData(*cloud_, s, 0, 4096, ++fetches == 1 ? 'x' : 'g');
    } else if (s.type == cf::kValidateData) {
      if (fetches == 1) {
        EXPECT_EQ(Ack(s, 0, 4096, kValidationFailed), kSOk);
      } else {
        EXPECT_EQ(Ack(s, 0, 4096), kSOk);
      }
    }
  };
  Connect(provider);
  auto user = NewUserSide();
  std::vector<uint8_t> buffer(10);
  uint32_t read = 0;
  // Ended by the answer: the OS would give up (kOsWaitsMs) with a time-out's code.
  EXPECT_EQ(user->Read(In("bad"), 0, buffer, &read), HResultFromWin32(383));  // VALIDATION_FAILED
  EXPECT_EQ(OnDisk("bad"), 0);
  ASSERT_EQ(user->Read(In("bad"), 0, buffer, &read), kSOk);
  EXPECT_EQ(fetches, 2);
  EXPECT_EQ(buffer, std::vector<uint8_t>(10, 'g'));
}

TEST_F(EmulatedAnswers, ARestartedHydrationDropsWhatWasSentAndTakesTheNewIdentity) {
  ASSERT_EQ(Register(cf::kHydrationFull), kSOk);
  ASSERT_EQ(MakeFile("r", 2 * 4096, 0), kSOk);  // not in sync
  Provider provider;
  provider.on_callback = [&](const Seen& s) {
    if (s.type != cf::kFetchData) return;
    // Read-back and acknowledgement belong to roots that validate.
    std::vector<uint8_t> buffer(4096);
    EXPECT_EQ(Retrieve(s, 0, &buffer), HResultFromWin32(win32::kCloudFileInvalidRequest));
    EXPECT_EQ(Ack(s, 0, 4096), HResultFromWin32(win32::kCloudFileInvalidRequest));

    SendData(*cloud_, s, 0, 4096, 'o');  // the old version, half sent
    const uint8_t v2[] = {'v', '2'};
    OperationInfo op = AnswerTo(s, cf::kRestartHydration);
    OperationArgs args;
    args.flags = 0x1;  // MARK_IN_SYNC
    args.file_identity = v2;
    ASSERT_EQ(cloud_->Execute(op, &args), kSOk);
    EXPECT_EQ(OnDisk("r"), 0);
    // With the old page dropped this does not complete the file; kept, it would mix versions.
    SendData(*cloud_, s, 4096, 4096, 'n');
    SendData(*cloud_, s, 0, 4096, 'n');
  };
  Connect(provider);
  FileHandlePtr file = OpenItem(In("r"));
  ASSERT_EQ(cloud_->HydratePlaceholder(*file, 0, -1, 0), kSOk);
  EXPECT_EQ(Content("r"), std::string(2 * 4096, 'n'));
  PlaceholderInfo info;
  ASSERT_EQ(cloud_->GetPlaceholderInfo(*file, cf::kPlaceholderInfoBasic, &info), kSOk);
  EXPECT_EQ(info.identity, (std::vector<uint8_t>{'v', '2'}));
  EXPECT_EQ(info.in_sync_state, cf::kInSync);
  // Once the fetch is over its key answers nothing more.
  const Seen fetch = provider.Of(cf::kFetchData)[0];
  OperationInfo late = AnswerTo(fetch, cf::kRestartHydration);
  OperationArgs args;
  EXPECT_EQ(cloud_->Execute(late, &args), HResultFromWin32(win32::kCloudFileInvalidRequest));
}

TEST_F(EmulatedAnswers, TheProvidersBytesAndARestartLeaveTheFilesTimesAsTheyWere) {
  ASSERT_EQ(Register(cf::kHydrationFull), kSOk);
  PlaceholderCreateEntry entry;
  entry.relative_name = u"t";
  entry.metadata.file_size = 2 * 4096;
  entry.metadata.last_access_time = 132100000000000001ull;  // 2019, with a part below the second
  entry.metadata.last_write_time = 132200000000000002ull;
  entry.identity = {'i'};
  entry.flags = cf::kPlaceholderCreateMarkInSync;
  ASSERT_EQ(cloud_->CreatePlaceholders(Root(), std::span(&entry, 1), 0, nullptr), kSOk);
  Provider provider;
  provider.on_callback = [&](const Seen& s) {
    if (s.type != cf::kFetchData) return;
    SendData(*cloud_, s, 0, 4096, 'o');
    OperationInfo op = AnswerTo(s, cf::kRestartHydration);
    OperationArgs args;
    ASSERT_EQ(cloud_->Execute(op, &args), kSOk);
    SendData(*cloud_, s, 0, 2 * 4096, 'n');
  };
  Connect(provider);
  FileHandlePtr file = OpenItem(In("t"));
  ASSERT_EQ(cloud_->HydratePlaceholder(*file, 0, -1, 0), kSOk);
  struct stat st;
  ASSERT_EQ(stat((root_ + "/t").c_str(), &st), 0);
  EXPECT_EQ(FileTimeFromTimespec(st.st_mtim), entry.metadata.last_write_time);
  EXPECT_EQ(FileTimeFromTimespec(st.st_atim), entry.metadata.last_access_time);
  EXPECT_EQ(Content("t"), std::string(2 * 4096, 'n'));  // (after the look: a read moves the access time)
}

TEST_F(EmulatedAnswers, AFailureAnswerEndsTheRequestAtOnceWithItsCode) {
  ASSERT_EQ(Register(), kSOk);
  ASSERT_EQ(MakeFile("net", 4096), kSOk);
  ASSERT_EQ(MakeFile("odd", 4096), kSOk);
  Provider provider;
  provider.on_callback = [&](const Seen& s) {
    OperationArgs args;
    if (s.type == cf::kFetchData) {
      // A refusal carries no data: no buffer, no range.
      args.completion_status = s.info.normalized_path == In("net") ? kNetworkUnavailable : kStatusUnsuccessful;
      EXPECT_EQ(cloud_->Execute(AnswerTo(s, cf::kTransferData), &args), kSOk);
      // The request is over: anything more for it is refused.
      EXPECT_EQ(cloud_->Execute(AnswerTo(s, cf::kTransferData), &args),
                HResultFromWin32(win32::kCloudFileInvalidRequest));
    } else if (s.type == cf::kFetchPlaceholders) {
      args.completion_status = ntstatus::kCloudFileAccessDenied;
      EXPECT_EQ(cloud_->Execute(AnswerTo(s, cf::kTransferPlaceholders), &args), kSOk);
    }
  };
  Connect(provider);
  auto user = NewUserSide();
  std::vector<uint8_t> buffer(10);
  uint32_t read = 0;
  std::vector<FindData> entries;
  // Each code proves its answer ended the request: the OS would give up with a time-out's.
  EXPECT_EQ(user->Read(In("net"), 0, buffer, &read), HResultFromWin32(388));  // NETWORK_UNAVAILABLE
  EXPECT_EQ(user->Read(In("odd"), 0, buffer, &read), HResultFromWin32(389));  // UNSUCCESSFUL
  EXPECT_EQ(user->List(Root(), &entries), HResultFromWin32(win32::kCloudFileAccessDenied));
  EXPECT_EQ(OnDisk("net"), 0);
}

}  // namespace
}  // namespace ostrasync::platform::testing
