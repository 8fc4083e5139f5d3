// The process's event-tracing provider (Windows ETW). Nothing is written to it yet; registering it
// lets tracing tools see the library. Elsewhere there is nothing to register.
#ifndef OSTRASYNC_PLATFORM_TRACE_PROVIDER_H_
#define OSTRASYNC_PLATFORM_TRACE_PROVIDER_H_

namespace ostrasync::platform {

// Registers the provider once; later calls do nothing. Safe for concurrent use.
void RegisterTraceProvider();
// Unregisters it if it is registered. Safe for concurrent use.
void UnregisterTraceProvider();
bool TraceProviderRegistered();

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_TRACE_PROVIDER_H_
