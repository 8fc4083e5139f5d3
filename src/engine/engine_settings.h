// The configuration values one engine holds, with their defaults.
#ifndef OSTRASYNC_ENGINE_ENGINE_SETTINGS_H_
#define OSTRASYNC_ENGINE_ENGINE_SETTINGS_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace ostrasync::engine {

// Scalars are atomics because engine threads read them while a host thread may write them; the
// strings are guarded by `strings_mutex`.
struct EngineSettings {
  std::atomic<bool> avoid_firing_events_for_methods{true};
  std::atomic<bool> download_new_files{false};
  std::atomic<bool> online_only{false};
  std::atomic<int32_t> event_retry_interval_ms{1000};
  std::atomic<int32_t> pending_task_timeout_s{0};
  std::atomic<bool> exclude_hidden_files{true};
  std::atomic<bool> exclude_temporary_files{false};
  std::atomic<bool> reset_pinned_files{false};
  std::atomic<bool> serialize_events{false};
  std::atomic<int32_t> wait_for_install_to_complete_ms{1000};
  std::atomic<int32_t> pending_ops_processing_batch_size{10000};
  std::atomic<bool> track_office_lock_files{false};
  std::atomic<bool> windows_fetch_optional_ranges{false};
  std::atomic<bool> windows_update_icon_on_retrieve_errors{false};
  std::atomic<bool> windows_update_icon_on_update_errors{false};
  std::atomic<bool> windows_create_placeholders_on_demand{false};
  std::atomic<int32_t> charset_mode{0};
  std::atomic<uint32_t> log_debug_option{0};

  std::mutex strings_mutex;
  std::u16string excluded_files;                      // guarded by strings_mutex
  std::u16string item_domain;                         // guarded by strings_mutex
  std::u16string windows_recycle_bin_url;             // guarded by strings_mutex
  std::u16string windows_storage_provider_id;         // guarded by strings_mutex
  std::u16string windows_storage_provider_account;    // guarded by strings_mutex
  std::u16string windows_registration_provider_name{u"Kelvo"};       // guarded by strings_mutex
  std::u16string windows_registration_provider_version{u"1.0.0.0"};  // guarded by strings_mutex
  std::string log_debug_file;  // code-page text as given; guarded by strings_mutex

  // Milliseconds a task may wait for the host; 0 when tasks never expire. Computed in 64 bits
  // because the setting is in seconds and a large value would overflow 32 bits.
  int64_t PendingTaskTimeoutMs() const {
    const int64_t seconds = pending_task_timeout_s.load();
    return seconds > 0 ? seconds * 1000 : 0;
  }
};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_ENGINE_SETTINGS_H_
