// Splits the text of a Config call into setting name, bracket index and value.
#include "component/config_parser.h"

#include <cstddef>
#include <cstring>
#include <string_view>

#include "engine/setting_values.h"

namespace ostrasync::component {
namespace {

// Hosts pad with ordinary spaces; tabs and other bytes are kept because the text is in the
// host's code page and a byte that looks like white space in one code page may not be in another.
std::string_view TrimSpaces(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

}  // namespace

int ParseConfigString(const char* text, engine::ConfigRequest* out) {
  if (out == nullptr) return kConfigParseFailed;
  *out = engine::ConfigRequest{};
  // No text reads as a query of the empty name, which matches no setting.
  if (text == nullptr) {
    out->query = true;
    return 0;
  }

  const std::string_view all(text, std::strlen(text));
  const std::size_t equals = all.find('=');
  const std::string_view head = all.substr(0, equals);

  bool in_index = false;
  std::string index_text;
  for (const char c : head) {
    if (!in_index) {
      if (c == '[' || c == '(') {
        in_index = true;
        index_text.clear();
      } else {
        out->name.push_back(c);
      }
    } else if (c == ']' || c == ')') {
      in_index = false;
      out->index_text = TrimSpaces(index_text);
      const std::optional<int32_t> index = engine::ParseDecimalInt(out->index_text);
      if (!index) return kConfigParseFailed;
      out->index = *index;
    } else {
      index_text.push_back(c);
    }
  }
  // A bracket still open at the '=' or the end never got its closing mark and gives no index.

  if (equals == std::string_view::npos) {
    out->query = true;
    return 0;
  }
  std::string_view value = all.substr(equals + 1);
  if (value.empty()) return 0;

  out->name = std::string(TrimSpaces(out->name));
  // Every step below only moves the ends toward each other, so the value can shrink to nothing
  // (as for a lone quote or only spaces) but never to a negative length.
  const std::size_t start = value.find_first_not_of(' ');
  value = start == std::string_view::npos ? std::string_view() : value.substr(start);
  if (!value.empty() && value.front() == '"') value.remove_prefix(1);
  const std::size_t last = value.find_last_not_of(' ');
  value = last == std::string_view::npos ? std::string_view() : value.substr(0, last + 1);
  if (!value.empty() && value.back() == '"') value.remove_suffix(1);
  out->value = std::string(value);
  return 0;
}

}  // namespace ostrasync::component
