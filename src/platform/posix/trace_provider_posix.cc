// Outside Windows there is no system-wide provider registry to announce the library to, so
// registration does nothing and the provider never counts as registered.
#include "platform/trace_provider.h"

namespace ostrasync::platform {

void RegisterTraceProvider() {}

void UnregisterTraceProvider() {}

bool TraceProviderRegistered() { return false; }

}  // namespace ostrasync::platform
