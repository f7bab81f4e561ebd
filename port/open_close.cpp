// CommOpen, CommSet, CommClose and CommFlush.
#include "component/comms_object.h"

namespace kavrel {

HRESULT CommsObject::CommOpen(short*, BSTR*, BSTR*, LONG*) { return E_NOTIMPL; }
HRESULT CommsObject::CommSet(short*, BSTR*, LONG*) { return E_NOTIMPL; }
HRESULT CommsObject::CommClose(short*, LONG*) { return E_NOTIMPL; }
HRESULT CommsObject::CommFlush(short*, LONG*) { return E_NOTIMPL; }
void CommsObject::CloseOpenPortsAtRelease() {}

}  // namespace kavrel
