// CPU utilisation of processes: the share of the whole machine's processor
// capacity a process used since the start of measurement or since the
// previous sample of it, in percent (0 to 100).
#pragma once

#include "procload/linux/proc_stat.h"
#include "procload/procload_platform.h"

#include <cstdint>
#include <jni.h>
#include <sys/time.h>

// Entries counted during one batch of since-last-call samples, so that a
// process or thread is counted once per batch.
struct StatFileHistoryEntry {
    int32_t id;
    uint64_t ticks;
};
constexpr int STAT_FILE_HISTORY_SIZE = 1024;
extern StatFileHistoryEntry statFileHistoryInfo[STAT_FILE_HISTORY_SIZE];
extern int32_t statFileHistoryInfoIndex;
extern int32_t enableStatFileHistoryInfo;
// "Excessive thread creation" warnings printed so far; at most ten per library life.
extern int32_t excessThreadCounter;

// The machine's idle share (idle and I/O wait) between two readings of its
// counters, in thousandths of a percent; -1 when there is no figure.
int64_t idleShare(const CpuStats& current, const CpuStats& last);

// The idle share of a container: what its CPU usage counter did not use of
// its allowance (processors, fractional) over the elapsed time, in
// thousandths of a percent; -1 when there is no figure.
int64_t containerIdleShare(int64_t usageGrowthNanos, int64_t elapsedNanos, double allowance);

extern "C" {
// The process of one slot (a slot of the table, or the library's own
// process's): refTime equal to the slot's createTime asks since creation,
// else since its lastTime. The running total oldTime and the times are the
// slot's; startTime is the start time of the process the slot last saw. The
// running total, and myProc's ticks rebuilt from it, count nanoseconds of CPU
// time.
JNIEXPORT double getCPU(LastProcessSlot* slot, timeval refTime);
}
