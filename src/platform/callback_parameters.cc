// Storage and type conversion of the named values a callback carries.
#include "platform/callback_parameters.h"

#include <cstdint>
#include <limits>
#include <new>

namespace ostrasync::platform {
namespace {

// Any stored number or numeric text as a sign and a magnitude, so that one range check per
// target type covers every source type without intermediate overflow.
struct Number {
  bool negative = false;
  uint64_t magnitude = 0;
};

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

// Decimal text as VariantChangeType reads it: blanks around, an optional sign, digits.
HResult ParseNumber(std::u16string_view text, Number* number) {
  size_t p = 0;
  while (p < text.size() && IsSpace(text[p])) ++p;
  size_t end = text.size();
  while (end > p && IsSpace(text[end - 1])) --end;
  if (p < end && (text[p] == u'-' || text[p] == u'+')) {
    number->negative = text[p] == u'-';
    ++p;
  }
  if (p == end) return kParameterTypeMismatch;
  uint64_t magnitude = 0;
  for (; p < end; ++p) {
    if (text[p] < u'0' || text[p] > u'9') return kParameterTypeMismatch;
    const uint64_t digit = text[p] - u'0';
    if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) return kParameterOverflow;
    magnitude = magnitude * 10 + digit;
  }
  number->magnitude = magnitude;
  if (magnitude == 0) number->negative = false;
  return kSOk;
}

Number FromSigned(int64_t v) {
  // The magnitude of INT64_MIN does not fit in int64_t; negate in unsigned arithmetic.
  return v < 0 ? Number{true, 0 - static_cast<uint64_t>(v)} : Number{false, static_cast<uint64_t>(v)};
}

template <typename Value>
HResult ToNumber(const Value& value, Number* number) {
  if (const auto* v = std::get_if<int32_t>(&value)) {
    *number = FromSigned(*v);
  } else if (const auto* v = std::get_if<int64_t>(&value)) {
    *number = FromSigned(*v);
  } else if (const auto* v = std::get_if<uint64_t>(&value)) {
    *number = Number{false, *v};
  } else if (const auto* v = std::get_if<std::u16string>(&value)) {
    return ParseNumber(*v, number);
  }
  return kSOk;
}

// Whether `n` lies in [-(min_magnitude), max].
bool InRange(const Number& n, uint64_t min_magnitude, uint64_t max) {
  return n.negative ? n.magnitude <= min_magnitude : n.magnitude <= max;
}

std::u16string DecimalText(const Number& n) {
  std::u16string digits;
  uint64_t m = n.magnitude;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + m % 10));
    m /= 10;
  } while (m != 0);
  if (n.negative) digits.insert(digits.begin(), u'-');
  return digits;
}

constexpr uint64_t kInt32MinMagnitude = uint64_t{1} << 31;
constexpr uint64_t kInt64MinMagnitude = uint64_t{1} << 63;

}  // namespace

CallbackParametersPtr CallbackParameters::Create() {
  return CallbackParametersPtr(new (std::nothrow) CallbackParameters());
}

void CallbackParameters::AddRef() { references_.fetch_add(1, std::memory_order_relaxed); }

void CallbackParameters::Release() {
  // acq_rel so that every write made through another reference happens before the delete.
  if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

HResult CallbackParameters::Store(const char16_t* name, Value value) {
  if (name == nullptr) return kEInvalidArg;
  try {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(std::u16string(name), std::move(value));
  } catch (const std::bad_alloc&) {
    return kParameterOutOfMemory;
  }
  return kSOk;
}

HResult CallbackParameters::SetInt32(const char16_t* name, int32_t value) { return Store(name, value); }
HResult CallbackParameters::SetInt64(const char16_t* name, int64_t value) { return Store(name, value); }
HResult CallbackParameters::SetUInt64(const char16_t* name, uint64_t value) { return Store(name, value); }
HResult CallbackParameters::SetPointer(const char16_t* name, const void* value) {
  return Store(name, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value)));
}
HResult CallbackParameters::SetEmpty(const char16_t* name) { return Store(name, std::monostate{}); }

HResult CallbackParameters::SetString(const char16_t* name, std::u16string_view value) {
  try {
    return Store(name, std::u16string(value));
  } catch (const std::bad_alloc&) {
    return kParameterOutOfMemory;
  }
}

HResult CallbackParameters::Lookup(const char16_t* name, Value* value) const {
  try {
    std::lock_guard lock(mutex_);
    const auto it = values_.find(std::u16string_view(name));
    if (it == values_.end()) return kParameterMissing;
    *value = it->second;
  } catch (const std::bad_alloc&) {
    return kParameterOutOfMemory;
  }
  return std::holds_alternative<std::monostate>(*value) ? kParameterMissing : kSOk;
}

HResult CallbackParameters::ReadUInt32(const char16_t* name, uint32_t* out) const {
  if (name == nullptr || out == nullptr) return kEInvalidArg;
  *out = 0;
  Value value;
  Number n;
  HResult hr = Lookup(name, &value);
  if (hr == kSOk) hr = ToNumber(value, &n);
  if (hr != kSOk) return hr;
  if (!InRange(n, kInt32MinMagnitude, std::numeric_limits<uint32_t>::max())) return kParameterOverflow;
  *out = n.negative ? static_cast<uint32_t>(0 - n.magnitude) : static_cast<uint32_t>(n.magnitude);
  return kSOk;
}

HResult CallbackParameters::ReadInt64(const char16_t* name, int64_t* out) const {
  if (name == nullptr || out == nullptr) return kEInvalidArg;
  *out = 0;
  Value value;
  Number n;
  HResult hr = Lookup(name, &value);
  if (hr == kSOk) hr = ToNumber(value, &n);
  if (hr != kSOk) return hr;
  if (!InRange(n, kInt64MinMagnitude, std::numeric_limits<int64_t>::max())) return kParameterOverflow;
  *out = static_cast<int64_t>(n.negative ? 0 - n.magnitude : n.magnitude);
  return kSOk;
}

HResult CallbackParameters::ReadPointer(const char16_t* name, const void** out) const {
  if (name == nullptr || out == nullptr) return kEInvalidArg;
  *out = nullptr;
  Value value;
  Number n;
  HResult hr = Lookup(name, &value);
  if (hr == kSOk) hr = ToNumber(value, &n);
  if (hr != kSOk) return hr;
  if (!InRange(n, 0, std::numeric_limits<uintptr_t>::max())) return kParameterOverflow;
  *out = reinterpret_cast<const void*>(static_cast<uintptr_t>(n.magnitude));
  return kSOk;
}

HResult CallbackParameters::ReadString(const char16_t* name, std::u16string* out) const {
  if (name == nullptr || out == nullptr) return kEInvalidArg;
  out->clear();
  Value value;
  HResult hr = Lookup(name, &value);
  if (hr != kSOk) return hr;
  try {
    if (auto* text = std::get_if<std::u16string>(&value)) {
      *out = std::move(*text);
    } else {
      Number n;
      hr = ToNumber(value, &n);
      if (hr == kSOk) *out = DecimalText(n);
    }
  } catch (const std::bad_alloc&) {
    return kParameterOutOfMemory;
  }
  return hr;
}

}  // namespace ostrasync::platform
