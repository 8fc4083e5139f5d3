// The shell's record of a sync root, kept by the Windows Runtime's StorageProviderSyncRootManager
// and reached through its raw ABI. The MinGW headers have no Windows.Storage.Provider, so the few
// interfaces used are declared here slot by slot; the runtime's own entry points are looked up in
// combase.dll at first use, so that the library still loads where the Windows Runtime is missing
// (before Windows 8) and only these calls fail there.
#include <windows.h>

#include <objbase.h>
#include <objidl.h>
#include <roapi.h>
#include <winstring.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "platform/windows/com_support.h"
#include "platform/windows/platform_windows.h"

namespace ostrasync::platform {
namespace {

constexpr DWORD kModNotFound = 126;   // ERROR_MOD_NOT_FOUND: no combase.dll (before Windows 8)
constexpr DWORD kProcNotFound = 127;  // ERROR_PROC_NOT_FOUND: this combase.dll lacks the function
constexpr DWORD kTimeout = 1460;      // ERROR_TIMEOUT
constexpr DWORD kCancelled = 1223;    // ERROR_CANCELLED
constexpr HResult kEPointer = static_cast<HResult>(0x80004003);
constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000E);
constexpr HResult kCallPending = static_cast<HResult>(0x80010115);  // RPC_S_CALLPENDING

// How long Register waits for the folder lookup, which normally takes milliseconds. A lookup that
// is still running after this is cancelled rather than left to hang the caller.
constexpr DWORD kFolderLookupTimeoutMs = 60'000;

// ---- The runtime's entry points ----

struct RuntimeApi {
  decltype(&::RoInitialize) RoInitialize = nullptr;
  decltype(&::RoUninitialize) RoUninitialize = nullptr;
  decltype(&::RoActivateInstance) RoActivateInstance = nullptr;
  decltype(&::RoGetActivationFactory) RoGetActivationFactory = nullptr;
  decltype(&::WindowsCreateString) WindowsCreateString = nullptr;
  decltype(&::WindowsDeleteString) WindowsDeleteString = nullptr;
  decltype(&::WindowsGetStringRawBuffer) WindowsGetStringRawBuffer = nullptr;
  HResult missing = kSOk;  // S_OK when every entry point above is present
};

template <typename Function>
void Resolve(HMODULE module, const char* name, Function* function, HResult* missing) {
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (*function == nullptr) *missing = HResultFromWin32(kProcNotFound);
}

RuntimeApi LoadRuntimeApi() {
  RuntimeApi api;
  // From the system folder only; the module stays loaded for the life of the process, since
  // runtime objects made through it may outlive any one call.
  const HMODULE module = LoadLibraryExW(L"combase.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) {
    api.missing = HResultFromWin32(kModNotFound);
    return api;
  }
  Resolve(module, "RoInitialize", &api.RoInitialize, &api.missing);
  Resolve(module, "RoUninitialize", &api.RoUninitialize, &api.missing);
  Resolve(module, "RoActivateInstance", &api.RoActivateInstance, &api.missing);
  Resolve(module, "RoGetActivationFactory", &api.RoGetActivationFactory, &api.missing);
  Resolve(module, "WindowsCreateString", &api.WindowsCreateString, &api.missing);
  Resolve(module, "WindowsDeleteString", &api.WindowsDeleteString, &api.missing);
  Resolve(module, "WindowsGetStringRawBuffer", &api.WindowsGetStringRawBuffer, &api.missing);
  return api;
}

const RuntimeApi& Runtime() {
  static const RuntimeApi api = LoadRuntimeApi();  // thread-safe initialisation
  return api;
}

// ---- The runtime interfaces, slot by slot ----
// Every vtable starts with IUnknown (slots 0-2) and IInspectable (3-5); the interface's own
// methods follow from slot 6. Slots this code never calls are kept as placeholders so that the
// ones it does call sit at their true offsets, which the static_asserts pin down.

template <typename Self>
struct InspectableSlots {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(Self*, REFIID, void**);
  ULONG(STDMETHODCALLTYPE* AddRef)(Self*);
  ULONG(STDMETHODCALLTYPE* Release)(Self*);
  void* GetIids;
  void* GetRuntimeClassName;
  void* GetTrustLevel;
};

constexpr size_t Slot(size_t index) { return index * sizeof(void*); }

using WinRtBool = uint8_t;  // the runtime's boolean is one byte

struct StorageFolder;  // IStorageFolder, used only as an opaque argument
struct Uri;

struct UriVtbl {
  InspectableSlots<Uri> inspectable;
  void* unused_6_15[10];  // AbsoluteUri ... QueryParsed
  HRESULT(STDMETHODCALLTYPE* get_RawUri)(Uri*, HSTRING*);
};
struct Uri {
  const UriVtbl* vtbl;
};
static_assert(offsetof(UriVtbl, get_RawUri) == Slot(16));

struct UriFactory;
struct UriFactoryVtbl {
  InspectableSlots<UriFactory> inspectable;
  HRESULT(STDMETHODCALLTYPE* CreateUri)(UriFactory*, HSTRING, Uri**);
};
struct UriFactory {
  const UriFactoryVtbl* vtbl;
};
static_assert(offsetof(UriFactoryVtbl, CreateUri) == Slot(6));

// IStorageItem, for reading a folder's path back.
struct StorageItem;
struct StorageItemVtbl {
  InspectableSlots<StorageItem> inspectable;
  void* unused_6_11[6];  // RenameAsync x2, DeleteAsync x2, GetBasicPropertiesAsync, get_Name
  HRESULT(STDMETHODCALLTYPE* get_Path)(StorageItem*, HSTRING*);
};
struct StorageItem {
  const StorageItemVtbl* vtbl;
};
static_assert(offsetof(StorageItemVtbl, get_Path) == Slot(12));

struct SyncRootInfo;
struct SyncRootInfoVtbl {
  InspectableSlots<SyncRootInfo> inspectable;
  HRESULT(STDMETHODCALLTYPE* get_Id)(SyncRootInfo*, HSTRING*);
  HRESULT(STDMETHODCALLTYPE* put_Id)(SyncRootInfo*, HSTRING);
  void* get_Context;
  void* put_Context;
  HRESULT(STDMETHODCALLTYPE* get_Path)(SyncRootInfo*, StorageFolder**);
  HRESULT(STDMETHODCALLTYPE* put_Path)(SyncRootInfo*, StorageFolder*);
  HRESULT(STDMETHODCALLTYPE* get_DisplayNameResource)(SyncRootInfo*, HSTRING*);
  HRESULT(STDMETHODCALLTYPE* put_DisplayNameResource)(SyncRootInfo*, HSTRING);
  HRESULT(STDMETHODCALLTYPE* get_IconResource)(SyncRootInfo*, HSTRING*);
  HRESULT(STDMETHODCALLTYPE* put_IconResource)(SyncRootInfo*, HSTRING);
  HRESULT(STDMETHODCALLTYPE* get_HydrationPolicy)(SyncRootInfo*, int32_t*);
  HRESULT(STDMETHODCALLTYPE* put_HydrationPolicy)(SyncRootInfo*, int32_t);
  HRESULT(STDMETHODCALLTYPE* get_HydrationPolicyModifier)(SyncRootInfo*, uint32_t*);
  HRESULT(STDMETHODCALLTYPE* put_HydrationPolicyModifier)(SyncRootInfo*, uint32_t);
  HRESULT(STDMETHODCALLTYPE* get_PopulationPolicy)(SyncRootInfo*, int32_t*);
  HRESULT(STDMETHODCALLTYPE* put_PopulationPolicy)(SyncRootInfo*, int32_t);
  HRESULT(STDMETHODCALLTYPE* get_InSyncPolicy)(SyncRootInfo*, uint32_t*);
  HRESULT(STDMETHODCALLTYPE* put_InSyncPolicy)(SyncRootInfo*, uint32_t);
  HRESULT(STDMETHODCALLTYPE* get_HardlinkPolicy)(SyncRootInfo*, uint32_t*);
  HRESULT(STDMETHODCALLTYPE* put_HardlinkPolicy)(SyncRootInfo*, uint32_t);
  HRESULT(STDMETHODCALLTYPE* get_ShowSiblingsAsGroup)(SyncRootInfo*, WinRtBool*);
  HRESULT(STDMETHODCALLTYPE* put_ShowSiblingsAsGroup)(SyncRootInfo*, WinRtBool);
  HRESULT(STDMETHODCALLTYPE* get_Version)(SyncRootInfo*, HSTRING*);
  HRESULT(STDMETHODCALLTYPE* put_Version)(SyncRootInfo*, HSTRING);
  void* get_ProtectionMode;
  void* put_ProtectionMode;
  HRESULT(STDMETHODCALLTYPE* get_AllowPinning)(SyncRootInfo*, WinRtBool*);
  HRESULT(STDMETHODCALLTYPE* put_AllowPinning)(SyncRootInfo*, WinRtBool);
  void* get_StorageProviderItemPropertyDefinitions;
  HRESULT(STDMETHODCALLTYPE* get_RecycleBinUri)(SyncRootInfo*, Uri**);
  HRESULT(STDMETHODCALLTYPE* put_RecycleBinUri)(SyncRootInfo*, Uri*);
};
struct SyncRootInfo {
  const SyncRootInfoVtbl* vtbl;
};
static_assert(offsetof(SyncRootInfoVtbl, get_Id) == Slot(6));
static_assert(offsetof(SyncRootInfoVtbl, put_Path) == Slot(11));
static_assert(offsetof(SyncRootInfoVtbl, put_DisplayNameResource) == Slot(13));
static_assert(offsetof(SyncRootInfoVtbl, put_HydrationPolicy) == Slot(17));
static_assert(offsetof(SyncRootInfoVtbl, put_PopulationPolicy) == Slot(21));
static_assert(offsetof(SyncRootInfoVtbl, put_HardlinkPolicy) == Slot(25));
static_assert(offsetof(SyncRootInfoVtbl, put_ShowSiblingsAsGroup) == Slot(27));
static_assert(offsetof(SyncRootInfoVtbl, put_Version) == Slot(29));
static_assert(offsetof(SyncRootInfoVtbl, put_AllowPinning) == Slot(33));
static_assert(offsetof(SyncRootInfoVtbl, put_RecycleBinUri) == Slot(36));

struct SyncRootManagerStatics;
struct SyncRootManagerStaticsVtbl {
  InspectableSlots<SyncRootManagerStatics> inspectable;
  HRESULT(STDMETHODCALLTYPE* Register)(SyncRootManagerStatics*, SyncRootInfo*);
  HRESULT(STDMETHODCALLTYPE* Unregister)(SyncRootManagerStatics*, HSTRING);
  void* GetSyncRootInformationForFolder;
  HRESULT(STDMETHODCALLTYPE* GetSyncRootInformationForId)(SyncRootManagerStatics*, HSTRING, SyncRootInfo**);
};
struct SyncRootManagerStatics {
  const SyncRootManagerStaticsVtbl* vtbl;
};
static_assert(offsetof(SyncRootManagerStaticsVtbl, Register) == Slot(6));
static_assert(offsetof(SyncRootManagerStaticsVtbl, GetSyncRootInformationForId) == Slot(9));

// IAsyncOperation<StorageFolder>.
struct FolderOperation;
struct FolderOperationVtbl {
  InspectableSlots<FolderOperation> inspectable;
  HRESULT(STDMETHODCALLTYPE* put_Completed)(FolderOperation*, IUnknown*);
  void* get_Completed;
  HRESULT(STDMETHODCALLTYPE* GetResults)(FolderOperation*, StorageFolder**);
};
struct FolderOperation {
  const FolderOperationVtbl* vtbl;
};
static_assert(offsetof(FolderOperationVtbl, GetResults) == Slot(8));

struct FolderStatics;
struct FolderStaticsVtbl {
  InspectableSlots<FolderStatics> inspectable;
  HRESULT(STDMETHODCALLTYPE* GetFolderFromPathAsync)(FolderStatics*, HSTRING, FolderOperation**);
};
struct FolderStatics {
  const FolderStaticsVtbl* vtbl;
};

enum AsyncStatus : int32_t { kStarted = 0, kCompleted = 1, kCanceled = 2, kError = 3 };

struct AsyncInfo;
struct AsyncInfoVtbl {
  InspectableSlots<AsyncInfo> inspectable;
  void* get_Id;
  HRESULT(STDMETHODCALLTYPE* get_Status)(AsyncInfo*, int32_t*);
  HRESULT(STDMETHODCALLTYPE* get_ErrorCode)(AsyncInfo*, HRESULT*);
  HRESULT(STDMETHODCALLTYPE* Cancel)(AsyncInfo*);
};
struct AsyncInfo {
  const AsyncInfoVtbl* vtbl;
};
static_assert(offsetof(AsyncInfoVtbl, Cancel) == Slot(9));

constexpr IID kIidSyncRootInfo = {0x7C1305C4, 0x99F9, 0x41AC, {0x89, 0x04, 0xAB, 0x05, 0x5D, 0x65, 0x49, 0x26}};
constexpr IID kIidSyncRootManagerStatics = {
    0x3E99FBBF, 0x8FE3, 0x4B40, {0xAB, 0xC7, 0xF6, 0xFC, 0x3D, 0x74, 0xC9, 0x8E}};
constexpr IID kIidFolderStatics = {0x08F327FF, 0x85D5, 0x48B9, {0xAE, 0xE9, 0x28, 0x51, 0x1E, 0x33, 0x9F, 0x9F}};
constexpr IID kIidFolderCompletedHandler = {
    0xC211026E, 0x9E63, 0x5452, {0xBA, 0x54, 0x3A, 0x07, 0xD6, 0xA9, 0x68, 0x74}};
constexpr IID kIidAsyncInfo = {0x00000036, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kIidStorageItem = {0x4207A996, 0xCA2F, 0x42F7, {0xBD, 0xE8, 0x8B, 0x10, 0x45, 0x7A, 0x7F, 0x30}};
constexpr IID kIidUriFactory = {0x44A9796F, 0x723E, 0x4FDF, {0xA2, 0x18, 0x03, 0x3E, 0x75, 0xB0, 0xC0, 0x84}};

// ---- Ownership ----

// An HSTRING this code made or received, deleted when the holder goes. Null is the empty string.
class HString {
 public:
  explicit HString(const RuntimeApi& api) : api_(api) {}
  ~HString() {
    if (value_ != nullptr) api_.WindowsDeleteString(value_);
  }
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;

  [[nodiscard]] HRESULT Assign(const std::u16string& text) {
    if (text.size() > std::numeric_limits<UINT32>::max()) return kEInvalidArg;
    return api_.WindowsCreateString(Wide(text), static_cast<UINT32>(text.size()), out());
  }
  HSTRING get() const { return value_; }
  HSTRING* out() {
    if (value_ != nullptr) api_.WindowsDeleteString(value_);
    value_ = nullptr;
    return &value_;
  }
  std::u16string Text() const {
    UINT32 length = 0;
    const wchar_t* buffer = api_.WindowsGetStringRawBuffer(value_, &length);
    if (buffer == nullptr) return std::u16string();
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
  }

 private:
  const RuntimeApi& api_;
  HSTRING value_ = nullptr;
};

// Joins the multithreaded apartment for the length of one call, unless the thread already lives in
// a single-threaded one, which serves as well and must be left as it is. RoInitialize answers
// S_FALSE when the thread was already in the multithreaded apartment; that still counts as a
// reference of ours and is balanced like S_OK.
class RuntimeScope {
 public:
  explicit RuntimeScope(const RuntimeApi& api) : api_(api), result_(api.RoInitialize(RO_INIT_MULTITHREADED)) {}
  ~RuntimeScope() {
    if (result_ == S_OK || result_ == S_FALSE) api_.RoUninitialize();
  }
  RuntimeScope(const RuntimeScope&) = delete;
  RuntimeScope& operator=(const RuntimeScope&) = delete;
  HRESULT status() const { return result_ == RPC_E_CHANGED_MODE ? S_OK : result_; }

 private:
  const RuntimeApi& api_;
  HRESULT result_;
};

// The completion handler of the folder lookup: it only signals an event that Register waits on.
// The operation may call it on any thread, so it declares itself agile (no marshalling back to an
// apartment that is blocked waiting for it). It owns its event and may outlive the wait when a
// lookup is abandoned, which is why it is reference counted rather than owned by the caller.
class CompletionSignal final : public IUnknown {
 public:
  // Null when the event cannot be made.
  static CompletionSignal* Make() {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return nullptr;
    auto* signal = new (std::nothrow) CompletionSignal(event);
    if (signal == nullptr) CloseHandle(event);
    return signal;
  }
  HANDLE event() const { return event_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return kEPointer;
    if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, kIidFolderCompletedHandler) ||
        IsEqualIID(iid, __uuidof(IAgileObject))) {
      *object = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  // Slot 3: Invoke(IAsyncOperation<StorageFolder>*, AsyncStatus).
  virtual HRESULT STDMETHODCALLTYPE Invoke(FolderOperation*, int32_t) {
    SetEvent(event_);
    return S_OK;
  }

 private:
  explicit CompletionSignal(HANDLE event) : event_(event) {}
  ~CompletionSignal() { CloseHandle(event_); }

  std::atomic<ULONG> references_{1};
  HANDLE event_;
};

// The result of Windows.Storage.StorageFolder.GetFolderFromPathAsync(path), waited for here.
HRESULT FolderFromPath(const RuntimeApi& api, const std::u16string& path, Ref<StorageFolder>* folder) {
  HString class_name(api);
  HRESULT hr = class_name.Assign(u"Windows.Storage.StorageFolder");
  if (FAILED(hr)) return hr;
  Ref<FolderStatics> statics;
  hr = api.RoGetActivationFactory(class_name.get(), kIidFolderStatics, statics.out_void());
  if (FAILED(hr)) return hr;
  if (!statics) return kEPointer;
  HString path_text(api);
  hr = path_text.Assign(path);
  if (FAILED(hr)) return hr;
  Ref<FolderOperation> operation;
  hr = statics.get()->vtbl->GetFolderFromPathAsync(statics.get(), path_text.get(), operation.out());
  if (FAILED(hr)) return hr;
  if (!operation) return kEPointer;

  CompletionSignal* signal = CompletionSignal::Make();
  if (signal == nullptr) return kEOutOfMemory;
  // The operation keeps its own reference to the handler; ours goes when this function ends.
  Ref<IUnknown> signal_ref;
  *signal_ref.out() = signal;
  hr = operation.get()->vtbl->put_Completed(operation.get(), signal);
  if (FAILED(hr)) return hr;
  Ref<AsyncInfo> info;
  hr = operation.As(kIidAsyncInfo, &info);
  if (FAILED(hr)) return hr;

  // CoWaitForMultipleHandles keeps serving incoming calls when this thread is in a single-threaded
  // apartment, where a plain wait could deadlock against anything that must call back into it.
  HANDLE event = signal->event();
  DWORD index = 0;
  hr = CoWaitForMultipleHandles(0, kFolderLookupTimeoutMs, 1, &event, &index);
  if (FAILED(hr)) {
    (void)info.get()->vtbl->Cancel(info.get());
    return hr == kCallPending ? HResultFromWin32(kTimeout) : hr;
  }
  int32_t status = kStarted;
  hr = info.get()->vtbl->get_Status(info.get(), &status);
  if (FAILED(hr)) return hr;
  if (status == kCanceled) return HResultFromWin32(kCancelled);
  if (status == kError) {
    HRESULT error = kEFail;
    hr = info.get()->vtbl->get_ErrorCode(info.get(), &error);
    if (FAILED(hr)) return hr;
    return FAILED(error) ? error : kEFail;
  }
  hr = operation.get()->vtbl->GetResults(operation.get(), folder->out());
  if (FAILED(hr)) return hr;
  return *folder ? S_OK : kEPointer;
}

// The Windows.Foundation.Uri for `text`.
HRESULT MakeUri(const RuntimeApi& api, const std::u16string& text, Ref<Uri>* uri) {
  HString class_name(api);
  HRESULT hr = class_name.Assign(u"Windows.Foundation.Uri");
  if (FAILED(hr)) return hr;
  Ref<UriFactory> factory;
  hr = api.RoGetActivationFactory(class_name.get(), kIidUriFactory, factory.out_void());
  if (FAILED(hr)) return hr;
  if (!factory) return kEPointer;
  HString uri_text(api);
  hr = uri_text.Assign(text);
  if (FAILED(hr)) return hr;
  hr = factory.get()->vtbl->CreateUri(factory.get(), uri_text.get(), uri->out());
  if (FAILED(hr)) return hr;
  return *uri ? S_OK : kEPointer;
}

HRESULT ManagerStatics(const RuntimeApi& api, Ref<SyncRootManagerStatics>* statics) {
  HString class_name(api);
  HRESULT hr = class_name.Assign(u"Windows.Storage.Provider.StorageProviderSyncRootManager");
  if (FAILED(hr)) return hr;
  hr = api.RoGetActivationFactory(class_name.get(), kIidSyncRootManagerStatics, statics->out_void());
  if (FAILED(hr)) return hr;
  return *statics ? S_OK : kEPointer;
}

// Sets one HSTRING property of the registration.
using PutTextSlot = HRESULT(STDMETHODCALLTYPE*)(SyncRootInfo*, HSTRING);
HRESULT PutText(const RuntimeApi& api, SyncRootInfo* info, PutTextSlot SyncRootInfoVtbl::*put,
                const std::u16string& text) {
  HString value(api);
  const HRESULT hr = value.Assign(text);
  if (FAILED(hr)) return hr;
  return (info->vtbl->*put)(info, value.get());
}

// Reads one HSTRING property of the registration.
using GetTextSlot = HRESULT(STDMETHODCALLTYPE*)(SyncRootInfo*, HSTRING*);
HRESULT GetText(const RuntimeApi& api, SyncRootInfo* info, GetTextSlot SyncRootInfoVtbl::*get,
                std::u16string* text) {
  HString value(api);
  const HRESULT hr = (info->vtbl->*get)(info, value.out());
  if (FAILED(hr)) return hr;
  *text = value.Text();
  return S_OK;
}

// The manager reports a missing registration as "element not found"; some builds answer with
// "file not found" from the registry beneath it. Both mean the same to our callers.
HResult NotFoundAsOne(HResult hr) {
  return hr == HResultFromWin32(win32::kFileNotFound) ? kHResultNotFound : hr;
}

bool UsableText(const std::u16string& text) { return !text.empty() && !HasEmbeddedNul(text); }

class WindowsShellRegistration final : public ShellRegistration {
 public:
  HResult RegisterSyncRoot(const ShellSyncRoot& root) override {
    if (!UsableText(root.id) || !UsableText(root.path)) return kEInvalidArg;
    try {
      return Register(root);
    } catch (const std::bad_alloc&) {
      return kEOutOfMemory;
    } catch (...) {
      return kEFail;
    }
  }

  HResult UnregisterSyncRoot(const std::u16string& id) override {
    if (!UsableText(id)) return kEInvalidArg;
    const RuntimeApi& api = Runtime();
    if (FAILED(api.missing)) return api.missing;
    // Declared first so that every runtime object below is released before the apartment is left.
    const RuntimeScope scope(api);
    if (FAILED(scope.status())) return scope.status();
    Ref<SyncRootManagerStatics> statics;
    HRESULT hr = ManagerStatics(api, &statics);
    if (FAILED(hr)) return hr;
    HString id_text(api);
    hr = id_text.Assign(id);
    if (FAILED(hr)) return hr;
    return NotFoundAsOne(statics.get()->vtbl->Unregister(statics.get(), id_text.get()));
  }

  HResult GetSyncRoot(const std::u16string& id, ShellSyncRoot* root) override {
    if (root == nullptr) return kEInvalidArg;
    *root = ShellSyncRoot();
    if (!UsableText(id)) return kEInvalidArg;
    try {
      ShellSyncRoot found;
      const HResult hr = Read(id, &found);
      if (SUCCEEDED(hr)) *root = std::move(found);
      return hr;
    } catch (const std::bad_alloc&) {
      return kEOutOfMemory;
    } catch (...) {
      return kEFail;
    }
  }

 private:
  static HResult Register(const ShellSyncRoot& root) {
    const RuntimeApi& api = Runtime();
    if (FAILED(api.missing)) return api.missing;
    const RuntimeScope scope(api);
    if (FAILED(scope.status())) return scope.status();

    HString class_name(api);
    HRESULT hr = class_name.Assign(u"Windows.Storage.Provider.StorageProviderSyncRootInfo");
    if (FAILED(hr)) return hr;
    Ref<IInspectable> instance;
    hr = api.RoActivateInstance(class_name.get(), instance.out());
    if (FAILED(hr)) return hr;
    if (!instance) return kEPointer;
    Ref<SyncRootInfo> info_ref;
    hr = instance.As(kIidSyncRootInfo, &info_ref);
    if (FAILED(hr)) return hr;
    SyncRootInfo* info = info_ref.get();
    const SyncRootInfoVtbl& v = *info->vtbl;

    hr = PutText(api, info, &SyncRootInfoVtbl::put_DisplayNameResource, root.display_name);
    if (FAILED(hr)) return hr;
    hr = PutText(api, info, &SyncRootInfoVtbl::put_IconResource, root.icon);
    if (FAILED(hr)) return hr;
    hr = v.put_HydrationPolicy(info, root.hydration_policy);
    if (FAILED(hr)) return hr;
    hr = v.put_HydrationPolicyModifier(info, root.hydration_policy_modifier);
    if (FAILED(hr)) return hr;
    hr = v.put_PopulationPolicy(info, root.population_policy);
    if (FAILED(hr)) return hr;
    hr = v.put_InSyncPolicy(info, root.in_sync_policy);
    if (FAILED(hr)) return hr;
    hr = PutText(api, info, &SyncRootInfoVtbl::put_Version, root.version);
    if (FAILED(hr)) return hr;
    hr = v.put_ShowSiblingsAsGroup(info, root.show_siblings_as_group ? 1 : 0);
    if (FAILED(hr)) return hr;
    hr = v.put_AllowPinning(info, root.allow_pinning ? 1 : 0);
    if (FAILED(hr)) return hr;
    hr = v.put_HardlinkPolicy(info, root.hardlink_policy);
    if (FAILED(hr)) return hr;
    if (!root.recycle_bin_uri.empty()) {
      Ref<Uri> uri;
      hr = MakeUri(api, root.recycle_bin_uri, &uri);
      if (FAILED(hr)) return hr;
      hr = v.put_RecycleBinUri(info, uri.get());
      if (FAILED(hr)) return hr;
    }
    hr = PutText(api, info, &SyncRootInfoVtbl::put_Id, root.id);
    if (FAILED(hr)) return hr;
    Ref<StorageFolder> folder;
    hr = FolderFromPath(api, root.path, &folder);
    if (FAILED(hr)) return hr;
    hr = v.put_Path(info, folder.get());
    if (FAILED(hr)) return hr;

    Ref<SyncRootManagerStatics> statics;
    hr = ManagerStatics(api, &statics);
    if (FAILED(hr)) return hr;
    return statics.get()->vtbl->Register(statics.get(), info);
  }

  static HResult Read(const std::u16string& id, ShellSyncRoot* root) {
    const RuntimeApi& api = Runtime();
    if (FAILED(api.missing)) return api.missing;
    const RuntimeScope scope(api);
    if (FAILED(scope.status())) return scope.status();

    Ref<SyncRootManagerStatics> statics;
    HRESULT hr = ManagerStatics(api, &statics);
    if (FAILED(hr)) return hr;
    HString id_text(api);
    hr = id_text.Assign(id);
    if (FAILED(hr)) return hr;
    Ref<SyncRootInfo> info_ref;
    hr = statics.get()->vtbl->GetSyncRootInformationForId(statics.get(), id_text.get(), info_ref.out());
    if (FAILED(hr)) return NotFoundAsOne(hr);
    if (!info_ref) return kHResultNotFound;
    SyncRootInfo* info = info_ref.get();
    const SyncRootInfoVtbl& v = *info->vtbl;

    hr = GetText(api, info, &SyncRootInfoVtbl::get_Id, &root->id);
    if (FAILED(hr)) return hr;
    Ref<StorageFolder> folder;
    hr = v.get_Path(info, folder.out());
    if (FAILED(hr)) return hr;
    if (folder) {
      Ref<StorageItem> item;
      hr = folder.As(kIidStorageItem, &item);
      if (FAILED(hr)) return hr;
      HString path(api);
      hr = item.get()->vtbl->get_Path(item.get(), path.out());
      if (FAILED(hr)) return hr;
      root->path = path.Text();
    }
    hr = GetText(api, info, &SyncRootInfoVtbl::get_DisplayNameResource, &root->display_name);
    if (FAILED(hr)) return hr;
    hr = GetText(api, info, &SyncRootInfoVtbl::get_IconResource, &root->icon);
    if (FAILED(hr)) return hr;
    hr = GetText(api, info, &SyncRootInfoVtbl::get_Version, &root->version);
    if (FAILED(hr)) return hr;
    hr = v.get_HydrationPolicy(info, &root->hydration_policy);
    if (FAILED(hr)) return hr;
    hr = v.get_HydrationPolicyModifier(info, &root->hydration_policy_modifier);
    if (FAILED(hr)) return hr;
    hr = v.get_PopulationPolicy(info, &root->population_policy);
    if (FAILED(hr)) return hr;
    hr = v.get_InSyncPolicy(info, &root->in_sync_policy);
    if (FAILED(hr)) return hr;
    hr = v.get_HardlinkPolicy(info, &root->hardlink_policy);
    if (FAILED(hr)) return hr;
    WinRtBool flag = 0;
    hr = v.get_ShowSiblingsAsGroup(info, &flag);
    if (FAILED(hr)) return hr;
    root->show_siblings_as_group = flag != 0;
    hr = v.get_AllowPinning(info, &flag);
    if (FAILED(hr)) return hr;
    root->allow_pinning = flag != 0;
    Ref<Uri> uri;
    hr = v.get_RecycleBinUri(info, uri.out());
    if (FAILED(hr)) return hr;
    if (uri) {
      HString text(api);
      hr = uri.get()->vtbl->get_RawUri(uri.get(), text.out());
      if (FAILED(hr)) return hr;
      root->recycle_bin_uri = text.Text();
    }
    return S_OK;
  }
};

}  // namespace

std::unique_ptr<ShellRegistration> NewWindowsShellRegistration() {
  return std::make_unique<WindowsShellRegistration>();
}

}  // namespace ostrasync::platform
