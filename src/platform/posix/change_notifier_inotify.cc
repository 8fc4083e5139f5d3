// Recursive directory watching on Linux. An inotify watch covers one folder and its events name
// neither inodes nor the folder's place in the tree, so the stream keeps that tree itself: which
// watch is which folder, where each folder hangs, and the inode of every entry it has seen. From
// it the kernel's events become the records a recursive ReadDirectoryChangesExW request delivers.
#include "platform/posix/change_notifier_inotify.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/posix/path_mapping.h"
#include "platform/posix/windows_attributes.h"

namespace ostrasync::platform {
namespace {

constexpr Win32Error kNotEnoughMemory = 8;        // ERROR_NOT_ENOUGH_MEMORY
constexpr Win32Error kNoSystemResources = 1450;   // ERROR_NO_SYSTEM_RESOURCES
constexpr uint32_t kInfinite = 0xFFFFFFFF;

// Folders are watched without following links, as Windows never enters a reparse point. Reads
// (IN_ACCESS) are left out: Windows updates last-access times lazily, so reading a file does not
// reach its watchers either.
constexpr uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                 IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                 IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

// Once the first event of a batch is in, the batch keeps gathering while more arrive a few
// milliseconds apart (so the halves of a move and a burst of writes land together), but never
// longer than kMaxGatherMs, so that a steady stream of changes still comes out in batches.
constexpr int kCoalesceMs = 5;
constexpr int kMaxGatherMs = 50;
// While changes keep coming, the reader lets them pile up this long before each read, so that one
// read takes many events rather than waking for each one.
constexpr long kSettleNs = 1'000'000;

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~UniqueFd() { Reset(); }
  int get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// The bytes a FILE_NOTIFY_EXTENDED_INFORMATION record takes: the name starts at offset 84 and
// each record starts on an 8-byte boundary.
size_t WindowsRecordBytes(size_t name_units) {
  const size_t bytes = (84 + name_units * 2 + 7) & ~size_t{7};
  return bytes < 88 ? 88 : bytes;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

// The record name of a root-relative POSIX path, through the same mapping every other path of the
// seam takes.
std::u16string RecordName(const std::string& rel) {
  std::u16string name = ToWin32Path("/" + rel);
  if (!name.empty() && name.front() == u'\\') name.erase(0, 1);
  return name;
}

// The name the kernel gives a file made with O_TMPFILE before it is linked: "#" and its inode.
bool IsUnlinkedFileName(const std::string& name) {
  return name.size() > 1 && name[0] == '#' &&
         std::all_of(name.begin() + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsResourceShortage(int error) { return error == ENOSPC || error == ENOMEM || error == EMFILE; }

// lstat() of `path`, with the birth time (a FILETIME, 0 when the file system keeps
// none). statx is tried first and dropped for good once the kernel refuses it.
int StatPath(const std::string& path, struct stat* st, uint64_t* birth) {
  static std::atomic<bool> statx_missing{false};
  *birth = 0;
  if (!statx_missing.load(std::memory_order_relaxed)) {
    struct statx sx {};
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
      *st = {};
      st->st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
      st->st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
      st->st_ino = sx.stx_ino;
      st->st_mode = sx.stx_mode;
      st->st_nlink = sx.stx_nlink;
      st->st_uid = sx.stx_uid;
      st->st_gid = sx.stx_gid;
      st->st_size = static_cast<off_t>(sx.stx_size);
      st->st_blksize = static_cast<blksize_t>(sx.stx_blksize);
      st->st_blocks = static_cast<blkcnt_t>(sx.stx_blocks);
      st->st_atim = {static_cast<time_t>(sx.stx_atime.tv_sec), static_cast<long>(sx.stx_atime.tv_nsec)};
      st->st_mtim = {static_cast<time_t>(sx.stx_mtime.tv_sec), static_cast<long>(sx.stx_mtime.tv_nsec)};
      st->st_ctim = {static_cast<time_t>(sx.stx_ctime.tv_sec), static_cast<long>(sx.stx_ctime.tv_nsec)};
      if (sx.stx_mask & STATX_BTIME) {
        *birth = FileTimeFromTimespec(
            {static_cast<time_t>(sx.stx_btime.tv_sec), static_cast<long>(sx.stx_btime.tv_nsec)});
      }
      return 0;
    }
    if (errno != ENOSYS && errno != EPERM) return errno;
    statx_missing.store(true, std::memory_order_relaxed);
  }
  return lstat(path.c_str(), st) == 0 ? 0 : errno;
}

struct RawEvent {
  int wd;
  uint32_t mask;
  uint32_t cookie;
  std::string name;
};

// One name in a watched folder. `wd` is the entry's own watch when it is a watched folder.
struct Entry {
  uint64_t inode = 0;
  int wd = -1;
};

struct Folder {
  int parent_wd = -1;  // -1 for the root
  std::string name;    // in the parent; empty for the root
  uint64_t inode = 0;
  std::unordered_map<std::string, Entry> entries;
};

// The records of the batch being built.
struct Batch {
  std::vector<ChangeRecord>* records = nullptr;
  size_t bytes = 0;
  bool overflow = false;
  std::unordered_map<std::u16string, size_t> latest;  // name -> index of its latest record, if MODIFIED
  std::unordered_map<size_t, std::string> stale;      // coalesced records to look at again
};

class InotifyChangeStream final : public ChangeStream {
 public:
  InotifyChangeStream(std::string root_path, size_t max_batch_bytes)
      : root_path_(std::move(root_path)), max_batch_bytes_(max_batch_bytes) {}

  // Watches the whole tree as it is now. Nothing already there is reported.
  [[nodiscard]] Win32Error Start();

  Win32Error Issue() override;
  Win32Error Wait(uint32_t timeout_ms, std::vector<ChangeRecord>* records) override;

 private:
  Win32Error WaitForBatch(uint32_t timeout_ms, std::vector<ChangeRecord>* records);
  // Reads every event queued now, then keeps reading while more follow closely.
  Win32Error Gather(std::vector<RawEvent>* events);
  Win32Error ReadAvailable(std::vector<RawEvent>* events);
  void Process(const std::vector<RawEvent>& events, Batch* batch);

  // Watches the folder `name` of `parent_wd` (at root-relative `rel`) and every folder below it.
  // With a batch, everything found inside is reported ADDED: it came into the tree with its
  // folder, and inotify says nothing of what was there before the watch. *wd is -1 when the
  // folder is gone or is no folder; the result is an error only when watches ran out.
  Win32Error WatchTree(int parent_wd, const std::string& name, const std::string& rel, Batch* batch,
                       int* wd);
  // Drops the folder of `wd` and everything below it from the tree, removing the kernel's
  // watches when `unwatch` (a folder moved out of the tree stays watched otherwise).
  void ForgetTree(int wd, bool unwatch);

  void Arrived(int wd, const std::string& name, uint32_t mask, Batch* batch);
  void Departed(int wd, const std::string& name, uint32_t mask, bool moved_out, Batch* batch);
  void Moved(int from_wd, const std::string& from_name, int to_wd, const std::string& to_name,
             uint32_t mask, Batch* batch);
  void Changed(int wd, const std::string& name, uint32_t mask, Batch* batch);

  std::string FolderPath(int wd) const;
  std::string FullPath(const std::string& rel) const {
    return rel.empty() ? root_path_ : root_path_ + "/" + rel;
  }
  uint64_t FolderInode(int wd) const {
    auto it = folders_.find(wd);
    return it == folders_.end() ? 0 : it->second.inode;
  }
  // Fills a record's fields from the item at `rel`. False when it is gone.
  bool Describe(const std::string& rel, ChangeRecord* record, bool* is_dir = nullptr) const;
  void Emit(Batch* batch, ChangeRecord record);
  // Starts over with a new inotify instance after lost changes; the caller rescans.
  Win32Error Rebuild();

  std::string root_path_;
  const size_t max_batch_bytes_;
  UniqueFd inotify_;
  int root_wd_ = -1;
  std::unordered_map<int, Folder> folders_;
  // Files written since their last close: their IN_CLOSE_WRITE is a change, other closes are not.
  std::set<std::pair<int, std::string>> written_;
  bool armed_ = false;
  Win32Error failed_ = 0;  // once set, no batch will come any more
};

Win32Error InotifyChangeStream::Start() {
  inotify_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (inotify_.get() < 0) {
    return IsResourceShortage(errno) ? kNoSystemResources : Win32ErrorFromErrno(errno);
  }
  const Win32Error error = WatchTree(-1, "", "", nullptr, &root_wd_);
  if (error != 0) return error;
  return root_wd_ < 0 ? win32::kFileNotFound : 0;
}

Win32Error InotifyChangeStream::Issue() {
  if (failed_ != 0) return failed_;
  armed_ = true;
  return 0;
}

Win32Error InotifyChangeStream::Wait(uint32_t timeout_ms, std::vector<ChangeRecord>* records) {
  if (records == nullptr) return win32::kInvalidParameter;
  records->clear();
  if (!armed_) return win32::kInvalidParameter;
  Win32Error result;
  try {
    result = WaitForBatch(timeout_ms, records);
  } catch (const std::bad_alloc&) {
    // The tree may be half updated; only a new watch can be trusted.
    records->clear();
    failed_ = result = kNotEnoughMemory;
  } catch (...) {
    records->clear();
    failed_ = result = win32::kInternalError;
  }
  if (result != win32::kWaitTimeout) armed_ = false;
  return result;
}

Win32Error InotifyChangeStream::WaitForBatch(uint32_t timeout_ms, std::vector<ChangeRecord>* records) {
  if (failed_ != 0) return failed_;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<RawEvent> events;
  for (;;) {
    int wait_ms = -1;
    if (timeout_ms != kInfinite) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait_ms = left > 0 ? static_cast<int>(std::min<long long>(left, INT32_MAX)) : 0;
    }
    pollfd pfd{inotify_.get(), POLLIN, 0};
    const int ready = poll(&pfd, 1, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Win32ErrorFromErrno(errno);
    }
    if (ready == 0) return win32::kWaitTimeout;

    events.clear();
    if (const Win32Error error = Gather(&events); error != 0) return error;
    Batch batch;
    batch.records = records;
    Process(events, &batch);
    if (batch.overflow) {
      records->clear();
      const Win32Error error = Rebuild();
      return error != 0 ? error : win32::kNotifyEnumDir;
    }
    // Coalesced records show the item as it is after the whole batch.
    for (const auto& [index, rel] : batch.stale) {
      ChangeRecord& record = (*records)[index];
      ChangeRecord fresh = record;
      if (Describe(rel, &fresh)) record = fresh;
    }
    if (!records->empty()) return 0;
    // Only events that report nothing (or the root went away): keep waiting in the time left.
    if (failed_ != 0) return failed_;
    if (timeout_ms != kInfinite && Clock::now() >= deadline) return win32::kWaitTimeout;
  }
}

Win32Error InotifyChangeStream::Gather(std::vector<RawEvent>* events) {
  using Clock = std::chrono::steady_clock;
  const auto stop = Clock::now() + std::chrono::milliseconds(kMaxGatherMs);
  for (;;) {
    if (const Win32Error error = ReadAvailable(events); error != 0) return error;
    // A move's second half may still be on its way; without it the move would read as the
    // item leaving the tree and coming back.
    const bool half_move = !events->empty() && (events->back().mask & IN_MOVED_FROM);
    const auto now = Clock::now();
    if (now >= stop && (!half_move || now >= stop + std::chrono::milliseconds(kMaxGatherMs))) return 0;
    pollfd pfd{inotify_.get(), POLLIN, 0};
    const int ready = poll(&pfd, 1, kCoalesceMs);
    if (ready < 0 && errno != EINTR) return Win32ErrorFromErrno(errno);
    if (ready == 0) return 0;
    const timespec settle{0, kSettleNs};
    nanosleep(&settle, nullptr);
  }
}

Win32Error InotifyChangeStream::ReadAvailable(std::vector<RawEvent>* events) {
  alignas(inotify_event) char buffer[64 * 1024];
  // A read that left room for the largest event took all there was: no need to ask again.
  constexpr ssize_t kDrained = sizeof buffer - (sizeof(inotify_event) + NAME_MAX + 1);
  for (;;) {
    const ssize_t got = read(inotify_.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return 0;
      return Win32ErrorFromErrno(errno);
    }
    if (got == 0) return 0;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      events->push_back({event->wd, event->mask, event->cookie,
                         std::string(event->name, strnlen(event->name, event->len))});
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    if (got < kDrained) return 0;
  }
}

void InotifyChangeStream::Process(const std::vector<RawEvent>& events, Batch* batch) {
  // The two halves of a move share a cookie; where both are here, the move stays in the tree.
  std::unordered_map<uint32_t, size_t> moved_to;
  for (size_t i = 0; i < events.size(); ++i) {
    if ((events[i].mask & IN_MOVED_TO) && events[i].cookie != 0) moved_to.emplace(events[i].cookie, i);
  }
  std::unordered_set<size_t> paired;

  for (size_t i = 0; i < events.size() && !batch->overflow; ++i) {
    const RawEvent& event = events[i];
    if (event.mask & IN_Q_OVERFLOW) {
      batch->overflow = true;
      break;
    }
    if (event.mask & IN_IGNORED) {
      // The kernel dropped a watch: the folder was deleted, or its file system unmounted.
      if (event.wd == root_wd_) {
        failed_ = win32::kAccessDenied;
      } else if (folders_.count(event.wd) != 0) {
        ForgetTree(event.wd, false);
      }
      continue;
    }
    if (folders_.count(event.wd) == 0) continue;  // a watch already forgotten
    if (event.name.empty()) {
      // Events of a watched folder about itself are reported by its parent's watch, except that
      // the root has no parent: its deletion ends the watch, as on Windows. So does its move:
      // inotify does not say where it went, and every name is looked up under the old place.
      if (event.wd == root_wd_ && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
        failed_ = win32::kAccessDenied;
      }
      continue;
    }
    if (event.mask & (IN_CREATE)) {
      Arrived(event.wd, event.name, event.mask, batch);
    } else if (event.mask & IN_DELETE) {
      Departed(event.wd, event.name, event.mask, false, batch);
    } else if (event.mask & IN_MOVED_FROM) {
      auto pair = moved_to.find(event.cookie);
      if (pair != moved_to.end() && pair->second > i && folders_.count(events[pair->second].wd) != 0) {
        paired.insert(pair->second);
        Moved(event.wd, event.name, events[pair->second].wd, events[pair->second].name, event.mask, batch);
      } else {
        Departed(event.wd, event.name, event.mask, true, batch);
      }
    } else if (event.mask & IN_MOVED_TO) {
      if (paired.count(i) == 0) Arrived(event.wd, event.name, event.mask, batch);
    } else if (event.mask & (IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE)) {
      Changed(event.wd, event.name, event.mask, batch);
    }
  }
}

Win32Error InotifyChangeStream::WatchTree(int parent_wd, const std::string& name, const std::string& rel,
                                          Batch* batch, int* wd_out) {
  *wd_out = -1;
  const int wd = inotify_add_watch(inotify_.get(), FullPath(rel).c_str(), kFolderMask);
  if (wd < 0) return IsResourceShortage(errno) ? kNoSystemResources : 0;
  *wd_out = wd;
  // A watch the tree already has is the same inode reached twice (a bind mount of a folder
  // inside itself): descending again would never end.
  const bool known = folders_.count(wd) != 0;
  Folder& folder = folders_[wd];
  folder.parent_wd = parent_wd;
  folder.name = name;
  if (known) return 0;

  UniqueFd dir_fd(open(FullPath(rel).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir_fd.get() < 0) return 0;  // gone again; its parent's events will say so
  struct stat dir_stat {};
  if (fstat(dir_fd.get(), &dir_stat) == 0) folder.inode = dir_stat.st_ino;
  DIR* dir = fdopendir(dir_fd.get());
  if (dir == nullptr) return 0;
  dir_fd.Release();  // the directory stream owns it now
  std::vector<std::string> subfolders;
  while (const dirent* child = readdir(dir)) {
    const std::string child_name = child->d_name;
    if (child_name == "." || child_name == "..") continue;
    const std::string child_rel = JoinPath(rel, child_name);
    bool is_dir = false;
    // The inode comes from a stat, not from the directory entry: on some file systems (overlayfs)
    // the two differ, and FileIds must match what every other call reports.
    Entry entry;
    if (batch != nullptr) {
      ChangeRecord record;
      record.action = file_action::kAdded;
      record.parent_file_id = static_cast<int64_t>(folder.inode);
      record.name = RecordName(child_rel);
      if (!Describe(child_rel, &record, &is_dir)) continue;
      entry.inode = static_cast<uint64_t>(record.file_id);
      Emit(batch, std::move(record));
    } else {
      struct stat st {};
      uint64_t birth = 0;
      if (StatPath(FullPath(child_rel), &st, &birth) != 0) continue;
      entry.inode = st.st_ino;
      is_dir = S_ISDIR(st.st_mode);
    }
    folder.entries[child_name] = entry;
    if (is_dir) subfolders.push_back(child_name);
  }
  closedir(dir);

  for (const std::string& child_name : subfolders) {
    int child_wd = -1;
    if (const Win32Error error = WatchTree(wd, child_name, JoinPath(rel, child_name), batch, &child_wd);
        error != 0) {
      return error;
    }
    // Node-based maps keep `folder` valid across the insertions below it.
    auto it = folder.entries.find(child_name);
    if (it != folder.entries.end()) it->second.wd = child_wd;
  }
  return 0;
}

void InotifyChangeStream::ForgetTree(int wd, bool unwatch) {
  auto it = folders_.find(wd);
  if (it == folders_.end()) return;
  std::vector<int> below;
  for (const auto& [name, entry] : it->second.entries) {
    if (entry.wd >= 0) below.push_back(entry.wd);
  }
  auto parent = folders_.find(it->second.parent_wd);
  if (parent != folders_.end()) {
    auto entry = parent->second.entries.find(it->second.name);
    if (entry != parent->second.entries.end() && entry->second.wd == wd) entry->second.wd = -1;
  }
  folders_.erase(it);
  if (unwatch) inotify_rm_watch(inotify_.get(), wd);
  for (auto written = written_.lower_bound({wd, std::string()});
       written != written_.end() && written->first == wd;) {
    written = written_.erase(written);
  }
  for (int child : below) ForgetTree(child, unwatch);
}

void InotifyChangeStream::Arrived(int wd, const std::string& name, uint32_t mask, Batch* batch) {
  const std::string rel = JoinPath(FolderPath(wd), name);
  ChangeRecord record;
  record.action = file_action::kAdded;
  record.parent_file_id = static_cast<int64_t>(FolderInode(wd));
  record.name = RecordName(rel);
  bool is_dir = (mask & IN_ISDIR) != 0;
  if (!Describe(rel, &record, &is_dir)) {
    // Gone before we looked; its removal follows. Report what the event told.
    record.attributes = is_dir ? attr::kDirectory : 0;
    Emit(batch, std::move(record));
    return;
  }
  const uint64_t inode = static_cast<uint64_t>(record.file_id);
  Folder& folder = folders_[wd];
  auto existing = folder.entries.find(name);
  if (existing != folder.entries.end()) {
    // The scan of a new folder already reported this very item.
    if (existing->second.inode == inode) return;
    // Renamed over an item we knew: that one is gone.
    Departed(wd, name, existing->second.wd >= 0 ? IN_ISDIR : 0, false, batch);
  }
  folders_[wd].entries[name] = Entry{inode, -1};
  Emit(batch, std::move(record));
  if (is_dir) {
    int child_wd = -1;
    if (const Win32Error error = WatchTree(wd, name, rel, batch, &child_wd); error != 0) {
      failed_ = error;  // a folder we cannot watch would silently miss its changes
      return;
    }
    auto entry = folders_[wd].entries.find(name);
    if (entry != folders_[wd].entries.end()) entry->second.wd = child_wd;
  }
}

void InotifyChangeStream::Departed(int wd, const std::string& name, uint32_t mask, bool moved_out,
                                   Batch* batch) {
  Folder& folder = folders_[wd];
  ChangeRecord record;
  record.action = file_action::kRemoved;
  record.parent_file_id = static_cast<int64_t>(folder.inode);
  record.name = RecordName(JoinPath(FolderPath(wd), name));
  record.attributes = (mask & IN_ISDIR) ? attr::kDirectory : 0;
  auto entry = folder.entries.find(name);
  if (entry != folder.entries.end()) {
    record.file_id = static_cast<int64_t>(entry->second.inode);
    const int child_wd = entry->second.wd;
    if (child_wd >= 0) record.attributes = attr::kDirectory;
    folder.entries.erase(entry);
    if (child_wd >= 0) ForgetTree(child_wd, moved_out);
  }
  written_.erase({wd, name});
  Emit(batch, std::move(record));
}

void InotifyChangeStream::Moved(int from_wd, const std::string& from_name, int to_wd,
                                const std::string& to_name, uint32_t mask, Batch* batch) {
  const std::string from_rel = JoinPath(FolderPath(from_wd), from_name);
  const std::string to_rel = JoinPath(FolderPath(to_wd), to_name);
  Folder& from = folders_[from_wd];
  Entry moving;
  if (auto it = from.entries.find(from_name); it != from.entries.end()) {
    moving = it->second;
    from.entries.erase(it);
  }
  written_.erase({from_wd, from_name});

  ChangeRecord after;
  bool is_dir = (mask & IN_ISDIR) != 0;
  const bool present = Describe(to_rel, &after, &is_dir);
  if (present) moving.inode = static_cast<uint64_t>(after.file_id);
  after.file_id = static_cast<int64_t>(moving.inode);
  if (!present) after.attributes = is_dir ? attr::kDirectory : 0;

  Folder& to = folders_[to_wd];
  if (auto replaced = to.entries.find(to_name); replaced != to.entries.end()) {
    Departed(to_wd, to_name, replaced->second.wd >= 0 ? IN_ISDIR : 0, false, batch);
  }
  folders_[to_wd].entries[to_name] = moving;
  if (moving.wd >= 0) {
    auto node = folders_.find(moving.wd);
    if (node != folders_.end()) {
      node->second.parent_wd = to_wd;
      node->second.name = to_name;
    }
  }

  ChangeRecord old_record = after;
  old_record.parent_file_id = static_cast<int64_t>(FolderInode(from_wd));
  old_record.name = RecordName(from_rel);
  ChangeRecord new_record = std::move(after);
  new_record.parent_file_id = static_cast<int64_t>(FolderInode(to_wd));
  new_record.name = RecordName(to_rel);
  // Windows names a rename within one folder as such; between folders it is a removal and an
  // addition of the same FileId.
  if (from_wd == to_wd) {
    old_record.action = file_action::kRenamedOldName;
    new_record.action = file_action::kRenamedNewName;
  } else {
    old_record.action = file_action::kRemoved;
    new_record.action = file_action::kAdded;
  }
  Emit(batch, std::move(old_record));
  Emit(batch, std::move(new_record));

  // A folder moved here that was never watched (its watch had failed) is watched now.
  if (is_dir && moving.wd < 0 && present) {
    int child_wd = -1;
    if (const Win32Error error = WatchTree(to_wd, to_name, to_rel, nullptr, &child_wd); error != 0) {
      failed_ = error;
      return;
    }
    auto entry = folders_[to_wd].entries.find(to_name);
    if (entry != folders_[to_wd].entries.end()) entry->second.wd = child_wd;
  }
}

void InotifyChangeStream::Changed(int wd, const std::string& name, uint32_t mask, Batch* batch) {
  // A file opened with O_TMPFILE has no name yet, but the kernel reports its writes and attribute
  // changes under "#<inode>" in the folder it will be linked into. No such name ever arrived here,
  // and Windows has no such file to report; its link, when it comes, is reported as it arrives.
  if (IsUnlinkedFileName(name) && folders_[wd].entries.count(name) == 0) return;
  if (mask & IN_MODIFY) written_.insert({wd, name});
  // A close after no write changed nothing.
  if ((mask & IN_CLOSE_WRITE) && !(mask & (IN_MODIFY | IN_ATTRIB)) && written_.erase({wd, name}) == 0) return;
  const std::string rel = JoinPath(FolderPath(wd), name);
  std::u16string record_name = RecordName(rel);
  auto latest = batch->latest.find(record_name);
  if (latest != batch->latest.end() && (*batch->records)[latest->second].action == file_action::kModified) {
    batch->stale.emplace(latest->second, rel);
    return;
  }
  ChangeRecord record;
  record.action = file_action::kModified;
  record.parent_file_id = static_cast<int64_t>(FolderInode(wd));
  record.name = std::move(record_name);
  auto entry = folders_[wd].entries.find(name);
  if (Describe(rel, &record)) {
    if (entry != folders_[wd].entries.end()) entry->second.inode = static_cast<uint64_t>(record.file_id);
  } else {
    // Deleted or moved on since (later events of this batch say which): the change still
    // happened, and dropping it would hide new content from the caller.
    if (entry != folders_[wd].entries.end()) record.file_id = static_cast<int64_t>(entry->second.inode);
    record.attributes = (mask & IN_ISDIR) ? attr::kDirectory : 0;
  }
  Emit(batch, std::move(record));
}

std::string InotifyChangeStream::FolderPath(int wd) const {
  std::vector<const std::string*> names;
  for (auto it = folders_.find(wd); it != folders_.end() && it->second.parent_wd >= 0;
       it = folders_.find(it->second.parent_wd)) {
    names.push_back(&it->second.name);
    if (names.size() > PATH_MAX) break;  // never loops, but never hangs either
  }
  std::string path;
  for (auto name = names.rbegin(); name != names.rend(); ++name) path = JoinPath(path, **name);
  return path;
}

bool InotifyChangeStream::Describe(const std::string& rel, ChangeRecord* record, bool* is_dir) const {
  struct stat st {};
  uint64_t birth = 0;
  if (StatPath(FullPath(rel), &st, &birth) != 0) return false;
  const bool dir = S_ISDIR(st.st_mode);
  if (is_dir != nullptr) *is_dir = dir;
  record->last_modification_time = FileTimeFromTimespec(st.st_mtim);
  record->creation_time = birth != 0 ? birth : record->last_modification_time;
  record->last_change_time = FileTimeFromTimespec(st.st_ctim);
  record->last_access_time = FileTimeFromTimespec(st.st_atim);
  // Windows reports no size for a folder.
  record->allocated_length = dir ? 0 : static_cast<int64_t>(st.st_blocks) * 512;
  record->file_size = dir ? 0 : static_cast<int64_t>(st.st_size);
  record->reparse_tag = 0;
  record->attributes = WindowsAttributesOf(FullPath(rel), st, &record->reparse_tag);
  record->file_id = static_cast<int64_t>(st.st_ino);
  return true;
}

void InotifyChangeStream::Emit(Batch* batch, ChangeRecord record) {
  if (batch == nullptr || batch->overflow) return;
  batch->bytes += WindowsRecordBytes(record.name.size());
  if (batch->bytes > max_batch_bytes_) {
    batch->overflow = true;
    return;
  }
  // Only a name whose latest record is MODIFIED can have a later change folded into it; any
  // other record ends that. A burst of new names thus keeps no copy of each.
  if (record.action == file_action::kModified) {
    batch->latest[record.name] = batch->records->size();
  } else if (!batch->latest.empty()) {
    batch->latest.erase(record.name);
  }
  batch->records->push_back(std::move(record));
}

Win32Error InotifyChangeStream::Rebuild() {
  // A new instance drops whatever the old one still queued; the caller's rescan, which starts
  // after the new watches are in place, covers everything until then.
  folders_.clear();
  written_.clear();
  root_wd_ = -1;
  const Win32Error error = Start();
  if (error != 0) failed_ = error;
  return error;
}

class InotifyChangeNotifier final : public ChangeNotifier {
 public:
  explicit InotifyChangeNotifier(size_t max_batch_bytes) : max_batch_bytes_(max_batch_bytes) {}

  Win32Error Watch(const std::u16string& root, std::unique_ptr<ChangeStream>* stream) override {
    if (stream == nullptr) return win32::kInvalidParameter;
    stream->reset();
    try {
      std::string path;
      if (const Win32Error error = ToPosixPath(root, &path); error != 0) return error;
      // Like CreateFileW, the root may be reached through a link; its watches need the real path.
      char resolved[PATH_MAX];
      if (realpath(path.c_str(), resolved) == nullptr) return OpenError(path, errno);
      struct stat st {};
      if (stat(resolved, &st) != 0) return OpenError(resolved, errno);
      if (!S_ISDIR(st.st_mode)) return win32::kDirectory;
      // No descriptor of the root stays open: it would keep the kernel from reporting the root's
      // deletion.
      auto opened = std::make_unique<InotifyChangeStream>(resolved, max_batch_bytes_);
      if (const Win32Error error = opened->Start(); error != 0) return error;
      *stream = std::move(opened);
      return 0;
    } catch (const std::bad_alloc&) {
      return kNotEnoughMemory;
    } catch (...) {
      return win32::kInternalError;
    }
  }

 private:
  // The codes CreateFileW and ReadDirectoryChangesExW give for a root that cannot be watched:
  // a missing last component is "file not found", a missing folder above it "path not found",
  // and a file is not a directory.
  static Win32Error OpenError(const std::string& path, int error) {
    struct stat st {};
    if (error == ENOENT) {
      const size_t slash = path.find_last_of('/');
      const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
      return slash != std::string::npos && stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
                 ? win32::kFileNotFound
                 : win32::kPathNotFound;
    }
    if (error == ENOTDIR) {
      return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) ? win32::kDirectory : win32::kPathNotFound;
    }
    return Win32ErrorFromErrno(error);
  }

  const size_t max_batch_bytes_;
};

}  // namespace

std::unique_ptr<ChangeNotifier> NewInotifyChangeNotifier() {
  return std::make_unique<InotifyChangeNotifier>(kDefaultChangeBatchBytes);
}

std::unique_ptr<ChangeNotifier> NewInotifyChangeNotifierForTest(size_t max_batch_bytes) {
  return std::make_unique<InotifyChangeNotifier>(max_batch_bytes);
}

}  // namespace ostrasync::platform
