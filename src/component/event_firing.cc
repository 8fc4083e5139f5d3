// Delivers the engine's events to the host's callback: parameter slots, string conversion, the
// in/out ResultCode and the handling of a failing handler.
#include <algorithm>
#include <cstring>
#include <string>

#include "component/kelvo.h"
#include "component/scrub.h"
#include "engine/error_codes.h"
#include "platform/text_codec.h"

namespace ostrasync::component {
namespace {

constexpr int kMaxEventParams = 9;

// Components whose handler is running on this thread, innermost last. Destroy consults it so that
// a handler cannot destroy the component that is calling it.
thread_local std::vector<const Kelvo*> t_running_handlers;

// Set while a Log handler runs on this thread: a handler that calls back into the component would
// otherwise log, and so fire Log again, without bound.
thread_local bool t_in_log_handler = false;

class LogHandlerScope {
 public:
  LogHandlerScope() { t_in_log_handler = true; }
  ~LogHandlerScope() { t_in_log_handler = false; }
  LogHandlerScope(const LogHandlerScope&) = delete;
  LogHandlerScope& operator=(const LogHandlerScope&) = delete;
};

class HandlerScope {
 public:
  explicit HandlerScope(const Kelvo* component) { t_running_handlers.push_back(component); }
  ~HandlerScope() { t_running_handlers.pop_back(); }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;
};

void* IntSlot(int64_t value) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(static_cast<int32_t>(value)));
}

}  // namespace

bool Kelvo::HandlerRunningOnThisThread() const {
  return std::find(t_running_handlers.begin(), t_running_handlers.end(), this) !=
         t_running_handlers.end();
}

int Kelvo::Deliver(int event_id, std::initializer_list<EventParam> params, int* result_code) {
  const int count = static_cast<int>(params.size());
  void* slots[kMaxEventParams] = {};
  int cbparams[kMaxEventParams] = {};
  int64_t numbers[kMaxEventParams] = {};  // per-firing copies: handlers never see engine fields
  std::u16string wide[kMaxEventParams];
  std::string narrow[kMaxEventParams];
  int result_slot = -1;
  const uint32_t code_page = engine_->code_page();

  int i = 0;
  for (const EventParam& param : params) {
    switch (param.kind) {
      case EventParam::Kind::kInt:
        slots[i] = IntSlot(param.number);
        break;
      case EventParam::Kind::kInt64:
        numbers[i] = param.number;
        slots[i] = &numbers[i];
        break;
      case EventParam::Kind::kText:
        if (wide_events_) {
          wide[i].assign(param.text);
          slots[i] = wide[i].data();
        } else {
          const std::u16string text(param.text);
          if (const int rc = platform::FromUtf16(code_page, text.c_str(), &narrow[i]); rc != 0) return rc;
          slots[i] = narrow[i].data();
        }
        break;
      case EventParam::Kind::kCodePageText:
        if (wide_events_) {
          const std::string text(param.code_page_text);
          if (const int rc = platform::ToUtf16(code_page, text.c_str(), &wide[i]); rc != 0) return rc;
          slots[i] = wide[i].data();
        } else {
          narrow[i].assign(param.code_page_text);
          slots[i] = narrow[i].data();
        }
        break;
      case EventParam::Kind::kResultCode:
        result_slot = i;
        slots[i] = IntSlot(result_code ? *result_code : 0);
        break;
    }
    ++i;
  }

  const int handler_result = InvokeCallback(event_id, count, slots, cbparams);
  if (result_slot >= 0 && result_code) {
    *result_code = static_cast<int32_t>(reinterpret_cast<intptr_t>(slots[result_slot]));
  }
  if (engine::Process().zero_memory.load()) {
    for (int k = 0; k < count; ++k) {
      Scrub(wide[k]);
      Scrub(narrow[k]);
    }
  }
  return handler_result;
}

int Kelvo::UnhandledError(int event_id, std::string_view name, int handler_result) {
  std::string text = "An unhandled error occurred in the ";
  text.append(name).append(" event handler");
  engine::ThreadErrorStore& event_errors = engine_->event_errors();
  event_errors.Set(handler_result, text);
  const int code = event_errors.Code();
  // The text now stands in the thread's event error, so a failing Error handler adds nothing.
  if (event_id != OSTRASYNC_EVENT_ERROR) (void)OnError(code, text);
  return code;
}

int Kelvo::InvokeCallback(int event_id, int count, void** slots, int* cbparams) {
  HandlerScope scope(this);
  try {
    return callback_(context_, event_id, count, slots, cbparams);
  } catch (...) {
    // A C++ host whose handler throws: the exception must not unwind through the engine.
    return engine::kWinInternalError;
  }
}

int Kelvo::Fire(int event_id, std::string_view name, std::initializer_list<EventParam> params,
                int* result_code) {
  if (!callback_) return 0;
  return FireFramed(event_id, name, [&] { return Deliver(event_id, params, result_code); });
}

using P = Kelvo::EventParam;

int Kelvo::OnActivated(int result_code) {
  return Fire(OSTRASYNC_EVENT_ACTIVATED, "Activated", {P::Int(result_code)}, nullptr);
}

