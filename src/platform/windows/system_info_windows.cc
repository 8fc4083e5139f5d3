// System message texts and thread ids on Windows, straight from FormatMessage and the kernel.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "platform/system_info.h"

namespace ostrasync::platform {
namespace {

struct LocalFreeDeleter {
  void operator()(char* buffer) const { LocalFree(buffer); }
};

constexpr DWORD kLookupFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr DWORD kUtf16Units = 1024;

// Message texts end with CR LF, which callers embed in their own lines.
template <typename String>
void StripLineEnd(String& text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
}

std::string EnglishMessage(DWORD code) {
  char* raw = nullptr;
  const DWORD length = FormatMessageA(kLookupFlags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, kEnglishUs,
                                      reinterpret_cast<char*>(&raw), 0, nullptr);
  const std::unique_ptr<char, LocalFreeDeleter> owned(raw);
  if (length == 0 || raw == nullptr) return {};
  try {
    std::string text(raw, length);
    StripLineEnd(text);
    return text;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

bool IsWin32Hresult(uint32_t code) { return (code & 0xFFFF0000) == 0x80070000; }

}  // namespace

std::string SystemMessage(uint32_t code) {
  std::string text = EnglishMessage(code);
  // FormatMessage normally resolves an HRESULT wrapping a Win32 error itself; where a system does
  // not, the wrapped error's text is the same answer.
  if (text.empty() && IsWin32Hresult(code)) text = EnglishMessage(code & 0xFFFF);
  return text;
}

std::u16string SystemMessageUtf16(uint32_t code) {
  wchar_t buffer[kUtf16Units];
  const DWORD length = FormatMessageW(kLookupFlags, nullptr, code, 0, buffer, kUtf16Units, nullptr);
  if (length == 0) return {};
  try {
    std::u16string text(reinterpret_cast<const char16_t*>(buffer), length);
    StripLineEnd(text);
    return text;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

// Wine's ntdll exports wine_get_version; Windows' does not.
bool RunningUnderWine() {
  static const bool wine = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

// Wine's message texts are its own wording.
bool SystemMessagesAreWindowsTexts() { return !RunningUnderWine(); }

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

}  // namespace ostrasync::platform
