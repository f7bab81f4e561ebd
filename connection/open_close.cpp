// OpenComm, CloseComm, ControlOn and ControlOff: short fixed sequences of
// port-layer calls on the slot PortComm names, made through the object's own
// interface.
#include <string>

#include "component/comms_object.h"

namespace kavrel {

namespace {

// One failure-ignoring step of ControlOn/ControlOff: CommSetLine and the
// store of its status.
void SetLineIgnoringFailure(CommsObject* o, short line, VARIANT_BOOL state) {
  IgnoringFailure([&] {
    short slot = o->portComm;
    short lineNumber = line;
    VARIANT_BOOL value = state;
    LONG status = 0;
    Check(o->self()->CommSetLine(&slot, &lineNumber, &value, &status));
    o->threadState().lngStatus = status;
  });
}

}  // namespace

HRESULT CommsObject::OpenComm() {
  return Published(this, [&] {
    Check(self()->CloseComm());

    short slot = portComm;
    BSTR settings = nullptr;
    const HRESULT built = self()->settingeval(&baudComm, &settings);
    Bstr mode = Bstr::Attach(settings);
    Check(built);
    Bstr name(u"COM" + U16(std::to_string(slot)));

    LONG status = 0;
    Check(self()->CommOpen(&slot, name.out(), mode.out(), &status));
    threadState().lngStatus = status;

    if (threadState().lngStatus != 0) {
      statusComm = VARIANT_FALSE;
      return;
    }
    statusComm = VARIANT_TRUE;
    Check(self()->ControlOn());
    Check(self()->looprocess());
  });
}

HRESULT CommsObject::CloseComm() {
  return Published(this, [&] {
    threadState().intLoopState = 4;
    LONG wait = 100;
    Check(self()->waitnow(&wait));
    IgnoringFailure([&] {
      short slot = portComm;
      LONG status = 0;
      Check(self()->CommClose(&slot, &status));
      threadState().lngStatus = status;
    });
  });
}

// Raises RTS, then DTR.
HRESULT CommsObject::ControlOn() {
  return Published(this, [&] {
    SetLineIgnoringFailure(this, 3, VARIANT_TRUE);
    SetLineIgnoringFailure(this, 2, VARIANT_TRUE);
  });
}

// Lowers RTS, then DTR.
HRESULT CommsObject::ControlOff() {
  return Published(this, [&] {
    SetLineIgnoringFailure(this, 3, VARIANT_FALSE);
    SetLineIgnoringFailure(this, 2, VARIANT_FALSE);
  });
}

}  // namespace kavrel
