// The case-folded names of recently asked folders, kept current from inotify.
#include "platform/posix/folder_name_index.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/text_codec.h"

namespace ostrasync::platform {
namespace {

// What changes a folder's set of names; the folder's own removal ends its watch (IN_IGNORED).
constexpr uint32_t kNameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;

}  // namespace

char16_t FoldCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 32);
  if (c >= 0x100 && c <= 0x17F && (c & 1) && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
    return static_cast<char16_t>(c - 1);
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 32);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 32);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 80);
  return c;
}

std::u16string FoldedName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = FoldCase(c);
  return folded;
}

bool FolderNameIndex::NamesFoldingTo(int dir_fd, const std::u16string& folded, std::vector<std::string>* names) {
  names->clear();
  struct stat st;
  if (fstat(dir_fd, &st) != 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Start()) return false;
  ApplyPendingEvents();
  Folder* folder = nullptr;
  if (auto known = watch_of_.find({st.st_dev, st.st_ino}); known != watch_of_.end()) {
    folder = &folders_.at(known->second);
    recency_.splice(recency_.begin(), recency_, folder->recency);
  } else {
    folder = Build(dir_fd, st.st_dev, st.st_ino);
    if (folder == nullptr) return false;
    // What changed while the folder was read is in the answer too.
    ApplyPendingEvents();
  }
  auto [first, last] = folder->names.equal_range(folded);
  for (auto it = first; it != last; ++it) names->push_back(it->second);
  return true;
}

size_t FolderNameIndex::FolderCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return folders_.size();
}

uint64_t FolderNameIndex::FolderReads() {
  std::lock_guard<std::mutex> lock(mutex_);
  return folder_reads_;
}

bool FolderNameIndex::Start() {
  if (inotify_.valid()) return true;
  if (unavailable_) return false;
  inotify_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  unavailable_ = !inotify_.valid();
  return inotify_.valid();
}

FolderNameIndex::Folder* FolderNameIndex::Build(int dir_fd, dev_t device, ino_t inode) {
  while (!recency_.empty() && folders_.size() >= kMaxFolders) Drop(recency_.back());
  // The watch comes first: a change made while the folder is read is then queued, never lost.
  // It is set on the open folder itself, not on a path that may meanwhile name another.
  const std::string self = "/proc/self/fd/" + std::to_string(dir_fd);
  const int watch = inotify_add_watch(inotify_.get(), self.c_str(), kNameEvents);
  if (watch < 0) return nullptr;
  // A descriptor of its own, so that the read starts at the first entry whatever the caller's
  // descriptor has read.
  const int reader = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = reader >= 0 ? fdopendir(reader) : nullptr;
  if (dir == nullptr) {
    if (reader >= 0) close(reader);
    inotify_rm_watch(inotify_.get(), watch);
    return nullptr;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, closedir);
  ++folder_reads_;
  // A watch number the kernel hands out again names a new folder; what it held is read afresh.
  Forget(watch);
  Folder& folder = folders_[watch];
  folder.device = device;
  folder.inode = inode;
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    Add(folder, entry->d_name);
  }
  if (error != 0) {
    inotify_rm_watch(inotify_.get(), watch);
    folders_.erase(watch);
    return nullptr;
  }
  recency_.push_front(watch);
  folder.recency = recency_.begin();
  watch_of_[{device, inode}] = watch;
  return &folder;
}

void FolderNameIndex::ApplyPendingEvents() {
  alignas(struct inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t n = read(inotify_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // EAGAIN: nothing more is queued
    for (ssize_t offset = 0; offset < n;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        // Changes were lost: nothing indexed can be trusted, each folder is read again when next
        // asked about.
        DropAll();
        continue;
      }
      auto folder = folders_.find(event->wd);
      if (folder == folders_.end()) continue;  // a watch dropped already
      if (event->mask & IN_IGNORED) {
        Forget(event->wd);
        continue;
      }
      if (event->len == 0) continue;
      const std::string name(event->name);
      if (event->mask & (IN_CREATE | IN_MOVED_TO)) Add(folder->second, name);
      if (event->mask & (IN_DELETE | IN_MOVED_FROM)) Remove(folder->second, name);
    }
  }
}

void FolderNameIndex::DropAll() {
  while (!recency_.empty()) Drop(recency_.back());
}

void FolderNameIndex::Drop(int watch) {
  inotify_rm_watch(inotify_.get(), watch);
  Forget(watch);
}

void FolderNameIndex::Forget(int watch) {
  auto folder = folders_.find(watch);
  if (folder == folders_.end()) return;
  watch_of_.erase({folder->second.device, folder->second.inode});
  recency_.erase(folder->second.recency);
  folders_.erase(folder);
}

void FolderNameIndex::Add(Folder& folder, const std::string& name) {
  std::u16string folded = FoldedName(Utf8ToUtf16(name));
  auto [first, last] = folder.names.equal_range(folded);
  for (auto it = first; it != last; ++it) {
    if (it->second == name) return;
  }
  folder.names.emplace(std::move(folded), name);
}

void FolderNameIndex::Remove(Folder& folder, const std::string& name) {
  auto [first, last] = folder.names.equal_range(FoldedName(Utf8ToUtf16(name)));
  for (auto it = first; it != last; ++it) {
    if (it->second == name) {
      folder.names.erase(it);
      return;
    }
  }
}

}  // namespace ostrasync::platform
