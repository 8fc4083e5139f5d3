// The user side as a host's tools reach it through ostrasync_emulation.h: cancelling a read the
// provider is slow to serve, what a file's state shows, and refusals of bad input.
#include <atomic>
#include <fstream>
#include <thread>

#include "emulated_fixture.h"
#include "ostrasync_emulation.h"

namespace ostrasync::platform::testing {
namespace {

constexpr int32_t kOperationAborted = static_cast<int32_t>(0x800703E3);
constexpr int32_t kNotFoundCode = static_cast<int32_t>(0x80070490);
constexpr int32_t kInvalidArgCode = static_cast<int32_t>(0x80070057);
constexpr uint32_t kCancelIoAborted = 0x2;

using UserSideCApi = EmulatedTest;

TEST_F(UserSideCApi, CancelledReadEndsAtOnceAndTheProviderHearsWhy) {
  // The provider never answers the first read: only the cancel can end it before the OS gives up
  // (kOsWaitsMs), which would end it with another code. Which fetch is served is told by its
  // transfer, not by when its callback runs: the first one's may run late.
  std::atomic<int64_t> first_transfer{-1};
  Provider provider;
  provider.on_callback = [&](const Seen& s) {
    const int64_t first = first_transfer.load();
    if (s.type == cf::kFetchData && first != -1 && s.info.transfer_key != first) {
      SendData(*cloud_, s, s.args.required_file_offset, s.args.required_length, 'z');
    }
  };
  ASSERT_EQ(Register(cf::kHydrationFull), kSOk);
  Connect(provider);
  ASSERT_EQ(MakeFile("slow.bin", 8192), kSOk);
  const std::string path = root_ + "/slow.bin";

  int32_t result = 0;
  std::thread reader([&] {
    char buffer[16];
    uint32_t read = 0;
    result = ostrasync_user_read(path.c_str(), 0, buffer, sizeof buffer, &read);
  });
  ASSERT_TRUE(provider.WaitFor(cf::kFetchData));
  first_transfer = provider.Of(cf::kFetchData).front().info.transfer_key;
  EXPECT_EQ(ostrasync_user_cancel_io(reader.native_handle()), 0);
  reader.join();
  EXPECT_EQ(result, kOperationAborted);
  ASSERT_TRUE(provider.WaitFor(cf::kCancelFetchData));
  const Seen cancel = provider.Of(cf::kCancelFetchData).front();
  EXPECT_EQ(cancel.args.flags, kCancelIoAborted);
  EXPECT_EQ(cancel.info.transfer_key, provider.Of(cf::kFetchData).front().info.transfer_key);
  EXPECT_EQ(OnDisk("slow.bin"), 0);

  // A thread that waits for nothing has nothing to cancel, and the file reads normally afterwards.
  EXPECT_EQ(ostrasync_user_cancel_io(pthread_self()), kNotFoundCode);
  char buffer[4] = {};
  uint32_t read = 0;
  EXPECT_EQ(ostrasync_user_read(path.c_str(), 8190, buffer, sizeof buffer, &read), 0);
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(buffer[0], 'z');
}

TEST_F(UserSideCApi, StateShowsPlaceholderPinSyncAndTheRangesOnDisk) {
  Provider provider;
  provider.on_callback = [&](const Seen& s) {
    if (s.type == cf::kFetchData) SendData(*cloud_, s, s.args.required_file_offset, s.args.required_length, 'p');
  };
  ASSERT_EQ(Register(cf::kHydrationPartial), kSOk);
  Connect(provider);
  ASSERT_EQ(MakeFile("part.bin", 1 << 20), kSOk);
  const std::string path = root_ + "/part.bin";
  char buffer[100];
  uint32_t read = 0;
  ASSERT_EQ(ostrasync_user_read(path.c_str(), 8200, buffer, sizeof buffer, &read), 0);
  ASSERT_EQ(read, sizeof buffer);

  ostrasync_user_state state;
  ASSERT_EQ(ostrasync_user_stat(path.c_str(), &state), 0);
  EXPECT_EQ(state.is_placeholder, 1);
  EXPECT_EQ(state.in_sync, 1);
  EXPECT_EQ(state.size, 1 << 20);
  EXPECT_EQ(state.pin_state, static_cast<uint32_t>(OSTRASYNC_USER_PIN_UNSPECIFIED));
  EXPECT_EQ(state.on_disk_bytes, 4096);  // the one page the read needed
  ASSERT_EQ(state.range_count, 1u);
  EXPECT_EQ(state.ranges[0].offset, 8192);
  EXPECT_EQ(state.ranges[0].length, 4096);

  ASSERT_EQ(ostrasync_user_set_pin(path.c_str(), OSTRASYNC_USER_PINNED), 0);
  ASSERT_EQ(ostrasync_user_stat(path.c_str(), &state), 0);
  EXPECT_EQ(state.pin_state, static_cast<uint32_t>(OSTRASYNC_USER_PINNED));
  EXPECT_NE(state.attributes & attr::kPinned, 0u);
  // A pinned file keeps its data: the user cannot free its space.
  EXPECT_EQ(ostrasync_user_dehydrate(path.c_str()), static_cast<int32_t>(HResultFromWin32(392)));

  // A plain file beside the root is simply all on disk.
  const std::string plain = temp_ + "/plain.txt";
  std::ofstream(plain) << "plain";
  ASSERT_EQ(ostrasync_user_stat(plain.c_str(), &state), 0);
  EXPECT_EQ(state.is_placeholder, 0);
  EXPECT_EQ(state.on_disk_bytes, 5);
  EXPECT_EQ(ostrasync_user_stat((temp_ + "/missing").c_str(), &state), static_cast<int32_t>(HResultFromWin32(2)));
}

TEST_F(UserSideCApi, BadInputIsRefusedAndCodesHaveTheirTexts) {
  ostrasync_user_state state;
  uint32_t read = 0;
  char buffer[8];
  EXPECT_EQ(ostrasync_user_stat(nullptr, &state), kInvalidArgCode);
  EXPECT_EQ(ostrasync_user_stat("relative/path", &state), kInvalidArgCode);
  EXPECT_EQ(ostrasync_user_stat(root_.c_str(), nullptr), kInvalidArgCode);
  EXPECT_EQ(ostrasync_user_read(root_.c_str(), 0, buffer, sizeof buffer, nullptr), kInvalidArgCode);
  EXPECT_EQ(ostrasync_user_read(root_.c_str(), 0, nullptr, 8, &read), kInvalidArgCode);
  EXPECT_EQ(ostrasync_user_set_pin(root_.c_str(), 7), kInvalidArgCode);
  EXPECT_EQ(ostrasync_user_list(root_.c_str(), nullptr, nullptr), kInvalidArgCode);
  EXPECT_EQ(ostrasync_user_rename(root_.c_str(), "x"), kInvalidArgCode);

  char text[256];
  const uint32_t length = ostrasync_user_message(static_cast<int32_t>(0x800701AA), text, sizeof text);
  EXPECT_STREQ(text, "The cloud operation was not completed before the time-out period expired.");
  EXPECT_EQ(length, strlen(text));
  char small[8];
  EXPECT_EQ(ostrasync_user_message(static_cast<int32_t>(0x800701AA), small, sizeof small), length);
  EXPECT_STREQ(small, "The clo");
}

}  // namespace
}  // namespace ostrasync::platform::testing
