// Where the engine's events go: the component implements this and turns each call into a call of
// the host's callback.
#ifndef OSTRASYNC_ENGINE_EVENT_SINK_H_
#define OSTRASYNC_ENGINE_EVENT_SINK_H_

#include <cstdint>
#include <string_view>

namespace ostrasync::engine {

// Every operation delivers one event on the calling thread and returns the event error code the
// handler left for it (0 when the handler reported nothing); `result_code` carries the in/out
// ResultCode of request events. The thread's own event error, as it stood before the call, is
// the same afterwards, so an event fired from inside another handler cannot disturb the outer
// handler's report. None of these operations throws.
class EventSink {
 public:
  virtual ~EventSink() = default;

  virtual int OnActivated(int result_code) = 0;
  virtual int OnCancelTask(int64_t task_id, std::u16string_view path, int* result_code) = 0;
  virtual int OnCreateFile(int64_t task_id, std::u16string_view path, int attributes, int64_t size,
                           int64_t creation_time, int64_t last_access_time, int64_t last_write_time,
                           int* result_code) = 0;
  virtual int OnCreateFolder(int64_t task_id, std::u16string_view path, int attributes,
                             int64_t creation_time, int64_t last_access_time,
                             int64_t last_write_time, int* result_code) = 0;
  virtual int OnDeleteFile(int64_t task_id, std::u16string_view path, int flags,
                           int* result_code) = 0;
  virtual int OnDeleteFolder(int64_t task_id, std::u16string_view path, int flags,
                             int* result_code) = 0;
  // The description is code-page text.
  virtual int OnError(int error_code, std::string_view description) = 0;
  virtual int OnGetFileData(int64_t task_id, std::u16string_view path, int64_t offset,
                            int64_t length, int* result_code) = 0;
  virtual int OnListDirectory(int64_t task_id, std::u16string_view path, std::u16string_view mask,
                              int* result_code) = 0;
  virtual int OnLog(int level, std::u16string_view line) = 0;
  virtual int OnRenameFile(int64_t task_id, std::u16string_view path, std::u16string_view new_path,
                           int* result_code) = 0;
  virtual int OnRenameFolder(int64_t task_id, std::u16string_view path,
                             std::u16string_view new_path, int* result_code) = 0;
  virtual int OnResetFile(int64_t task_id, std::u16string_view path) = 0;
  virtual int OnUpdateFile(int64_t task_id, std::u16string_view path, int change_flags,
                           int attributes, int64_t size, int64_t creation_time,
                           int64_t last_access_time, int64_t last_write_time,
                           int* result_code) = 0;
  virtual int OnUpdateFolder(int64_t task_id, std::u16string_view path, int change_flags,
                             int attributes, int64_t creation_time, int64_t last_access_time,
                             int64_t last_write_time, int* result_code) = 0;
  // Asks the host for buffers: `values` and `lengths` hold `count` entries; an entry whose length
  // is -1 receives a buffer from the host, which the sink copies and keeps until the calling
  // thread's next request.
  virtual int OnPlatformRequest(int request_type, int count, void** values, int* lengths) = 0;
};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_EVENT_SINK_H_
