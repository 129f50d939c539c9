// The processes a process started: its direct children and the members of the
// process group it leads, from one pass over the /proc listing.
#pragma once

#include <cstdint>

// The listing, getProcessId_Descendants, is declared in procload_platform.h.
constexpr int32_t DESCENDANTS_MAX_SIZE = 1024;
