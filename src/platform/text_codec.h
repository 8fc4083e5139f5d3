// Conversion between 8-bit code-page text and UTF-16, with the results of the Windows converters
// called without flags. On Windows this is MultiByteToWideChar/WideCharToMultiByte itself; elsewhere
// our own converters reproduce their answers (UTF-8 with U+FFFD for invalid input, code page 0 as
// 1252, the Windows single- and multi-byte code pages through iconv).
#ifndef OSTRASYNC_PLATFORM_TEXT_CODEC_H_
#define OSTRASYNC_PLATFORM_TEXT_CODEC_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace ostrasync::platform {

inline constexpr uint32_t kCodePageUtf8 = 65001;

// Windows error values the converters report.
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorNoUnicodeTranslation = 1113;

// Result codes of the boundary primitives.
inline constexpr int kConversionSizeUnknown = 434;  // the size of the result cannot be determined
inline constexpr int kConversionOutOfMemory = 200;

// Same contract as MultiByteToWideChar(code_page, 0, src, src_len, dst, dst_cap):
// src_len -1 means "NUL-terminated, terminator included in the count"; dst_cap 0 asks for the
// number of UTF-16 units needed (dst may then be null). Returns the units written or needed, or 0
// with *error set: 87 for an unknown code page or bad arguments, 122 when dst_cap is too small.
// Safe for concurrent use.
[[nodiscard]] int MultiByteToUtf16(uint32_t code_page, const char* src, int src_len, char16_t* dst,
                                   int dst_cap, uint32_t* error);

// Same contract as WideCharToMultiByte(code_page, 0, src, src_len, dst, dst_cap, nullptr, nullptr).
// Characters a single- or double-byte code page cannot hold become its default character ('?').
[[nodiscard]] int Utf16ToMultiByte(uint32_t code_page, const char16_t* src, int src_len, char* dst,
                                   int dst_cap, uint32_t* error);

// True when both converters accept code_page. 0 (the ANSI code page) and 65001 always pass.
[[nodiscard]] bool IsUsableCodePage(uint32_t code_page);

// The two primitives every boundary crossing uses. A null input is the empty string. Return 0,
// kConversionSizeUnknown (434) when the converter cannot size the result (the output is then
// empty), or kConversionOutOfMemory (200). The output never contains the terminator.
[[nodiscard]] int ToUtf16(uint32_t code_page, const char* text, std::u16string* out);
[[nodiscard]] int FromUtf16(uint32_t code_page, const char16_t* text, std::string* out);

// Convenience for text known to be valid: UTF-8 <-> UTF-16 (invalid input becomes U+FFFD).
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_TEXT_CODEC_H_
