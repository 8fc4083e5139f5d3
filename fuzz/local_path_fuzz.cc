// Feeds arbitrary UTF-16 text to the LocalPath check: whatever it accepts must, joined to the root
// and resolved the way Windows resolves a path (both separators, "." and "..", trailing dots and
// spaces trimmed), stay at or below the root, name no alternate stream and split back into the
// parent and name it was joined from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "items/item_paths.h"

namespace {

using ostrasync::items::ExtractFileDirAndName;
using ostrasync::items::IsSafeLocalPath;
using ostrasync::items::JoinPath;

const std::u16string kRoot = u"C:\\Users\\me\\Cloud";

void Check(bool condition) {
  if (!condition) std::abort();
}

// The components of `path` after the resolution Windows applies to a path it is given, most
// forgiving first: every segment trimmed, not only the last.
std::vector<std::u16string> Resolve(const std::u16string& path) {
  std::vector<std::u16string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of(u"\\/", start);
    if (end == std::u16string::npos) end = path.size();
    std::u16string part = path.substr(start, end - start);
    start = end + 1;
    if (part != u"." && part != u"..") {
      while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
    }
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string local_path;
  for (size_t i = 0; i + 1 < size; i += 2) local_path.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  if (!IsSafeLocalPath(local_path)) return 0;

  Check(local_path.find_first_of(u"/:") == std::u16string::npos);
  for (char16_t c : local_path) Check(c >= 0x20);

  const std::vector<std::u16string> root = Resolve(kRoot);
  const std::vector<std::u16string> full = Resolve(JoinPath(kRoot, local_path));
  Check(full.size() >= root.size());
  for (size_t i = 0; i < root.size(); ++i) Check(full[i] == root[i]);
  // Each component of the LocalPath is one item below the root, left as the host spelled it.
  size_t components = 0;
  for (char16_t c : local_path) components += c == u'\\';
  if (local_path.size() > 1) Check(full.size() == root.size() + components);

  if (local_path.size() > 1) {
    std::u16string dir, name;
    Check(ExtractFileDirAndName(local_path, &dir, &name));
    Check(IsSafeLocalPath(dir));
    Check(JoinPath(dir, name) == local_path);
  }
  return 0;
}
