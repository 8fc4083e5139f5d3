// The byte stream that holds a fetch's data until it fills a part.
#include "engine/transfer_buffer.h"

#include <algorithm>

namespace ostrasync::engine {

void ByteStream::Seek(std::size_t position) { position_ = std::min(position, bytes_.size()); }

std::span<const uint8_t> ByteStream::Read(std::size_t n) {
  const std::size_t count = std::min(n, bytes_.size() - position_);
  const std::span<const uint8_t> view(bytes_.data() + position_, count);
  position_ += count;
  return view;
}

void ByteStream::Append(std::span<const uint8_t> bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }

void ByteStream::DiscardBeforePosition() {
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(position_));
  position_ = 0;
}

}  // namespace ostrasync::engine
