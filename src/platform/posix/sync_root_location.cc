// Which registered root holds a path: the walk up the path's folders, and the one root last found,
// kept so that the items of a root are not each walked up to it.
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/emulation_hub.h"

namespace ostrasync::platform::emulation {
namespace {

// A root's record is replaced whole by a setxattr, which moves the folder's change time, so a
// root whose folder still has the change time seen when it was found still has that record. A
// change within the same clock tick would leave the time as it was, and so would one within the
// same second where the file system keeps whole seconds: a root is kept only once its last change
// is older than that.
constexpr long kTickMarginNs = 50'000'000;
constexpr time_t kWholeSecondsMargin = 2;
constexpr size_t kMaxKnownRoots = 4;

struct KnownRoot {
  SyncRootLocation location;
  dev_t device = 0;
  ino_t inode = 0;
  struct timespec change_time {};
};

struct KnownRoots {
  std::mutex mutex;
  std::vector<KnownRoot> roots;  // guarded by mutex; the most recently found last
};

KnownRoots& Known() {
  static KnownRoots* known = new KnownRoots;  // lives as long as the process, past every static destructor
  return *known;
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool IsBelow(const std::string& path, const std::string& root) {
  if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || root == "/" || path[root.size()] == '/';
}

bool Settled(const struct timespec& changed, const struct timespec& now) {
  // A time of whole seconds is taken for a file system that keeps no more.
  if (changed.tv_nsec == 0) return changed.tv_sec + kWholeSecondsMargin < now.tv_sec;
  const long long changed_ns = static_cast<long long>(changed.tv_sec) * 1'000'000'000 + changed.tv_nsec;
  const long long now_ns = static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
  return changed_ns + kTickMarginNs < now_ns;
}

// The kept root when `posix_path` is in it and its folder has not changed since.
bool FromKnownRoot(const std::string& posix_path, SyncRootLocation* location) {
  KnownRoot copy;
  {
    KnownRoots& known = Known();
    std::lock_guard<std::mutex> lock(known.mutex);
    auto it = std::find_if(known.roots.begin(), known.roots.end(),
                           [&](const KnownRoot& root) { return IsBelow(posix_path, root.location.root_posix); });
    if (it == known.roots.end()) return false;
    copy = *it;
  }
  struct stat st;
  if (lstat(copy.location.root_posix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != copy.device ||
      st.st_ino != copy.inode || !SameTime(st.st_ctim, copy.change_time)) {
    return false;
  }
  *location = std::move(copy.location);
  return true;
}

void Keep(const SyncRootLocation& location, const struct stat& st, const struct timespec& looked_at) {
  if (!Settled(st.st_ctim, looked_at)) return;
  KnownRoots& known = Known();
  std::lock_guard<std::mutex> lock(known.mutex);
  std::erase_if(known.roots, [&](const KnownRoot& root) { return root.location.root_posix == location.root_posix; });
  if (known.roots.size() >= kMaxKnownRoots) known.roots.erase(known.roots.begin());
  known.roots.push_back(KnownRoot{location, st.st_dev, st.st_ino, st.st_ctim});
}

}  // namespace

bool FindSyncRoot(const std::string& posix_path, SyncRootLocation* location) {
  // A registered root holds no other (registration refuses one inside another), so a path below
  // the kept root is in that root.
  if (FromKnownRoot(posix_path, location)) return true;
  struct timespec looked_at {};
  clock_gettime(CLOCK_REALTIME_COARSE, &looked_at);
  std::string path = posix_path;
  for (;;) {
    xattrs::SyncRootRecord record;
    struct stat st;
    if (xattrs::ReadSyncRoot(xattrs::Target::Path(path), &record) == 0 && lstat(path.c_str(), &st) == 0 &&
        S_ISDIR(st.st_mode)) {
      location->root_posix = path;
      location->record = std::move(record);
      location->root_file_id = static_cast<int64_t>(st.st_ino);
      location->volume_serial = static_cast<uint32_t>(st.st_dev);
      Keep(*location, st, looked_at);
      return true;
    }
    if (path == "/") return false;
    const size_t slash = path.find_last_of('/');
    path = slash == 0 ? std::string("/") : path.substr(0, slash);
  }
}

void ForgetSyncRoots() {
  KnownRoots& known = Known();
  std::lock_guard<std::mutex> lock(known.mutex);
  known.roots.clear();
}

}  // namespace ostrasync::platform::emulation
