// The clock, thread ids and system message texts, behind the seam so tests can control them.
#ifndef OSTRASYNC_PLATFORM_SYSTEM_SERVICES_H_
#define OSTRASYNC_PLATFORM_SYSTEM_SERVICES_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace ostrasync::platform {

// Safe for concurrent use.
class SystemServices {
 public:
  virtual ~SystemServices() = default;
  // The system clock as a FILETIME (100 ns units since 1601-01-01 UTC).
  virtual uint64_t NowFileTime() = 0;
  // Milliseconds since 1601, the engine's time base for ages of tasks and retries.
  uint64_t NowMilliseconds() { return NowFileTime() / 10000; }
  // A clock that never steps: milliseconds since an arbitrary start, for measuring ages and
  // time-outs. Tests may override it to move time on.
  virtual int64_t MonotonicMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  virtual uint32_t CurrentThreadId() = 0;
  // FormatMessageW text of a code (inserts ignored, trailing CR LF removed); empty when none.
  virtual std::u16string MessageText(uint32_t code) = 0;
};

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_SYSTEM_SERVICES_H_
