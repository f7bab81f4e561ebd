/* Every public header, twice, as a host includes them: built as C and as C++
 * in each language mode with -Wpedantic -Werror (run_consumer_tests.sh), so
 * that a construct outside the standard a host compiles with breaks here
 * first. Linked from two translation units, to catch a definition in a
 * header that would be duplicated. The sizes are those of the Windows
 * layouts of the same types. */
#include <kavrel/automation.h>
#include <kavrel/kavrel.h>
#include <kavrel/kavrel_create.h>
#include <kavrel/kavrel.h>
#include <kavrel/kavrel_create.h>

#define KAVREL_SIZE_IS(type, size) typedef char size_of_##type[sizeof(type) == (size) ? 1 : -1]
KAVREL_SIZE_IS(GUID, 16);
KAVREL_SIZE_IS(CY, 8);
KAVREL_SIZE_IS(DECIMAL, 16);
KAVREL_SIZE_IS(VARIANT, 8 + 2 * sizeof(void*));
KAVREL_SIZE_IS(DISPPARAMS, 8 + 2 * sizeof(void*));
KAVREL_SIZE_IS(OLECHAR, 2);
KAVREL_SIZE_IS(LONG, 4);
KAVREL_SIZE_IS(VARIANT_BOOL, 2);

#ifdef KAVREL_HEADERS_MAIN
int kavrel_headers_other(void);
int main(void) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = 7;
  return kavrel_headers_other() == (int)CLSID_comms.Data1 && V_I4(&v) == 7 ? 0 : 1;
}
#else
int kavrel_headers_other(void);
int kavrel_headers_other(void) { return (int)CLSID_comms.Data1; }
#endif
