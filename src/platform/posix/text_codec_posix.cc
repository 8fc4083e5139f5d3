// The code-page converters on Linux, giving the answers MultiByteToWideChar/WideCharToMultiByte give
// on Windows: UTF-8 and 1252 are done here, the other Windows code pages through glibc iconv.
#include <iconv.h>

#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/text_codec.h"

namespace ostrasync::platform {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr char kDefaultChar = '?';

// Collects converter output. With no destination it only counts (a size query); with one it
// never writes past the capacity and remembers that the result did not fit.
template <typename Unit>
class Sink {
 public:
  Sink(Unit* dst, int cap) : dst_(cap > 0 ? dst : nullptr), cap_(cap) {}

  void Put(Unit unit) {
    if (dst_ != nullptr) {
      if (count_ < cap_) {
        dst_[count_] = unit;
      } else {
        full_ = true;
      }
    }
    ++count_;
  }

  // Once the result does not fit there is no point converting the rest.
  bool Full() const { return full_; }
  int64_t Count() const { return count_; }

 private:
  Unit* dst_;
  int64_t cap_;
  int64_t count_ = 0;
  bool full_ = false;
};

bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// ---- UTF-8 ----

// Decodes with the Unicode "maximal subpart" rule: every maximal prefix of a well-formed sequence
// that cannot be completed, and every byte that cannot start one, becomes a single U+FFFD.
void DecodeUtf8(const unsigned char* src, size_t len, Sink<char16_t>& out) {
  size_t i = 0;
  while (i < len && !out.Full()) {
    const unsigned char lead = src[i];
    if (lead < 0x80) {
      out.Put(lead);
      ++i;
      continue;
    }
    int trail;
    unsigned char second_min = 0x80, second_max = 0xBF;  // the first trail byte's allowed range
    uint32_t cp;
    if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) second_min = 0xA0;  // shorter forms are overlong
      if (lead == 0xED) second_max = 0x9F;  // ED A0..BF would encode a surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) second_min = 0x90;  // overlong
      if (lead == 0xF4) second_max = 0x8F;  // above U+10FFFF
    } else {
      // C0, C1 (always overlong), F5..FF (beyond Unicode) and stray continuation bytes.
      out.Put(kReplacement);
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool complete = true;
    for (int k = 0; k < trail; ++k, ++j) {
      const unsigned char lo = k == 0 ? second_min : 0x80;
      const unsigned char hi = k == 0 ? second_max : 0xBF;
      if (j >= len || src[j] < lo || src[j] > hi) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (src[j] & 0x3F);
    }
    i = j;  // a broken sequence consumes exactly its valid prefix
    if (!complete) {
      out.Put(kReplacement);
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      out.Put(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.Put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.Put(static_cast<char16_t>(cp));
    }
  }
}

void EncodeUtf8(const char16_t* src, size_t len, Sink<char>& out) {
  for (size_t i = 0; i < len && !out.Full(); ++i) {
    uint32_t cp = src[i];
    if (IsHigh(src[i]) && i + 1 < len && IsLow(src[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (src[i + 1] - 0xDC00);
      ++i;
    } else if (IsHigh(src[i]) || IsLow(src[i])) {
      cp = kReplacement;  // a lone surrogate has no UTF-8 form
    }
    if (cp < 0x80) {
      out.Put(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.Put(static_cast<char>(0xC0 | (cp >> 6)));
      out.Put(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.Put(static_cast<char>(0xE0 | (cp >> 12)));
      out.Put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.Put(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.Put(static_cast<char>(0xF0 | (cp >> 18)));
      out.Put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.Put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.Put(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
}

// ---- Windows-1252 ----

// Bytes 0x80..0x9F as Windows maps them. The five bytes 1252 leaves undefined map to the C1
// control of the same value, as on Windows, so every byte survives a round trip.
constexpr std::array<char16_t, 32> k1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};

void Decode1252(const unsigned char* src, size_t len, Sink<char16_t>& out) {
  for (size_t i = 0; i < len && !out.Full(); ++i) {
    const unsigned char b = src[i];
    out.Put(b >= 0x80 && b <= 0x9F ? k1252High[b - 0x80] : static_cast<char16_t>(b));
  }
}

void Encode1252(const char16_t* src, size_t len, Sink<char>& out) {
  for (size_t i = 0; i < len && !out.Full(); ++i) {
    const char16_t c = src[i];
    int byte = -1;
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      byte = c;
    } else {
      for (size_t k = 0; k < k1252High.size(); ++k) {
        if (k1252High[k] == c) byte = static_cast<int>(0x80 + k);
      }
    }
    // A surrogate pair is one character and so one default character.
    if (IsHigh(c) && i + 1 < len && IsLow(src[i + 1])) ++i;
    out.Put(byte >= 0 ? static_cast<char>(byte) : kDefaultChar);
  }
}

// ---- Other Windows code pages through iconv ----

struct IconvName {
  uint32_t code_page;
  const char* name;
};

// Windows code page numbers and the glibc converter holding the same table. 1252 is ours above;
// 1200/1201 (UTF-16) are deliberately absent, as Windows refuses them here too. Only the ISO 8859
// parts Windows itself numbers are listed.
constexpr IconvName kIconvNames[] = {
    {437, "CP437"},          {850, "CP850"},           {852, "CP852"},       {855, "CP855"},
    {857, "CP857"},          {860, "CP860"},           {861, "CP861"},       {862, "CP862"},
    {863, "CP863"},          {864, "CP864"},           {865, "CP865"},       {866, "CP866"},
    {869, "CP869"},          {874, "CP874"},           {932, "CP932"},       {936, "CP936"},
    {949, "CP949"},          {950, "CP950"},           {1250, "CP1250"},     {1251, "CP1251"},
    {1253, "CP1253"},        {1254, "CP1254"},         {1255, "CP1255"},     {1256, "CP1256"},
    {1257, "CP1257"},        {1258, "CP1258"},         {10000, "MACINTOSH"}, {20127, "ASCII"},
    {20866, "KOI8-R"},       {21866, "KOI8-U"},        {28591, "ISO-8859-1"}, {28592, "ISO-8859-2"},
    {28593, "ISO-8859-3"},   {28594, "ISO-8859-4"},    {28595, "ISO-8859-5"}, {28596, "ISO-8859-6"},
    {28597, "ISO-8859-7"},   {28598, "ISO-8859-8"},    {28599, "ISO-8859-9"}, {28603, "ISO-8859-13"},
    {28605, "ISO-8859-15"},  {51932, "EUC-JP"},        {51949, "EUC-KR"},    {54936, "GB18030"},
};

const char* IconvNameFor(uint32_t code_page) {
  for (const IconvName& entry : kIconvNames) {
    if (entry.code_page == code_page) return entry.name;
  }
  return nullptr;
}

// Our side of every iconv converter: UTF-16 in the machine's own byte order.
constexpr const char* kUtf16Name = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

enum class Direction { kToUtf16, kFromUtf16 };

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Opening an iconv converter is costly and one converter must not be used by two threads at once,
// so idle converters are kept here and lent out one caller at a time. The pool never allocates
// and is never torn down, so a conversion during static destruction still works; the few idle
// converters left at exit are reclaimed with the process.
class ConverterPool {
 public:
  constexpr ConverterPool() = default;

  iconv_t Acquire(uint32_t code_page, Direction direction, const char* name) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = 0; i < idle_count_; ++i) {
        if (idle_[i].code_page == code_page && idle_[i].direction == direction) {
          const iconv_t cd = idle_[i].cd;
          idle_[i] = idle_[--idle_count_];
          return cd;
        }
      }
    }
    return direction == Direction::kToUtf16 ? iconv_open(kUtf16Name, name) : iconv_open(name, kUtf16Name);
  }

  void Release(uint32_t code_page, Direction direction, iconv_t cd) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (idle_count_ < idle_.size()) {
        idle_[idle_count_++] = Idle{code_page, direction, cd};
        return;
      }
    }
    iconv_close(cd);
  }

 private:
  struct Idle {
    uint32_t code_page = 0;
    Direction direction = Direction::kToUtf16;
    iconv_t cd = nullptr;
  };
  std::mutex mutex_;
  std::array<Idle, 16> idle_{};
  size_t idle_count_ = 0;
};

constinit ConverterPool g_pool;

// One converter on loan from the pool for the length of one conversion.
class ConverterLease {
 public:
  ConverterLease(uint32_t code_page, Direction direction, const char* name)
      : code_page_(code_page), direction_(direction), cd_(g_pool.Acquire(code_page, direction, name)) {}
  ~ConverterLease() {
    if (cd_ != kNoConverter) g_pool.Release(code_page_, direction_, cd_);
  }
  ConverterLease(const ConverterLease&) = delete;
  ConverterLease& operator=(const ConverterLease&) = delete;

  bool ok() const { return cd_ != kNoConverter; }
  iconv_t get() const { return cd_; }

 private:
  uint32_t code_page_;
  Direction direction_;
  iconv_t cd_;
};

constexpr size_t kChunkBytes = 4096;

void PutUtf16Bytes(const char* bytes, size_t size, Sink<char16_t>& out) {
  for (size_t i = 0; i + 1 < size; i += 2) {
    char16_t unit;
    std::memcpy(&unit, bytes + i, sizeof unit);
    out.Put(unit);
  }
}

// Invalid or truncated input becomes U+FFFD, one per byte skipped. (Windows puts the code page's
// own default character there instead, e.g. U+30FB for 932; U+FFFD is what our UTF-8 path uses
// and is unambiguous to callers.)
bool DecodeIconv(uint32_t code_page, const char* name, const char* src, size_t len, Sink<char16_t>& out) {
  ConverterLease cd(code_page, Direction::kToUtf16, name);
  if (!cd.ok()) return false;
  char* in = const_cast<char*>(src);  // iconv takes char** but does not write the input
  size_t in_left = len;
  alignas(char16_t) char chunk[kChunkBytes];
  while (in_left > 0 && !out.Full()) {
    char* next = chunk;
    size_t room = sizeof chunk;
    const size_t rc = iconv(cd.get(), &in, &in_left, &next, &room);
    const int saved_errno = errno;
    PutUtf16Bytes(chunk, static_cast<size_t>(next - chunk), out);
    if (rc != static_cast<size_t>(-1) || saved_errno == E2BIG) continue;
    if (saved_errno != EILSEQ && saved_errno != EINVAL) return false;
    out.Put(kReplacement);
    ++in;
    --in_left;
  }
  return true;
}

// Characters the code page cannot hold become '?', one per character (a surrogate pair is one).
bool EncodeIconv(uint32_t code_page, const char* name, const char16_t* src, size_t len, Sink<char>& out) {
  ConverterLease cd(code_page, Direction::kFromUtf16, name);
  if (!cd.ok()) return false;
  const char* const start = reinterpret_cast<const char*>(src);
  char* in = const_cast<char*>(start);
  size_t in_left = len * sizeof(char16_t);
  char chunk[kChunkBytes];
  auto flush = [&](const char* end) {
    for (const char* p = chunk; p < end; ++p) out.Put(*p);
  };
  while (in_left > 0 && !out.Full()) {
    char* next = chunk;
    size_t room = sizeof chunk;
    const size_t rc = iconv(cd.get(), &in, &in_left, &next, &room);
    const int saved_errno = errno;
    flush(next);
    if (rc != static_cast<size_t>(-1) || saved_errno == E2BIG) continue;
    if (saved_errno != EILSEQ && saved_errno != EINVAL) return false;
    const size_t at = static_cast<size_t>(in - start) / sizeof(char16_t);
    const size_t skip = IsHigh(src[at]) && at + 1 < len && IsLow(src[at + 1]) ? 2 : 1;
    out.Put(kDefaultChar);
    in += skip * sizeof(char16_t);
    in_left -= skip * sizeof(char16_t);
  }
  // Stateful encodings may owe a closing shift sequence.
  char* next = chunk;
  size_t room = sizeof chunk;
  if (iconv(cd.get(), nullptr, nullptr, &next, &room) != static_cast<size_t>(-1)) flush(next);
  return true;
}

// ---- Code page selection ----

enum class Method { kUnusable, kUtf8, k1252, kIconv };

struct Codec {
  Method method = Method::kUnusable;
  uint32_t code_page = 0;
  const char* iconv_name = nullptr;
};

// The ANSI and OEM code pages are those of an English (United States) Windows installation.
Codec Select(uint32_t code_page) {
  switch (code_page) {
    case 0:  // CP_ACP
    case 3:  // CP_THREAD_ACP
      code_page = 1252;
      break;
    case 1:  // CP_OEMCP
      code_page = 437;
      break;
    case 2:  // CP_MACCP
      code_page = 10000;
      break;
    default:
      break;
  }
  if (code_page == kCodePageUtf8) return {Method::kUtf8, code_page, nullptr};
  if (code_page == 1252) return {Method::k1252, code_page, nullptr};
  if (const char* name = IconvNameFor(code_page)) return {Method::kIconv, code_page, name};
  return {};
}

int Fail(uint32_t* error, uint32_t code) {
  *error = code;
  return 0;
}

// The checks and the result reporting both converters share; `convert` returns false when the
// code page turns out to be unusable.
template <typename In, typename Out, typename Convert>
int Run(uint32_t code_page, const In* src, int src_len, Out* dst, int dst_cap, uint32_t* error,
        Convert convert) {
  uint32_t ignored = 0;
  if (error == nullptr) error = &ignored;
  if (src == nullptr || src_len == 0 || src_len < -1 || dst_cap < 0 || (dst_cap > 0 && dst == nullptr) ||
      static_cast<const void*>(src) == static_cast<const void*>(dst)) {
    return Fail(error, kErrorInvalidParameter);
  }
  const Codec codec = Select(code_page);
  if (codec.method == Method::kUnusable) return Fail(error, kErrorInvalidParameter);

  size_t len = static_cast<size_t>(src_len);
  if (src_len == -1) {
    len = 0;
    while (src[len] != 0) ++len;
    ++len;  // the terminator is converted and counted too
  }
  Sink<Out> out(dst, dst_cap);
  if (!convert(codec, src, len, out)) return Fail(error, kErrorInvalidParameter);
  if (out.Full()) return Fail(error, kErrorInsufficientBuffer);
  // A size the int result cannot carry is refused rather than truncated.
  if (out.Count() > INT_MAX) return Fail(error, kErrorInvalidParameter);
  *error = 0;
  return static_cast<int>(out.Count());
}

}  // namespace

int MultiByteToUtf16(uint32_t code_page, const char* src, int src_len, char16_t* dst, int dst_cap,
                     uint32_t* error) {
  return Run(code_page, src, src_len, dst, dst_cap, error,
             [](const Codec& codec, const char* in, size_t len, Sink<char16_t>& out) {
               const auto* bytes = reinterpret_cast<const unsigned char*>(in);
               switch (codec.method) {
                 case Method::kUtf8:
                   DecodeUtf8(bytes, len, out);
                   return true;
                 case Method::k1252:
                   Decode1252(bytes, len, out);
                   return true;
                 case Method::kIconv:
                   return DecodeIconv(codec.code_page, codec.iconv_name, in, len, out);
                 case Method::kUnusable:
                   break;
               }
               return false;
             });
}

int Utf16ToMultiByte(uint32_t code_page, const char16_t* src, int src_len, char* dst, int dst_cap,
                     uint32_t* error) {
  return Run(code_page, src, src_len, dst, dst_cap, error,
             [](const Codec& codec, const char16_t* in, size_t len, Sink<char>& out) {
               switch (codec.method) {
                 case Method::kUtf8:
                   EncodeUtf8(in, len, out);
                   return true;
                 case Method::k1252:
                   Encode1252(in, len, out);
                   return true;
                 case Method::kIconv:
                   return EncodeIconv(codec.code_page, codec.iconv_name, in, len, out);
                 case Method::kUnusable:
                   break;
               }
               return false;
             });
}

bool IsUsableCodePage(uint32_t code_page) {
  const Codec codec = Select(code_page);
  if (codec.method != Method::kIconv) return codec.method != Method::kUnusable;
  // Listed but missing from this system's glibc (e.g. a minimal install without gconv modules).
  const ConverterLease to(codec.code_page, Direction::kToUtf16, codec.iconv_name);
  const ConverterLease from(codec.code_page, Direction::kFromUtf16, codec.iconv_name);
  return to.ok() && from.ok();
}

}  // namespace ostrasync::platform
