// Measures what a folder that already holds many items costs: a full population of the root at
// activation, made again over the placeholders the first one left, against the first one (which
// itself stands beside the bare Linux creation of as many files); and CreateFile calls into a
// folder of many items against the same calls into an empty folder. Every item's own step must
// cost the same whatever its folder holds.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "ostrasync.h"

namespace {

using ostrasync::bench::Call;
using ostrasync::bench::Clock;
using ostrasync::bench::Fail;

constexpr int64_t kItemSize = 1 << 20;
constexpr int64_t kItemTime = 0x01D5000000000000;

// The same sizes in the short setting: what a full folder costs shows only at its full size.
constexpr int kRootItems = 100'000;
constexpr int kFolderItems = 100'000;
constexpr int kCreations = 10'000;

std::string Name(const char* prefix, int item) {
  char name[32];
  std::snprintf(name, sizeof name, "%s%06d", prefix, item);
  return name;
}

// The process's CPU time (all its threads) in microseconds: on a machine busy with other work
// it tells the cost apart from the waiting for a core.
double CpuMicros() {
  struct timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

double MicrosPer(Clock::duration took, int64_t count) {
  return std::chrono::duration<double, std::micro>(took).count() / static_cast<double>(count);
}

// The host of the population: the root's listing, one ListFile per item, from memory.
int ListRoot(void* context, int event_id, int, void* params[], int*) {
  if (event_id != OSTRASYNC_EVENT_LIST_DIRECTORY) return 0;
  void* component = *static_cast<void**>(context);
  int64_t handle = *static_cast<int64_t*>(params[0]);
  int64_t size = kItemSize, time = kItemTime;
  for (int item = 0; item < kRootItems; ++item) {
    std::string name = Name("f", item);
    if (const int rc = Call(component, OSTRASYNC_METHOD_LIST_FILE,
                            {&handle, name.data(), nullptr, &size, &time, &time, &time})) {
      Fail("ListFile", rc);
    }
  }
  return 0;
}

int Discard(void*, int, int, void**, int*) { return 0; }

void BM_SecondFullPopulationVsFirst(benchmark::State& state) {
  Clock::duration first{}, second{}, raw{};
  double first_cpu = 0, second_cpu = 0;
  int64_t items = 0;
  static int round = 0;  // across repetitions too, so that the raw side goes first every other time
  for (auto _ : state) {
    ostrasync::bench::ActiveComponentScratch scratch(
        {"raw"}, &ListRoot, {"WaitForInstallToComplete=0", "WindowsCreatePlaceholdersOnDemand=false"},
        /*activate=*/false);
    std::vector<std::string> paths;
    std::vector<std::vector<uint8_t>> identities;
    for (int item = 0; item < kRootItems; ++item) {
      paths.push_back(scratch.Sub("raw") + "/" + Name("f", item));
      identities.push_back({'f', 0, 0, 0});
    }
    // The raw side first and last in turn, so that neither always meets the other's caches.
    if (round % 2 == 0) raw += ostrasync::bench::CreateRawFiles(paths, identities, kItemSize, "raw file");
    double cpu = CpuMicros();
    first += scratch.Activate();
    first_cpu += CpuMicros() - cpu;
    scratch.Deactivate();
    cpu = CpuMicros();
    second += scratch.Activate();
    second_cpu += CpuMicros() - cpu;
    if (round % 2 != 0) raw += ostrasync::bench::CreateRawFiles(paths, identities, kItemSize, "raw file");
    scratch.Deactivate();
    int64_t on_disk = 0;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.cloud())) on_disk += entry.is_regular_file();
    if (on_disk != kRootItems) Fail("population (items on disk)", static_cast<int>(on_disk));
    items += kRootItems;
    ++round;
  }
  state.counters["items"] = static_cast<double>(items) / static_cast<double>(state.iterations());
  state.counters["first_us_per_item"] = MicrosPer(first, items);
  state.counters["second_us_per_item"] = MicrosPer(second, items);
  state.counters["raw_us_per_item"] = MicrosPer(raw, items);
  state.counters["second_vs_first"] = MicrosPer(second, items) / MicrosPer(first, items);
  state.counters["second_vs_first_cpu"] = second_cpu / first_cpu;
  state.counters["first_speed_vs_raw"] = MicrosPer(raw, items) / MicrosPer(first, items);
  state.SetLabel(MicrosPer(second, items) <= 1.5 * MicrosPer(first, items) ? "second within 1.5x of the first"
                                                                            : "second ABOVE 1.5x of the first");
}
BENCHMARK(BM_SecondFullPopulationVsFirst)->Unit(benchmark::kMillisecond)->Iterations(1);

