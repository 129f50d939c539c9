// CPU utilisation of processes on Windows: the share of the whole machine's
// processor capacity a process used since its creation or since the previous
// sample of it, in percent, from the kernel and user times the system keeps
// for every process.
#pragma once

#include "procload/procload_platform.h"

#include <cstdint>

// cpu units of CPU time over elapsed units of time, in percent of processors
// processors; 0 when elapsed is not positive, and at most 100 (CPU time is
// charged in clock ticks, so a short interval can hold more than it lasted).
double machinePercent(uint64_t cpu, int64_t elapsed, int32_t processors);

// getProcLoad (procload_platform.h), since creation: each process over its
// whole life; 0.0 for ids that name no running process. getProcLoadLast,
// since the previous since-last-call sample of each process, kept in its
// slot; a process's first sample measures from its creation. One batch: an id
// that appears again answers 0.0 and leaves its slot as the first occurrence
// left it.

// The library's own process. initStats clears its sample, so that the next
// since-last-call figure measures from the process's creation.
void clearOwnSample();
double ownLoadSinceCreation(const char* label);
double ownLoadSinceLastCall(const char* label);
