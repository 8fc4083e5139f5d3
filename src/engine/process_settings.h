// Settings shared by every component of the process.
#ifndef OSTRASYNC_ENGINE_PROCESS_SETTINGS_H_
#define OSTRASYNC_ENGINE_PROCESS_SETTINGS_H_

#include <atomic>

namespace ostrasync::engine {

struct ProcessSettings {
  std::atomic<int> log_level{3};
  std::atomic<bool> zero_memory{false};  // scrub the component's buffers before releasing them
  std::atomic<bool> use_internal_crypto_api{false};
  std::atomic<bool> use_fips_compliant_api{false};
  std::atomic<bool> allow_3des_in_fips{false};
  std::atomic<bool> allow_pkcs1_in_fips{true};
  std::atomic<bool> allow_sha1_in_fips{true};
};

ProcessSettings& Process();

// True when a line of `level` passes the process-wide filter (signed comparison).
inline bool LogLevelEnabled(int level) { return level <= Process().log_level.load(std::memory_order_relaxed); }

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_PROCESS_SETTINGS_H_
