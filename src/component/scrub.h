// Overwrites a buffer with zeros before its memory is released or reused, for hosts that turn on
// the "ZeroMemory" setting so that file data and paths do not linger in freed memory.
#ifndef OSTRASYNC_COMPONENT_SCRUB_H_
#define OSTRASYNC_COMPONENT_SCRUB_H_

#include <algorithm>
#include <atomic>

#include "engine/process_settings.h"

namespace ostrasync::component {

template <typename Buffer>
void Scrub(Buffer& buffer) {
  if (buffer.empty()) return;
  volatile auto* p = buffer.data();  // volatile: the stores must not be optimised away
  for (std::size_t i = 0; i < buffer.size(); ++i) p[i] = 0;
}

// Scrubs `buffer` when the process asks for it.
template <typename Buffer>
void ScrubIfRequested(Buffer& buffer) {
  if (engine::Process().zero_memory.load(std::memory_order_relaxed)) Scrub(buffer);
}

}  // namespace ostrasync::component

#endif  // OSTRASYNC_COMPONENT_SCRUB_H_
