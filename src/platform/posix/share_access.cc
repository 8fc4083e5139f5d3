// The process's table of sharing opens, per file.
#include "platform/posix/share_access.h"

#include <map>
#include <mutex>
#include <utility>

namespace ostrasync::platform::emulation {
namespace {

// What Windows keeps per file for sharing: how many opens there are, how many of them read, write
// or delete, and how many let others do each.
struct Counts {
  uint32_t opens = 0;
  uint32_t readers = 0, writers = 0, deleters = 0;
  uint32_t shared_read = 0, shared_write = 0, shared_delete = 0;
};

class ShareTable {
 public:
  Win32Error Claim(dev_t device, ino_t inode, uint8_t access, uint8_t share) {
    std::lock_guard<std::mutex> lock(mu_);
    Counts& counts = files_[{device, inode}];
    if (Conflicts(counts, access, share)) {
      if (counts.opens == 0) files_.erase({device, inode});
      return win32::kSharingViolation;
    }
    Add(&counts, access, share, 1);
    return 0;
  }

  void Release(dev_t device, ino_t inode, uint8_t access, uint8_t share) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = files_.find({device, inode});
    if (it == files_.end()) return;
    Add(&it->second, access, share, -1);
    if (it->second.opens == 0) files_.erase(it);
  }

  Win32Error Remove(dev_t device, ino_t inode, const std::function<Win32Error()>& remove,
                    const struct stat* replaced) {
    std::lock_guard<std::mutex> lock(mu_);
    // A delete opens the file for deletion and lets others do anything.
    if (auto it = files_.find({device, inode});
        it != files_.end() && Conflicts(it->second, kShareDelete, kShareRead | kShareWrite | kShareDelete)) {
      return win32::kSharingViolation;
    }
    if (replaced != nullptr && files_.count({replaced->st_dev, replaced->st_ino}) != 0) return win32::kAccessDenied;
    return remove();
  }

 private:
  static bool Conflicts(const Counts& counts, uint8_t access, uint8_t share) {
    if (access == 0) return false;
    return ((access & kShareRead) && counts.opens > counts.shared_read) ||
           ((access & kShareWrite) && counts.opens > counts.shared_write) ||
           ((access & kShareDelete) && counts.opens > counts.shared_delete) ||
           (counts.readers != 0 && !(share & kShareRead)) || (counts.writers != 0 && !(share & kShareWrite)) ||
           (counts.deleters != 0 && !(share & kShareDelete));
  }

  static void Add(Counts* counts, uint8_t access, uint8_t share, int step) {
    auto bump = [step](uint32_t& n, bool yes) {
      if (yes) n = static_cast<uint32_t>(static_cast<int64_t>(n) + step);
    };
    bump(counts->opens, true);
    bump(counts->readers, access & kShareRead);
    bump(counts->writers, access & kShareWrite);
    bump(counts->deleters, access & kShareDelete);
    bump(counts->shared_read, share & kShareRead);
    bump(counts->shared_write, share & kShareWrite);
    bump(counts->shared_delete, share & kShareDelete);
  }

  std::mutex mu_;  // a leaf: nothing else is locked while it is held, except what `remove` does
  std::map<std::pair<dev_t, ino_t>, Counts> files_;  // guarded by mu_; only files with opens
};

ShareTable& Table() {
  static ShareTable* table = new ShareTable;  // outlives every handle, even at process exit
  return *table;
}

}  // namespace

uint8_t SharingAccessOf(uint32_t desired_access) {
  constexpr uint32_t kReadData = 0x1, kWriteData = 0x2, kAppendData = 0x4, kExecute = 0x20, kDelete = 0x10000,
                     kMaximumAllowed = 0x02000000, kGenericAll = 0x10000000, kGenericExecute = 0x20000000,
                     kGenericWrite = 0x40000000, kGenericRead = 0x80000000;
  uint8_t access = 0;
  if (desired_access & (kReadData | kExecute | kGenericRead | kGenericExecute)) access |= kShareRead;
  if (desired_access & (kWriteData | kAppendData | kGenericWrite)) access |= kShareWrite;
  if (desired_access & kDelete) access |= kShareDelete;
  if (desired_access & (kGenericAll | kMaximumAllowed)) access |= kShareRead | kShareWrite | kShareDelete;
  return access;
}

Win32Error ClaimShareAccess(dev_t device, ino_t inode, uint32_t desired_access, uint32_t share_mode,
                            ShareClaim* claim) {
  const uint8_t access = SharingAccessOf(desired_access);
  const uint8_t share = static_cast<uint8_t>(share_mode & (kShareRead | kShareWrite | kShareDelete));
  *claim = ShareClaim();
  if (access == 0) return 0;
  if (const Win32Error e = Table().Claim(device, inode, access, share); e != 0) return e;
  claim->held_ = true;
  claim->device_ = device;
  claim->inode_ = inode;
  claim->access_ = access;
  claim->share_ = share;
  return 0;
}

Win32Error RemoveWhenShared(dev_t device, ino_t inode, const std::function<Win32Error()>& remove,
                            const struct stat* replaced) {
  return Table().Remove(device, inode, remove, replaced);
}

ShareClaim::ShareClaim(ShareClaim&& other) noexcept
    : held_(std::exchange(other.held_, false)),
      device_(other.device_),
      inode_(other.inode_),
      access_(other.access_),
      share_(other.share_) {}

ShareClaim& ShareClaim::operator=(ShareClaim&& other) noexcept {
  if (this != &other) {
    Release();
    held_ = std::exchange(other.held_, false);
    device_ = other.device_;
    inode_ = other.inode_;
    access_ = other.access_;
    share_ = other.share_;
  }
  return *this;
}

ShareClaim::~ShareClaim() { Release(); }

void ShareClaim::Release() {
  if (std::exchange(held_, false)) Table().Release(device_, inode_, access_, share_);
}

}  // namespace ostrasync::platform::emulation
