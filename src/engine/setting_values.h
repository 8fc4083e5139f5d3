// Parsers and formatters for the values of configuration settings.
#ifndef OSTRASYNC_ENGINE_SETTING_VALUES_H_
#define OSTRASYNC_ENGINE_SETTING_VALUES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrasync::engine {

// True exactly for "TRUE", "yes" or "1", compared without regard to case.
bool ParseBoolValue(std::string_view value);

// "TRUE"/"yes" -> 1, "FALSE"/"no" -> 0 (any case); "0x"/"0X" prefix -> hexadecimal; otherwise
// decimal with an optional sign, read up to the first character that is not a digit (an empty or
// non-numeric value is 0). Read in 64 bits: nullopt when the number does not fit an int.
std::optional<int32_t> ParseIntValue(std::string_view value);

// Decimal with an optional sign, read up to the first character that is not a digit (no digits
// is 0). Read in 64 bits: nullopt when the number does not fit an int.
std::optional<int32_t> ParseDecimalInt(std::string_view text);

std::string FormatBoolValue(bool value);  // "True" / "False"

// Case-insensitive ASCII comparison for setting names.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_SETTING_VALUES_H_
