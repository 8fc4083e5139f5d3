// Feeds arbitrary bytes through both code-page converters and the boundary primitives, into
// buffers of exactly the capacity passed, so any write past it is caught by AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/text_codec.h"

namespace {

using ostrasync::platform::FromUtf16;
using ostrasync::platform::kErrorInsufficientBuffer;
using ostrasync::platform::kErrorInvalidParameter;
using ostrasync::platform::MultiByteToUtf16;
using ostrasync::platform::ToUtf16;
using ostrasync::platform::Utf16ToMultiByte;

constexpr uint32_t kCodePages[] = {65001, 1252, 932, 0};

void Check(bool condition) {
  if (!condition) std::abort();
}

// A capacity chosen by the input: sometimes too small, sometimes exact, sometimes generous.
int PickCapacity(uint32_t seed, int needed) {
  switch (seed % 4) {
    case 0:
      return needed;
    case 1:
      return needed + 1 + static_cast<int>(seed % 7);
    default:
      return needed > 1 ? 1 + static_cast<int>(seed % static_cast<uint32_t>(needed - 1)) : needed;
  }
}

// Converts with a size query, then into an exactly sized buffer, then into one of the chosen
// capacity; every call must agree on the size or report 122, never write beyond the buffer.
template <typename In, typename Out, typename Convert>
std::basic_string<Out> Exercise(const In* src, int len, uint32_t seed, Convert convert) {
  uint32_t error = 0;
  const int needed = convert(src, len, static_cast<Out*>(nullptr), 0, &error);
  if (len == 0) {
    Check(needed == 0 && error == kErrorInvalidParameter);
    return {};
  }
  Check(needed > 0);

  std::unique_ptr<Out[]> exact(new Out[static_cast<size_t>(needed)]);
  Check(convert(src, len, exact.get(), needed, &error) == needed);

  const int cap = PickCapacity(seed, needed);
  std::unique_ptr<Out[]> other(new Out[static_cast<size_t>(cap)]);
  const int written = convert(src, len, other.get(), cap, &error);
  if (cap < needed) {
    Check(written == 0 && error == kErrorInsufficientBuffer);
  } else {
    Check(written == needed && std::memcmp(other.get(), exact.get(), sizeof(Out) * static_cast<size_t>(needed)) == 0);
  }
  return std::basic_string<Out>(exact.get(), static_cast<size_t>(needed));
}

int Decode(uint32_t code_page, const char* src, int len, char16_t* dst, int cap, uint32_t* error) {
  return MultiByteToUtf16(code_page, src, len, dst, cap, error);
}
int Encode(uint32_t code_page, const char16_t* src, int len, char* dst, int cap, uint32_t* error) {
  return Utf16ToMultiByte(code_page, src, len, dst, cap, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  const int len = static_cast<int>(size);
  uint32_t seed = 2166136261u;
  for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;

  // Exactly sized copies of the input, as bytes and as UTF-16 units.
  std::unique_ptr<char[]> bytes(new char[size]);
  std::memcpy(bytes.get(), data, size);
  const size_t units = size / 2;
  std::unique_ptr<char16_t[]> wide(new char16_t[units]);
  std::memcpy(wide.get(), data, units * sizeof(char16_t));

  for (const uint32_t code_page : kCodePages) {
    auto decode = [code_page](const char* s, int n, char16_t* d, int c, uint32_t* e) {
      return Decode(code_page, s, n, d, c, e);
    };
    auto encode = [code_page](const char16_t* s, int n, char* d, int c, uint32_t* e) {
      return Encode(code_page, s, n, d, c, e);
    };

    // Bytes -> UTF-16 -> bytes. No byte yields more than one unit in these code pages.
    const std::u16string decoded = Exercise<char, char16_t>(bytes.get(), len, seed, decode);
    Check(decoded.size() <= size);
    if (!decoded.empty()) {
      const std::string encoded =
          Exercise<char16_t, char>(decoded.data(), static_cast<int>(decoded.size()), seed >> 3, encode);
      // 1252 maps every byte both ways; decoded UTF-16 is well formed, so UTF-8 survives unchanged
      // once its invalid parts have become U+FFFD.
      if (code_page == 1252 || code_page == 0) Check(encoded == std::string(bytes.get(), size));
      if (code_page == 65001) {
        const std::u16string again = Exercise<char, char16_t>(encoded.data(), static_cast<int>(encoded.size()),
                                                               seed >> 5, decode);
        Check(again == decoded);
      }
    }

    // Arbitrary UTF-16, lone surrogates included.
    Exercise<char16_t, char>(wide.get(), static_cast<int>(units), seed >> 7, encode);

    // The primitives over NUL-terminated copies: the result never carries the terminator.
    std::string terminated(bytes.get(), size);
    std::u16string to;
    Check(ToUtf16(code_page, terminated.c_str(), &to) == 0);
    Check(to.find(u'\0') == std::u16string::npos);
    std::u16string wide_terminated(wide.get(), units);
    std::string from;
    Check(FromUtf16(code_page, wide_terminated.c_str(), &from) == 0);
    Check(from.find('\0') == std::string::npos);
  }
  return 0;
}
