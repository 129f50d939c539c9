// Windows: the virtual machine's performance-data memory is not looked for;
// the heap in use comes only from the heap extension functions there.
#include "gcsentry/perfdata.h"

int perfdata_locateHeapSpaces(const volatile std::int64_t* /*used*/[PERFDATA_MAX_SPACES])
{
    return 0;
}
