// CommRead and CommWrite.
#include "component/comms_object.h"

namespace kavrel {

HRESULT CommsObject::CommRead(short*, BSTR*, LONG*, LONG*) { return E_NOTIMPL; }
HRESULT CommsObject::CommWrite(short*, BSTR*, LONG*) { return E_NOTIMPL; }

}  // namespace kavrel
