// Measures creating file placeholders through the emulated cloud-files facility against the bare
// Linux work of making the same files (open, ftruncate, one setxattr for the identity, close).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/posix/emulated_cloud_files.h"
#include "platform/posix/path_mapping.h"

namespace {

namespace platform = ostrasync::platform;
using ostrasync::bench::Clock;
using ostrasync::bench::Short;

int Folders() { return Short() ? 10 : 100; }
constexpr int kFilesPerFolder = 1000;
constexpr int64_t kFileSize = 1 << 20;

std::string Name(int file) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "file_%05d.bin", file);
  return buffer;
}

std::vector<uint8_t> Identity(int folder, int file) {
  char buffer[64];
  const int n = std::snprintf(buffer, sizeof buffer, "item/%03d/%05d", folder, file);
  return std::vector<uint8_t>(buffer, buffer + n);
}

// A scratch folder with a sync root ("cloud", registered by the benchmark) and a plain folder
// ("raw") beside it.
class Scratch {
 public:
  std::string cloud() const { return folder_.Sub("cloud"); }
  std::string raw() const { return folder_.Sub("raw"); }

 private:
  ostrasync::bench::ScratchFolder folder_{"cloud", "raw"};
};

// One folder of placeholders in one CreatePlaceholders call, as a provider fills a listing.
Clock::duration CreateThroughFacility(platform::CloudFiles& cloud, const std::string& folder, int index) {
  std::vector<platform::PlaceholderCreateEntry> entries(kFilesPerFolder);
  for (int file = 0; file < kFilesPerFolder; ++file) {
    const std::string name = Name(file);
    entries[file].relative_name.assign(name.begin(), name.end());
    entries[file].metadata.file_size = kFileSize;
    entries[file].identity = Identity(index, file);
    entries[file].flags = platform::cf::kPlaceholderCreateMarkInSync;
  }
  const std::u16string base = platform::ToWin32Path(folder);
  const auto start = Clock::now();
  uint32_t processed = 0;
  const platform::HResult hr = cloud.CreatePlaceholders(base, entries, 0, &processed);
  const auto took = Clock::now() - start;
  if (hr != platform::kSOk || processed != static_cast<uint32_t>(kFilesPerFolder)) {
    std::fprintf(stderr, "CreatePlaceholders failed: 0x%08x after %u entries\n", static_cast<unsigned>(hr), processed);
    std::abort();
  }
  return took;
}

Clock::duration CreateRaw(const std::string& folder, int index) {
  std::vector<std::string> paths;
  std::vector<std::vector<uint8_t>> identities;
  for (int file = 0; file < kFilesPerFolder; ++file) {
    paths.push_back(folder + "/" + Name(file));
    identities.push_back(Identity(index, file));
  }
  return ostrasync::bench::CreateRawFiles(paths, identities, kFileSize, "raw placeholder");
}

// Fills every folder once per iteration, the facility and the raw calls taking turns folder by
// folder so that both meet the same state of the file system's journal and caches. Only the
// creations are timed (the counters); setting up and removing the scratch tree is not.
void BM_CreatePlaceholdersVsRaw(benchmark::State& state) {
  Clock::duration ours{}, raw{};
  int64_t files = 0;
  for (auto _ : state) {
    Scratch scratch;
    auto cloud = platform::NewEmulatedCloudFiles(platform::EmulationSettings{});
    platform::SyncRegistration registration;
    registration.provider_name = u"Bench";
    registration.provider_version = u"1";
    if (cloud->RegisterSyncRoot(platform::ToWin32Path(scratch.cloud()), registration, platform::SyncPolicies{}, 0) !=
        platform::kSOk) {
      std::abort();
    }
    for (int folder = 0; folder < Folders(); ++folder) {
      char name[32];
      std::snprintf(name, sizeof name, "/folder_%03d", folder);
      std::filesystem::create_directory(scratch.cloud() + name);
      std::filesystem::create_directory(scratch.raw() + name);
    }
    for (int folder = 0; folder < Folders(); ++folder) {
      char name[32];
      std::snprintf(name, sizeof name, "/folder_%03d", folder);
      if (folder % 2 == 0) {
        ours += CreateThroughFacility(*cloud, scratch.cloud() + name, folder);
        raw += CreateRaw(scratch.raw() + name, folder);
      } else {
        raw += CreateRaw(scratch.raw() + name, folder);
        ours += CreateThroughFacility(*cloud, scratch.cloud() + name, folder);
      }
      files += kFilesPerFolder;
    }
  }
  ostrasync::bench::ReportPerUnitVsRaw(state, "file", files, ours, raw);
}
BENCHMARK(BM_CreatePlaceholdersVsRaw)->Unit(benchmark::kMillisecond)->Iterations(Short() ? 1 : 3);

}  // namespace
