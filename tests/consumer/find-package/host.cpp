// Creates the comms object through the library's class factory, opens
// both ends of the built-in null-modem and sends a text across.
#include <kavrel/kavrel.h>

#include <cstdio>
#include <string>

int main() {
  IClassFactory* factory = nullptr;
  _comms* comms = nullptr;
  if (FAILED(
          DllGetClassObject(CLSID_comms, IID_IClassFactory, reinterpret_cast<void**>(&factory))) ||
      FAILED(factory->CreateInstance(nullptr, IID__comms, reinterpret_cast<void**>(&comms)))) {
    std::fprintf(stderr, "cannot create Kavrel.comms\n");
    return 1;
  }
  factory->Release();

  short a = 1, b = 2;
  BSTR nameA = SysAllocString(u"NULLMODEM0A"), nameB = SysAllocString(u"NULLMODEM0B");
  BSTR mode = SysAllocString(u"baud=9600 parity=N data=8 stop=1");
  BSTR text = SysAllocString(u"hello over the null-modem");
  LONG result = -1;
  comms->CommOpen(&a, &nameA, &mode, &result);
  comms->CommOpen(&b, &nameB, &mode, &result);
  comms->CommWrite(&a, &text, &result);

  std::u16string received;
  for (int tries = 0; tries < 100 && received.size() < SysStringLen(text); ++tries) {
    BSTR got = nullptr;
    LONG size = 64, wait = 10;
    comms->CommRead(&b, &got, &size, &result);
    if (got) received.append(got, SysStringLen(got));
    SysFreeString(got);
    if (result <= 0) comms->waitnow(&wait);
  }
  const bool same = received == std::u16string(text, SysStringLen(text));
  std::printf("%s\n", same ? "received the text" : "the text did not arrive");

  comms->CommClose(&a, &result);
  comms->CommClose(&b, &result);
  comms->Release();
  for (BSTR s : {nameA, nameB, mode, text}) SysFreeString(s);
  return same ? 0 : 1;
}
