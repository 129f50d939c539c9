// The thread handles the meter has handed out: the pthread_t of every thread
// that asked for its own handle, kept while that thread lives. Reading a
// thread's CPU clock dereferences its handle, so a clock is only read through
// a handle in this table; a handle of a thread that has ended, or a value that
// was never a handle, reads no clock.
#pragma once

#include <cstdint>

// Records the calling thread's handle until the thread ends, and answers it.
int64_t registerCurrentThread();

// The CPU time of the thread behind handle, in nanoseconds, when the handle
// is in the table. rc1 and rc2 are what pthread_getcpuclockid and
// clock_gettime answered (ESRCH and -1 when the handle is not in the table).
bool readRegisteredThreadCpu(int64_t handle, int* rc1, int* rc2, uint64_t* nanos);
