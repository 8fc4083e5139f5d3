// Reads and writes the text form of configuration setting values.
#include "engine/setting_values.h"

#include <cstddef>
#include <limits>

namespace ostrasync::engine {
namespace {

char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Any magnitude above this is out of the int range whatever the sign, so accumulation stops
// growing there; this also keeps a 30-digit value from wrapping 64 bits into a small number.
constexpr uint64_t kSaturatedMagnitude = uint64_t{1} << 32;

std::optional<int32_t> FromMagnitude(uint64_t magnitude, bool negative) {
  constexpr uint64_t kMaxPositive = std::numeric_limits<int32_t>::max();
  if (negative) {
    if (magnitude > kMaxPositive + 1) return std::nullopt;
    return static_cast<int32_t>(-static_cast<int64_t>(magnitude));
  }
  if (magnitude > kMaxPositive) return std::nullopt;
  return static_cast<int32_t>(magnitude);
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
  }
  return true;
}

bool ParseBoolValue(std::string_view value) {
  return EqualsIgnoreCase(value, "TRUE") || EqualsIgnoreCase(value, "yes") || value == "1";
}

std::string FormatBoolValue(bool value) { return value ? "True" : "False"; }

std::optional<int32_t> ParseDecimalInt(std::string_view text) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  uint64_t magnitude = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    if (magnitude < kSaturatedMagnitude)
      magnitude = magnitude * 10 + static_cast<uint64_t>(text[pos] - '0');
  }
  return FromMagnitude(magnitude, negative);
}

std::optional<int32_t> ParseIntValue(std::string_view value) {
  if (EqualsIgnoreCase(value, "TRUE") || EqualsIgnoreCase(value, "yes")) return 1;
  if (EqualsIgnoreCase(value, "FALSE") || EqualsIgnoreCase(value, "no")) return 0;
  if (value.size() >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    uint64_t magnitude = 0;
    for (std::size_t pos = 2; pos < value.size(); ++pos) {
      const int digit = HexDigitValue(value[pos]);
      if (digit < 0) break;
      if (magnitude < kSaturatedMagnitude)
        magnitude = magnitude * 16 + static_cast<uint64_t>(digit);
    }
    // A hex value is read as a number, not as a bit pattern: 0xFFFFFFFF is 4294967295, which an
    // int cannot hold, rather than -1.
    return FromMagnitude(magnitude, /*negative=*/false);
  }
  return ParseDecimalInt(value);
}

}  // namespace ostrasync::engine
