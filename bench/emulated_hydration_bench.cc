// Measures hydrating a large placeholder through the emulated facility (FETCH_DATA answered with
// TRANSFER_DATA chunk after chunk) against pwrite of the same bytes in the same chunks.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/posix/emulated_cloud_files.h"
#include "platform/posix/file_system_posix.h"
#include "platform/posix/path_mapping.h"

namespace {

namespace platform = ostrasync::platform;
using ostrasync::bench::Clock;
using ostrasync::bench::kPieceSize;
using ostrasync::bench::PieceData;
using ostrasync::bench::Short;

int64_t FileSize() { return Short() ? int64_t{64} << 20 : int64_t{1} << 30; }

// Answers FETCH_DATA with the required range, chunk after chunk.
void Provide(platform::cf::CallbackType type, const platform::CallbackInfo& info, const platform::CallbackArgs& args) {
  if (type != platform::cf::kFetchData) return;
  auto* cloud = static_cast<platform::CloudFiles*>(info.callback_context);
  const int64_t end = args.required_file_offset + args.required_length;
  for (int64_t offset = args.required_file_offset; offset < end; offset += kPieceSize) {
    platform::OperationInfo op;
    op.type = platform::cf::kTransferData;
    op.connection_key = info.connection_key;
    op.transfer_key = info.transfer_key;
    op.request_key = info.request_key;
    platform::OperationArgs transfer;
    transfer.buffer = PieceData().data();
    transfer.offset = offset;
    transfer.length = std::min(kPieceSize, end - offset);
    if (cloud->Execute(op, &transfer) != platform::kSOk) {
      std::fprintf(stderr, "TRANSFER_DATA at %lld refused\n", static_cast<long long>(offset));
      return;
    }
  }
}

void Check(bool ok, const char* what) {
  if (ok) return;
  std::perror(what);
  std::abort();
}

// One hydration and one raw write per iteration, in alternating order, into fresh files.
void BM_HydrateVsPwrite(benchmark::State& state) {
  const ostrasync::bench::ScratchFolder scratch{"cloud"};
  const std::string& temp = scratch.path();
  const std::string root = scratch.Sub("cloud");
  auto cloud = platform::NewEmulatedCloudFiles(platform::EmulationSettings{});
  auto fs = platform::NewPosixFileSystem();
  platform::SyncRegistration registration;
  registration.provider_name = u"Bench";
  registration.provider_version = u"1";
  Check(cloud->RegisterSyncRoot(platform::ToWin32Path(root), registration, platform::SyncPolicies{}, 0) ==
            platform::kSOk,
        "register");
  std::vector<platform::CallbackRegistration> table = {{platform::cf::kFetchData, &Provide},
                                                       {platform::cf::kCallbackNone, nullptr}};
  int64_t connection = 0;
  Check(cloud->ConnectSyncRoot(platform::ToWin32Path(root), table, cloud.get(), 0, &connection) == platform::kSOk,
        "connect");

  Clock::duration ours{}, raw{};
  int round = 0;
  for (auto _ : state) {
    const std::string name = "big_" + std::to_string(round) + ".bin";
    platform::PlaceholderCreateEntry entry = ostrasync::bench::HydrationRoundEntry(round, FileSize());
    Check(cloud->CreatePlaceholders(platform::ToWin32Path(root), std::span(&entry, 1), 0, nullptr) == platform::kSOk,
          "create placeholder");
    platform::FileHandlePtr handle;
    platform::OpenRequest request;
    request.desired_access = platform::access::kGenericRead;
    Check(fs->Open(platform::ToWin32Path(root + "/" + name), request, &handle) == 0, "open placeholder");

    const std::string raw_path = temp + "/raw_" + std::to_string(round) + ".bin";
    const int fd = open(raw_path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
    Check(fd >= 0 && ftruncate(fd, FileSize()) == 0, "raw file");  // sparse, like the placeholder

    // Each timed part starts with no dirty pages in the system, so neither pays for writing back
    // what the other left (the kernel throttles writers once enough pages are dirty).
    auto hydrate = [&] {
      sync();
      const auto start = Clock::now();
      const platform::HResult hr = cloud->HydratePlaceholder(*handle, 0, -1, 0);
      ours += Clock::now() - start;
      if (hr != platform::kSOk) {
        std::fprintf(stderr, "hydration failed: 0x%08x\n", static_cast<unsigned>(hr));
        std::abort();
      }
    };
    auto write_raw = [&] { raw += ostrasync::bench::WritePiecesRaw(fd, FileSize()); };
    ostrasync::bench::InAlternatingOrder(round, hydrate, write_raw);
    close(fd);
    handle.reset();
    // Both files go before the next round, so that the page cache holds the same for each.
    std::filesystem::remove(raw_path);
    std::filesystem::remove(root + "/" + name);
    ++round;
  }
  Check(cloud->DisconnectSyncRoot(connection) == platform::kSOk, "disconnect");
  cloud.reset();


  ostrasync::bench::ReportThroughputVsRaw(state, FileSize(), round, ours, raw);
}
BENCHMARK(BM_HydrateVsPwrite)->Unit(benchmark::kMillisecond)->Iterations(Short() ? 4 : 2);

}  // namespace
