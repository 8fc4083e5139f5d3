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

#include "ostrasync.h"
#include "platform/posix/emulated_cloud_files.h"
#include "platform/posix/path_mapping.h"
#include "platform/posix/user_side.h"

namespace {

namespace platform = ostrasync::platform;
using Clock = std::chrono::steady_clock;

bool Short() { return std::getenv("OSTRASYNC_BENCH_SHORT") != nullptr; }
int64_t FileSize() { return Short() ? int64_t{64} << 20 : int64_t{1} << 30; }
constexpr int64_t kPiece = 409'600;

// The bytes every piece carries (not zeros, so that no layer can take a short cut).
const std::vector<uint8_t>& PieceData() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> bytes(kPiece);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    return bytes;
  }();
  return data;
}

void Fail(const char* what, int code) {
  std::fprintf(stderr, "%s failed: 0x%08x\n", what, static_cast<unsigned>(code));
  std::abort();
}

int Call(void* component, int method, std::vector<void*> params, std::vector<int> cbparams = {}) {
  cbparams.resize(params.size(), 0);
  return OstraSync_Kelvo_Do(component, method, static_cast<int>(params.size()), params.data(), cbparams.data());
}

// The host: serves every GetFileData from memory, synchronously, inside its handler.
int Host(void* context, int event_id, int, void* params[], int*) {
  if (event_id != OSTRASYNC_EVENT_GET_FILE_DATA) return 0;
  void* component = *static_cast<void**>(context);
  int64_t task = *static_cast<int64_t*>(params[0]);
  const int64_t length = *static_cast<int64_t*>(params[3]);
  for (int64_t done = 0; done < length; done += kPiece) {
    const int count = static_cast<int>(std::min(kPiece, length - done));
    if (const int rc = Call(component, OSTRASYNC_METHOD_PUT_FILE_DATA,
                            {&task, const_cast<uint8_t*>(PieceData().data()), nullptr,
                             reinterpret_cast<void*>(static_cast<intptr_t>(count))},
                            {0, static_cast<int>(kPiece), 0, 0})) {
      Fail("PutFileData", rc);
    }
  }
  if (const int rc = Call(component, OSTRASYNC_METHOD_FINALIZE_TASK, {&task, nullptr})) Fail("FinalizeTask", rc);
  return 0;
}

// A scratch folder holding the sync root, the raw files and the emulated shell's records, with
// an installed, active component over the root.
class Scratch {
 public:
  Scratch() {
    char pattern[] = "/tmp/ostrasync-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    temp_ = pattern;
    for (const char* sub : {"/cloud", "/raw", "/state"}) std::filesystem::create_directory(temp_ + sub);
    // Read when the process's platform is first built, so that the user's own records stay untouched.
    setenv("OSTRASYNC_STATE_DIR", (temp_ + "/state").c_str(), 0);
    std::filesystem::create_directories(std::getenv("OSTRASYNC_STATE_DIR"));
    component_ = OstraSync_Kelvo_Create(&Host, &component_, nullptr, 0);
    if (component_ == nullptr) std::abort();
    for (const char* setting : {"WaitForInstallToComplete=0", "WindowsCreatePlaceholdersOnDemand=true"}) {
      std::string text = setting;
      if (const int rc = Call(component_, OSTRASYNC_METHOD_CONFIG, {text.data(), nullptr})) Fail(setting, rc);
    }
    std::string root = cloud();
    for (char& c : root) c = c == '/' ? '\\' : c;
    if (const int rc = OstraSync_Kelvo_Set(component_, OSTRASYNC_PROP_SYNC_ROOT_PATH, 0, root.c_str())) {
      Fail("SyncRootPath", rc);
    }
    if (const int rc = Call(component_, OSTRASYNC_METHOD_INSTALL, {})) Fail("Install", rc);
    if (const int rc = Call(component_, OSTRASYNC_METHOD_ACTIVATE, {reinterpret_cast<void*>(intptr_t{1})})) {
      Fail("Activate", rc);
    }
  }
  ~Scratch() {
    (void)Call(component_, OSTRASYNC_METHOD_UNINSTALL, {});
    OstraSync_Kelvo_Destroy(component_);
    std::error_code ignored;
    std::filesystem::remove_all(temp_, ignored);
  }
  std::string cloud() const { return temp_ + "/cloud"; }
  std::string raw() const { return temp_ + "/raw"; }
  platform::CloudFiles& facility() { return *facility_; }

 private:
  std::string temp_;
  void* component_ = nullptr;
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
    platform::PlaceholderCreateEntry entry;
    entry.relative_name.assign(name.begin(), name.end());
    entry.metadata.file_size = FileSize();
    entry.identity = {'b', 'i', 'g'};
    entry.flags = platform::cf::kPlaceholderCreateMarkInSync;
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
    auto write_raw = [&] {
      sync();
      const auto start = Clock::now();
      for (int64_t offset = 0; offset < FileSize(); offset += kPiece) {
        const size_t length = static_cast<size_t>(std::min(kPiece, FileSize() - offset));
        if (pwrite(fd, PieceData().data(), length, offset) != static_cast<ssize_t>(length)) Fail("pwrite", errno);
      }
      raw += Clock::now() - start;
    };
    if (round % 2 == 0) {
      hydrate();
      write_raw();
    } else {
      write_raw();
      hydrate();
    }
    close(fd);
    // Both files go before the next round, so that the page cache holds the same for each.
    std::filesystem::remove(raw_path);
    std::filesystem::remove(scratch.cloud() + "/" + name);
    ++round;
  }

  const double seconds_ours = std::chrono::duration<double>(ours).count();
  const double seconds_raw = std::chrono::duration<double>(raw).count();
  const double mib = static_cast<double>(FileSize()) * round / (1 << 20);
  state.counters["file_mib"] = static_cast<double>(FileSize()) / (1 << 20);
  state.counters["ours_mib_per_s"] = mib / seconds_ours;
  state.counters["raw_mib_per_s"] = mib / seconds_raw;
  // Our throughput as a share of the raw one; the goal is 0.8 or more.
  state.counters["speed_vs_raw"] = seconds_raw / seconds_ours;
  state.SetLabel(seconds_raw / seconds_ours >= 0.8 ? "at least 80% of raw" : "BELOW 80% of raw");
}
BENCHMARK(BM_HydrateThroughEngineVsPwrite)->Unit(benchmark::kMillisecond)->Iterations(Short() ? 4 : 2);

}  // namespace
