// Expands the printf-style conversions of the engine's UTF-16 log texts with typed arguments.
#include "engine/log_format.h"

#include <algorithm>

namespace ostrasync::engine {
namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Appends to the message until it reaches the cap, then remembers that something was cut.
class CappedOutput {
 public:
  explicit CappedOutput(std::u16string& text) : text_(text) {}

  void Append(std::u16string_view units) {
    const std::size_t room = kMaxLogMessageUnits - text_.size();
    if (units.size() > room) {
      units = units.substr(0, room);
      cut_ = true;
    }
    text_.append(units);
  }

  void AppendFill(std::size_t count, char16_t unit) {
    const std::size_t room = kMaxLogMessageUnits - text_.size();
    if (count > room) {
      count = room;
      cut_ = true;
    }
    text_.append(count, unit);
  }

  bool cut() const { return cut_; }

  // A high surrogate left last by the cut has lost its partner; a reader would see a broken
  // character, so the half pair goes too.
  void Finish() {
    if (cut_ && !text_.empty() && IsHighSurrogate(text_.back())) text_.pop_back();
  }

 private:
  std::u16string& text_;
  bool cut_ = false;
};

enum class Size { kDefault, kShort, kLong64 };

struct Conversion {
  bool left_align = false;
  bool zero_pad = false;
  std::size_t width = 0;
  bool has_precision = false;
  std::size_t precision = 0;
  Size size = Size::kDefault;
};

// Widths beyond the cap could only produce text that is cut anyway; stopping there keeps a
// hostile "%99999999999999999999d" from overflowing the count.
std::size_t ReadCount(std::u16string_view format, std::size_t& pos) {
  std::size_t value = 0;
  while (pos < format.size() && format[pos] >= u'0' && format[pos] <= u'9') {
    value =
        std::min(value * 10 + static_cast<std::size_t>(format[pos] - u'0'), kMaxLogMessageUnits);
    ++pos;
  }
  return value;
}

void Pad(CappedOutput& out, const Conversion& conv, std::size_t length, char16_t fill) {
  if (conv.width > length) out.AppendFill(conv.width - length, fill);
}

void FormatString(CappedOutput& out, const Conversion& conv, std::u16string_view text) {
  if (conv.has_precision && conv.precision < text.size()) {
    std::size_t keep = conv.precision;
    // Keep whole characters: a pair split by the precision would leave half of it behind.
    if (keep > 0 && IsHighSurrogate(text[keep - 1]) && IsLowSurrogate(text[keep])) --keep;
    text = text.substr(0, keep);
  }
  if (!conv.left_align) Pad(out, conv, text.size(), u' ');
  out.Append(text);
  if (conv.left_align) Pad(out, conv, text.size(), u' ');
}

void FormatInteger(CappedOutput& out, const Conversion& conv, uint64_t magnitude, bool negative,
                   unsigned base, bool upper) {
  const char* digits_of = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char16_t digits[24];  // 2^64 needs 20 decimal or 16 hex digits
  std::size_t count = 0;
  do {
    digits[sizeof(digits) / sizeof(digits[0]) - 1 - count++] =
        static_cast<char16_t>(digits_of[magnitude % base]);
    magnitude /= base;
  } while (magnitude != 0);
  const std::u16string_view digit_text(digits + sizeof(digits) / sizeof(digits[0]) - count, count);

  // As in C, a precision is the minimum number of digits and turns off zero padding.
  const std::size_t precision_zeros =
      conv.has_precision && conv.precision > count ? conv.precision - count : 0;
  const std::size_t length = (negative ? 1 : 0) + precision_zeros + count;
  const bool zero_fill = conv.zero_pad && !conv.left_align && !conv.has_precision;

  if (!conv.left_align && !zero_fill) Pad(out, conv, length, u' ');
  if (negative) out.Append(u"-");
  if (zero_fill) Pad(out, conv, length, u'0');
  out.AppendFill(precision_zeros, u'0');
  out.Append(digit_text);
  if (conv.left_align) Pad(out, conv, length, u' ');
}

// The argument widened to 64 bits, sign-extended when it is signed, so that a 32-bit -1 read by
// %I64d is still -1 and read by %I64u is 2^64-1, as the conversion asks.
uint64_t ArgumentBits(const LogArg& arg) {
  switch (arg.kind()) {
    case LogArg::Kind::kInt32:
      return static_cast<uint64_t>(
          static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(arg.bits()))));
    case LogArg::Kind::kUInt32:
      return static_cast<uint32_t>(arg.bits());
    default:
      return arg.bits();
  }
}

