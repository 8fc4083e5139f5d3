// The Windows Search crawl scope of the "SystemIndex" catalog, through the search manager's COM
// interfaces. The MinGW headers have no searchapi.h, so the three interfaces are declared here
// slot by slot.
#include <windows.h>

#include <objbase.h>

#include <cstddef>

#include "platform/windows/com_support.h"
#include "platform/windows/platform_windows.h"

namespace ostrasync::platform {
namespace {

constexpr HResult kEPointer = static_cast<HResult>(0x80004003);
constexpr DWORD kFollowComplexUrls = 0x1;  // FF_INDEXCOMPLEXURLS

constexpr CLSID kClsidSearchManager = {0x7D096C5F, 0xAC08, 0x4F1F, {0xBE, 0xB7, 0x5C, 0x22, 0xC5, 0x17, 0xCE, 0x39}};
constexpr IID kIidSearchManager = {0xAB310581, 0xAC80, 0x11D1, {0x8D, 0xF3, 0x00, 0xC0, 0x4F, 0xB6, 0xEF, 0x69}};

// Each vtable starts with IUnknown (slots 0-2). Slots never called here are placeholders that
// keep the called ones at their true offsets, pinned by the static_asserts.
template <typename Self>
struct UnknownSlots {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(Self*, REFIID, void**);
  ULONG(STDMETHODCALLTYPE* AddRef)(Self*);
  ULONG(STDMETHODCALLTYPE* Release)(Self*);
};

constexpr size_t Slot(size_t index) { return index * sizeof(void*); }

struct CrawlScopeManager;
struct CrawlScopeManagerVtbl {
  UnknownSlots<CrawlScopeManager> unknown;
  HRESULT(STDMETHODCALLTYPE* AddDefaultScopeRule)(CrawlScopeManager*, LPCWSTR, BOOL, DWORD);
  void* unused_4_12[9];  // AddRoot ... HasChildScopeRule
  HRESULT(STDMETHODCALLTYPE* IncludedInCrawlScope)(CrawlScopeManager*, LPCWSTR, BOOL*);
  void* unused_14_15[2];  // IncludedInCrawlScopeEx, RevertToDefaultScopes
  HRESULT(STDMETHODCALLTYPE* SaveAll)(CrawlScopeManager*);
  void* GetParentScopeVersionId;
  HRESULT(STDMETHODCALLTYPE* RemoveDefaultScopeRule)(CrawlScopeManager*, LPCWSTR);
};
struct CrawlScopeManager {
  const CrawlScopeManagerVtbl* vtbl;
};
static_assert(offsetof(CrawlScopeManagerVtbl, AddDefaultScopeRule) == Slot(3));
static_assert(offsetof(CrawlScopeManagerVtbl, IncludedInCrawlScope) == Slot(13));
static_assert(offsetof(CrawlScopeManagerVtbl, SaveAll) == Slot(16));
static_assert(offsetof(CrawlScopeManagerVtbl, RemoveDefaultScopeRule) == Slot(18));

struct CatalogManager;
struct CatalogManagerVtbl {
  UnknownSlots<CatalogManager> unknown;
  void* unused_3_27[25];  // get_Name ... get_DiacriticSensitivity
  HRESULT(STDMETHODCALLTYPE* GetCrawlScopeManager)(CatalogManager*, CrawlScopeManager**);
};
struct CatalogManager {
  const CatalogManagerVtbl* vtbl;
};
static_assert(offsetof(CatalogManagerVtbl, GetCrawlScopeManager) == Slot(28));

struct SearchManager;
struct SearchManagerVtbl {
  UnknownSlots<SearchManager> unknown;
  void* unused_3_9[7];  // GetIndexerVersionStr ... SetProxy
  HRESULT(STDMETHODCALLTYPE* GetCatalog)(SearchManager*, LPCWSTR, CatalogManager**);
};
struct SearchManager {
  const SearchManagerVtbl* vtbl;
};
static_assert(offsetof(SearchManagerVtbl, GetCatalog) == Slot(10));


// The crawl scope manager of the system catalog. When the search service is disabled the search
// manager cannot be made and CoCreateInstance answers HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED),
// which our callers recognise and which therefore passes through unchanged.
HRESULT OpenCrawlScope(Ref<CrawlScopeManager>* scope) {
  Ref<SearchManager> manager;
  HRESULT hr = CoCreateInstance(kClsidSearchManager, nullptr, CLSCTX_ALL, kIidSearchManager, manager.out_void());
  if (FAILED(hr)) return hr;
  if (manager.get() == nullptr) return kEPointer;
  Ref<CatalogManager> catalog;
  hr = manager.get()->vtbl->GetCatalog(manager.get(), L"SystemIndex", catalog.out());
  if (FAILED(hr)) return hr;
  if (catalog.get() == nullptr) return kEPointer;
  hr = catalog.get()->vtbl->GetCrawlScopeManager(catalog.get(), scope->out());
  if (FAILED(hr)) return hr;
  return scope->get() != nullptr ? S_OK : kEPointer;
}

bool UsableUrl(const std::u16string& url) { return !url.empty() && !HasEmbeddedNul(url); }

class WindowsSearchIndexer final : public SearchIndexer {
 public:
  HResult AddScopeRule(const std::u16string& url) override {
    if (!UsableUrl(url)) return kEInvalidArg;
    // Declared first so that every COM object below is released before the apartment is left.
    const ComScope com;
    if (FAILED(com.status())) return com.status();
    Ref<CrawlScopeManager> scope;
    HRESULT hr = OpenCrawlScope(&scope);
    if (FAILED(hr)) return hr;
    hr = scope.get()->vtbl->AddDefaultScopeRule(scope.get(), Wide(url), TRUE, kFollowComplexUrls);
    if (FAILED(hr)) return hr;
    return scope.get()->vtbl->SaveAll(scope.get());
  }

  HResult RemoveScopeRule(const std::u16string& url) override {
    if (!UsableUrl(url)) return kEInvalidArg;
    const ComScope com;
    if (FAILED(com.status())) return com.status();
    Ref<CrawlScopeManager> scope;
    HRESULT hr = OpenCrawlScope(&scope);
    if (FAILED(hr)) return hr;
    hr = scope.get()->vtbl->RemoveDefaultScopeRule(scope.get(), Wide(url));
    if (FAILED(hr)) return hr;
    return scope.get()->vtbl->SaveAll(scope.get());
  }

  // Answered by whether the crawl scope includes `url`, which is what AddScopeRule's rule brings
  // about (a rule on a folder above it does too). Any failure to ask counts as no rule.
  bool HasScopeRule(const std::u16string& url) override {
    if (!UsableUrl(url)) return false;
    const ComScope com;
    if (FAILED(com.status())) return false;
    Ref<CrawlScopeManager> scope;
    if (FAILED(OpenCrawlScope(&scope))) return false;
    BOOL included = FALSE;
    const HRESULT hr = scope.get()->vtbl->IncludedInCrawlScope(scope.get(), Wide(url), &included);
    return SUCCEEDED(hr) && included != FALSE;
  }
};

}  // namespace

std::unique_ptr<SearchIndexer> NewWindowsSearchIndexer() { return std::make_unique<WindowsSearchIndexer>(); }

}  // namespace ostrasync::platform
