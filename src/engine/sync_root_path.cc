// The path rules of the sync root: normalisation, the ItemDomain name check and joins.
#include "engine/sync_root_path.h"

#include <array>
#include <vector>

namespace ostrasync::engine {
namespace {

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

// Length of the "server\share" part that starts at `from`, including the "\" after it when
// present; the whole rest when the share has no "\" after it.
size_t ServerShareLength(std::u16string_view path, size_t from) {
  const size_t server_end = path.find(u'\\', from);
  if (server_end == std::u16string_view::npos) return path.size() - from;
  const size_t share_end = path.find(u'\\', server_end + 1);
  if (share_end == std::u16string_view::npos) return path.size() - from;
  return share_end + 1 - from;
}

// Length of the root prefix of a path whose separators are already "\".
size_t RootPrefixLength(std::u16string_view path) {
  if (path.starts_with(u"\\\\?\\") || path.starts_with(u"\\\\.\\")) {
    std::u16string_view rest = path.substr(4);
    if (rest.size() >= 4 && EqualsIgnoreCase(rest.substr(0, 4), u"UNC\\")) {
      return 8 + ServerShareLength(path, 8);
    }
    if (rest.size() >= 2 && IsAsciiLetter(rest[0]) && rest[1] == u':') {
      return 4 + (rest.size() > 2 && rest[2] == u'\\' ? 3 : 2);
    }
    return 4;
  }
  if (path.starts_with(u"\\\\") && path.size() > 2 && path[2] != u'\\') {
    return 2 + ServerShareLength(path, 2);
  }
  if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == u':') {
    return path.size() > 2 && path[2] == u'\\' ? 3 : 2;
  }
  if (!path.empty() && path[0] == u'\\') return 1;
  return 0;
}

}  // namespace

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

std::u16string NormalizeSyncRootPath(std::u16string_view input) {
  if (input.empty()) return {};
  std::u16string path(input);
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
  const size_t prefix_length = RootPrefixLength(path);
  std::u16string prefix = path.substr(0, prefix_length);

  std::vector<std::u16string_view> kept;
  std::u16string_view rest = std::u16string_view(path).substr(prefix_length);
  while (!rest.empty()) {
    const size_t end = rest.find(u'\\');
    const std::u16string_view part = rest.substr(0, end);
    rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end + 1);
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(part);
  }

  std::u16string result = prefix;
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i > 0 || (!result.empty() && result.back() != u'\\')) result.push_back(u'\\');
    result.append(kept[i]);
  }
  // "C:" followed by a relative part keeps its drive-relative meaning ("C:a"), as Windows reads it.
  if (prefix.size() == 2 && prefix[1] == u':' && !kept.empty()) result.erase(2, 1);
  return result;
}

bool IsSingleNameComponent(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  for (char16_t c : name) {
    if (c < 0x20) return false;
    switch (c) {
      case u'\\': case u'/': case u':': case u'*': case u'?': case u'"': case u'<': case u'>': case u'|':
        return false;
      default:
        break;
    }
  }
  if (name.back() == u'.' || name.back() == u' ') return false;
  // Device names are reserved with or without an extension.
  std::u16string_view stem = name.substr(0, name.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') stem.remove_suffix(1);
  static constexpr std::array<std::u16string_view, 4> kPlain = {u"CON", u"PRN", u"AUX", u"NUL"};
  for (std::u16string_view reserved : kPlain) {
    if (EqualsIgnoreCase(stem, reserved)) return false;
  }
  if (stem.size() == 4 && (EqualsIgnoreCase(stem.substr(0, 3), u"COM") || EqualsIgnoreCase(stem.substr(0, 3), u"LPT")) &&
      stem[3] >= u'1' && stem[3] <= u'9') {
    return false;
  }
  return true;
}

std::u16string JoinRootAndDomain(std::u16string_view root, std::u16string_view domain) {
  std::u16string joined(root);
  if (domain.empty()) return joined;
  if (joined.empty() || joined.back() != u'\\') joined.push_back(u'\\');
  joined.append(domain);
  return joined;
}

std::u16string VolumeRelativeFolder(std::u16string_view path) {
  std::u16string_view rest = path;
  if (rest.starts_with(u"\\\\?\\") || rest.starts_with(u"\\\\.\\")) {
    rest.remove_prefix(4);
    if (rest.size() >= 4 && EqualsIgnoreCase(rest.substr(0, 4), u"UNC\\")) {
      rest.remove_prefix(4);
      const size_t share = ServerShareLength(rest, 0);
      rest.remove_prefix(share > 0 && rest[share - 1] == u'\\' ? share - 1 : share);
    }
  } else if (rest.starts_with(u"\\\\")) {
    rest.remove_prefix(2);
    const size_t share = ServerShareLength(rest, 0);
    rest.remove_prefix(share > 0 && rest[share - 1] == u'\\' ? share - 1 : share);
  }
  const size_t first = rest.find(u'\\');
  std::u16string result = first == std::u16string_view::npos ? std::u16string() : std::u16string(rest.substr(first));
  if (result.empty() || result.back() != u'\\') result.push_back(u'\\');
  return result;
}

bool RelativeToRoot(std::u16string_view normalized_path, std::u16string_view volume_root, std::u16string* relative) {
  relative->clear();
  if (volume_root.empty() || volume_root.back() != u'\\') return false;
  const std::u16string_view root_itself = volume_root.substr(0, volume_root.size() - 1);
  if (normalized_path.size() <= root_itself.size()) {
    if (!EqualsIgnoreCase(normalized_path, root_itself)) return false;
    relative->assign(u"\\");
    return true;
  }
  if (normalized_path.size() < volume_root.size() ||
      !EqualsIgnoreCase(normalized_path.substr(0, volume_root.size()), volume_root)) {
    return false;
  }
  // The rest keeps the root's trailing backslash as its own leading one.
  relative->assign(normalized_path.substr(root_itself.size()));
  return true;
}

}  // namespace ostrasync::engine
