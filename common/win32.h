// The one header that includes <windows.h>.  Everything Windows-specific in
// this tree includes this file instead, so the macros that trim the header
// and the RAII handle type are the same everywhere.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "common/unique_handle.h"
