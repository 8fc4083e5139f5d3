// One file of records in the per-user state folder, replaced as a whole so that a reader sees
// either the previous contents or the new ones, never a mixture or a torn write.
#ifndef OSTRASYNC_PLATFORM_POSIX_STATE_FILE_H_
#define OSTRASYNC_PLATFORM_POSIX_STATE_FILE_H_

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32_terms.h"

namespace ostrasync::platform {

// A record is a non-empty list of fields; any UTF-16 text survives the trip to disk unchanged.
using StateRecord = std::vector<std::u16string>;
using StateRecords = std::vector<StateRecord>;

// Writers are serialised by a mutex shared by every StateFile of the process naming the same path
// and by an flock() on "<name>.lock" beside the file (for other processes); readers need neither,
// because the file is only ever replaced by rename().
//
// On disk (UTF-8):
//   ostrasync <kind> 1\n
//   <field>\t<field>...\n                  one line per record
//   end <record count> <CRC-32 of every byte before this line, 8 hex digits>\n
// Inside a field, \ is written "\\", tab "\t", line feed "\n", carriage return "\r", and a UTF-16
// surrogate without its partner "\uXXXX". A file that does not match this exactly, or whose
// records the owner's check refuses, is treated as missing as a whole. It is not overwritten: the
// next write first renames it to "<name>.corrupt-<seconds>-<pid>-<n>" so that nothing in it is
// lost silently.
class StateFile {
 public:
  // `valid` says whether a record read back is one the owner could have written.
  using RecordCheck = bool (*)(const StateRecord& record);

  // Holds the file's writer locks; taken by LockAndLoad, released when it goes.
  class Lock {
   public:
    Lock() = default;
    ~Lock();
    Lock(Lock&& other) noexcept;
    Lock& operator=(Lock&& other) noexcept;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    friend class StateFile;
    std::unique_lock<std::mutex> in_process_;
    int lock_fd_ = -1;          // holds the flock
    bool found_corrupt_ = false;  // the contents read under this lock did not parse
  };

  StateFile(std::string directory, std::string name, std::string kind, RecordCheck valid);

  // The records now on disk, without locking. A missing or unparsable file gives none and 0;
  // a file that cannot be read gives the error.
  [[nodiscard]] Win32Error Load(StateRecords* records) const;
  // Creates the folder if needed, takes the writer locks into *lock and then loads, so that a
  // change made under the lock starts from the latest contents.
  [[nodiscard]] Win32Error LockAndLoad(Lock* lock, StateRecords* records);
  // Replaces the file with `records`: a temporary file beside it, written and fsync()ed, renamed
  // over it, and the folder fsync()ed. REQUIRES: `lock` came from LockAndLoad of this file.
  [[nodiscard]] Win32Error Save(Lock& lock, const StateRecords& records);

  const std::string& path() const { return path_; }

  // The file's text for `records` and back (exposed for tests). Parse returns false, leaving
  // *records empty, for anything Format could not have produced.
  static std::string Format(std::string_view kind, const StateRecords& records);
  [[nodiscard]] static bool Parse(std::string_view kind, std::string_view text, StateRecords* records);

 private:
  enum class Contents { kValid, kMissing, kCorrupt };
  [[nodiscard]] Win32Error Read(StateRecords* records, Contents* contents) const;

  const std::string directory_;
  const std::string name_;
  const std::string path_;
  const std::string kind_;
  const RecordCheck valid_;
  std::mutex& writers_;  // shared by every StateFile of this process with the same path
};

// Creates `directory` and any missing parents with mode 0700. 0 when it already exists.
[[nodiscard]] Win32Error MakeStateDirectory(const std::string& directory);

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_POSIX_STATE_FILE_H_
