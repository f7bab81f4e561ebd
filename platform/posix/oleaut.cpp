// The automation helpers Windows has in oleaut32, for Linux hosts: BSTR
// allocation, VARIANT initialisation and clearing, and the thread's error
// information object.
#include "platform/posix/oleaut.h"

// Exported from libkavrel.so; everything else in the library is hidden.
#define KAVREL_PUBLIC __attribute__((visibility("default")))

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/hot_path.h"

namespace {

using kavrel::platform::posix::kBstrPrefix;

uint32_t* PrefixOf(BSTR s) {
  return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(s) - kBstrPrefix);
}

// As oleaut32 keeps freed strings for the next allocation, each thread keeps
// one freed empty string: the text a poll of an idle port hands the host,
// which frees it before the next poll. Not in a build under AddressSanitizer
// (every string its own, so that a use after free is caught), nor with
// OANOCACHE set, the variable that turns oleaut32's cache off.
#if defined(__SANITIZE_ADDRESS__)
#define KAVREL_NO_STRING_CACHE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVREL_NO_STRING_CACHE 1
#endif
#endif

// Plain data, emptied by a separate object when the thread ends: the
// compiler may drop what a destructor stores into its own dying object, and
// the marks below must survive the cache's end (other objects of the thread,
// destroyed after it, still free strings).
struct EmptyStringCache {
  void* block = nullptr;
  bool gone = false;  // the thread is ending: strings its other objects free are freed
};
constinit thread_local EmptyStringCache tEmptyString;

struct EmptyStringCacheEnd {
  ~EmptyStringCacheEnd() {
    std::free(tEmptyString.block);
    tEmptyString.block = nullptr;
    tEmptyString.gone = true;
  }
};
thread_local EmptyStringCacheEnd tEmptyStringEnd;

// Keeps a block for the next empty string; the thread's end frees it.
void KeepEmptyBlock(void* block) {
  (void)&tEmptyStringEnd;
  tEmptyString.block = block;
}

bool StringCacheOn() {
#if defined(KAVREL_NO_STRING_CACHE)
  return false;
#else
  static const bool on = std::getenv("OANOCACHE") == nullptr;
  return on;
#endif
}

BSTR AllocateEmptyBstr() {
  void* block = tEmptyString.block;
  if (!block) return kavrel::platform::posix::NewBstrBlock(0);
  tEmptyString.block = nullptr;
  const uint32_t length = 0;
  std::memcpy(block, &length, kBstrPrefix);
  const BSTR s = reinterpret_cast<BSTR>(static_cast<char*>(block) + kBstrPrefix);
  s[0] = 0;
  return s;
}

}  // namespace

// Without pch the characters are zeros (Windows leaves them unset; a caller
// is never handed what the heap held before).
extern "C" KAVREL_PUBLIC KAVREL_HOT_PATH BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
  if (cch == 0) return AllocateEmptyBstr();
  const BSTR s = kavrel::platform::posix::NewBstrBlock(cch);
  if (!s) return nullptr;
  if (pch) {
    std::memcpy(s, pch, static_cast<size_t>(cch) * sizeof(OLECHAR));
  } else {
    std::memset(s, 0, static_cast<size_t>(cch) * sizeof(OLECHAR));
  }
  return s;
}

extern "C" KAVREL_PUBLIC BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  UINT n = 0;
  while (psz[n]) ++n;
  return SysAllocStringLen(psz, n);
}

extern "C" KAVREL_PUBLIC KAVREL_HOT_PATH void SysFreeString(BSTR bstr) {
  if (!bstr) return;
  if (*PrefixOf(bstr) == 0 && !tEmptyString.block && !tEmptyString.gone && StringCacheOn()) {
    KeepEmptyBlock(PrefixOf(bstr));
    return;
  }
  std::free(PrefixOf(bstr));
}

extern "C" KAVREL_PUBLIC KAVREL_HOT_PATH UINT SysStringLen(BSTR bstr) {
  return bstr ? *PrefixOf(bstr) / sizeof(OLECHAR) : 0;
}

extern "C" KAVREL_PUBLIC KAVREL_SCRIPT_PATH void VariantInit(VARIANT* pvarg) {
  if (pvarg) {
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  }
}

extern "C" KAVREL_PUBLIC KAVREL_SCRIPT_PATH HRESULT VariantClear(VARIANT* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (!(pvarg->vt & VT_BYREF)) {
    switch (pvarg->vt) {
      case VT_BSTR:
        SysFreeString(pvarg->bstrVal);
        break;
      case VT_DISPATCH:
      case VT_UNKNOWN:
        if (pvarg->punkVal) pvarg->punkVal->Release();
        break;
      default:
        break;
    }
  }
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  pvarg->llVal = 0;
  return S_OK;
}

namespace {

class ErrorInfoObject final : public IErrorInfo {
 public:
  ErrorInfoObject(const GUID& guid, BSTR source, BSTR description)
      : guid_(guid), source_(source), description_(description) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
      *ppv = static_cast<IErrorInfo*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) override {
    if (!pGUID) return E_INVALIDARG;
    *pGUID = guid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return CopyOut(source_, out); }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override {
    return CopyOut(description_, out);
  }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return CopyOut(nullptr, out); }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* out) override {
    if (!out) return E_INVALIDARG;
    *out = 0;
    return S_OK;
  }

 private:
  ~ErrorInfoObject() {
    SysFreeString(source_);
    SysFreeString(description_);
  }
  static HRESULT CopyOut(BSTR s, BSTR* out) {
    if (!out) return E_INVALIDARG;
    *out = s ? SysAllocStringLen(s, SysStringLen(s)) : nullptr;
    return (s && !*out) ? E_OUTOFMEMORY : S_OK;
  }

  std::atomic<ULONG> refs_{1};
  GUID guid_;
  BSTR source_;
  BSTR description_;
};

thread_local IErrorInfo* tErrorInfo = nullptr;

// Releases the thread's error information when the thread ends.
struct ErrorInfoSlotCleanup {
  ~ErrorInfoSlotCleanup() {
    if (tErrorInfo) tErrorInfo->Release();
    tErrorInfo = nullptr;
  }
};
thread_local ErrorInfoSlotCleanup tCleanup;

void ReplaceErrorInfo(IErrorInfo* info) {
  (void)&tCleanup;
  if (tErrorInfo) tErrorInfo->Release();
  tErrorInfo = info;
}

}  // namespace

extern "C" KAVREL_PUBLIC HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) {
  if (dwReserved != 0 || !pperrinfo) return E_INVALIDARG;
  *pperrinfo = tErrorInfo;
  tErrorInfo = nullptr;
  return *pperrinfo ? S_OK : S_FALSE;
}

namespace kavrel::platform::posix {

void SetThreadErrorInfo(const GUID& guid, const std::u16string& source,
                        const std::u16string& description) {
  BSTR s = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(source.data()),
                             static_cast<UINT>(source.size()));
  BSTR d = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(description.data()),
                             static_cast<UINT>(description.size()));
  if (!s || !d) {
    SysFreeString(s);
    SysFreeString(d);
    ReplaceErrorInfo(nullptr);
    return;
  }
  IErrorInfo* info = new (std::nothrow) ErrorInfoObject(guid, s, d);
  if (!info) {
    SysFreeString(s);
    SysFreeString(d);
  }
  ReplaceErrorInfo(info);
}

void ClearThreadErrorInfo() { ReplaceErrorInfo(nullptr); }

}  // namespace kavrel::platform::posix
