// What the benchmark programs share: the short-run switch, the scratch folders they work in, an
// installed and active component to call, the bare Linux baseline of making files, and the
// throughput counters. Header-only, as each benchmark is a program of its own.
#ifndef OSTRASYNC_BENCH_BENCH_SUPPORT_H_
#define OSTRASYNC_BENCH_BENCH_SUPPORT_H_

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <system_error>
#include <vector>

#include "ostrasync.h"
#include "platform/win32_terms.h"

namespace ostrasync::bench {

using Clock = std::chrono::steady_clock;

// OSTRASYNC_BENCH_SHORT (set by the test command) asks for a brief run with smaller work loads.
inline bool Short() { return std::getenv("OSTRASYNC_BENCH_SHORT") != nullptr; }

// A failed step leaves nothing worth measuring: the run stops with the step and its code.
[[noreturn]] inline void Fail(const char* what, int code) {
  std::fprintf(stderr, "%s failed: 0x%08x\n", what, static_cast<unsigned>(code));
  std::abort();
}

// One method of the component; the sizes of any buffers go in `cbparams`, the rest are zero.
inline int Call(void* component, int method, std::vector<void*> params, std::vector<int> cbparams = {}) {
  cbparams.resize(params.size(), 0);
  return OstraSync_Kelvo_Do(component, method, static_cast<int>(params.size()), params.data(), cbparams.data());
}

// Writes one "Name=Value" setting; the second slot takes the value the component answers with.
inline int Config(void* component, const char* setting) {
  std::string text(setting);
  return Call(component, OSTRASYNC_METHOD_CONFIG, {text.data(), nullptr});
}

// Where scratch folders go: $TMPDIR, else /tmp. The test command runs the benchmarks once on a
// memory file system, where our own cost shows, and once on the disk, where the journal weighs.
inline std::string ScratchBase() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
}

