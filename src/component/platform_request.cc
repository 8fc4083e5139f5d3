// The platform request channel: a platform layer asks the host for buffers, and the component
// keeps its own copies so that the host can release its memory at once.
#include <cstring>

#include "component/kelvo.h"
#include "component/scrub.h"

namespace ostrasync::component {

int Kelvo::OnPlatformRequest(int request_type, int count, void** values, int* lengths) {
  if (count < 0 || (count > 0 && (values == nullptr || lengths == nullptr))) {
    return OSTRASYNC_ERR_INVALID_PARAMETER;
  }
  std::vector<std::vector<char>>& retained = retained_buffers_.Current();
  for (std::vector<char>& buffer : retained) ScrubIfRequested(buffer);
  retained.clear();
  if (!callback_) return 0;

  const std::vector<int> requested(lengths, lengths + count);
  void* slots[3] = {reinterpret_cast<void*>(static_cast<intptr_t>(request_type)), values, lengths};
  int cbparams[3] = {0, count, count};

  const int reported = FireFramed(OSTRASYNC_EVENT_PLATFORM_REQUEST, "PlatformRequest", [&] {
    return InvokeCallback(OSTRASYNC_EVENT_PLATFORM_REQUEST, 3, slots, cbparams);
  });

  for (int i = 0; i < count; ++i) {
    if (requested[i] != -1 || values[i] == nullptr) continue;
    const char* host_buffer = static_cast<const char*>(values[i]);
    // A length below 1 means a NUL-terminated string; its terminator is kept with it.
    const std::size_t size =
        lengths[i] >= 1 ? static_cast<std::size_t>(lengths[i]) : std::strlen(host_buffer) + 1;
    retained.emplace_back(host_buffer, host_buffer + size);
    void* release[3] = {reinterpret_cast<void*>(static_cast<intptr_t>(OSTRASYNC_PLATFORM_RELEASE_BUFFER)),
                        values[i], nullptr};
    int release_lengths[3] = {0, 0, 0};
    (void)InvokeCallback(OSTRASYNC_EVENT_PLATFORM_REQUEST, 2, release, release_lengths);
    values[i] = retained.back().data();
  }
  return reported;
}

}  // namespace ostrasync::component
