// The Config method: the two version answers of the component itself, then the engine's settings.
#include "component/config_parser.h"
#include "component/kelvo.h"
#include "engine/setting_values.h"
#include "platform/text_codec.h"

namespace ostrasync::component {
namespace {

constexpr char kBuildInfo[] = "24.0.9557";
constexpr char16_t kBuildInfoUtf16[] = u"24.0.9557";
constexpr char kMajorVersion[] = "24";
constexpr char16_t kMajorVersionUtf16[] = u"24";
constexpr char kEmpty[] = "";
constexpr char16_t kEmptyUtf16[] = u"";

void* Slot(const void* p) { return const_cast<void*>(p); }

}  // namespace

int Kelvo::DoConfig(bool utf16, void** params, bool* conversion_failed) {
  if (params == nullptr) return engine_->RecordError(OSTRASYNC_ERR_INVALID_PARAMETER);
  // The UTF-16 variant goes through UTF-8, not the component's code page: the string settings
  // are UTF-8 whatever the code page, and a lossy code page would garble them.
  std::string text;
  if (utf16) {
    if (params[0] != nullptr) {
      if (const int rc = platform::FromUtf16(platform::kCodePageUtf8, AsUtf16(params[0]), &text); rc != 0) {
        *conversion_failed = true;
        return rc;
      }
    }
  } else if (params[0] != nullptr) {
    text = static_cast<const char*>(params[0]);
  }

  if (engine::EqualsIgnoreCase(text, "BuildInfo")) {
    params[1] = utf16 ? Slot(kBuildInfoUtf16) : Slot(kBuildInfo);
    return 0;
  }
  if (engine::EqualsIgnoreCase(text, "MajorVersion")) {
    params[1] = utf16 ? Slot(kMajorVersionUtf16) : Slot(kMajorVersion);
    return 0;
  }

  params[1] = utf16 ? Slot(kEmptyUtf16) : Slot(kEmpty);
  engine::ConfigRequest request;
  if (const int rc = ParseConfigString(text.c_str(), &request); rc != 0) return engine_->RecordError(rc);
  const char* result = kEmpty;
  const int rc = engine_->Configure(request, &result);
  if (!utf16) {
    params[1] = Slot(result);
    return rc;
  }
  std::u16string& buffer = config_results_utf16_.Current();
  if (const int conversion = platform::ToUtf16(platform::kCodePageUtf8, result, &buffer); conversion != 0) {
    return conversion;
  }
  params[1] = buffer.data();
  return rc;
}

int Kelvo::ConvertToUtf16Service(int param_count, void** params, int* cbparams) {
  if (param_count != 2) return -1;
  if (params == nullptr || cbparams == nullptr) return OSTRASYNC_ERR_INVALID_PARAMETER;
  params[2] = nullptr;
  const char* source = static_cast<const char*>(params[0]);
  const int source_length = cbparams[0];
  char16_t* destination = static_cast<char16_t*>(params[1]);
  const int capacity = cbparams[1];  // in UTF-16 units, not bytes
  if (source_length < 0 || capacity < 0 || (source == nullptr && source_length > 0) ||
      (destination == nullptr && capacity > 0)) {
    return OSTRASYNC_ERR_INVALID_PARAMETER;
  }
  if (source_length == 0) return 0;  // an empty source converts to nothing
  uint32_t error = 0;
  const int units = platform::MultiByteToUtf16(engine_->code_page(), source, source_length,
                                               capacity < 1 ? nullptr : destination,
                                               capacity < 1 ? 0 : capacity, &error);
  params[2] = reinterpret_cast<void*>(static_cast<intptr_t>(units));
  return units == 0 ? static_cast<int>(error) : 0;
}

}  // namespace ostrasync::component