// A fresh folder under ScratchBase() with the given subfolders, removed with everything in it at
// the end.
class ScratchFolder {
 public:
  explicit ScratchFolder(std::initializer_list<const char*> subfolders) {
    std::string pattern = ScratchBase() + "/ostrasync-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern;
    for (const char* sub : subfolders) std::filesystem::create_directory(Sub(sub));
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string Sub(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A scratch folder holding the sync root ("cloud"), the emulated shell's records ("state") and
// the benchmark's own `extra_subfolders`, with an installed, active component over the root.
// The event callback's context is the address of the component's handle, so that a host
// answering an event can call back into the component; the object therefore never moves.
class ActiveComponentScratch {
 public:
  ActiveComponentScratch(std::initializer_list<const char*> extra_subfolders, KelvoEventCallback on_event,
                         std::initializer_list<const char*> settings, bool activate = true)
      : folder_(extra_subfolders) {
    std::filesystem::create_directory(cloud());
    std::filesystem::create_directory(folder_.Sub("state"));
    // Read when the process's platform is first built, so that the user's own records stay
    // untouched. A later scratch in the same process keeps the first one's folder, which the
    // first removed on its way out: it is made again.
    setenv("OSTRASYNC_STATE_DIR", folder_.Sub("state").c_str(), 0);
    std::filesystem::create_directories(std::getenv("OSTRASYNC_STATE_DIR"));

    component_ = OstraSync_Kelvo_Create(on_event, &component_, nullptr, 0);
    if (component_ == nullptr) Fail("OstraSync_Kelvo_Create", 0);
    for (const char* setting : settings) {
      if (const int rc = Config(component_, setting)) Fail(setting, rc);
    }
    std::string root = cloud();
    for (char& c : root) c = c == '/' ? '\\' : c;
    if (const int rc = OstraSync_Kelvo_Set(component_, OSTRASYNC_PROP_SYNC_ROOT_PATH, 0, root.c_str())) {
      Fail("SyncRootPath", rc);
    }
    if (const int rc = Call(component_, OSTRASYNC_METHOD_INSTALL, {})) Fail("Install", rc);
    if (activate) Activate();
  }
  ~ActiveComponentScratch() {
    // Before the folder goes, so that the root is unregistered while it still exists.
    (void)Call(component_, OSTRASYNC_METHOD_UNINSTALL, {});
    OstraSync_Kelvo_Destroy(component_);
  }
  ActiveComponentScratch(const ActiveComponentScratch&) = delete;
  ActiveComponentScratch& operator=(const ActiveComponentScratch&) = delete;

  std::string cloud() const { return folder_.Sub("cloud"); }
  std::string Sub(const char* name) const { return folder_.Sub(name); }
  void* component() const { return component_; }

  // Synchronous activation and deactivation, each timed.
  Clock::duration Activate() {
    const auto start = Clock::now();
    if (const int rc = Call(component_, OSTRASYNC_METHOD_ACTIVATE, {reinterpret_cast<void*>(intptr_t{1})})) {
      Fail("Activate", rc);
    }
    return Clock::now() - start;
  }
  void Deactivate() {
    if (const int rc = Call(component_, OSTRASYNC_METHOD_DEACTIVATE, {})) Fail("Deactivate", rc);
  }

 private:
  ScratchFolder folder_;  // first in, last out: it outlives the component
  void* component_ = nullptr;
};

// The bare Linux work of making each file of `paths` (open, ftruncate to `size`, one setxattr
// with its identity, close), timed without the setup of the lists. `what` names the failure.
inline Clock::duration CreateRawFiles(const std::vector<std::string>& paths,
                                      const std::vector<std::vector<uint8_t>>& identities, int64_t size,
                                      const char* what) {
  const auto start = Clock::now();
  for (size_t file = 0; file < paths.size(); ++file) {
    const int fd = open(paths[file].c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0 || ftruncate(fd, size) != 0 ||
        fsetxattr(fd, "user.bench.identity", identities[file].data(), identities[file].size(), 0) != 0) {
      std::perror(what);
      std::abort();
    }
    close(fd);
  }
  return Clock::now() - start;
}

// The dehydrated, in-sync file placeholder "big_<round>.bin" of `size` bytes that a hydration
// round reads.
inline platform::PlaceholderCreateEntry HydrationRoundEntry(int round, int64_t size) {
  const std::string name = "big_" + std::to_string(round) + ".bin";
  platform::PlaceholderCreateEntry entry;
  entry.relative_name.assign(name.begin(), name.end());
  entry.metadata.file_size = size;
  entry.identity = {'b', 'i', 'g'};
  entry.flags = platform::cf::kPlaceholderCreateMarkInSync;
  return entry;
}

// The bytes every transferred piece carries: 100 pages, the size providers commonly transfer
// in, and not zeros, so that no layer can take a short cut.
constexpr int64_t kPieceSize = 409'600;
inline const std::vector<uint8_t>& PieceData() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> bytes(kPieceSize);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    return bytes;
  }();
  return data;
}

// The raw baseline of a transfer: `size` bytes of PieceData() written into `fd` piece by
// piece, timed. It starts with no dirty pages in the system, so that it does not pay for writing
// back what the measured side left (the kernel throttles writers once enough pages are dirty).
inline Clock::duration WritePiecesRaw(int fd, int64_t size) {
  sync();
  const auto start = Clock::now();
  for (int64_t offset = 0; offset < size; offset += kPieceSize) {
    const size_t length = static_cast<size_t>(std::min(kPieceSize, size - offset));
    if (pwrite(fd, PieceData().data(), length, offset) != static_cast<ssize_t>(length)) {
      std::perror("pwrite");
      std::abort();
    }
  }
  return Clock::now() - start;
}

// Runs both parts of round `round`, `first` ahead on even rounds and behind on odd ones, so that
// neither always meets the caches the other left.
template <typename First, typename Second>
void InAlternatingOrder(int round, First&& first, Second&& second) {
  if (round % 2 == 0) {
    first();
    second();
  } else {
    second();
    first();
  }
}

// The counters of a run that moved `rounds` files of `file_size` bytes our way (`ours`) and
// the raw way (`raw`): our throughput as a share of the raw one, whose goal is 0.8 or more.
inline void ReportThroughputVsRaw(benchmark::State& state, int64_t file_size, int rounds, Clock::duration ours,
                                  Clock::duration raw) {
  const double seconds_ours = std::chrono::duration<double>(ours).count();
  const double seconds_raw = std::chrono::duration<double>(raw).count();
  const double mib = static_cast<double>(file_size) * rounds / (1 << 20);
  state.counters["file_mib"] = static_cast<double>(file_size) / (1 << 20);
  state.counters["ours_mib_per_s"] = mib / seconds_ours;
  state.counters["raw_mib_per_s"] = mib / seconds_raw;
  state.counters["speed_vs_raw"] = seconds_raw / seconds_ours;
  state.SetLabel(seconds_raw / seconds_ours >= 0.8 ? "at least 80% of raw" : "BELOW 80% of raw");
}

// Per-unit times of `count` units ("file", "item") made by us and raw, with our speed as a share
// of the raw speed against the goal of half of it.
inline void ReportPerUnitVsRaw(benchmark::State& state, const std::string& unit, int64_t count,
                               Clock::duration ours, Clock::duration raw) {
  const double ours_us = std::chrono::duration<double, std::micro>(ours).count() / static_cast<double>(count);
  const double raw_us = std::chrono::duration<double, std::micro>(raw).count() / static_cast<double>(count);
  state.counters[unit + "s"] = static_cast<double>(count) / static_cast<double>(state.iterations());
  state.counters["ours_us_per_" + unit] = ours_us;
  state.counters["raw_us_per_" + unit] = raw_us;
  state.counters["speed_vs_raw"] = raw_us / ours_us;
  state.SetLabel(raw_us / ours_us >= 0.5 ? "at least half the raw speed" : "BELOW half the raw speed");
}

}  // namespace ostrasync::bench

#endif  // OSTRASYNC_BENCH_BENCH_SUPPORT_H_
