// Formats the engine's log messages with the printf conversions its message texts use, as the
// Windows wsprintfW reads them: %s (UTF-16 string), %d, %u, %x, %X, %I64u, %I64d, flags "0" and
// "-", a width, the "h" size prefix (%04hX) and %%. Arguments are typed, so a text can never read
// past its arguments; a conversion whose argument is missing or of the wrong kind prints nothing.
#ifndef OSTRASYNC_ENGINE_LOG_FORMAT_H_
#define OSTRASYNC_ENGINE_LOG_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace ostrasync::engine {

// The longest message the formatter produces: room for the longest Windows path (32,767 units)
// and the text around it. Longer output is cut without splitting a surrogate pair.
inline constexpr std::size_t kMaxLogMessageUnits = 33 * 1024;

class LogArg {
 public:
  enum class Kind { kInt32, kUInt32, kInt64, kUInt64, kString };

  LogArg(int32_t v) : kind_(Kind::kInt32), int_(v) {}
  LogArg(uint32_t v) : kind_(Kind::kUInt32), int_(v) {}
  LogArg(int64_t v) : kind_(Kind::kInt64), int_(static_cast<uint64_t>(v)) {}
  LogArg(uint64_t v) : kind_(Kind::kUInt64), int_(v) {}
  LogArg(std::u16string_view s) : kind_(Kind::kString), str_(s) {}
  LogArg(const std::u16string& s) : kind_(Kind::kString), str_(s) {}
  LogArg(const char16_t* s) : kind_(Kind::kString), str_(s ? std::u16string_view(s) : std::u16string_view()) {}

  Kind kind() const { return kind_; }
  uint64_t bits() const { return int_; }
  std::u16string_view str() const { return str_; }

 private:
  Kind kind_;
  uint64_t int_ = 0;
  std::u16string_view str_;
};

// Formats `format` with `args`, at most kMaxLogMessageUnits units.
std::u16string FormatLogMessage(std::u16string_view format, std::initializer_list<LogArg> args);

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_LOG_FORMAT_H_
