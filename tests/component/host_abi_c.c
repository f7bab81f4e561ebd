/* The public headers compile as C. */
#include "kavrel/kavrel.h"
int kavrel_c_header_check(void) { return (int)sizeof(_commsVtbl); }
