// The clock, thread ids and message texts on Windows.
#include <windows.h>

#include "platform/system_info.h"
#include "platform/windows/platform_windows.h"

namespace ostrasync::platform {
namespace {

class WindowsSystemServices final : public SystemServices {
 public:
  uint64_t NowFileTime() override {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  }

  uint32_t CurrentThreadId() override { return GetCurrentThreadId(); }

  // FormatMessageW from the system table, inserts ignored, at most 1024 units, line end removed.
  std::u16string MessageText(uint32_t code) override { return SystemMessageUtf16(code); }
};

}  // namespace

std::unique_ptr<SystemServices> NewWindowsSystemServices() { return std::make_unique<WindowsSystemServices>(); }

}  // namespace ostrasync::platform
