// The connection properties and the two support members settingeval and
// waitnow.
#include <string>

#include "component/comms_object.h"

namespace kavrel {

HRESULT CommsObject::get_Version(BSTR* result) {
  if (!result) return E_POINTER;
  TextResult text(result);
  return Published(this, [&] {
    text.Set(u"1.1");
    text.Deliver();
  });
}

HRESULT CommsObject::get_Company(BSTR* result) {
  if (!result) return E_POINTER;
  TextResult text(result);
  return Published(this, [&] {
    text.Set(u"Wendaskorve for Tivorand");
    text.Deliver();
  });
}

HRESULT CommsObject::put_BaudComm(LONG vData) {
  return Published(this, [&] { baudComm = vData; });
}

HRESULT CommsObject::get_BaudComm(LONG* result) {
  if (!result) return E_POINTER;
  *result = 0;
  return Published(this, [&] { *result = baudComm; });
}

HRESULT CommsObject::put_PortComm(short vData) {
  return Published(this, [&] { portComm = vData; });
}

HRESULT CommsObject::get_PortComm(short* result) {
  if (!result) return E_POINTER;
  *result = 0;
  return Published(this, [&] { *result = portComm; });
}

HRESULT CommsObject::get_StatusComm(VARIANT_BOOL* result) {
  if (!result) return E_POINTER;
  *result = 0;
  return Published(this, [&] { *result = statusComm; });
}

HRESULT CommsObject::get_ReadBuffer(BSTR* result) {
  if (!result) return E_POINTER;
  TextResult text(result);
  return Published(this, [&] {
    text.Set(readBuffer.view());
    text.Deliver();
  });
}

// "baud=" + the speed in decimal + " parity=N data=8 stop=1"; nothing is
// validated here (the platform's mode-string parser decides later).
HRESULT CommsObject::settingeval(LONG* p1, BSTR* result) {
  if (!result) return E_POINTER;
  TextResult text(result);
  if (!p1) return E_POINTER;
  return Published(this, [&] {
    text.Set(u"baud=" + U16(std::to_string(*p1)) + u" parity=N data=8 stop=1");
    text.Deliver();
  });
}

// Blocks the thread for valu1 milliseconds without pumping messages; a
// negative value returns at once without a platform call.
HRESULT CommsObject::waitnow(LONG* valu1) {
  if (!valu1) return E_POINTER;
  return Published(this, [&] {
    if (*valu1 < 0) return;
    device().SleepEx(static_cast<DWORD>(*valu1), FALSE);
  });
}

}  // namespace kavrel
