// The boundary primitives and the UTF-8 helpers, built on the two per-OS converters.
#include "platform/text_codec.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>

namespace ostrasync::platform {
namespace {

// A null output string is a caller fault; it is reported like the converters report bad arguments.
constexpr int kNoOutput = static_cast<int>(kErrorInvalidParameter);

// The converters count in int, so long text is converted in pieces small enough that the result
// still fits: a UTF-8 byte yields at most one UTF-16 unit, a UTF-16 unit at most three bytes.
constexpr size_t kMaxUtf8Piece = size_t{1} << 30;
constexpr size_t kMaxUtf16Piece = size_t{1} << 28;

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// Where a long UTF-8 text may be cut without changing the result: before a byte that is not a
// continuation byte, or after three continuation bytes in a row (no sequence can still own the
// next one then, so it decodes on its own either way).
size_t Utf8CutPoint(std::string_view text, size_t limit) {
  size_t cut = limit;
  for (int step = 0; step < 3 && cut > 0 && IsUtf8Continuation(text[cut]); ++step) --cut;
  return IsUtf8Continuation(text[cut]) || cut == 0 ? limit : cut;
}

// Appends the conversion of one piece; a piece the converter rejects adds nothing.
void AppendUtf16(std::u16string& out, const char* piece, int length) {
  uint32_t error = 0;
  const int needed = MultiByteToUtf16(kCodePageUtf8, piece, length, nullptr, 0, &error);
  if (needed <= 0) return;
  const size_t start = out.size();
  out.resize(start + static_cast<size_t>(needed));
  const int written = MultiByteToUtf16(kCodePageUtf8, piece, length, out.data() + start, needed, &error);
  out.resize(start + static_cast<size_t>(std::max(written, 0)));
}

void AppendUtf8(std::string& out, const char16_t* piece, int length) {
  uint32_t error = 0;
  const int needed = Utf16ToMultiByte(kCodePageUtf8, piece, length, nullptr, 0, &error);
  if (needed <= 0) return;
  const size_t start = out.size();
  out.resize(start + static_cast<size_t>(needed));
  const int written = Utf16ToMultiByte(kCodePageUtf8, piece, length, out.data() + start, needed, &error);
  out.resize(start + static_cast<size_t>(std::max(written, 0)));
}

// Both primitives follow the same steps: size the whole NUL-terminated input, allocate, convert,
// then drop the terminator the converter counted. A second call that fails after the first one
// sized the result is reported as 434 rather than passed off as an empty success.
template <typename In, typename Out, typename Convert>
int ConvertTerminated(const In* text, Out* out, Convert convert) {
  if (out == nullptr) return kNoOutput;
  out->clear();
  static constexpr In kEmpty[1] = {};
  if (text == nullptr) text = kEmpty;

  uint32_t error = 0;
  const int needed = convert(text, nullptr, 0, &error);
  if (needed <= 0) return kConversionSizeUnknown;
  try {
    out->resize(static_cast<size_t>(needed));
  } catch (const std::bad_alloc&) {
    return kConversionOutOfMemory;
  }
  const int written = convert(text, out->data(), needed, &error);
  if (written <= 0) {
    out->clear();
    return kConversionSizeUnknown;
  }
  size_t length = static_cast<size_t>(written);
  if ((*out)[length - 1] == 0) --length;
  out->resize(length);
  return 0;
}

}  // namespace

int ToUtf16(uint32_t code_page, const char* text, std::u16string* out) {
  return ConvertTerminated(text, out, [code_page](const char* src, char16_t* dst, int cap, uint32_t* error) {
    return MultiByteToUtf16(code_page, src, -1, dst, cap, error);
  });
}

int FromUtf16(uint32_t code_page, const char16_t* text, std::string* out) {
  return ConvertTerminated(text, out, [code_page](const char16_t* src, char* dst, int cap, uint32_t* error) {
    return Utf16ToMultiByte(code_page, src, -1, dst, cap, error);
  });
}

// These helpers have no error channel: if memory runs out they return the empty string rather
// than let std::bad_alloc out of the library.
std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  try {
    // Paths and names are mostly ASCII, which converts unit for unit; they are converted at every
    // file-system call.
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      return std::u16string(text.begin(), text.end());
    }
    out.reserve(text.size());
    while (!text.empty()) {
      const size_t piece = text.size() > kMaxUtf8Piece ? Utf8CutPoint(text, kMaxUtf8Piece) : text.size();
      AppendUtf16(out, text.data(), static_cast<int>(piece));
      text.remove_prefix(piece);
    }
  } catch (const std::bad_alloc&) {
    return {};
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  try {
    if (std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; })) {
      out.resize(text.size());
      std::transform(text.begin(), text.end(), out.begin(), [](char16_t c) { return static_cast<char>(c); });
      return out;
    }
    out.reserve(text.size());
    while (!text.empty()) {
      size_t piece = std::min(text.size(), kMaxUtf16Piece);
      // Keep a surrogate pair together; split apart, each half would become U+FFFD.
      if (piece < text.size() && IsHighSurrogate(text[piece - 1])) --piece;
      AppendUtf8(out, text.data(), static_cast<int>(piece));
      text.remove_prefix(piece);
    }
  } catch (const std::bad_alloc&) {
    return {};
  }
  return out;
}

}  // namespace ostrasync::platform
