/* The public headers compile as C. */
#include "kavrel/kavrel.h"
#include "kavrel/kavrel_create.h"
int kavrel_c_header_check(void) {
  HRESULT (*create)(const char*, REFIID, void**) = &KavrelCreateObject;
  (void)create;
  return (int)sizeof(_commsVtbl);
}
