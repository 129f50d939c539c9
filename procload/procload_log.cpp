// The debug switch and the module name shared by every unit of the meter.
#include "procload/procload_log.h"

int32_t debugEnabled = 0;
const char* const thisModuleName = "ProcLoad";
