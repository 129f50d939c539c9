// Diagnostics of the CPU meter: lines on standard output that start with the
// module name and a label, printed while the debug level set from Java is
// above 0. A few lines print whatever the level; those call printf directly.
#pragma once

#include "procload/procload_platform.h"

#include <cstdint>
#include <cstdio>

extern "C" {
// 0 off, 1 on, -1 while the sibling listing of getCPUUtilization(-1) runs.
PROCLOAD_INTERNAL extern int32_t debugEnabled;
}

// "ProcLoad", the first word of every diagnostic line.
extern const char* const thisModuleName;

inline bool procload_debugOn()
{
    return debugEnabled > 0;
}

// printf with the module name as the first argument, then a flush, when the
// debug level is above 0.
#define PROCLOAD_DEBUG(fmt, ...)                                                                                       \
    do {                                                                                                               \
        if (procload_debugOn()) {                                                                                      \
            printf(fmt, thisModuleName, __VA_ARGS__);                                                                  \
            fflush(stdout);                                                                                            \
        }                                                                                                              \
    } while (0)

// The same without the flush, for the few lines that are not flushed.
#define PROCLOAD_DEBUG_NOFLUSH(fmt, ...)                                                                               \
    do {                                                                                                               \
        if (procload_debugOn()) {                                                                                      \
            printf(fmt, thisModuleName, __VA_ARGS__);                                                                  \
        }                                                                                                              \
    } while (0)
