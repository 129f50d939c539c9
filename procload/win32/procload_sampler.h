// What the shared natives (procload/procload_natives.cpp) call on Windows: the
// process and thread time readers, the load samples and the descendant
// listing.
#pragma once

#include "procload/win32/cpu_utilisation.h"
#include "procload/win32/descendants.h"
#include "procload/win32/process_times.h"
