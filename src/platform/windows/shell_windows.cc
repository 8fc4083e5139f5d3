// The shell seam on Windows: System.LastSyncError written through the item's property store,
// which is what makes Explorer draw the sync-error mark.
#include <windows.h>

#include <objbase.h>
#include <propidl.h>
#include <propsys.h>
#include <shobjidl.h>

#include "platform/windows/com_support.h"
#include "platform/windows/platform_windows.h"

namespace ostrasync::platform {
namespace {

// System.LastSyncError.
constexpr PROPERTYKEY kLastSyncError = {
    {0xFCEFF153, 0xE839, 0x4CF3, {0xA9, 0xE7, 0xEA, 0x22, 0x83, 0x20, 0x94, 0xB8}}, 107};
// Read-write access to the volatile properties only: the mark is a state of this session, not
// something written into the file. GPS_VOLATILEPROPERTIESONLY is missing from the MinGW headers.
constexpr int kGpsVolatilePropertiesOnly = 0x1000;
constexpr auto kStoreFlags = static_cast<GETPROPERTYSTOREFLAGS>(GPS_READWRITE | kGpsVolatilePropertiesOnly);
static_assert(kStoreFlags == 0x1002);

class PropVariant {
 public:
  PropVariant() { PropVariantInit(&value_); }
  ~PropVariant() { PropVariantClear(&value_); }
  PropVariant(const PropVariant&) = delete;
  PropVariant& operator=(const PropVariant&) = delete;
  PROPVARIANT* get() { return &value_; }

 private:
  PROPVARIANT value_;
};

class WindowsShell final : public Shell {
 public:
  HResult SetLastSyncError(const std::u16string& path, bool error) override {
    if (path.empty() || HasEmbeddedNul(path)) return kEInvalidArg;
    // Declared first so that every COM object below is released before the apartment is left.
    const ComScope com;
    if (FAILED(com.status())) return com.status();
    Ref<IShellItem2> item;
    HRESULT hr = SHCreateItemFromParsingName(Wide(path), nullptr, __uuidof(IShellItem2), item.out_void());
    if (FAILED(hr)) return hr;
    Ref<IPropertyStore> store;
    hr = item->GetPropertyStore(kStoreFlags, __uuidof(IPropertyStore), store.out_void());
    if (FAILED(hr)) return hr;
    PropVariant value;
    if (error) {
      value.get()->vt = VT_UI4;
      value.get()->ulVal = static_cast<ULONG>(kEFail);
    }  // otherwise VT_EMPTY, which removes the mark
    hr = store->SetValue(kLastSyncError, *value.get());
    if (FAILED(hr)) return hr;
    return store->Commit();
  }
};

}  // namespace

std::unique_ptr<Shell> NewWindowsShell() { return std::make_unique<WindowsShell>(); }

}  // namespace ostrasync::platform
