// Per-file state locks: a mutex per slot within the process, a byte-range lock per slot across
// processes.
#include "platform/posix/file_state_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace ostrasync::platform::emulation {
namespace {

constexpr unsigned kSlots = 256;
constexpr char kLockFile[] = "/dev/shm/ostrasync-file-state.lock";

std::mutex& SlotMutex(unsigned slot) {
  static std::mutex* mutexes = new std::mutex[kSlots];  // outlive every static destructor
  return mutexes[slot];
}

// The process's descriptor of the lock file, opened once; -1 when there is none. Writable by
// everyone, so that processes of other users serialise with this one too.
int LockFile() {
  static const int fd = [] {
    const int opened = open(kLockFile, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (opened >= 0) (void)fchmod(opened, 0666);  // the creator's umask must not shut others out
    return opened;
  }();
  return fd;
}

bool LockByte(int fd, unsigned slot, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(slot);
  lock.l_len = 1;
  // Open-file-description locks belong to the descriptor, not to the process, so they are not
  // dropped when any other descriptor of the file closes; threads are kept apart by the mutex.
  while (fcntl(fd, type == F_UNLCK ? F_OFD_SETLK : F_OFD_SETLKW, &lock) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

unsigned SlotOf(dev_t device, ino_t inode) {
  return static_cast<unsigned>((static_cast<uint64_t>(inode) * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(device)) >>
                               56) % kSlots;
}

}  // namespace

FileStateGuard::FileStateGuard(dev_t device, ino_t inode)
    : slot_(SlotOf(device, inode)), local_(SlotMutex(slot_)) {
  const int fd = LockFile();
  shared_ = fd >= 0 && LockByte(fd, slot_, F_WRLCK);
}

FileStateGuard::~FileStateGuard() {
  if (shared_) (void)LockByte(LockFile(), slot_, F_UNLCK);
}

}  // namespace ostrasync::platform::emulation
