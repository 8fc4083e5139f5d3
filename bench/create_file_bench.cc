// Measures the host's CreateFile method, called through OstraSync_Kelvo_Do on an active component
// over the Linux emulation, against the bare Linux work of making the same files (open,
// ftruncate to the size, one setxattr for the identity, close), in the same run. The emulated
// facility's own CreatePlaceholders of the same items is timed beside them, so that the
// component's share of the cost can be told from the emulation's.
#include <benchmark/benchmark.h>

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

namespace {

using ostrasync::bench::Call;
using ostrasync::bench::Clock;
using ostrasync::bench::Fail;
using ostrasync::bench::Short;

int Folders() { return Short() ? 10 : 100; }
constexpr int kFilesPerFolder = 1000;
constexpr int64_t kFileSize = 1 << 20;
constexpr int64_t kFileTime = 132200000000000000;  // 2019-12-01

int Discard(void*, int, int, void**, int*) { return 0; }

std::string FolderName(int folder) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "folder_%03d", folder);
  return buffer;
}

std::string FileName(int file) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "file_%05d.bin", file);
  return buffer;
}

// The identity a placeholder of `relative` carries: its UTF-16 text with the terminator.
std::vector<uint8_t> Identity(const std::string& relative) {
  std::vector<uint8_t> bytes;
  for (char c : relative) bytes.insert(bytes.end(), {static_cast<uint8_t>(c), 0});
  bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// The active component over "cloud", with a plain folder beside it ("raw") and a second root
// ("facility") registered straight with an emulated facility of its own.
class Scratch {
 public:
  Scratch() {
    namespace platform = ostrasync::platform;
    platform::SyncRegistration registration;
    registration.provider_name = u"Bench";
    registration.provider_version = u"1";
    if (const int rc = facility_->RegisterSyncRoot(platform::ToWin32Path(facility()), registration,
                                                   platform::SyncPolicies{}, 0)) {
      Fail("RegisterSyncRoot", rc);
    }
  }
  std::string raw() const { return active_.Sub("raw"); }
  std::string facility() const { return active_.Sub("facility"); }
  void* component() const { return active_.component(); }
  ostrasync::platform::CloudFiles& cloud_files() { return *facility_; }

 private:
  ostrasync::bench::ActiveComponentScratch active_{{"raw", "facility"}, &Discard, {"WaitForInstallToComplete=0"}};
  std::unique_ptr<ostrasync::platform::CloudFiles> facility_ =
      ostrasync::platform::NewEmulatedCloudFiles(ostrasync::platform::EmulationSettings{});
};

// Each file its own dates, as a remote tree has them.
int64_t FileTime(int folder, int file) {
  return kFileTime + (static_cast<int64_t>(folder) * kFilesPerFolder + file) * 10000000;
}

Clock::duration CreateThroughMethod(void* component, int folder) {
  std::vector<std::string> paths;
  for (int file = 0; file < kFilesPerFolder; ++file) paths.push_back("\\" + FolderName(folder) + "\\" + FileName(file));
  int64_t size = kFileSize;
  const auto start = Clock::now();
  for (int file = 0; file < kFilesPerFolder; ++file) {
    std::string& path = paths[file];
    int64_t created = FileTime(folder, file), accessed = created, written = created;
    if (const int rc = Call(component, OSTRASYNC_METHOD_CREATE_FILE,
                            {path.data(), nullptr, &size, &created, &accessed, &written})) {
      Fail("CreateFile", rc);
    }
  }
  return Clock::now() - start;
}

// The same items, one CreatePlaceholders call each, straight to the emulated facility.
Clock::duration CreateThroughFacility(ostrasync::platform::CloudFiles& cloud, const std::string& root, int folder) {
  namespace platform = ostrasync::platform;
  const std::u16string base = platform::ToWin32Path(root + "/" + FolderName(folder));
  std::vector<platform::PlaceholderCreateEntry> entries(kFilesPerFolder);
  for (int file = 0; file < kFilesPerFolder; ++file) {
    const std::string name = FileName(file);
    const uint64_t time = static_cast<uint64_t>(FileTime(folder, file));
    entries[file].relative_name.assign(name.begin(), name.end());
    entries[file].metadata = {time, time, time, time, platform::attr::kNormal, kFileSize};
    entries[file].identity = Identity("\\" + FolderName(folder) + "\\" + name);
    entries[file].flags = platform::cf::kPlaceholderCreateMarkInSync;
  }
  const auto start = Clock::now();
  for (platform::PlaceholderCreateEntry& entry : entries) {
    uint32_t processed = 0;
    if (const int rc = cloud.CreatePlaceholders(base, std::span(&entry, 1), 0, &processed)) {
      Fail("CreatePlaceholders", rc);
    }
  }
  return Clock::now() - start;
}

Clock::duration CreateRaw(const std::string& raw, int folder) {
  std::vector<std::string> paths;
  std::vector<std::vector<uint8_t>> identities;
  for (int file = 0; file < kFilesPerFolder; ++file) {
    paths.push_back(raw + "/" + FolderName(folder) + "/" + FileName(file));
    identities.push_back(Identity("\\" + FolderName(folder) + "\\" + FileName(file)));
  }
  return ostrasync::bench::CreateRawFiles(paths, identities, kFileSize, "raw file");
}

// Fills every folder once per iteration, the method and the raw calls taking turns folder by
// folder so that both meet the same state of the file system's journal and caches. Only the
// creations are timed; setting up the component and the tree is not.
void BM_CreateFileVsRaw(benchmark::State& state) {
  Clock::duration ours{}, facility{}, raw{};
  int64_t files = 0;
  for (auto _ : state) {
    Scratch scratch;
    // The folders come first, as a host mirrors its tree: through CreateFolder on our side.
    int64_t folder_time = kFileTime;
    for (int folder = 0; folder < Folders(); ++folder) {
      std::string path = "\\" + FolderName(folder);
      if (const int rc = Call(scratch.component(), OSTRASYNC_METHOD_CREATE_FOLDER,
                              {path.data(), nullptr, &folder_time, &folder_time, &folder_time})) {
        Fail("CreateFolder", rc);
      }
      std::filesystem::create_directory(scratch.raw() + "/" + FolderName(folder));
      std::filesystem::create_directory(scratch.facility() + "/" + FolderName(folder));
    }
    for (int folder = 0; folder < Folders(); ++folder) {
      // Turns in a rotating order, so that none always meets the caches the others left.
      for (int turn = 0; turn < 3; ++turn) {
        switch ((folder + turn) % 3) {
          case 0: ours += CreateThroughMethod(scratch.component(), folder); break;
          case 1: raw += CreateRaw(scratch.raw(), folder); break;
          default: facility += CreateThroughFacility(scratch.cloud_files(), scratch.facility(), folder); break;
        }
      }
      files += kFilesPerFolder;
    }
  }
  const double ours_us = std::chrono::duration<double, std::micro>(ours).count() / static_cast<double>(files);
  const double raw_us = std::chrono::duration<double, std::micro>(raw).count() / static_cast<double>(files);
  const double facility_us = std::chrono::duration<double, std::micro>(facility).count() / static_cast<double>(files);
  state.counters["files"] = static_cast<double>(files) / static_cast<double>(state.iterations());
  state.counters["ours_us_per_file"] = ours_us;
  state.counters["raw_us_per_file"] = raw_us;
  state.counters["facility_us_per_file"] = facility_us;
  // Our speed as a share of the raw speed; the goal is 0.5 or more.
  state.counters["speed_vs_raw"] = raw_us / ours_us;
  state.SetLabel(raw_us / ours_us >= 0.5 ? "at least half the raw speed" : "BELOW half the raw speed");
  std::printf("CreateFile through OstraSync_Kelvo_Do: %.1f us/file; open+ftruncate+setxattr: %.1f us/file; "
              "ratio %.0f %% (the emulated facility alone: %.1f us/file)\n",
              ours_us, raw_us, 100.0 * raw_us / ours_us, facility_us);
}
BENCHMARK(BM_CreateFileVsRaw)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
