// The Windows host gauge: system CPU from the performance counters, free
// memory from the memory status, and the server process's own CPU from its
// process times.
#ifndef HOSTGAUGE_WIN32_HOSTGAUGE_H
#define HOSTGAUGE_WIN32_HOSTGAUGE_H

#include <stdint.h>

// Length of the counter set in the caller's state array: the address of the
// query cell (bytes 0-7), the address of the counter handles (8-15) and
// their number (16-19), in native byte order.
#define PDH_QUERY_INFO_BYTES 20

// Process CPU percentage of an interval: CPU time used (kernel and user, in
// 100-nanosecond units) over the elapsed time, spread over the processors,
// truncated toward zero and not capped at 100.  0 for an interval that is
// not positive, a negative delta or no processors.
int intervalPercent(int64_t kernelDelta, int64_t userDelta, int64_t elapsed, uint32_t processors);

// Available memory in kilobytes as the Java int answer; memory beyond what
// an int holds reads as the largest int.
int32_t availableKb(uint64_t bytes);

// A formatted "% Processor Time" value as a whole percentage, truncated
// toward zero; what lies outside 0 to 100 is taken as its nearest end.
uint32_t wholePercent(double value);

#endif
