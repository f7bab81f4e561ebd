// CommOpen, CommSet, CommClose and CommFlush.
#include "component/comms_object.h"
#include "port/port_steps.h"

namespace kavrel {

using port::AsStatus;
using port::StatusIn;

namespace {

constexpr DWORD kQueueSize = 1024;

// Reads return at once with what is waiting, or wait up to a second for the
// request when nothing is; a write may take up to a second per byte.
COMMTIMEOUTS PortTimeouts() {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 1000;
  timeouts.WriteTotalTimeoutMultiplier = 1000;
  timeouts.WriteTotalTimeoutConstant = 0;
  return timeouts;
}

}  // namespace

// Opens the device strPort into the slot, sizes and empties its queues, sets
// the time-outs and applies the mode string. A slot in use is refused with
// -1. Once the device is open the slot stays open, whatever fails later.
HRESULT CommsObject::CommOpen(short* intPortID, BSTR* strPort, BSTR* strSettings, LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  if (!intPortID || !strPort || !strSettings) return E_POINTER;
  LONG status = 0;
  const HRESULT hr = Published(this, [&] {
    const auto trapped = port::PortTrap(*this, u"CommOpen", StatusIn::Member, [&] {
      PortSlot& slot = Slot(*intPortID);
      if (slot.blnOpen) {
        port::WriteErrorRecord(errorRecord, -1, u"CommOpen", u"Port in use.");
        status = -1;
        return;
      }
      const std::string name = ToAnsi(*strPort);
      slot.lngHandle = device().CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
      if (slot.lngHandle != platform::kInvalidHandle) slot.blnOpen = VARIANT_TRUE;
      AssignBstr(strPort, FromAnsi(name.data(), name.size()));
      if (!slot.blnOpen) {
        status = port::RecordDllFailure(*this, u"CommOpen (CreateFile)");
        return;
      }
      if (!device().SetupComm(slot.lngHandle, kQueueSize, kQueueSize)) {
        status = port::RecordDllFailure(*this, u"CommOpen (SetupComm)");
        return;
      }
      if (!device().PurgeComm(slot.lngHandle, port::kPurgeAll)) {
        status = port::RecordDllFailure(*this, u"CommOpen (PurgeComm)");
        return;
      }
      COMMTIMEOUTS timeouts = PortTimeouts();
      if (!device().SetCommTimeouts(slot.lngHandle, &timeouts)) {
        status = port::RecordDllFailure(*this, u"CommOpen (SetCommTimeouts)");
        return;
      }
      if (!device().GetCommState(slot.lngHandle, &slot.udtDCB)) {
        status = port::RecordDllFailure(*this, u"CommOpen (GetCommState)");
        return;
      }
      const std::string settings = ToAnsi(*strSettings);
      const BOOL built = device().BuildCommDCBA(settings.c_str(), &slot.udtDCB);
      AssignBstr(strSettings, FromAnsi(settings.data(), settings.size()));
      if (!built) {
        status = port::RecordModeStringFailure(*this, u"CommOpen (BuildCommDCB)");
        return;
      }
      if (!device().SetCommState(slot.lngHandle, &slot.udtDCB)) {
        status = port::RecordDllFailure(*this, u"CommOpen (SetCommState)");
        return;
      }
      status = 0;
    });
    if (trapped) status = *trapped;
  });
  *result = status;
  return hr;
}

// Applies a new mode string to the slot's device, refreshing the block from
// the device first. Queues and time-outs stay as CommOpen set them.
HRESULT CommsObject::CommSet(short* intPortID, BSTR* strSettings, LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  if (!intPortID || !strSettings) return E_POINTER;
  return port::StatusMember(*this, u"CommSet", result, [&] {
    PortSlot& slot = Slot(*intPortID);
    LONG& status = threadState().lngStatus;
    if (port::HoldsClosedDevice(slot)) {
      status = port::RefuseClosedSlot(*this, u"CommSet (GetCommState)");
      return;
    }
    status = AsStatus(device().GetCommState(slot.lngHandle, &slot.udtDCB));
    if (!status) {
      status = port::RecordDllFailure(*this, u"CommSet (GetCommState)");
      return;
    }
    const std::string settings = ToAnsi(*strSettings);
    status = AsStatus(device().BuildCommDCBA(settings.c_str(), &slot.udtDCB));
    AssignBstr(strSettings, FromAnsi(settings.data(), settings.size()));
    if (!status) {
      status = port::RecordModeStringFailure(*this, u"CommSet (BuildCommDCB)");
      return;
    }
    status = AsStatus(device().SetCommState(slot.lngHandle, &slot.udtDCB));
    status = status ? 0 : port::RecordDllFailure(*this, u"CommSet (SetCommState)");
  });
}

// Releases the slot's device. A slot that is not open is left alone (0); a
// failed CloseHandle leaves it open so that the call can be repeated.
HRESULT CommsObject::CommClose(short* intPortID, LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  if (!intPortID) return E_POINTER;
  return port::StatusMember(*this, u"CommClose", result, [&] {
    PortSlot& slot = Slot(*intPortID);
    LONG& status = threadState().lngStatus;
    if (!slot.blnOpen) {
      status = 0;
      return;
    }
    status = AsStatus(device().CloseHandle(slot.lngHandle));
    if (!status) {
      status = port::RecordDllFailure(*this, u"CommClose (CloseHandle)");
      return;
    }
    slot.blnOpen = VARIANT_FALSE;
    status = 0;
  });
}

// Empties both queues of the slot's device and ends pending transfers.
HRESULT CommsObject::CommFlush(short* intPortID, LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  if (!intPortID) return E_POINTER;
  return port::StatusMember(*this, u"CommFlush", result, [&] {
    PortSlot& slot = Slot(*intPortID);
    LONG& status = threadState().lngStatus;
    if (port::HoldsClosedDevice(slot)) {
      status = port::RefuseClosedSlot(*this, u"CommFlush (PurgeComm)");
      return;
    }
    const DWORD flags = keepQueuesOnFlush ? port::kPurgeKeepingQueued : port::kPurgeAll;
    status = AsStatus(device().PurgeComm(slot.lngHandle, flags));
    status = status ? 0 : port::RecordDllFailure(*this, u"CommFlush (PurgeComm)");
  });
}

}  // namespace kavrel
