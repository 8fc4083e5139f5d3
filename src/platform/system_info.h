// Small facts the component asks of the operating system: system message texts and thread ids.
#ifndef OSTRASYNC_PLATFORM_SYSTEM_INFO_H_
#define OSTRASYNC_PLATFORM_SYSTEM_INFO_H_

#include <cstdint>
#include <string>

namespace ostrasync::platform {

// The English system message for a Windows error code or HRESULT (FormatMessageA, system table,
// language 1033, inserts ignored), without its trailing CR LF; empty when the system has none.
// A text with inserts is returned as it stands and must never be used as a format string.
std::string SystemMessage(uint32_t code);

// The same in UTF-16, in the default language, at most 1024 units.
std::u16string SystemMessageUtf16(uint32_t code);

// True when the system's message texts are the real Windows ones (false under Wine, whose texts
// differ); tests of exact texts skip where this is false.
bool SystemMessagesAreWindowsTexts();

// True when the library runs on Wine rather than Windows. Wine's system functions (message texts,
// the UTF-8 decoder's treatment of some invalid sequences) differ in detail from Windows'; tests of
// such details skip there. Always false on Linux.
bool RunningUnderWine();

// The calling thread's id as Windows numbers threads (GetCurrentThreadId; gettid on Linux).
uint32_t CurrentThreadId();

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_SYSTEM_INFO_H_
