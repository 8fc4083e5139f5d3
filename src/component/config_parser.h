// Splits the text of a Config call into a setting name, an optional bracket index and a value.
#ifndef OSTRASYNC_COMPONENT_CONFIG_PARSER_H_
#define OSTRASYNC_COMPONENT_CONFIG_PARSER_H_

#include "engine/config_request.h"

namespace ostrasync::component {

// What ParseConfigString returns when the text cannot be used: a bracket index outside the int
// range, or no request to fill in.
inline constexpr int kConfigParseFailed = 0x21000004;

// Parses `text` (code-page bytes, NUL-terminated; null is a query of the empty name) into *out.
// Returns 0, or kConfigParseFailed (0x21000004) when the bracket index is a number outside the
// int range (then *out must not be used) or `out` is null. Never reads past the terminator; an
// all-space or lone-quote value is empty.
[[nodiscard]] int ParseConfigString(const char* text, engine::ConfigRequest* out);

}  // namespace ostrasync::component

#endif  // OSTRASYNC_COMPONENT_CONFIG_PARSER_H_
