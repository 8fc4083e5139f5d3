// The code-page converters on Windows: MultiByteToWideChar/WideCharToMultiByte themselves, called
// without flags so the results are the system's own.
#include <windows.h>

#include "platform/text_codec.h"

namespace ostrasync::platform {
namespace {

// char16_t and wchar_t are both UTF-16 units here, so buffers pass straight through.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

int Report(int result, uint32_t* error) {
  if (error != nullptr) *error = result == 0 ? static_cast<uint32_t>(GetLastError()) : 0;
  return result;
}

// Some implementations of the converters (Wine's among them) read any negative length as "up to
// the terminator", which would run past a buffer that has none. Only -1 means that here.
bool BadSource(const void* src, int src_len, uint32_t* error) {
  if (src != nullptr && src_len >= -1) return false;
  if (error != nullptr) *error = kErrorInvalidParameter;
  return true;
}

// A destination too small for the whole result is refused with 122 before anything is written.
// Windows does that itself; some implementations (Wine's) instead fill the buffer and report a
// partial result as success, which would silently cut the host's text.
bool TooSmall(int needed, int dst_cap, uint32_t* error) {
  if (dst_cap <= 0 || needed <= dst_cap) return false;
  if (error != nullptr) *error = kErrorInsufficientBuffer;
  return true;
}

}  // namespace

int MultiByteToUtf16(uint32_t code_page, const char* src, int src_len, char16_t* dst, int dst_cap,
                     uint32_t* error) {
  if (BadSource(src, src_len, error)) return 0;
  if (dst_cap > 0) {
    const int needed = MultiByteToWideChar(code_page, 0, src, src_len, nullptr, 0);
    if (needed == 0) return Report(0, error);
    if (TooSmall(needed, dst_cap, error)) return 0;
  }
  const int result =
      MultiByteToWideChar(code_page, 0, src, src_len, reinterpret_cast<wchar_t*>(dst), dst_cap);
  return Report(result, error);
}

int Utf16ToMultiByte(uint32_t code_page, const char16_t* src, int src_len, char* dst, int dst_cap,
                     uint32_t* error) {
  if (BadSource(src, src_len, error)) return 0;
  if (dst_cap > 0) {
    const int needed = WideCharToMultiByte(code_page, 0, reinterpret_cast<const wchar_t*>(src), src_len,
                                           nullptr, 0, nullptr, nullptr);
    if (needed == 0) return Report(0, error);
    if (TooSmall(needed, dst_cap, error)) return 0;
  }
  const int result = WideCharToMultiByte(code_page, 0, reinterpret_cast<const wchar_t*>(src), src_len, dst,
                                         dst_cap, nullptr, nullptr);
  return Report(result, error);
}

// Asking the converters themselves about one character answers exactly "both accept it",
// including the pseudo code pages (0, 1, 3) IsValidCodePage does not know and the UTF-16 code
// pages it accepts but these functions refuse.
bool IsUsableCodePage(uint32_t code_page) {
  const char narrow[] = "a";
  const wchar_t wide[] = L"a";
  return MultiByteToWideChar(code_page, 0, narrow, 1, nullptr, 0) > 0 &&
         WideCharToMultiByte(code_page, 0, wide, 1, nullptr, 0, nullptr, nullptr) > 0;
}

}  // namespace ostrasync::platform
