// Storage with one slot per calling thread, for results handed to hosts: a thread's slot keeps its
// address until the owner is destroyed, and only that thread writes into it.
#ifndef OSTRASYNC_ENGINE_PER_THREAD_H_
#define OSTRASYNC_ENGINE_PER_THREAD_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/system_info.h"

namespace ostrasync::engine {

template <typename T>
class PerThread {
 public:
  // The calling thread's slot, created empty on first use. The map lock is held only for the
  // lookup; the slot itself belongs to the calling thread.
  T& Current() {
    const uint32_t id = platform::CurrentThreadId();
    std::lock_guard<std::mutex> lock(mutex_);
    std::unique_ptr<T>& slot = slots_[id];
    if (!slot) slot = std::make_unique<T>();
    return *slot;
  }

  // Visits every slot; for teardown and for settings that scrub buffers.
  template <typename Fn>
  void ForEach(Fn&& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, slot] : slots_) fn(*slot);
  }

 private:
  std::mutex mutex_;
  std::map<uint32_t, std::unique_ptr<T>> slots_;  // guarded by mutex_
};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_PER_THREAD_H_
