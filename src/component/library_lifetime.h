// What the library does when it is loaded into a process and when it leaves it. The OS-specific
// entry points (DllMain on Windows, constructor/destructor functions elsewhere) only call these.
#ifndef OSTRASYNC_COMPONENT_LIBRARY_LIFETIME_H_
#define OSTRASYNC_COMPONENT_LIBRARY_LIFETIME_H_

namespace ostrasync::component {

// Stores the module handle and runs OstraSync_Kelvo_StaticInit.
void OnLibraryLoad(void* module_instance);

// Runs OstraSync_Kelvo_StaticDestroy and releases the process-wide per-thread buffers, marking
// them gone so that no later use recreates them.
void OnLibraryUnload();

}  // namespace ostrasync::component

#endif  // OSTRASYNC_COMPONENT_LIBRARY_LIFETIME_H_
