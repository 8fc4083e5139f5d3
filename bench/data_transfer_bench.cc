// Measures hydrating a large placeholder through an active component end to end (a user's read
// raises FETCH_DATA, the host answers GetFileData with PutFileData in 409,600-byte pieces and
// FinalizeTask, the engine forwards the parts to the emulated facility) against pwrite of the
// same bytes in the same pieces, in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bench_support.h"
#include "ostrasync.h"
#include "platform/posix/emulated_cloud_files.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/user_side.h"

namespace {

namespace platform = ostrasync::platform;
using ostrasync::bench::Call;
using ostrasync::bench::Clock;
using ostrasync::bench::Fail;
using ostrasync::bench::kPieceSize;
using ostrasync::bench::PieceData;
using ostrasync::bench::Short;

int64_t FileSize() { return Short() ? int64_t{64} << 20 : int64_t{1} << 30; }

// The host: serves every GetFileData from memory, synchronously, inside its handler.
int Host(void* context, int event_id, int, void* params[], int*) {
  if (event_id != OSTRASYNC_EVENT_GET_FILE_DATA) return 0;
  void* component = *static_cast<void**>(context);
  int64_t task = *static_cast<int64_t*>(params[0]);
  const int64_t length = *static_cast<int64_t*>(params[3]);
  for (int64_t done = 0; done < length; done += kPieceSize) {
    const int count = static_cast<int>(std::min(kPieceSize, length - done));
    if (const int rc = Call(component, OSTRASYNC_METHOD_PUT_FILE_DATA,
                            {&task, const_cast<uint8_t*>(PieceData().data()), nullptr,
                             reinterpret_cast<void*>(static_cast<intptr_t>(count))},
                            {0, static_cast<int>(kPieceSize), 0, 0})) {
      Fail("PutFileData", rc);
    }
  }
  if (const int rc = Call(component, OSTRASYNC_METHOD_FINALIZE_TASK, {&task, nullptr})) Fail("FinalizeTask", rc);
  return 0;
}

// The active component over "cloud", a plain folder beside it ("raw"), and an emulated
// facility of its own to make placeholders under the root with.
class Scratch {
 public:
  std::string cloud() const { return active_.cloud(); }
  std::string raw() const { return active_.Sub("raw"); }
  platform::CloudFiles& facility() { return *facility_; }

 private:
  ostrasync::bench::ActiveComponentScratch active_{
      {"raw"}, &Host, {"WaitForInstallToComplete=0", "WindowsCreatePlaceholdersOnDemand=true"}};
  std::unique_ptr<platform::CloudFiles> facility_ = platform::NewEmulatedCloudFiles(platform::EmulationSettings{});
};

// One hydration and one raw write per iteration, in alternating order, into fresh files.
void BM_HydrateThroughEngineVsPwrite(benchmark::State& state) {
  Scratch scratch;
  std::unique_ptr<platform::UserSide> user = platform::NewUserSide();
  Clock::duration ours{}, raw{};
  int round = 0;
  for (auto _ : state) {
    const std::string name = "big_" + std::to_string(round) + ".bin";
    platform::PlaceholderCreateEntry entry = ostrasync::bench::HydrationRoundEntry(round, FileSize());
    if (const int rc = scratch.facility().CreatePlaceholders(platform::ToWin32Path(scratch.cloud()), std::span(&entry, 1),
                                                             0, nullptr)) {
      Fail("CreatePlaceholders", rc);
    }
    const std::string raw_path = scratch.raw() + "/" + name;
    const int fd = open(raw_path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0 || ftruncate(fd, FileSize()) != 0) Fail("raw file", errno);  // sparse, like the placeholder

    // Each timed part starts with no dirty pages in the system, so neither pays for writing back
    // what the other left.
    auto hydrate = [&] {
      sync();
      std::vector<uint8_t> first(4096);
      uint32_t read = 0;
      const auto start = Clock::now();
      const platform::HResult hr = user->Read(platform::ToWin32Path(scratch.cloud() + "/" + name), 0, first, &read);
      ours += Clock::now() - start;
      if (hr != platform::kSOk || read != first.size()) Fail("read", hr);
    };
    auto write_raw = [&] { raw += ostrasync::bench::WritePiecesRaw(fd, FileSize()); };
    ostrasync::bench::InAlternatingOrder(round, hydrate, write_raw);
    close(fd);
    // Both files go before the next round, so that the page cache holds the same for each.
    std::filesystem::remove(raw_path);
    std::filesystem::remove(scratch.cloud() + "/" + name);
    ++round;
  }

  ostrasync::bench::ReportThroughputVsRaw(state, FileSize(), round, ours, raw);
}
BENCHMARK(BM_HydrateThroughEngineVsPwrite)->Unit(benchmark::kMillisecond)->Iterations(Short() ? 4 : 2);

}  // namespace
