// Where the cloud-files binding writes its trace and failure lines; the engine supplies it.
#ifndef OSTRASYNC_PLATFORM_BINDING_LOG_H_
#define OSTRASYNC_PLATFORM_BINDING_LOG_H_

#include <initializer_list>
#include <string_view>

#include "engine/log_format.h"

namespace ostrasync::platform {

// The levels the binding writes at: every call and its success at the trace level, every failure
// at the error level.
inline constexpr int kBindingTraceLevel = 0x2201;
inline constexpr int kBindingErrorLevel = 4;

// Safe for concurrent use: the binding logs from method, engine and OS callback threads at once.
class BindingLog {
 public:
  virtual ~BindingLog() = default;
  // One line: `format` (a fixed text of the binding, never data) filled from `args` the way
  // engine::FormatLogMessage does. The implementation decides whether `level` is written at all
  // and should decide it before formatting, since trace lines are many.
  virtual void Log(int level, std::u16string_view format, std::initializer_list<engine::LogArg> args) = 0;
};

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_BINDING_LOG_H_
