// Event recording for the component tests.
#include "test_host.h"

#include "platform/text_codec.h"

namespace ostrasync::testing {

std::string ToUtf8(const ostrasync_wchar* s) {
  return s ? platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(s)) : std::string();
}

namespace {

// Which slots of each event hold strings.
std::vector<int> TextSlots(int event_id) {
  switch (event_id) {
    case OSTRASYNC_EVENT_CANCEL_TASK: case OSTRASYNC_EVENT_CREATE_FILE: case OSTRASYNC_EVENT_CREATE_FOLDER:
    case OSTRASYNC_EVENT_DELETE_FILE: case OSTRASYNC_EVENT_DELETE_FOLDER: case OSTRASYNC_EVENT_GET_FILE_DATA:
    case OSTRASYNC_EVENT_RESET_FILE: case OSTRASYNC_EVENT_UPDATE_FILE: case OSTRASYNC_EVENT_UPDATE_FOLDER:
      return {1};
    case OSTRASYNC_EVENT_LIST_DIRECTORY: case OSTRASYNC_EVENT_RENAME_FILE: case OSTRASYNC_EVENT_RENAME_FOLDER:
      return {1, 2};
    case OSTRASYNC_EVENT_ERROR: case OSTRASYNC_EVENT_LOG:
      return {1};
  }
  return {};
}

}  // namespace

int TestHost::Callback(void* context, int event_id, int count, void* params[], int*) {
  auto* host = static_cast<TestHost*>(context);
  RecordedEvent event;
  event.id = event_id;
  event.count = count;
  if (event_id != OSTRASYNC_EVENT_PLATFORM_REQUEST) {
    event.slots.assign(params, params + count);
    for (int slot : TextSlots(event_id)) {
      event.texts.push_back(host->wide_ ? ToUtf8(static_cast<const ostrasync_wchar*>(params[slot]))
                                        : std::string(static_cast<const char*>(params[slot])));
    }
    if (event_id == OSTRASYNC_EVENT_LOG || event_id == OSTRASYNC_EVENT_ERROR) {
      event.level = static_cast<int>(reinterpret_cast<intptr_t>(params[0]));
    }
  }
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(host->mutex_);
    handler = host->handler_;
  }
  const int result = handler ? handler(event_id, count, params) : 0;
  std::lock_guard<std::mutex> lock(host->mutex_);
  host->events_.push_back(std::move(event));
  return result;
}

}  // namespace ostrasync::testing
