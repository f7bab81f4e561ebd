/* Creates the comms object by its name, "Kavrel.comms", as a script host
 * would, opens both ends of the built-in null-modem and sends a text
 * across. */
#include <kavrel/kavrel.h>
#include <kavrel/kavrel_create.h>
#include <stdio.h>
#include <string.h>

static void PrintError(void) {
  IErrorInfo* info = NULL;
  BSTR text = NULL;
  if (GetErrorInfo(0, &info) != S_OK || !info) return;
  info->lpVtbl->GetDescription(info, &text);
  info->lpVtbl->Release(info);
  fputs("reason: ", stderr);
  for (UINT i = 0; text && i < SysStringLen(text); ++i)
    fputc(text[i] < 0x80 ? text[i] : '?', stderr);
  fputc('\n', stderr);
  SysFreeString(text);
}

int main(void) {
  _comms* comms = NULL;
  HRESULT hr = KavrelCreateObject("Kavrel.comms", &IID__comms, (void**)&comms);
  if (FAILED(hr)) {
    fprintf(stderr, "cannot create Kavrel.comms: 0x%08X\n", (unsigned)hr);
    PrintError();
    return 1;
  }
  short a = 1, b = 2;
  BSTR nameA = SysAllocString(u"NULLMODEM0A"), nameB = SysAllocString(u"NULLMODEM0B");
  BSTR mode = SysAllocString(u"baud=9600 parity=N data=8 stop=1");
  BSTR text = SysAllocString(u"hello from C");
  LONG result = -1;
  comms->lpVtbl->CommOpen(comms, &a, &nameA, &mode, &result);
  comms->lpVtbl->CommOpen(comms, &b, &nameB, &mode, &result);
  comms->lpVtbl->CommWrite(comms, &a, &text, &result);

  OLECHAR received[64];
  UINT count = 0;
  for (int tries = 0; tries < 100 && count < SysStringLen(text); ++tries) {
    BSTR got = NULL;
    LONG size = 64, wait = 10;
    comms->lpVtbl->CommRead(comms, &b, &got, &size, &result);
    for (UINT i = 0; got && i < SysStringLen(got) && count < 64; ++i) received[count++] = got[i];
    SysFreeString(got);
    if (result <= 0) comms->lpVtbl->waitnow(comms, &wait);
  }
  const int same =
      count == SysStringLen(text) && memcmp(received, text, count * sizeof(OLECHAR)) == 0;
  printf("%s\n", same ? "received the text" : "the text did not arrive");

  comms->lpVtbl->CommClose(comms, &a, &result);
  comms->lpVtbl->CommClose(comms, &b, &result);
  comms->lpVtbl->Release(comms);
  SysFreeString(nameA);
  SysFreeString(nameB);
  SysFreeString(mode);
  SysFreeString(text);
  return same ? 0 : 1;
}
