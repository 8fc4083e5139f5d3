// The named values one cloud-files callback carries from its adapter to the engine's handlers (and
// that the handlers add to when they answer the OS), shared by everyone holding a reference.
#ifndef OSTRASYNC_PLATFORM_CALLBACK_PARAMETERS_H_
#define OSTRASYNC_PLATFORM_CALLBACK_PARAMETERS_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "platform/win32_terms.h"

namespace ostrasync::platform {

// What a reader returns when the name is absent or holds an empty value. It is not a failure code
// (it is S_FALSE), so callers that need the value must test for nonzero, not for failure.
inline constexpr HResult kParameterMissing = 1;
// The value exists but cannot be turned into the wanted type (DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW).
inline constexpr HResult kParameterTypeMismatch = static_cast<HResult>(0x80020005);
inline constexpr HResult kParameterOverflow = static_cast<HResult>(0x8002000A);
inline constexpr HResult kParameterOutOfMemory = static_cast<HResult>(0x8007000E);

class CallbackParametersPtr;

// A set of values by UTF-16 name. The count of references is kept in the object itself: the set
// crosses the dispatcher as a plain pointer, and whoever keeps it beyond that call (a task, an
// operation record) takes its own reference from that pointer with CallbackParametersPtr::Retain.
// A separately allocated shared_ptr control block could not be recovered from the raw pointer.
// Safe for concurrent use.
class CallbackParameters {
 public:
  CallbackParameters(const CallbackParameters&) = delete;
  CallbackParameters& operator=(const CallbackParameters&) = delete;

  // A new, empty set holding one reference; null when memory runs out.
  static CallbackParametersPtr Create();

  void AddRef();
  // Frees the set when the last reference goes.
  void Release();

  // Each setter copies the value and inserts it under `name`, replacing an earlier value of any
  // type. E_INVALIDARG for a null name; kParameterOutOfMemory when the copy cannot be made.
  [[nodiscard]] HResult SetInt32(const char16_t* name, int32_t value);
  [[nodiscard]] HResult SetInt64(const char16_t* name, int64_t value);
  [[nodiscard]] HResult SetUInt64(const char16_t* name, uint64_t value);
  [[nodiscard]] HResult SetPointer(const char16_t* name, const void* value);
  [[nodiscard]] HResult SetString(const char16_t* name, std::u16string_view value);
  // Stores a value that readers treat as absent.
  [[nodiscard]] HResult SetEmpty(const char16_t* name);

  // Each reader first sets *out to 0 (or empty), then converts the stored value: numbers between
  // the integer types when they fit (kParameterOverflow otherwise), decimal text to a number
  // (kParameterTypeMismatch when it is not one), a number to its decimal text. kParameterMissing
  // for a name that is absent or empty; E_INVALIDARG for a null name or a null `out`.
  // ReadUInt32 accepts every value from INT32_MIN to UINT32_MAX, so flags stored as negative
  // 32-bit numbers come back with their bits unchanged.
  [[nodiscard]] HResult ReadUInt32(const char16_t* name, uint32_t* out) const;
  [[nodiscard]] HResult ReadInt64(const char16_t* name, int64_t* out) const;
  [[nodiscard]] HResult ReadPointer(const char16_t* name, const void** out) const;
  [[nodiscard]] HResult ReadString(const char16_t* name, std::u16string* out) const;

 private:
  using Value = std::variant<std::monostate, int32_t, int64_t, uint64_t, std::u16string>;

  CallbackParameters() = default;
  ~CallbackParameters() = default;

  [[nodiscard]] HResult Store(const char16_t* name, Value value);
  // The value under `name` copied out, or kParameterMissing.
  [[nodiscard]] HResult Lookup(const char16_t* name, Value* value) const;

  std::atomic<uint32_t> references_{1};
  mutable std::mutex mutex_;
  std::map<std::u16string, Value, std::less<>> values_;  // guarded by mutex_
};

// One owning reference to a CallbackParameters set; the set is released when it goes.
class CallbackParametersPtr {
 public:
  CallbackParametersPtr() = default;
  CallbackParametersPtr(const CallbackParametersPtr& other) : set_(other.set_) {
    if (set_) set_->AddRef();
  }
  CallbackParametersPtr(CallbackParametersPtr&& other) noexcept : set_(std::exchange(other.set_, nullptr)) {}
  CallbackParametersPtr& operator=(CallbackParametersPtr other) noexcept {
    std::swap(set_, other.set_);
    return *this;
  }
  ~CallbackParametersPtr() {
    if (set_) set_->Release();
  }

  // Takes a new reference to a set someone else owns (null stays null).
  static CallbackParametersPtr Retain(CallbackParameters* set) {
    if (set) set->AddRef();
    return CallbackParametersPtr(set);
  }

  CallbackParameters* get() const { return set_; }
  CallbackParameters* operator->() const { return set_; }
  explicit operator bool() const { return set_ != nullptr; }

 private:
  friend class CallbackParameters;
  explicit CallbackParametersPtr(CallbackParameters* adopted) : set_(adopted) {}

  CallbackParameters* set_ = nullptr;
};

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_CALLBACK_PARAMETERS_H_
