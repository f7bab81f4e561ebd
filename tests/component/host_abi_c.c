/* The public headers compile as C. */
#include "kavrel/kavrel.h"
#include "kavrel/kavrel_create.h"
typedef HRESULT (*kavrel_create_fn)(const char*, REFIID, void**);
int kavrel_c_header_check(void) {
  /* The comparison checks KavrelCreateObject's type; sizeof leaves it
     unevaluated, so this program (which loads the library at run time) does
     not link against it. */
  return (int)sizeof(_commsVtbl) + (int)sizeof(&KavrelCreateObject == (kavrel_create_fn)0);
}
