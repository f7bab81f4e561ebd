// CommGetLine and CommSetLine.
#include "component/comms_object.h"
#include "port/port_steps.h"

namespace kavrel {

using port::AsStatus;
using port::StatusIn;

namespace {

// The EscapeCommFunction code for a line (1 break, 2 DTR, 3 RTS) and state;
// 0 for any other line, which the platform refuses.
DWORD LineFunction(short line, VARIANT_BOOL state) {
  switch (line) {
    case 1:
      return state ? SETBREAK : CLRBREAK;
    case 2:
      return state ? SETDTR : CLRDTR;
    case 3:
      return state ? SETRTS : CLRRTS;
    default:
      return 0;
  }
}

}  // namespace

// blnState becomes -1 when any bit of the mask intLine is on in the modem
// status word, 0 otherwise; it is left alone when the call fails. Failures are
// recorded under the name "CommReadCD".
HRESULT CommsObject::CommGetLine(short* intPortID, short* intLine, VARIANT_BOOL* blnState,
                                 LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  if (!intPortID || !intLine || !blnState) return E_POINTER;
  return port::StatusMember(*this, u"CommReadCD", result, [&] {
    PortSlot& slot = Slot(*intPortID);
    LONG& status = threadState().lngStatus;
    if (port::HoldsClosedDevice(slot)) {
      status = port::RefuseClosedSlot(*this, u"CommReadCD (GetCommModemStatus)");
      return;
    }
    DWORD modem = 0;
    status = AsStatus(device().GetCommModemStatus(slot.lngHandle, &modem));
    if (!status) {
      status = port::RecordDllFailure(*this, u"CommReadCD (GetCommModemStatus)");
      return;
    }
    const LONG mask = *intLine;  // widened with its sign: -1 covers every bit
    *blnState = (mask & static_cast<LONG>(modem)) ? VARIANT_TRUE : VARIANT_FALSE;
    status = 0;
  });
}

// Sets (blnState nonzero) or clears break, DTR or RTS (intLine 1, 2, 3).
HRESULT CommsObject::CommSetLine(short* intPortID, short* intLine, VARIANT_BOOL* blnState,
                                 LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  if (!intPortID || !intLine || !blnState) return E_POINTER;
  return port::StatusMember(*this, u"CommSetLine", result, [&] {
    const DWORD function = LineFunction(*intLine, *blnState);
    PortSlot& slot = Slot(*intPortID);
    LONG& status = threadState().lngStatus;
    if (port::HoldsClosedDevice(slot)) {
      status = port::RefuseClosedSlot(*this, u"CommSetLine (EscapeCommFunction)");
      return;
    }
    status = AsStatus(device().EscapeCommFunction(slot.lngHandle, function));
    status = status ? 0 : port::RecordDllFailure(*this, u"CommSetLine (EscapeCommFunction)");
  });
}

}  // namespace kavrel
