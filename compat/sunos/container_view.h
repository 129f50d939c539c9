// The arithmetic of the container view of the live source: the container's
// CPU counters as a Solaris processor set's, and its memory as physical and
// free memory. Pure functions on the cgroup figures, for the source and its tests.
#ifndef SUNOS_CONTAINER_VIEW_H
#define SUNOS_CONTAINER_VIEW_H

#include "common/linux/cgroup.h"

#include <stdint.h>

// The emulated processors count ticks of 1/100 s, as /proc/stat does.
constexpr uint64_t CONTAINER_NANOS_PER_TICK = 10000000;

// Busy and idle time of a container, in nanoseconds: busy grows with its CPU
// usage counter, idle by what that growth left of the allowance over the
// elapsed time. busy / (busy + idle) over any interval is then the usage
// over elapsed × allowance, at most all of it. A quota is spent in bursts
// (all processors for part of a period, then none), so a short interval may
// use more than its share: the excess is carried over against the idle time
// of the next ones instead of being dropped.
struct ContainerCpuClock {
    bool started;
    int64_t lastUsage;
    int64_t lastTime;
    uint64_t busyNanos;
    uint64_t idleNanos;
    double capacityNanos; // busy at the start plus elapsed × allowance since
};

// Moves the clock to usageNanos at nowNanos (a monotonic clock), with
// allowance processors (fractional).
void containerCpuAdvance(ContainerCpuClock* clock, int64_t usageNanos, int64_t nowNanos, double allowance);

// The machine's memory and free memory in kB, as the memory limit of the
// figures lowers them: the smaller of the machine's memory and the limit, and
// the limit less the working set, never above the machine's free memory,
// never below 0. Without a limit both stay the machine's.
void containerMemory(const CgroupFigures& figures, uint64_t* totalKb, uint64_t* freeKb);

#endif
