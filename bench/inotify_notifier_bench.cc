// Measures how fast a burst of file creations comes out of the inotify change stream as ADDED
// records, against a bare inotify reader that only counts the kernel's events of the same burst.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/posix/change_notifier_inotify.h"
#include "platform/posix/path_mapping.h"

namespace {

namespace platform = ostrasync::platform;
using ostrasync::bench::Clock;
using ostrasync::bench::Short;

int BurstSize() { return Short() ? 10'000 : 100'000; }

// The events the change stream asks the kernel for on every folder, so both readers get the same.
constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                           IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW |
                           IN_EXCL_UNLINK;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::perror(what);
  std::abort();
}

// Creates `count` empty files in `folder` on its own thread, as an application unpacking an
// archive would; `done` is when the last one was made.
class Burst {
 public:
  Burst(std::string folder, int count) : folder_(std::move(folder)), count_(count) {}
  void Start() {
    start_ = Clock::now();
    thread_ = std::thread([this] {
      for (int i = 0; i < count_; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/f%06d", i);
        const int fd = open((folder_ + name).c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        Check(fd >= 0, "create");
        close(fd);
      }
      done_ = Clock::now();
    });
  }
  void Join() { thread_.join(); }
  Clock::time_point start() const { return start_; }
  Clock::time_point done() const { return done_; }  // valid after Join

 private:
  const std::string folder_;
  const int count_;
  std::thread thread_;
  Clock::time_point start_, done_;
};

struct Outcome {
  Clock::duration total{};  // burst start to the last record
  Clock::duration lag{};    // burst end to the last record
  double cpu_seconds = 0;   // the reading thread's own processor time
  bool overflowed = false;
};

// Processor time of the calling thread: what reading and decoding cost, whatever the load of the
// machine does to the creating thread.
double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

Outcome ThroughChangeStream(const std::string& root, const std::string& folder) {
  auto notifier = platform::NewInotifyChangeNotifier();
  std::unique_ptr<platform::ChangeStream> stream;
  Check(notifier->Watch(platform::ToWin32Path(root), &stream) == 0, "watch");
  Burst burst(folder, BurstSize());
  Outcome outcome;
  int added = 0;
  std::vector<platform::ChangeRecord> records;
  const double cpu_start = ThreadCpuSeconds();
  burst.Start();
  Clock::time_point last = Clock::now();
  while (added < BurstSize()) {
    Check(stream->Issue() == 0, "issue");
    const platform::Win32Error error = stream->Wait(2000, &records);
    if (error == platform::win32::kNotifyEnumDir) {
      outcome.overflowed = true;
      break;
    }
    if (error == platform::win32::kWaitTimeout) break;  // records were lost without an overflow
    Check(error == 0, "wait");
    for (const platform::ChangeRecord& record : records) added += record.action == platform::file_action::kAdded;
    last = Clock::now();
  }
  outcome.cpu_seconds = ThreadCpuSeconds() - cpu_start;
  burst.Join();
  if (added < BurstSize() && !outcome.overflowed) {
    std::fprintf(stderr, "change stream delivered %d of %d creations\n", added, BurstSize());
    std::abort();
  }
  outcome.total = last - burst.start();
  outcome.lag = last > burst.done() ? last - burst.done() : Clock::duration{};
  return outcome;
}

Outcome ThroughBareInotify(const std::string& folder) {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  Check(fd >= 0, "inotify_init1");
  Check(inotify_add_watch(fd, folder.c_str(), kMask) >= 0, "inotify_add_watch");
  Burst burst(folder, BurstSize());
  Outcome outcome;
  int created = 0;
  alignas(inotify_event) char buffer[64 * 1024];
  const double cpu_start = ThreadCpuSeconds();
  burst.Start();
  Clock::time_point last = Clock::now();
  while (created < BurstSize() && !outcome.overflowed) {
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, 2000);
    Check(ready > 0, "poll");
    for (;;) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        created += (event->mask & IN_CREATE) != 0;
        outcome.overflowed |= (event->mask & IN_Q_OVERFLOW) != 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    last = Clock::now();
  }
  outcome.cpu_seconds = ThreadCpuSeconds() - cpu_start;
  burst.Join();
  close(fd);
  outcome.total = last - burst.start();
  outcome.lag = last > burst.done() ? last - burst.done() : Clock::duration{};
  return outcome;
}

// One burst through each reader per iteration, in alternating order, into fresh folders.
void BM_CreationBurstVsBareInotify(benchmark::State& state) {
  std::string pattern = ostrasync::bench::ScratchBase() + "/ostrasync-bench-XXXXXX";
  Check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  const std::string temp = pattern;
  Clock::duration ours{}, raw{}, ours_lag{}, raw_lag{};
  double ours_cpu = 0, raw_cpu = 0;
  int ours_overflows = 0, raw_overflows = 0, round = 0;
  for (auto _ : state) {
    const std::string root = temp + "/watched_" + std::to_string(round);
    const std::string folder = root + "/burst";
    const std::string bare = temp + "/bare_" + std::to_string(round);
    std::filesystem::create_directories(folder);
    std::filesystem::create_directories(bare);
    Outcome a, b;
    if (round % 2 == 0) {
      a = ThroughChangeStream(root, folder);
      b = ThroughBareInotify(bare);
    } else {
      b = ThroughBareInotify(bare);
      a = ThroughChangeStream(root, folder);
    }
    ours += a.total;
    ours_lag += a.lag;
    raw += b.total;
    raw_lag += b.lag;
    ours_cpu += a.cpu_seconds;
    raw_cpu += b.cpu_seconds;
    ours_overflows += a.overflowed;
    raw_overflows += b.overflowed;
    std::filesystem::remove_all(root);
    std::filesystem::remove_all(bare);
    ++round;
  }
  std::error_code ignored;
  std::filesystem::remove_all(temp, ignored);
  auto ms = [&](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count() / round; };
  state.counters["creations"] = BurstSize();
  state.counters["ours_ms"] = ms(ours);
  state.counters["raw_ms"] = ms(raw);
  // How long after the last creation each reader still needed, which shows a reader falling behind.
  state.counters["ours_lag_ms"] = ms(ours_lag);
  state.counters["raw_lag_ms"] = ms(raw_lag);
  // Which reader fell so far behind that the kernel's queue overflowed.
  state.counters["ours_overflows"] = ours_overflows;
  state.counters["raw_overflows"] = raw_overflows;
  // The reader's own processor time per creation: the part of the figure the load of a shared
  // machine does not move.
  const double records = static_cast<double>(BurstSize()) * round;
  state.counters["ours_cpu_us_per_record"] = ours_cpu * 1e6 / records;
  state.counters["raw_cpu_us_per_record"] = raw_cpu * 1e6 / records;
  // Our delivery speed as a share of the bare reader's; the goal is 0.5 or more.
  state.counters["speed_vs_raw"] = ms(raw) / ms(ours);
  state.SetLabel(ours_overflows + raw_overflows != 0 ? "OVERFLOWED"
                 : ms(raw) / ms(ours) >= 0.5         ? "at least half the raw speed"
                                                     : "BELOW half the raw speed");
}
BENCHMARK(BM_CreationBurstVsBareInotify)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
