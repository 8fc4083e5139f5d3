// The system clock as a FILETIME, kernel thread ids and the Windows message texts on Linux.
#include "platform/posix/system_services_posix.h"

#include <time.h>

#include "platform/posix/windows_attributes.h"
#include "platform/system_info.h"

namespace ostrasync::platform {
namespace {

class PosixSystemServices final : public SystemServices {
 public:
  uint64_t NowFileTime() override {
    struct timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return FileTimeFromTimespec(ts);
  }
  uint32_t CurrentThreadId() override { return platform::CurrentThreadId(); }
  std::u16string MessageText(uint32_t code) override {
    try {
      return SystemMessageUtf16(code);
    } catch (...) {
      return std::u16string();
    }
  }
};

}  // namespace

std::unique_ptr<SystemServices> NewPosixSystemServices() { return std::make_unique<PosixSystemServices>(); }

}  // namespace ostrasync::platform
