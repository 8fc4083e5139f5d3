// The path rules of the sync root: normalising SyncRootPath, checking the ItemDomain name and
// joining the two into the effective root.
#ifndef OSTRASYNC_ENGINE_SYNC_ROOT_PATH_H_
#define OSTRASYNC_ENGINE_SYNC_ROOT_PATH_H_

#include <string>
#include <string_view>

namespace ostrasync::engine {

// Rewrites "/" as "\", collapses runs of "\", drops "." components, lets ".." remove the
// component before it (never the root prefix) and drops a trailing "\" unless only the prefix is
// left. The root prefix is a drive ("C:" plus "\" when one follows), the "\\?\" long-path prefix
// with its drive or "UNC\server\share", a UNC "\\server\share", or a single leading "\"; it is
// kept exactly as given so a long or network path keeps its meaning. Empty stays empty.
[[nodiscard]] std::u16string NormalizeSyncRootPath(std::u16string_view path);

// True when `name` can name one folder directly inside the root: not empty, not "." or "..",
// no separator, wildcard, colon, quote, angle bracket, pipe or control character, no trailing
// dot or space and no reserved device name (CON, NUL, COM1 ...).
[[nodiscard]] bool IsSingleNameComponent(std::u16string_view name);

// `root` alone when `domain` is empty, else `root` and `domain` joined by one "\".
[[nodiscard]] std::u16string JoinRootAndDomain(std::u16string_view root, std::u16string_view domain);

// The part of a full path from the volume's root on ("C:\a\b" gives "\a\b", "\\?\C:\a" gives
// "\a", "\\server\share\a" gives "\a"), with a trailing "\" added when missing.
[[nodiscard]] std::u16string VolumeRelativeFolder(std::u16string_view path);

// The path relative to the sync root of a path a callback reports (volume-relative, as
// "\Users\me\Cloud\a.txt"), given the root's VolumeRelativeFolder ("\Users\me\Cloud\"). The root
// prefix is compared without regard to case; the rest keeps its backslash ("\a.txt"), and the root
// itself, with or without its trailing backslash, gives "\". False for a path outside the root.
[[nodiscard]] bool RelativeToRoot(std::u16string_view normalized_path, std::u16string_view volume_root,
                                  std::u16string* relative);

// ASCII case-insensitive equality, the comparison Windows uses for names and paths here.
[[nodiscard]] bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_SYNC_ROOT_PATH_H_
