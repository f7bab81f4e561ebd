// CommGetLine and CommSetLine.
#include "component/comms_object.h"

namespace kavrel {

HRESULT CommsObject::CommGetLine(short*, short*, VARIANT_BOOL*, LONG*) { return E_NOTIMPL; }
HRESULT CommsObject::CommSetLine(short*, short*, VARIANT_BOOL*, LONG*) { return E_NOTIMPL; }

}  // namespace kavrel
