// Readers of the system's process and thread times, the processor count and
// the ids of the calling process and thread. Times are file times:
// 100-nanosecond units (a count of them since 1601 for points in time).
#pragma once

#include "common/win32.h"
#include "procload/procload_platform.h"

#include <cstdint>

constexpr uint64_t FILETIME_UNITS_PER_SECOND = 10000000;

struct ProcessTimes {
    uint64_t creation; // system time when the process was created
    uint64_t kernel;   // CPU time spent in the kernel, all threads
    uint64_t user;     // and in user mode
};

// Where process times come from: GetProcessTimes. Wine answers the caller's
// own kernel and user times for any process; tests under wine put a reader of
// their own in its place.
extern BOOL(WINAPI* processTimesReader)(HANDLE process, FILETIME* creation, FILETIME* exit, FILETIME* kernel,
                                        FILETIME* user);

// The times of the process processId and the system time right after they
// were read (the end of the interval they measure). False when there is no
// such running process: an id of 0 or below, a process that cannot be opened
// (gone, or not ours to read) or one that has ended but is still held open.
bool readProcessTimes(int32_t processId, ProcessTimes* times, uint64_t* now);

// The library's own process, through the handle initStats takes; false
// before initStats. Callers hold the meter's lock.
void takeOwnProcessHandle();
bool readOwnProcessTimes(ProcessTimes* times, uint64_t* now);

// Kernel plus user time of a running thread, or of a running process. A
// thread id is a 32-bit Windows id; larger values and 0 name no thread.
bool readThreadCpu(int64_t threadId, uint64_t* units);
bool readProcessCpu(int32_t processId, uint64_t* units);

// The same in seconds (RTP_getThreadCPU_Ticks, RTP_getProcLoad_Ticks of
// procload_platform.h) are 0 when they cannot be read; the thread reader
// writes its debug line with the system errors of the open and the read.

// Processors of the machine, at least 1.
int32_t getNumProcessors();
