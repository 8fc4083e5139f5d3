// The lock around every read-modify-write of one file's records (its placeholder record, byte
// ranges and basic record). Windows keeps this state inside the file system, where every process
// sees one consistent version; the emulation keeps it in extended attributes that are read, changed
// and written back, so it serialises those steps itself: between the threads of this process, and
// between the processes that use the emulation on this machine (a host and a tool beside it).
#ifndef OSTRASYNC_PLATFORM_POSIX_FILE_STATE_LOCK_H_
#define OSTRASYNC_PLATFORM_POSIX_FILE_STATE_LOCK_H_

#include <sys/types.h>

#include <mutex>

namespace ostrasync::platform::emulation {

// Holds the state lock of the file (`device`, `inode`) while it lives. Files share locks in a
// fixed number of slots, so a holder never takes a second one. Across processes the slot is a
// byte of a lock file every process opens (/dev/shm/ostrasync-file-state.lock) under an
// open-file-description lock; where that file cannot be opened, the lock holds within the
// process only.
class FileStateGuard {
 public:
  FileStateGuard(dev_t device, ino_t inode);
  ~FileStateGuard();
  FileStateGuard(const FileStateGuard&) = delete;
  FileStateGuard& operator=(const FileStateGuard&) = delete;

 private:
  const unsigned slot_;
  std::lock_guard<std::mutex> local_;
  bool shared_ = false;  // the slot's byte is locked in the lock file
};

}  // namespace ostrasync::platform::emulation

#endif  // OSTRASYNC_PLATFORM_POSIX_FILE_STATE_LOCK_H_
