// Readers of the Linux process file system and the clocks: machine-wide CPU
// counters, the stat file of a process or thread and the two /proc layouts.
// The liveness probe, the ids and the CPU clocks of threads and processes,
// which the shared code asks for, are declared in procload_platform.h.
#pragma once

#include <cstdint>
#include <jni.h>
#include <sys/types.h>

// One process or thread as read from its stat file.
struct ProcStatRecord {
    int32_t pid;      // from the directory entry; 0 marks a record that could not be read
    int32_t ppid;     // field 4
    int32_t pgrp;     // field 5
    int32_t childPid; // a direct child seen by the last scan (the process's own record only)
    char state;       // field 3 when it is one of D R S T W Z
    uint64_t ticks;   // fields 14 + 15 (utime + stime), clock ticks of 1/100 s
};

// The machine-wide "cpu " line of /proc/stat.
struct CpuStats {
    uint64_t user;
    uint64_t nice;
    uint64_t system;
    uint64_t idle;
    uint64_t iowait;
    uint64_t steal;
    uint64_t irq;
    uint64_t softirq;
    uint64_t guest;
    uint64_t total;
    uint64_t busy;
    uint64_t stealTotal;
    uint64_t idleTotal;
};

// Fields of a stat file beyond the record, for the callers that need them.
struct ProcStatExtras {
    int64_t numThreads; // field 20: threads of the whole thread group
    uint64_t startTime; // field 22: start of the process, in clock ticks after boot
};

// Stat files give CPU time in ticks of 1/100 s whatever the kernel's tick rate.
constexpr uint64_t NANOS_PER_TICK = 10000000;

// The two layouts of /proc: threads under /proc/<pid>/task, or every entry of
// interest (dotted thread entries included) listed in /proc itself.
constexpr int PROC_LAYOUT_FLAT = 0;
constexpr int PROC_LAYOUT_TASK = 1;

// Root of the process file system. Only tests point it at a fixture tree.
extern const char* procRoot;

// Pure scanner of the text of a stat file: the fields after the last ")" of
// the command name. Answers false (and leaves the record's pid alone) when the
// text has no "(" ... ")" or ends before stime; extras may be null.
bool parseStatText(const char* text, ProcStatRecord* record, ProcStatExtras* extras);

// The record and extras from the fields the shared stat scanner read, whose
// last field was lastField (-1 for a file that could not be read); false,
// record untouched, for a stat text cut before stime.
struct ProcStatFields;
bool takeStatFields(const ProcStatFields& fields, int lastField, ProcStatRecord* record, ProcStatExtras* extras);

// Pure scanner of the "cpu " line of /proc/stat (the whole line, "cpu " included).
void parseCpuStatsLine(const char* line, CpuStats* stats);

// The directory-name rule of every /proc scan: digits, or a dot and digits
// (a thread entry of the flat layout). Answers false for any other name.
bool procEntryId(const char* name, int32_t* id);

// Reads one stat file at path: one open, one read of at most 4095 bytes, one
// close. Sets pid to 0 when the file cannot be read or parsed.
void readStatFile(const char* path, ProcStatRecord* record, ProcStatExtras* extras);

// The stat file of process pid: its main thread's in the task layout, else
// its own in the flat layout. Answers the layout it was read in, or -1 (pid 0
// in the record) when neither can be read.
int readProcessStatFile(int32_t pid, ProcStatRecord* record, ProcStatExtras* extras);

// CPU time of the whole process in nanoseconds, every thread that ever ran
// included: the kernel's process CPU clock, or fields 14 and 15 of the
// process's stat file where that clock cannot be read. False when neither is.
bool readProcessCpuNanos(int32_t pid, uint64_t* nanos);

// Seconds since boot, the first figure of the uptime file (the clock that
// stat field 22 counts from). False when it cannot be read.
bool readUptime(double* seconds);

extern "C" {
JNIEXPORT int readCpuStats(CpuStats* stats);
JNIEXPORT void readSingleProcFromStatFile(const ProcStatRecord* owner, const char* entryName, ProcStatRecord* record,
                                          int redHat40);
JNIEXPORT void RTP_readSingleProcFromStatFile(int32_t processId, const char* entryName, ProcStatRecord* record,
                                              int redHat40);
JNIEXPORT int isRedHat40(int32_t processId);
JNIEXPORT int32_t getProcessGroupId(int32_t processId, int redHat40);
JNIEXPORT double getTOD();
JNIEXPORT int32_t getNumProcessors();
}

// Online processors, at least 1 once set: inside CPU limits the whole number
// of processors they allow.
extern int32_t nProcessors;
// The processors the percentages are of: nProcessors, or inside a CPU quota
// the fractional allowance quota / period.
extern double processorAllowance;

// Reads the limits again (getNumProcessors) when /proc is the live system's
// and the container view is on.
void refreshProcessorAllowance();
