// Feeds arbitrary bytes to the Config text parser, the setting value parsers and the log formatter.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "component/config_parser.h"
#include "engine/log_format.h"
#include "engine/setting_values.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ostrasync;

  // Exactly sized, so that any read past the terminator lands outside the allocation.
  std::unique_ptr<char[]> text(new char[size + 1]);
  if (size != 0) std::memcpy(text.get(), data, size);
  text[size] = '\0';

  engine::ConfigRequest request;
  if (component::ParseConfigString(text.get(), &request) == 0) {
    if (request.value.size() > size || request.name.size() > size) __builtin_trap();
    (void)engine::ParseIntValue(request.value);
    (void)engine::ParseBoolValue(request.value);
  }

  const std::size_t units = size / sizeof(char16_t);
  std::unique_ptr<char16_t[]> format(new char16_t[units]);
  if (units != 0) std::memcpy(format.get(), data, units * sizeof(char16_t));
  const std::u16string_view format_view(format.get(), units);
  const std::u16string message = engine::FormatLogMessage(
      format_view, {int32_t{-1}, format_view, uint32_t{0x80000000u}, int64_t{INT64_MIN},
                    uint64_t{UINT64_MAX}, static_cast<const char16_t*>(nullptr)});
  if (message.size() > engine::kMaxLogMessageUnits) __builtin_trap();
  return 0;
}
