// ProcLoad.dll exports the load hook and the natives only; the routines
// shared with the Linux build stay inside the library.
#pragma once

#define PROCLOAD_INTERNAL
