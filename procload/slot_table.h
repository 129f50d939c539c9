// The table of per-process sampling memory: a fixed number of slots, each
// owned by one process id, handed out on first use, reused when free and
// reclaimed from processes that have gone once every slot has been handed out.
// The slot record and the table size belong to the platform (procload_platform.h).
#pragma once

#include "procload/procload_platform.h"

#include <mutex>

// One lock for everything the sampling calls share: the slot table, the batch
// state of since-last-call samples, the measurement of the library's own
// process and the platform's other sampling globals. Whatever reads or
// changes them holds it; Java calls them from many threads at once. It is
// recursive because the exported routines take it themselves and also call
// one another. An uncontended lock costs far less than one /proc read.
extern std::recursive_mutex procloadStateLock;
using ProcloadStateGuard = std::lock_guard<std::recursive_mutex>;

extern LastProcessSlot lastProcessInfo[PROCESS_ID_MAX_SIZE];
// Slots handed out so far; only grows.
extern int32_t lastProcessInfoSize;

// The liveness probe the table asks before reclaiming a slot: the pid when the
// process is still there, else 0. confirmProcessActive unless a test says otherwise.
extern int32_t (*slotLivenessProbe)(int32_t pid);

extern "C" {
PROCLOAD_INTERNAL int32_t lastProcessInfo_GetIndex(int32_t pid);
PROCLOAD_INTERNAL int32_t findExistingSlot(int32_t pid);
PROCLOAD_INTERNAL int32_t findFreeSlot();
PROCLOAD_INTERNAL int32_t cleanAndFindFreeSlot();
PROCLOAD_INTERNAL int32_t allocateNewSlot();
PROCLOAD_INTERNAL void debug_DumpPrivate(const char* label, const char* label2, const LastProcessSlot* lastInfo);
}
