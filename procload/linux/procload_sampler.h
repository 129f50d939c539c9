// What the shared natives (procload/procload_natives.cpp) call on Linux: the
// /proc readers, the load samples and the descendant listing.
#pragma once

#include "procload/linux/cpu_utilisation.h"
#include "procload/linux/descendants.h"
#include "procload/linux/proc_stat.h"
