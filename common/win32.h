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

// The entry point name of module as a function of type F, or null when the
// module lacks it.  (The detour through void (*)() is the cast the compiler
// accepts between unrelated function types.)
template <typename F> F procAddress(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
