// The activation-time object that knows where the sync root lies on its volume; the placeholder
// operations join it as they land.
#ifndef OSTRASYNC_ENGINE_PLACEHOLDER_MANAGER_H_
#define OSTRASYNC_ENGINE_PLACEHOLDER_MANAGER_H_

#include <string>
#include <utility>

namespace ostrasync::engine {

// Immutable once built: safe to read from any thread.
class PlaceholderManager {
 public:
  // `long_root` is the effective root in its long form; `volume_relative_root` its part from
  // the volume's root on, ending in "\" (the form callbacks report paths in).
  PlaceholderManager(std::u16string long_root, std::u16string volume_relative_root)
      : long_root_(std::move(long_root)), volume_relative_root_(std::move(volume_relative_root)) {}
  PlaceholderManager(const PlaceholderManager&) = delete;
  PlaceholderManager& operator=(const PlaceholderManager&) = delete;

  const std::u16string& long_root() const { return long_root_; }
  const std::u16string& volume_relative_root() const { return volume_relative_root_; }

 private:
  const std::u16string long_root_;
  const std::u16string volume_relative_root_;
};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_PLACEHOLDER_MANAGER_H_
