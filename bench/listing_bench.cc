// Measures a user's first look into a folder of many items through an active component end to
// end (the listing raises FETCH_PLACEHOLDERS, the host answers ListDirectory with one ListFile per
// item, the engine puts each item on disk as a placeholder, the OS is answered and the folder
// read) against the bare Linux work of making the same files (open, ftruncate, one setxattr for
// the identity, close) followed by the same user's read of that plain folder, in the same run: both
// sides end with the user holding the folder's listing.
#include <benchmark/benchmark.h>

#include <atomic>
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
using ostrasync::bench::Short;

int Items() { return Short() ? 10'000 : 100'000; }
constexpr int64_t kItemSize = 1 << 20;
constexpr int64_t kItemTime = 0x01D5000000000000;

// Short names ("f000042") or names of a typical document's length ("f000042 quarterly
// report.docx"). The two differ on ext4, which keeps small extended attributes inside the inode:
// with a short name, raw's bare identity fits there but our placeholder record (the identity and
// the placeholder's state) takes a disk block of its own; with a typical name both sides do.
std::atomic<bool> typical_names{false};

std::string ItemName(int item) {
  char name[48];
  std::snprintf(name, sizeof name, typical_names.load() ? "f%06d quarterly report.docx" : "f%06d", item);
  return name;
}

std::string FolderName(int round) { return "round_" + std::to_string(round); }

// What the engine stores as a listed item's identity: its relative path in UTF-16 with the NUL.
std::vector<uint8_t> Identity(const std::string& relative) {
  std::vector<uint8_t> bytes;
  for (char c : relative + '\0') {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

// The host: answers every ListDirectory inside its handler, one ListFile per item, from memory.
int Host(void* context, int event_id, int, void* params[], int*) {
  if (event_id != OSTRASYNC_EVENT_LIST_DIRECTORY) return 0;
  void* component = *static_cast<void**>(context);
  int64_t handle = *static_cast<int64_t*>(params[0]);
  int64_t size = kItemSize, time = kItemTime;
  for (int item = 0; item < Items(); ++item) {
    std::string name = ItemName(item);
    if (const int rc = Call(component, OSTRASYNC_METHOD_LIST_FILE,
                            {&handle, name.data(), nullptr, &size, &time, &time, &time})) {
      Fail("ListFile", rc);
    }
  }
  return 0;
}

// The active component over "cloud", a plain folder beside it ("raw"), and an emulated facility
// of its own to make the folders to be listed with.
class Scratch {
 public:
  std::string cloud() const { return active_.cloud(); }
  std::string raw() const { return active_.Sub("raw"); }

  // A folder placeholder whose content the OS will ask for at the first look.
  void MakeOnDemandFolder(const std::string& name) {
    platform::PlaceholderCreateEntry entry;
    entry.relative_name.assign(name.begin(), name.end());
    entry.metadata.attributes = platform::attr::kDirectory;
    entry.identity = Identity("\\" + name);
    entry.flags = platform::cf::kPlaceholderCreateMarkInSync;
    if (const int rc =
            facility_->CreatePlaceholders(platform::ToWin32Path(cloud()), std::span(&entry, 1), 0, nullptr)) {
      Fail("CreatePlaceholders", rc);
    }
  }

 private:
  ostrasync::bench::ActiveComponentScratch active_{
      {"raw"}, &Host, {"WaitForInstallToComplete=0", "WindowsCreatePlaceholdersOnDemand=true"}};
  std::unique_ptr<platform::CloudFiles> facility_ = platform::NewEmulatedCloudFiles(platform::EmulationSettings{});
};

// One listing of a fresh folder and one raw creation of as many files per iteration, in
// alternating order: whichever creates files first in a run meets the inodes the file system
// deleted shortly before (the scratch folders of earlier runs), which it is slower to allocate
// past, so each side goes first once.
void BM_ListOnDemandVsRawCreate(benchmark::State& state) {
  typical_names.store(state.range(0) != 0);
  Scratch scratch;
  std::unique_ptr<platform::UserSide> user = platform::NewUserSide();
  Clock::duration ours{}, raw{};
  Clock::duration raw_read{};  // the share of `raw` the user's read of the plain folder took
  int64_t items = 0;
  int round = 0;
  for (auto _ : state) {
    const std::string folder = FolderName(round);
    scratch.MakeOnDemandFolder(folder);
    std::filesystem::create_directory(scratch.raw() + "/" + folder);
    std::vector<std::string> paths;
    std::vector<std::vector<uint8_t>> identities;
    for (int item = 0; item < Items(); ++item) {
      paths.push_back(scratch.raw() + "/" + folder + "/" + ItemName(item));
      identities.push_back(Identity("\\" + folder + "\\" + ItemName(item)));
    }

    // The user's look into `path`, which must show every item.
    auto list = [&](const std::string& path) {
      std::vector<platform::FindData> entries;
      const auto start = Clock::now();
      const platform::HResult hr = user->List(platform::ToWin32Path(path), &entries);
      const Clock::duration took = Clock::now() - start;
      if (hr != platform::kSOk) Fail("List", hr);
      if (entries.size() != static_cast<size_t>(Items())) Fail("List (entries)", static_cast<int>(entries.size()));
      return took;
    };
    auto list_ours = [&] { ours += list(scratch.cloud() + "/" + folder); };
    auto create_raw = [&] {
      raw += ostrasync::bench::CreateRawFiles(paths, identities, kItemSize, "raw file");
      const Clock::duration read = list(scratch.raw() + "/" + folder);
      raw += read;
      raw_read += read;
    };
    ostrasync::bench::InAlternatingOrder(round, list_ours, create_raw);
    items += Items();
    ++round;
  }
  ostrasync::bench::ReportPerUnitVsRaw(state, "item", items, ours, raw);
  state.counters["raw_read_us_per_item"] =
      std::chrono::duration<double, std::micro>(raw_read).count() / static_cast<double>(items);
}
BENCHMARK(BM_ListOnDemandVsRawCreate)->ArgName("typical_names")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
