// Type information. On Windows it comes from the type library embedded in
// the module as resource TYPELIB 1, so that early-binding hosts and object
// browsers see the class. Linux has no type library: late binding works by
// name and member id through the member table alone.
#include "component/comms_object.h"

#if defined(_WIN32)
#include "platform/win32/module.h"
#endif

namespace kavrel {

#if defined(_WIN32)

namespace {

// The type description of guid from the module's own type library.
// oleaut32 keeps loaded libraries cached, so this stays cheap.
HRESULT EmbeddedTypeInfo(const GUID& guid, ITypeInfo** out) try {
  const std::wstring path = platform::win32::ThisModulePath();
  if (path.empty()) return TYPE_E_CANTLOADLIBRARY;
  ITypeLib* library = nullptr;
  HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
  if (FAILED(hr)) return hr;
  hr = library->GetTypeInfoOfGuid(guid, out);
  library->Release();
  return hr;
} catch (...) {
  return E_OUTOFMEMORY;
}

}  // namespace

HRESULT CommsObject::GetTypeInfoCount(UINT* pctinfo) {
  return apartment_.Enter([&]() -> HRESULT {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
  });
}

HRESULT CommsObject::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
  return apartment_.Enter([&]() -> HRESULT {
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    return EmbeddedTypeInfo(IID__comms, ppTInfo);
  });
}

HRESULT CommsObject::GetClassInfo(ITypeInfo** ppTI) {
  return apartment_.Enter([&]() -> HRESULT {
    if (!ppTI) return E_POINTER;
    *ppTI = nullptr;
    return EmbeddedTypeInfo(CLSID_comms, ppTI);
  });
}

#else

HRESULT CommsObject::GetTypeInfoCount(UINT* pctinfo) {
  return apartment_.Enter([&]() -> HRESULT {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
  });
}

HRESULT CommsObject::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  return apartment_.Enter([&]() -> HRESULT {
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = nullptr;
    return DISP_E_BADINDEX;
  });
}

HRESULT CommsObject::GetClassInfo(ITypeInfo** ppTI) {
  return apartment_.Enter([&]() -> HRESULT {
    if (!ppTI) return E_POINTER;
    *ppTI = nullptr;
    return E_NOTIMPL;
  });
}

#endif

}  // namespace kavrel
