// The processes a process started: its direct children and the members of the
// process group it leads, from one pass over the /proc listing.
#pragma once

#include <cstdint>
#include <jni.h>

constexpr int32_t DESCENDANTS_MAX_SIZE = 1024;

extern "C" {
// Writes at most maximum (and at most 1024) ids into ids; answers how many.
JNIEXPORT int32_t getProcessId_Descendants(int32_t processID, int32_t maximum, int32_t* ids);
}
