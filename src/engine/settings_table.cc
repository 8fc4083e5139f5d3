// The configuration settings: each name with how it is read and written.
#include <span>
#include <cstdio>
#include <string>

#include "engine/error_codes.h"
#include "engine/process_settings.h"
#include "engine/setting_values.h"
#include "engine/sync_engine.h"
#include "platform/text_codec.h"

namespace ostrasync::engine {

// Reaches the engine's private state on behalf of the table below.
class SettingsTable {
 public:
  struct Entry {
    std::string_view name;
    int (*query)(SyncEngine& engine, std::string* out);
    int (*write)(SyncEngine& engine, const ConfigRequest& request);
  };

  static int Configure(SyncEngine& engine, const ConfigRequest& request, const char** result);

  static int Refuse(SyncEngine& engine, int code) { return engine.RecordError(code); }
  static bool Locked(SyncEngine& engine) { return engine.ActiveOrActivating(); }
  static std::u16string Label(SyncEngine& engine) { return engine.SyncRootLabel(); }
  static std::string LastErrorText(SyncEngine& engine) { return engine.last_errors_.Text(); }
  static void StoreCodePage(SyncEngine& engine, uint32_t value) { engine.code_page_.store(value); }
  static uint32_t ReadCodePage(SyncEngine& engine) { return engine.code_page_.load(); }
  static std::string& ResultBuffer(SyncEngine& engine) { return engine.config_results_.Current(); }
};

namespace {

using Entry = SettingsTable::Entry;

std::string Decimal(int64_t value) { return std::to_string(value); }

// Values of string settings are UTF-8 whatever the component's code page.
std::string ReadString(SyncEngine& engine, std::u16string EngineSettings::*field) {
  EngineSettings& settings = engine.settings();
  std::lock_guard<std::mutex> lock(settings.strings_mutex);
  return platform::Utf16ToUtf8(settings.*field);
}

void StoreString(SyncEngine& engine, std::u16string EngineSettings::*field, std::string_view utf8) {
  std::u16string value = platform::Utf8ToUtf16(utf8);
  EngineSettings& settings = engine.settings();
  std::lock_guard<std::mutex> lock(settings.strings_mutex);
  (settings.*field).swap(value);
}

template <std::atomic<bool> EngineSettings::*Field, bool kLockedWhileActive = false>
constexpr Entry BoolSetting(std::string_view name) {
  return Entry{
      name,
      [](SyncEngine& engine, std::string* out) {
        *out = FormatBoolValue((engine.settings().*Field).load());
        return 0;
      },
      [](SyncEngine& engine, const ConfigRequest& request) {
        if (kLockedWhileActive && SettingsTable::Locked(engine))
          return SettingsTable::Refuse(engine, OSTRASYNC_ERR_ALREADY_STARTED);
        (engine.settings().*Field).store(ParseBoolValue(request.value));
        return 0;
      }};
}

template <std::atomic<int32_t> EngineSettings::*Field>
constexpr Entry IntSetting(std::string_view name) {
  return Entry{name,
               [](SyncEngine& engine, std::string* out) {
                 *out = Decimal((engine.settings().*Field).load());
                 return 0;
               },
               [](SyncEngine& engine, const ConfigRequest& request) {
                 const std::optional<int32_t> value = ParseIntValue(request.value);
                 if (!value) return SettingsTable::Refuse(engine, OSTRASYNC_ERR_INVALID_PARAMETER);
                 (engine.settings().*Field).store(*value);
                 return 0;
               }};
}

template <std::u16string EngineSettings::*Field>
constexpr Entry StringSetting(std::string_view name) {
  return Entry{name,
               [](SyncEngine& engine, std::string* out) {
                 *out = ReadString(engine, Field);
                 return 0;
               },
               [](SyncEngine& engine, const ConfigRequest& request) {
                 StoreString(engine, Field, request.value);
                 return 0;
               }};
}

// Provider id and account fall back to the sync root's label while they are empty.
template <std::u16string EngineSettings::*Field>
constexpr Entry LabelDefaultSetting(std::string_view name) {
  return Entry{name,
               [](SyncEngine& engine, std::string* out) {
                 *out = ReadString(engine, Field);
                 if (out->empty()) *out = platform::Utf16ToUtf8(SettingsTable::Label(engine));
                 return 0;
               },
               StringSetting<Field>(name).write};
}

// The shell refuses a provider name or version of 256 units or more.
template <std::u16string EngineSettings::*Field>
constexpr Entry ProviderFieldSetting(std::string_view name) {
  return Entry{name, StringSetting<Field>(name).query,
               [](SyncEngine& engine, const ConfigRequest& request) {
                 if (platform::Utf8ToUtf16(request.value).size() >= 256) {
                   return engine.RecordError(OSTRASYNC_ERR_INVALID_PARAMETER,
                                             kTextProviderNameTooLong);
                 }
                 StoreString(engine, Field, request.value);
                 return 0;
               }};
}

template <std::atomic<bool> ProcessSettings::*Field>
constexpr Entry ProcessBoolSetting(std::string_view name) {
  return Entry{name,
               [](SyncEngine&, std::string* out) {
                 *out = FormatBoolValue((Process().*Field).load());
                 return 0;
               },
               [](SyncEngine&, const ConfigRequest& request) {
                 (Process().*Field).store(ParseBoolValue(request.value));
                 return 0;
               }};
}

int IgnoreWrite(SyncEngine&, const ConfigRequest&) { return 0; }

// Reading the OS error hands it over: the next reader sees 0 until another call fails.
int QueryOsLastError(SyncEngine& engine, std::string* out) {
  *out = std::to_string(engine.TakeOsLastError());
  return 0;
}

// Counters of the task registry: the tasks handed to the host that it is finishing on its own
// time (asynchronous and not cancelled), and every registered task.
int QueryPendingTasks(SyncEngine& engine, std::string* out) {
  *out = Decimal(static_cast<int64_t>(engine.task_registry().PendingAsyncCount()));
  return 0;
}

int QueryPendingOperationCount(SyncEngine& engine, std::string* out) {
  *out = Decimal(static_cast<int64_t>(engine.task_registry().PendingCount()));
  return 0;
}

std::span<const Entry> Table() {
  static const Entry table[] = {
      // Settings of this component.
      BoolSetting<&EngineSettings::avoid_firing_events_for_methods, true>("AvoidFiringEventsForMethods"),
      BoolSetting<&EngineSettings::download_new_files>("DownloadNewFiles"),
      Entry{"LogLevel",
            [](SyncEngine&, std::string* out) {
              *out = Decimal(Process().log_level.load());
              return 0;
            },
            [](SyncEngine& engine, const ConfigRequest& request) {
              const std::optional<int32_t> value = ParseIntValue(request.value);
              if (!value) return SettingsTable::Refuse(engine, OSTRASYNC_ERR_INVALID_PARAMETER);
              Process().log_level.store(*value);
              return 0;
            }},
      BoolSetting<&EngineSettings::online_only>("OnlineOnly"),
      IntSetting<&EngineSettings::event_retry_interval_ms>("EventRetryInterval"),
      Entry{"OSLastError", QueryOsLastError, IgnoreWrite},
      Entry{"StatPendingTasks", QueryPendingTasks, IgnoreWrite},
      IntSetting<&EngineSettings::pending_task_timeout_s>("PendingTaskTimeout"),
      StringSetting<&EngineSettings::excluded_files>("ExcludedFiles"),
      BoolSetting<&EngineSettings::exclude_hidden_files>("ExcludeHiddenFiles"),
      BoolSetting<&EngineSettings::exclude_temporary_files>("ExcludeTemporaryFiles"),
      Entry{"ItemDomain", StringSetting<&EngineSettings::item_domain>("ItemDomain").query,
            [](SyncEngine& engine, const ConfigRequest& request) {
              engine.Log(4, u"SetItemDomain %s", {platform::Utf8ToUtf16(request.value)});
              if (SettingsTable::Locked(engine))
                return SettingsTable::Refuse(engine, OSTRASYNC_ERR_ALREADY_STARTED);
              StoreString(engine, &EngineSettings::item_domain, request.value);
              return 0;
            }},
      BoolSetting<&EngineSettings::reset_pinned_files>("ResetPinnedFiles"),
      BoolSetting<&EngineSettings::serialize_events, true>("SerializeEvents"),
      IntSetting<&EngineSettings::wait_for_install_to_complete_ms>("WaitForInstallToComplete"),
      Entry{"PendingOperationCount", QueryPendingOperationCount, IgnoreWrite},
      IntSetting<&EngineSettings::pending_ops_processing_batch_size>("PendingOpsProcessingBatchSize"),
      BoolSetting<&EngineSettings::track_office_lock_files>("TrackOfficeLockFiles"),
      BoolSetting<&EngineSettings::windows_fetch_optional_ranges>("WindowsFetchOptionalRanges"),
      StringSetting<&EngineSettings::windows_recycle_bin_url>("WindowsRecycleBinURL"),
      LabelDefaultSetting<&EngineSettings::windows_storage_provider_id>("WindowsStorageProviderId"),
      LabelDefaultSetting<&EngineSettings::windows_storage_provider_account>("WindowsStorageProviderAccount"),
      ProviderFieldSetting<&EngineSettings::windows_registration_provider_name>("WindowsRegistrationProviderName"),
      ProviderFieldSetting<&EngineSettings::windows_registration_provider_version>("WindowsRegistrationProviderVersion"),
      Entry{"WindowsLastError", QueryOsLastError, IgnoreWrite},
      BoolSetting<&EngineSettings::windows_update_icon_on_retrieve_errors>("WindowsUpdateIconOnRetrieveErrors"),
      BoolSetting<&EngineSettings::windows_update_icon_on_update_errors>("WindowsUpdateIconOnUpdateErrors"),
      BoolSetting<&EngineSettings::windows_create_placeholders_on_demand>("WindowsCreatePlaceholdersOnDemand"),
      // Settings shared with the rest of the component family.
      Entry{"AllInMainThread",
            [](SyncEngine&, std::string* out) {
              *out = Decimal(0);
              return 0;
            },
            IgnoreWrite},
      Entry{"CodePage",
            [](SyncEngine& engine, std::string* out) {
              *out = Decimal(static_cast<int32_t>(SettingsTable::ReadCodePage(engine)));
              return 0;
            },
            [](SyncEngine& engine, const ConfigRequest& request) {
              // A code page the converters cannot use would make every later string fail.
              const std::optional<int32_t> value = ParseIntValue(request.value);
              if (!value || *value < 0 || !platform::IsUsableCodePage(static_cast<uint32_t>(*value)))
                return SettingsTable::Refuse(engine, OSTRASYNC_ERR_INVALID_PARAMETER);
              SettingsTable::StoreCodePage(engine, static_cast<uint32_t>(*value));
              return 0;
            }},
      IntSetting<&EngineSettings::charset_mode>("CharsetMode"),
      Entry{"LogDebugFile",
            [](SyncEngine& engine, std::string* out) {
              std::lock_guard<std::mutex> lock(engine.settings().strings_mutex);
              *out = engine.settings().log_debug_file;
              return 0;
            },
            [](SyncEngine& engine, const ConfigRequest& request) {
              std::lock_guard<std::mutex> lock(engine.settings().strings_mutex);
              engine.settings().log_debug_file = request.value;
              return 0;
            }},
      Entry{"LogDebugOption",
            [](SyncEngine& engine, std::string* out) {
              *out = std::to_string(engine.settings().log_debug_option.load());
              return 0;
            },
            [](SyncEngine& engine, const ConfigRequest& request) {
              const std::optional<int32_t> value = ParseIntValue(request.value);
              if (!value) return SettingsTable::Refuse(engine, OSTRASYNC_ERR_INVALID_PARAMETER);
              engine.settings().log_debug_option.store(static_cast<uint32_t>(*value));
              return 0;
            }},
      Entry{"LastError",
            [](SyncEngine& engine, std::string* out) {
              *out = SettingsTable::LastErrorText(engine);
              return 0;
            },
            IgnoreWrite},
      ProcessBoolSetting<&ProcessSettings::zero_memory>("ZeroMemory"),
      ProcessBoolSetting<&ProcessSettings::use_internal_crypto_api>("UseInternalCryptoAPI"),
      ProcessBoolSetting<&ProcessSettings::use_fips_compliant_api>("UseFIPSCompliantAPI"),
      ProcessBoolSetting<&ProcessSettings::allow_3des_in_fips>("Allow3DESInFIPS"),
      ProcessBoolSetting<&ProcessSettings::allow_pkcs1_in_fips>("AllowPKCS1InFIPS"),
      ProcessBoolSetting<&ProcessSettings::allow_sha1_in_fips>("AllowSHA1InFIPS"),
  };
  return table;
}

}  // namespace

int SettingsTable::Configure(SyncEngine& engine, const ConfigRequest& request, const char** result) {
  std::string& buffer = ResultBuffer(engine);
  buffer.clear();
  *result = buffer.c_str();
  for (const Entry& entry : Table()) {
    if (!EqualsIgnoreCase(entry.name, request.name)) continue;
    if (request.query) {
      const int code = entry.query(engine, &buffer);
      *result = buffer.c_str();
      return code;
    }
    return entry.write(engine, request);
  }
  engine.last_errors_.SetText(kTextUnknownSetting);
  return -1;
}

int SyncEngine::Configure(const ConfigRequest& request, const char** result) {
  return SettingsTable::Configure(*this, request, result);
}

}  // namespace ostrasync::engine
