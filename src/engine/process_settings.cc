// The process-wide settings object.
#include "engine/process_settings.h"

namespace ostrasync::engine {

ProcessSettings& Process() {
  static ProcessSettings settings;
  return settings;
}

}  // namespace ostrasync::engine
