// The state of one fetch of file data on its way from the host to the OS: the range the OS asked
// for, how much of it has gone out, and the bytes held back until they fill a whole part.
#ifndef OSTRASYNC_ENGINE_TRANSFER_BUFFER_H_
#define OSTRASYNC_ENGINE_TRANSFER_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace ostrasync::engine {

// A growable run of bytes with a read position. Not safe for concurrent use.
class ByteStream {
 public:
  std::size_t Size() const { return bytes_.size(); }
  // Moves the read position; a position past the end stops at the end.
  void Seek(std::size_t position);
  // Up to `n` bytes from the read position, which moves past them. The view stays valid until
  // the next Append or DiscardBeforePosition.
  std::span<const uint8_t> Read(std::size_t n);
  // Adds `bytes` at the end; the read position stays. May throw std::bad_alloc.
  void Append(std::span<const uint8_t> bytes);
  // Drops the bytes before the read position, which becomes 0.
  void DiscardBeforePosition();

 private:
  std::vector<uint8_t> bytes_;
  std::size_t position_ = 0;  // at most bytes_.size()
};

struct TransferBuffer {
  // Data goes to the OS in parts of this size (100 pages): each part of a fetch then starts on a
  // page boundary, as the OS requires, and only the last may be short.
  static constexpr std::size_t kChunkSize = 409600;

  // Guards every field below. Held while a part is sent, so that the parts of one fetch go out
  // whole and in the order the host supplied them, whichever threads supply and finish it.
  // Never held while an event is fired or a task lock is taken (a task lock may be held when it
  // is taken).
  std::mutex mutex;

  // What the OS asked for, set before the host learns the task's id.
  int64_t file_size = 0;        // the placeholder's size
  int64_t offset = 0;           // first byte asked for; the host's data starts here
  int64_t required_length = 0;  // bytes from `offset` the requester cannot do without

  int64_t sent = 0;       // bytes from `offset` the OS has accepted
  // The OS has had its last word about the request: all of the data, a failure, or the OS has
  // withdrawn the request itself. Nothing more goes to it.
  bool answered = false;
  int failure = 0;        // the code the fetch failed with, when it did
  ByteStream held;        // supplied bytes not yet sent: always less than one part
};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_TRANSFER_BUFFER_H_
