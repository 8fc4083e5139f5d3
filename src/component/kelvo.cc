// Construction and destruction of a component.
#include "component/kelvo.h"

#include "component/scrub.h"

namespace ostrasync::component {

Kelvo::Kelvo(KelvoEventCallback callback, void* context, bool wide_events,
             platform::Platform* platform)
    : callback_(callback),
      context_(context),
      wide_events_(wide_events),
      engine_(std::make_unique<engine::SyncEngine>(this, platform)) {
  // The engine's own icon default (",0") is not shown to hosts: a new component is blank.
  (void)engine_->SetSyncRootIcon(u"");
  (void)engine_->SetSyncRootLabel(u"");
  (void)engine_->SetSyncRootPath(u"");
}

Kelvo::~Kelvo() {
  // The engine raises events while it deactivates and joins its threads, and those events reach
  // the engine through engine_ (its code page): engine_ must keep pointing at it until it is gone.
  delete engine_.get();
  (void)engine_.release();
  if (!engine::Process().zero_memory.load()) return;
  property_results_.ForEach([](auto& slots) { for (auto& s : slots) Scrub(s); });
  property_results_utf16_.ForEach([](auto& slots) { for (auto& s : slots) Scrub(s); });
  config_results_utf16_.ForEach([](auto& s) { Scrub(s); });
  retained_buffers_.ForEach([](auto& buffers) { for (auto& b : buffers) Scrub(b); });
}

}  // namespace ostrasync::component
