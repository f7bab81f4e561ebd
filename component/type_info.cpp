// Type information. Linux has no type library: late binding works by name
// and member id through the member table alone.
#include "component/comms_object.h"

namespace kavrel {

HRESULT CommsObject::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}

HRESULT CommsObject::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  if (!ppTInfo) return E_POINTER;
  *ppTInfo = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT CommsObject::GetClassInfo(ITypeInfo** ppTI) {
  if (!ppTI) return E_POINTER;
  *ppTI = nullptr;
  return E_NOTIMPL;
}

}  // namespace kavrel