// `count` CreateFile calls for "\<folder>\n<first>..." in one run.
Clock::duration CreateFiles(void* component, const std::string& folder, int first, int count) {
  std::vector<std::string> paths;
  for (int item = first; item < first + count; ++item) paths.push_back("\\" + folder + "\\" + Name("n", item));
  int64_t size = kItemSize;
  const auto start = Clock::now();
  for (std::string& path : paths) {
    int64_t created = kItemTime, accessed = kItemTime, written = kItemTime;
    if (const int rc = Call(component, OSTRASYNC_METHOD_CREATE_FILE,
                            {path.data(), nullptr, &size, &created, &accessed, &written})) {
      Fail("CreateFile", rc);
    }
  }
  return Clock::now() - start;
}

// The bare Linux creation of `count` files "n<first>..." in `folder` (open, ftruncate, setxattr).
Clock::duration CreateRaw(const std::string& folder, int first, int count) {
  std::vector<std::string> paths;
  std::vector<std::vector<uint8_t>> identities;
  for (int item = first; item < first + count; ++item) {
    paths.push_back(folder + "/" + Name("n", item));
    identities.push_back({'n', 0, 0, 0});
  }
  return ostrasync::bench::CreateRawFiles(paths, identities, kItemSize, "raw file");
}

void FillWithPlainFiles(const std::string& folder) {
  for (int item = 0; item < kFolderItems; ++item) {
    const int fd = open((folder + "/" + Name("u", item)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) Fail("open", errno);
    close(fd);
  }
}

// Beside ours, the same creations made raw in a plain folder as full and in an empty one: what
// the file system itself charges for a large folder.
void BM_CreateFileIntoFullFolderVsEmpty(benchmark::State& state) {
  constexpr int kTurn = 500;
  Clock::duration full{}, empty{}, raw_full{}, raw_empty{};
  int64_t files = 0;
  for (auto _ : state) {
    ostrasync::bench::ActiveComponentScratch scratch({"raw_full", "raw_empty"}, &Discard,
                                                     {"WaitForInstallToComplete=0"});
    for (const char* folder : {"full", "empty"}) {
      std::string path = std::string("\\") + folder;
      int64_t time = kItemTime;
      if (const int rc = Call(scratch.component(), OSTRASYNC_METHOD_CREATE_FOLDER, {path.data(), nullptr, &time, &time, &time})) {
        Fail("CreateFolder", rc);
      }
    }
    // The user's own files, already in the folder.
    FillWithPlainFiles(scratch.cloud() + "/full");
    FillWithPlainFiles(scratch.Sub("raw_full"));
    for (int first = 0; first < kCreations; first += kTurn) {
      // Turns in alternating order, so that both meet the same state of the caches and journal.
      ostrasync::bench::InAlternatingOrder(
          first / kTurn, [&] { full += CreateFiles(scratch.component(), "full", first, kTurn); },
          [&] { empty += CreateFiles(scratch.component(), "empty", first, kTurn); });
      ostrasync::bench::InAlternatingOrder(
          first / kTurn, [&] { raw_full += CreateRaw(scratch.Sub("raw_full"), first, kTurn); },
          [&] { raw_empty += CreateRaw(scratch.Sub("raw_empty"), first, kTurn); });
    }
    files += kCreations;
  }
  state.counters["files"] = static_cast<double>(files) / static_cast<double>(state.iterations());
  state.counters["folder_items"] = kFolderItems;
  state.counters["full_us_per_file"] = MicrosPer(full, files);
  state.counters["empty_us_per_file"] = MicrosPer(empty, files);
  state.counters["full_vs_empty"] = MicrosPer(full, files) / MicrosPer(empty, files);
  state.counters["raw_full_vs_empty"] = MicrosPer(raw_full, files) / MicrosPer(raw_empty, files);
  state.SetLabel(MicrosPer(full, files) <= 1.5 * MicrosPer(empty, files) ? "within 1.5x of an empty folder"
                                                                          : "ABOVE 1.5x of an empty folder");
}
BENCHMARK(BM_CreateFileIntoFullFolderVsEmpty)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
