// OstraSync_Kelvo_Get and _Set: the version, state, code page and the three sync-root strings.
#include "component/kelvo.h"
#include "component/scrub.h"
#include "engine/error_codes.h"
#include "platform/text_codec.h"

namespace ostrasync::component {
namespace {

constexpr char kVersion[] = "OSTRASYNC_VERSION_24_0_9557";
constexpr int kPropVersion = 0, kPropState = 1, kPropIcon = 2, kPropLabel = 3, kPropPath = 4;
constexpr int kPropCodePage = 8000;

// Ids above 20000 are the plain form again; 10001 to 20000 ask for UTF-16 strings.
int ReduceId(int id, bool* utf16) {
  *utf16 = false;
  if (id > 20000) return id - 20000;
  if (id > 10000) {
    *utf16 = true;
    return id - 10000;
  }
  return id;
}

void* IntValue(int value) { return reinterpret_cast<void*>(static_cast<intptr_t>(value)); }

}  // namespace

void* Kelvo::Get(int prop_id) {
  bool utf16;
  const int id = ReduceId(prop_id, &utf16);
  if (id == kPropVersion) return const_cast<char*>(kVersion);
  if (id == kPropCodePage) return IntValue(static_cast<int>(code_page()));
  engine_->last_errors().SetCode(0);
  if (id == kPropState) return IntValue(engine_->State());
  if (id < kPropIcon || id > kPropPath) return nullptr;

  std::u16string value = id == kPropIcon    ? engine_->SyncRootIcon()
                         : id == kPropLabel ? engine_->SyncRootLabel()
                                            : engine_->SyncRootPath();
  // Each thread gets its own copy, so a read on one thread cannot free what another still holds.
  if (utf16) {
    std::u16string& slot = property_results_utf16_.Current()[id - kPropIcon];
    ScrubIfRequested(slot);
    slot = std::move(value);
    return slot.data();
  }
  std::string& slot = property_results_.Current()[id - kPropIcon];
  ScrubIfRequested(slot);
  if (platform::FromUtf16(code_page(), value.c_str(), &slot) != 0) return nullptr;
  return slot.data();
}

int Kelvo::Set(int prop_id, const void* value) {
  bool utf16;
  const int id = ReduceId(prop_id, &utf16);
  int result = -1;
  if (id >= kPropIcon && id <= kPropPath) {
    std::u16string text;
    result = 0;
    if (value != nullptr) {
      if (utf16) {
        text = AsUtf16(value);
      } else {
        result = platform::ToUtf16(code_page(), static_cast<const char*>(value), &text);
      }
    }
    if (result == 0) {
      result = id == kPropIcon    ? engine_->SetSyncRootIcon(text)
               : id == kPropLabel ? engine_->SetSyncRootLabel(text)
                                  : engine_->SetSyncRootPath(text);
    }
  }
  return RecordCallResult(result);
}

int Kelvo::RecordCallResult(int result) {
  engine::ThreadErrorStore& last = engine_->last_errors();
  if (result == OSTRASYNC_ERR_OUT_OF_MEMORY && last.TextEmpty()) last.SetText(engine::kTextOutOfMemory);
  last.SetCode(result);
  return result;
}

}  // namespace ostrasync::component
