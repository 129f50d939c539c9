// The Solaris host gauge: system CPU and free memory from the kernel
// statistics, and the server process's own CPU from getrusage.
#ifndef HOSTGAUGE_SOLARIS_HOSTGAUGE_H
#define HOSTGAUGE_SOLARIS_HOSTGAUGE_H

#include <stdint.h>

// A CPU snapshot: idle, user, kernel and I/O wait ticks summed over every
// processor, each modulo 2^32, in the order of cpu_sysinfo.cpu[].
typedef struct {
    uint32_t ticks[4];
} cpu_info_t;

// Free physical memory in pages (a 64-bit count is kept whole).
typedef struct {
    uint64_t freemem;
} mem_info_t;

// Length of a snapshot in the caller's state array.
#define CPU_INFO_BYTES 16

int getCpuSnapshot(cpu_info_t* snapshot);
int computePercentCpu(const cpu_info_t* current, const cpu_info_t* previous);
int getFreeMemSnapshot(mem_info_t* snapshot);

// The process CPU arithmetic, apart from the clocks that feed it.
double rusageSeconds(long userSec, long userUsec, long systemSec, long systemUsec);
int clampPercent(double percent);
int intervalPercent(double usage, double lastUsage, double now, double lastTime, double processors);
int averagePercent(double usage, double now, double createTime, double processors);
// The processors the server may use: those online, or its zone's CPU cap
// (in processors) where that is smaller.
double processorShare();

#endif