void FormatNumber(CappedOutput& out, const Conversion& conv, char16_t type, const LogArg& arg) {
  const uint64_t bits = ArgumentBits(arg);
  uint64_t magnitude = 0;
  bool negative = false;
  if (type == u'd' || type == u'i') {
    int64_t value = 0;
    switch (conv.size) {
      case Size::kShort:
        value = static_cast<int16_t>(static_cast<uint16_t>(bits));
        break;
      case Size::kDefault:
        value = static_cast<int32_t>(static_cast<uint32_t>(bits));
        break;
      case Size::kLong64:
        value = static_cast<int64_t>(bits);
        break;
    }
    negative = value < 0;
    // Negating in unsigned arithmetic is exact even for INT64_MIN.
    magnitude =
        negative ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  } else {
    switch (conv.size) {
      case Size::kShort:
        magnitude = static_cast<uint16_t>(bits);
        break;
      case Size::kDefault:
        magnitude = static_cast<uint32_t>(bits);
        break;
      case Size::kLong64:
        magnitude = bits;
        break;
    }
  }
  const unsigned base = (type == u'x' || type == u'X') ? 16 : 10;
  FormatInteger(out, conv, magnitude, negative, base, type == u'X');
}

std::size_t ReserveFor(std::u16string_view format, std::initializer_list<LogArg> args) {
  std::size_t estimate = format.size();
  for (const LogArg& arg : args) {
    estimate += arg.kind() == LogArg::Kind::kString ? arg.str().size() : 20;
    if (estimate >= kMaxLogMessageUnits) return kMaxLogMessageUnits;
  }
  return estimate;
}

}  // namespace

std::u16string FormatLogMessage(std::u16string_view format, std::initializer_list<LogArg> args) {
  std::u16string text;
  text.reserve(ReserveFor(format, args));
  CappedOutput out(text);
  const LogArg* next_arg = args.begin();

  std::size_t pos = 0;
  while (pos < format.size() && !out.cut()) {
    const std::size_t percent = format.find(u'%', pos);
    if (percent == std::u16string_view::npos) {
      out.Append(format.substr(pos));
      break;
    }
    out.Append(format.substr(pos, percent - pos));

    std::size_t p = percent + 1;
    if (p < format.size() && format[p] == u'%') {
      out.Append(u"%");
      pos = p + 1;
      continue;
    }

    Conversion conv;
    for (; p < format.size(); ++p) {
      if (format[p] == u'-') {
        conv.left_align = true;
      } else if (format[p] == u'0') {
        conv.zero_pad = true;
      } else {
        break;
      }
    }
    conv.width = ReadCount(format, p);
    if (p < format.size() && format[p] == u'.') {
      ++p;
      conv.has_precision = true;
      conv.precision = ReadCount(format, p);
    }
    bool size_ok = true;
    if (p < format.size()) {
      if (format[p] == u'h') {
        conv.size = Size::kShort;
        ++p;
      } else if (format[p] == u'l') {
        ++p;  // long is 32 bits in the texts' native ABI, the same as no prefix
      } else if (format[p] == u'I') {
        if (format.substr(p, 3) == u"I64") {
          conv.size = Size::kLong64;
          p += 3;
        } else {
          size_ok = false;
        }
      }
    }

    if (p >= format.size()) {  // the text ends inside a conversion: keep it as written
      out.Append(format.substr(percent));
      break;
    }
    const char16_t type = format[p];
    pos = p + 1;
    const bool is_string = type == u's';
    const bool is_number =
        type == u'd' || type == u'i' || type == u'u' || type == u'x' || type == u'X';
    if (!size_ok || (!is_string && !is_number)) {
      out.Append(format.substr(percent, pos - percent));
      continue;
    }

    if (next_arg == args.end()) continue;  // a missing argument prints nothing
    const LogArg& arg = *next_arg++;
    const bool arg_is_string = arg.kind() == LogArg::Kind::kString;
    if (is_string && arg_is_string) {
      FormatString(out, conv, arg.str());
    } else if (is_number && !arg_is_string) {
      FormatNumber(out, conv, type, arg);
    }
    // Otherwise the argument is of the wrong kind: it is used up, and nothing is printed for it.
  }

  out.Finish();
  return text;
}

}  // namespace ostrasync::engine
