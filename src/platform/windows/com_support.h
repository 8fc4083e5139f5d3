// COM helpers shared by the Windows platform files: joining the multithreaded apartment for one
// call, and holding one reference to a COM or Windows Runtime object.
#ifndef OSTRASYNC_PLATFORM_WINDOWS_COM_SUPPORT_H_
#define OSTRASYNC_PLATFORM_WINDOWS_COM_SUPPORT_H_

#include <objbase.h>
#include <unknwn.h>

namespace ostrasync::platform {

// Joins the multithreaded apartment for the length of one call, unless the thread already lives
// in a single-threaded one, which serves as well and must be left as it is. S_FALSE (already in
// the multithreaded apartment) is a reference of ours all the same and is balanced like S_OK.
class ComScope {
 public:
  ComScope() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (result_ == S_OK || result_ == S_FALSE) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  HRESULT status() const { return result_ == RPC_E_CHANGED_MODE ? S_OK : result_; }

 private:
  HRESULT result_;
};

// One reference to a COM or runtime object, released when the holder goes. Every such object
// starts with IUnknown (C++ interfaces and our own vtable structs alike), which is all the holder
// relies on.
template <typename Interface>
class Ref {
 public:
  Ref() = default;
  ~Ref() { Reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  Interface* get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }
  Interface** out() {
    Reset();
    return &pointer_;
  }
  void** out_void() { return reinterpret_cast<void**>(out()); }
  explicit operator bool() const { return pointer_ != nullptr; }
  void Reset() {
    if (pointer_ != nullptr) reinterpret_cast<IUnknown*>(pointer_)->Release();
    pointer_ = nullptr;
  }
  // Asks the object for another of its interfaces.
  template <typename Other>
  HRESULT As(const IID& iid, Ref<Other>* other) const {
    return reinterpret_cast<IUnknown*>(pointer_)->QueryInterface(iid, other->out_void());
  }

 private:
  Interface* pointer_ = nullptr;
};

}  // namespace ostrasync::platform

#endif  // OSTRASYNC_PLATFORM_WINDOWS_COM_SUPPORT_H_
