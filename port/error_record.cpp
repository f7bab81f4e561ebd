// GetSystemMessage, CommGetError and the two record routines.
#include "component/comms_object.h"

namespace kavrel {

HRESULT CommsObject::GetSystemMessage(LONG*, BSTR* result) {
  if (result) *result = nullptr;
  return E_NOTIMPL;
}
HRESULT CommsObject::CommGetError(BSTR*, LONG*) { return E_NOTIMPL; }
HRESULT CommsObject::RecordDllError(BSTR*, LONG*) { return E_NOTIMPL; }
HRESULT CommsObject::RecordCommError(BSTR*, LONG*, LONG*) { return E_NOTIMPL; }

}  // namespace kavrel
