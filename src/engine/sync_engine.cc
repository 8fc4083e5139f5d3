// The engine's properties, failure recording, log and the methods that need a running engine.
#include "engine/sync_engine.h"

#include <cstdio>

#include "engine/error_codes.h"
#include "engine/process_settings.h"
#include "platform/system_info.h"
#include "platform/text_codec.h"

namespace ostrasync::engine {

SyncEngine::SyncEngine(EventSink* sink, platform::Platform* platform)
    : sink_(sink),
      platform_(platform),
      metadata_cache_([this](int level, std::u16string_view format, std::initializer_list<LogArg> args) {
        Log(level, format, args);
      }),
      pending_operations_(
          settings_.avoid_firing_events_for_methods, [this] { return os().system().NowMilliseconds(); },
          tracking::PendingOperations::kDefaultMaxAgeMs,
          [this](int level, std::u16string_view format, std::initializer_list<LogArg> args) {
            Log(level, format, args);
          }) {}

platform::Platform& SyncEngine::os() {
  platform::Platform* platform = platform_.load();
  if (platform == nullptr) {
    // The process's platform is built on first use, so a component that never reaches the OS
    // costs nothing.
    platform = &platform::DefaultPlatform();
    platform_.store(platform);
  }
  return *platform;
}

platform::CloudFilesBinding& SyncEngine::binding() {
  std::call_once(binding_once_, [this] { binding_ = std::make_unique<platform::CloudFilesBinding>(os(), *this); });
  return *binding_;
}

// ---- Failures and the log ----

int SyncEngine::RecordError(int code) { return RecordError(code, TextOfCode(code)); }

int SyncEngine::RecordError(int code, std::string_view text) {
  if (code != 0) {
    if (code == OSTRASYNC_ERR_OS_CALL && os_last_error_.load() == 0) {
      // The platform layer stores the failing code where the call fails; when it could not, the
      // failure is still reported, with 0 for the unknown cause.
      const uint32_t os_error = os_last_error_.load();
      Log(1, u"OS error code: 0x%x", {os_error});
      const std::u16string message = platform::SystemMessageUtf16(os_error);
      if (!message.empty()) Log(4, u"OS error message: %s", {message});
    }
    Log(1, u"Sync error code: 0x%x, %s", {code, platform::Utf8ToUtf16(text)});
  }
  last_errors_.SetCode(code);
  if (code == OSTRASYNC_ERR_OS_CALL) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "The OS call failed with error 0x%x", os_last_error_.load());
    last_errors_.SetText(buffer);
  } else {
    last_errors_.SetText(text);
  }
  return code;
}

void SyncEngine::Log(int level, std::u16string_view message) {
  if (!LogLevelEnabled(level)) return;
  std::u16string line = u" (";
  const std::string thread_id = std::to_string(platform::CurrentThreadId());
  line.append(thread_id.begin(), thread_id.end());
  line.append(u") Sync: ");
  line.append(message);
  sink_->OnLog(level, line);
}

void SyncEngine::Log(int level, std::u16string_view format, std::initializer_list<LogArg> args) {
  if (!LogLevelEnabled(level)) return;  // before formatting: most lines are filtered out
  Log(level, FormatLogMessage(format, args));
}

void SyncEngine::LogRequestOutcome(std::u16string_view operation_word, std::u16string_view path,
                                   int result_code) {
  if (result_code == OSTRASYNC_ERR_PENDING) {
    Log(3, u"'%s' event handler switched to the asynchronous mode for '%s'", {operation_word, path});
  } else if (result_code != 0) {
    Log(1, u"'%s' event handler failed for '%s'", {operation_word, path});
    Log(1, u"Event handler error code: 0x%x", {result_code});
  }
}

// ---- Events ----

void SyncEngine::FireErrorEvent(int code, std::string_view description) {
  int handler_code = 0;
  try {
    handler_code = sink_->OnError(code, description);
  } catch (...) {
    handler_code = kWinInternalError;
  }
  if (handler_code == -1) handler_code = kWinInternalError;
  if (handler_code != 0) Log(1, u"'Error' event handler failed with error code 0x%x", {handler_code});
}

void SyncEngine::FireActivated(int result_code) {
  try {
    (void)sink_->OnActivated(result_code);
  } catch (...) {
    // The Activated handler's outcome is not used; nothing may escape to the activating thread.
  }
}

int SyncEngine::FireCancelTask(int64_t task_id, std::u16string_view path, int result_code) {
  return FireRequest(u"CancelTask", path, &result_code, [&](int* rc) {
    return sink_->OnCancelTask(task_id, path, rc);
  });
}

