// Parsers for the Linux files behind the live source.  Each is a pure function
// on the text of one file, so the tests feed them fixture text.
#ifndef SUNOS_LINUX_PARSE_H
#define SUNOS_LINUX_PARSE_H

#include <stddef.h>
#include <stdint.h>

// One "cpuN" line of /proc/stat, in ticks.
struct LinuxCpuTicks {
    int id;
    uint64_t user, nice, system, idle, iowait, irq, softirq, steal;
};

// The per-processor lines of /proc/stat in file order (not the "cpu" total);
// returns how many were stored, at most max.
int parseProcStatCpus(const char* text, LinuxCpuTicks* out, int max);

// The Solaris processor states of one "cpuN" line, in the order of
// cpu_sysinfo.cpu[] (idle, user, kernel, wait), each modulo 2^32.
void solarisCpuStates(const LinuxCpuTicks* ticks, uint32_t states[4]);

// The boot time of /proc/stat ("btime"), in seconds since the epoch.
bool parseProcStatBtime(const char* text, uint64_t* seconds);

// The value of "<key>:" in /proc/meminfo, in kB.
bool parseMeminfoKb(const char* text, const char* key, uint64_t* kb);

// Free memory as the "freemem" of system_pages counts it, in kB.
bool parseMeminfoFreeKb(const char* text, uint64_t* kb);

// The "cpu MHz" of the block "processor : <processor>" of /proc/cpuinfo,
// rounded to whole MHz.
bool parseCpuinfoMhz(const char* text, int processor, int* mhz);

// The fields of /proc/<pid>/stat the psinfo record needs.
struct LinuxProcessStat {
    int pid;
    char comm[16];
    char state;
    int ppid, pgrp, session;
    int ttyNr;
    long numThreads;
    unsigned long long startTicks; // since boot
};
bool parseProcessStat(const char* text, LinuxProcessStat* out);

// The first two fields of /proc/<pid>/statm: program size and resident set, in pages.
bool parseStatm(const char* text, uint64_t* sizePages, uint64_t* residentPages);

#endif
