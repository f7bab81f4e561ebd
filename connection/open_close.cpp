// OpenComm, CloseComm, ControlOn and ControlOff.
#include "component/comms_object.h"

namespace kavrel {

HRESULT CommsObject::OpenComm() { return E_NOTIMPL; }
HRESULT CommsObject::CloseComm() { return E_NOTIMPL; }
HRESULT CommsObject::ControlOn() { return E_NOTIMPL; }
HRESULT CommsObject::ControlOff() { return E_NOTIMPL; }

}  // namespace kavrel
