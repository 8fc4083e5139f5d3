// Load and unload hooks of libostrasync.so. All the work is in component/library_lifetime; these
// functions only run it when the dynamic loader maps and unmaps the library.
#include "component/library_lifetime.h"

namespace {

// Any address inside the library identifies it (dladdr() maps it back to the file), which is what
// a module handle is used for on Windows.
const char kModuleAnchor = 0;

__attribute__((constructor)) void OstraSyncLibraryLoaded() {
  ostrasync::component::OnLibraryLoad(const_cast<char*>(&kModuleAnchor));
}

__attribute__((destructor)) void OstraSyncLibraryUnloaded() {
  ostrasync::component::OnLibraryUnload();
}

}  // namespace