int Kelvo::OnCancelTask(int64_t task_id, std::u16string_view path, int* result_code) {
  return Fire(OSTRASYNC_EVENT_CANCEL_TASK, "CancelTask",
              {P::Int64(task_id), P::Text(path), P::ResultCode()}, result_code);
}

int Kelvo::OnCreateFile(int64_t task_id, std::u16string_view path, int attributes, int64_t size,
                        int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                        int* result_code) {
  return Fire(OSTRASYNC_EVENT_CREATE_FILE, "CreateFile",
              {P::Int64(task_id), P::Text(path), P::Int(attributes), P::Int64(size),
               P::Int64(creation_time), P::Int64(last_access_time), P::Int64(last_write_time),
               P::ResultCode()},
              result_code);
}

int Kelvo::OnCreateFolder(int64_t task_id, std::u16string_view path, int attributes,
                          int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                          int* result_code) {
  return Fire(OSTRASYNC_EVENT_CREATE_FOLDER, "CreateFolder",
              {P::Int64(task_id), P::Text(path), P::Int(attributes), P::Int64(creation_time),
               P::Int64(last_access_time), P::Int64(last_write_time), P::ResultCode()},
              result_code);
}

int Kelvo::OnDeleteFile(int64_t task_id, std::u16string_view path, int flags, int* result_code) {
  return Fire(OSTRASYNC_EVENT_DELETE_FILE, "DeleteFile",
              {P::Int64(task_id), P::Text(path), P::Int(flags), P::ResultCode()}, result_code);
}

int Kelvo::OnDeleteFolder(int64_t task_id, std::u16string_view path, int flags, int* result_code) {
  return Fire(OSTRASYNC_EVENT_DELETE_FOLDER, "DeleteFolder",
              {P::Int64(task_id), P::Text(path), P::Int(flags), P::ResultCode()}, result_code);
}

int Kelvo::OnError(int error_code, std::string_view description) {
  return Fire(OSTRASYNC_EVENT_ERROR, "Error", {P::Int(error_code), P::CodePageText(description)},
              nullptr);
}

int Kelvo::OnGetFileData(int64_t task_id, std::u16string_view path, int64_t offset, int64_t length,
                         int* result_code) {
  return Fire(OSTRASYNC_EVENT_GET_FILE_DATA, "GetFileData",
              {P::Int64(task_id), P::Text(path), P::Int64(offset), P::Int64(length), P::ResultCode()},
              result_code);
}

int Kelvo::OnListDirectory(int64_t task_id, std::u16string_view path, std::u16string_view mask,
                           int* result_code) {
  return Fire(OSTRASYNC_EVENT_LIST_DIRECTORY, "ListDirectory",
              {P::Int64(task_id), P::Text(path), P::Text(mask), P::ResultCode()}, result_code);
}

int Kelvo::OnLog(int level, std::u16string_view line) {
  if (t_in_log_handler) return 0;
  LogHandlerScope scope;
  return Fire(OSTRASYNC_EVENT_LOG, "Log", {P::Int(level), P::Text(line)}, nullptr);
}

int Kelvo::OnRenameFile(int64_t task_id, std::u16string_view path, std::u16string_view new_path,
                        int* result_code) {
  return Fire(OSTRASYNC_EVENT_RENAME_FILE, "RenameFile",
              {P::Int64(task_id), P::Text(path), P::Text(new_path), P::ResultCode()}, result_code);
}

int Kelvo::OnRenameFolder(int64_t task_id, std::u16string_view path, std::u16string_view new_path,
                          int* result_code) {
  return Fire(OSTRASYNC_EVENT_RENAME_FOLDER, "RenameFolder",
              {P::Int64(task_id), P::Text(path), P::Text(new_path), P::ResultCode()}, result_code);
}

int Kelvo::OnResetFile(int64_t task_id, std::u16string_view path) {
  return Fire(OSTRASYNC_EVENT_RESET_FILE, "ResetFile", {P::Int64(task_id), P::Text(path)}, nullptr);
}

int Kelvo::OnUpdateFile(int64_t task_id, std::u16string_view path, int change_flags, int attributes,
                        int64_t size, int64_t creation_time, int64_t last_access_time,
                        int64_t last_write_time, int* result_code) {
  return Fire(OSTRASYNC_EVENT_UPDATE_FILE, "UpdateFile",
              {P::Int64(task_id), P::Text(path), P::Int(change_flags), P::Int(attributes),
               P::Int64(size), P::Int64(creation_time), P::Int64(last_access_time),
               P::Int64(last_write_time), P::ResultCode()},
              result_code);
}

int Kelvo::OnUpdateFolder(int64_t task_id, std::u16string_view path, int change_flags,
                          int attributes, int64_t creation_time, int64_t last_access_time,
                          int64_t last_write_time, int* result_code) {
  return Fire(OSTRASYNC_EVENT_UPDATE_FOLDER, "UpdateFolder",
              {P::Int64(task_id), P::Text(path), P::Int(change_flags), P::Int(attributes),
               P::Int64(creation_time), P::Int64(last_access_time), P::Int64(last_write_time),
               P::ResultCode()},
              result_code);
}

}  // namespace ostrasync::component