int SyncEngine::FireResetFile(int64_t task_id, std::u16string_view path) {
  int result_code = 0;
  return FireRequest(u"FileReset", path, &result_code,
                     [&](int*) { return sink_->OnResetFile(task_id, path); });
}

// ---- Properties ----

int SyncEngine::State() const {
  if (active_.load() != 0) return 2;
  if (activating_.load() != 0) return 1;
  return 0;
}

int SyncEngine::SetRootProperty(const char16_t* operation, std::u16string_view value,
                                std::u16string* field) {
  Log(4, std::u16string(operation) + u" %s", {value});
  if (ActiveOrActivating()) return RecordError(OSTRASYNC_ERR_ALREADY_STARTED);
  std::lock_guard<std::mutex> lock(properties_mutex_);
  field->assign(value);
  return 0;
}

int SyncEngine::SetSyncRootIcon(std::u16string_view value) {
  return SetRootProperty(u"SetSyncRootIcon", value, &sync_root_icon_);
}

int SyncEngine::SetSyncRootLabel(std::u16string_view value) {
  return SetRootProperty(u"SetSyncRootLabel", value, &sync_root_label_);
}

int SyncEngine::SetSyncRootPath(std::u16string_view value) {
  const int result = SetRootProperty(u"SetSyncRootPath", value, &sync_root_path_);
  if (result == 0) {
    std::lock_guard<std::mutex> lock(properties_mutex_);
    sync_root_path_normalized_ = false;  // the next Install or Activate normalises it once
  }
  return result;
}

std::u16string SyncEngine::SyncRootIcon() const {
  std::lock_guard<std::mutex> lock(properties_mutex_);
  return sync_root_icon_;
}

std::u16string SyncEngine::SyncRootLabel() const {
  std::lock_guard<std::mutex> lock(properties_mutex_);
  return sync_root_label_;
}

std::u16string SyncEngine::SyncRootPath() const {
  std::lock_guard<std::mutex> lock(properties_mutex_);
  return sync_root_path_;
}

// ---- Methods ----

int SyncEngine::RequireActive() {
  if (ActiveOrActivating()) return 0;
  return RecordError(kWinNotReady, kTextNotActive);
}

// The methods whose operations this version does not carry out yet: 21 while the engine is
// stopped, as for every method that needs it, and otherwise a recorded refusal, never a success
// for work that was not done.
int SyncEngine::NotAvailableYet() {
  if (const int rc = RequireActive()) return rc;
  return RecordError(OSTRASYNC_ERR_OPERATION_DENIED);
}

int SyncEngine::do_DeleteFile(std::u16string_view) { return NotAvailableYet(); }
int SyncEngine::do_DeleteFolder(std::u16string_view, bool) { return NotAvailableYet(); }
int SyncEngine::do_GetFileAttributes(std::u16string_view, int*) { return NotAvailableYet(); }
int SyncEngine::do_GetFolderAttributes(std::u16string_view, int*) { return NotAvailableYet(); }
int SyncEngine::do_GetFileStatus(std::u16string_view, int*) { return NotAvailableYet(); }
int SyncEngine::do_GetFolderStatus(std::u16string_view, int*) { return NotAvailableYet(); }
int SyncEngine::do_PinFile(std::u16string_view) { return NotAvailableYet(); }
int SyncEngine::do_PinFolder(std::u16string_view) { return NotAvailableYet(); }
int SyncEngine::do_UnpinFile(std::u16string_view) { return NotAvailableYet(); }
int SyncEngine::do_UnpinFolder(std::u16string_view) { return NotAvailableYet(); }
int SyncEngine::do_RenameFile(std::u16string_view, std::u16string_view, bool) { return NotAvailableYet(); }
int SyncEngine::do_RenameFolder(std::u16string_view, std::u16string_view) { return NotAvailableYet(); }
int SyncEngine::do_ResetFile(std::u16string_view) { return NotAvailableYet(); }
int SyncEngine::do_ResetFolder(std::u16string_view) { return NotAvailableYet(); }
int SyncEngine::do_SetFileAttributes(std::u16string_view, int) { return NotAvailableYet(); }
int SyncEngine::do_SetFolderAttributes(std::u16string_view, int) { return NotAvailableYet(); }
int SyncEngine::do_SyncFile(std::u16string_view) { return NotAvailableYet(); }

}  // namespace ostrasync::engine
