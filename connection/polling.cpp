// ReadComm, ClearComm, WriteComm and the polling loop looprocess.
#include "component/comms_object.h"

namespace kavrel {

HRESULT CommsObject::ReadComm() { return E_NOTIMPL; }
HRESULT CommsObject::ClearComm() { return E_NOTIMPL; }
HRESULT CommsObject::WriteComm(BSTR*) { return E_NOTIMPL; }
HRESULT CommsObject::looprocess() { return E_NOTIMPL; }

}  // namespace kavrel
