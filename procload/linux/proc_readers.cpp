// Readers of /proc files and of the clocks, with the root of the process file
// system as their one setting (tests point it at a fixture tree).
#include "common/linux/cgroup.h"
#include "common/linux/proc_stat_text.h"
#include "procload/linux/proc_stat.h"
#include "procload/linux/thread_handles.h"
#include "procload/procload_log.h"
#include "procload/procload_platform.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

static const char* const defaultProcRoot = "/proc";
const char* procRoot = defaultProcRoot;
int32_t nProcessors = 0;
double processorAllowance = 0.0;

// Size of the paths built below: the root, two ids and an entry name.
static constexpr size_t PATH_SIZE = 512;

void readStatFile(const char* path, ProcStatRecord* record, ProcStatExtras* extras)
{
    ProcStatFields fields{};
    int lastField = readProcStatFile(path, &fields);
    if (!takeStatFields(fields, lastField, record, extras)) {
        record->pid = 0;
    }
}

int readProcessStatFile(int32_t pid, ProcStatRecord* record, ProcStatExtras* extras)
{
    char path[PATH_SIZE];
    record->pid = pid;
    snprintf(path, sizeof(path), "%s/%d/task/%d/stat", procRoot, pid, pid);
    readStatFile(path, record, extras);
    if (record->pid != 0) {
        return PROC_LAYOUT_TASK;
    }
    record->pid = pid;
    snprintf(path, sizeof(path), "%s/%d/stat", procRoot, pid);
    readStatFile(path, record, extras);
    return record->pid != 0 ? PROC_LAYOUT_FLAT : -1;
}

int readCpuStats(CpuStats* stats)
{
    *stats = CpuStats{};
    char path[PATH_SIZE];
    snprintf(path, sizeof(path), "%s/stat", procRoot);
    FILE* file = fopen(path, "re");
    if (file == nullptr) {
        if (procload_debugOn()) {
            int error = errno;
            printf("%s %s %s %s %s\n", thisModuleName, "readCpuStats", "OPEN ERROR", "/proc/stat", strerror(error));
            fflush(stdout);
        }
        return -1;
    }
    char line[8192];
    while (fgets(line, sizeof(line), file) != nullptr) {
        if (strncmp(line, "cpu ", 4) == 0) {
            parseCpuStatsLine(line, stats);
            fclose(file);
            return 0;
        }
    }
    fclose(file);
    return -1;
}

bool readUptime(double* seconds)
{
    char path[PATH_SIZE];
    snprintf(path, sizeof(path), "%s/uptime", procRoot);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[128];
    ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (n <= 0) {
        return false;
    }
    text[n] = '\0';
    double value = 0.0;
    if (parseDecimal(text, &value) == nullptr) {
        return false;
    }
    *seconds = value;
    return true;
}

void readSingleProcFromStatFile(const ProcStatRecord* owner, const char* entryName, ProcStatRecord* record,
                                int redHat40)
{
    RTP_readSingleProcFromStatFile(owner->pid, entryName, record, redHat40);
}

void RTP_readSingleProcFromStatFile(int32_t processId, const char* entryName, ProcStatRecord* record, int redHat40)
{
    char path[PATH_SIZE];
    if (redHat40 != PROC_LAYOUT_FLAT) {
        snprintf(path, sizeof(path), "%s/%d/task/%s/stat", procRoot, processId, entryName);
    } else {
        snprintf(path, sizeof(path), "%s/%s/stat", procRoot, entryName);
    }
    readStatFile(path, record, nullptr);
}

int isRedHat40(int32_t processId)
{
    char path[PATH_SIZE];
    snprintf(path, sizeof(path), "%s/%d/task", procRoot, processId);
    DIR* dir = opendir(path);
    if (dir != nullptr) {
        closedir(dir);
        return PROC_LAYOUT_TASK;
    }
    dir = opendir(procRoot);
    if (dir != nullptr) {
        closedir(dir);
        return PROC_LAYOUT_FLAT;
    }
    return -1;
}

int32_t getProcessGroupId(int32_t processId, int redHat40)
{
    char name[32];
    snprintf(name, sizeof(name), "%d", processId);
    ProcStatRecord record{};
    record.pid = processId;
    RTP_readSingleProcFromStatFile(processId, name, &record, redHat40);
    // An unreadable file leaves pgrp at 0; callers only compare it with the
    // groups of readable entries, and 0 is no user process's group.
    return record.pid != 0 ? record.pgrp : -1;
}

int32_t confirmProcessActive(int32_t processId)
{
    char path[PATH_SIZE];
    snprintf(path, sizeof(path), "%s/%d/stat", procRoot, processId);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        snprintf(path, sizeof(path), "%s/%d/task/%d/stat", procRoot, processId, processId);
        fd = open(path, O_RDONLY | O_CLOEXEC);
    }
    if (fd >= 0) {
        close(fd);
        PROCLOAD_DEBUG("%s %s %s\n", "checkProcessActive", " Process is active");
        return processId;
    }
    PROCLOAD_DEBUG("%s %s %s\n", "checkProcessActive", " Process is inactive");
    return 0;
}

// Reads a clock in nanoseconds; answers clock_gettime's return code. The
// value's type is the one clock_gettime itself takes.
template <typename Value> static int readClock(int (*get)(clockid_t, Value*), clockid_t clock, uint64_t* nanos)
{
    Value value{};
    int rc = get(clock, &value);
    if (rc == 0) {
        *nanos = static_cast<uint64_t>(value.tv_sec) * 1000000000U + static_cast<uint64_t>(value.tv_nsec);
    }
    return rc;
}

double RTP_getThreadCPU_Ticks(int32_t processId, int64_t thread)
{
    PROCLOAD_DEBUG("%s %s %s processID=%d threadID=%ld\n", "RTP_getThreadCPU_Ticks", "ENTER", processId,
                   static_cast<long>(thread));
    int rc1 = ESRCH;
    int rc2 = -1;
    double seconds = 0.0;
    // The handle is dereferenced: only one that getThreadId handed out to a
    // thread that still runs is read. Anything else is no thread.
    uint64_t nanos = 0;
    if (readRegisteredThreadCpu(thread, &rc1, &rc2, &nanos)) {
        seconds = static_cast<double>(nanos) / 1000000000.0;
    }
    PROCLOAD_DEBUG("%s %s %s rc1=%d rc2=%d threadCPU=%f\n", "RTP_getThreadCPU_Ticks", "EXIT", rc1, rc2, seconds);
    return seconds;
}

// The largest pid the kernel can hand out on a 64-bit system (its
// PID_MAX_LIMIT; pid_max cannot be set higher).
static constexpr int32_t PID_LIMIT = 4194304;

// The clock id the kernel gives the CPU time of a whole process (its
// scheduler clock): the complemented pid shifted by three, and 2. Only 32
// bits are kept, so ids 2^29 apart share one clock id and INT32_MAX gives the
// calling process's own clock: only pids the kernel can hand out are asked.
static clockid_t processCpuClock(int32_t pid)
{
    return static_cast<clockid_t>((~static_cast<uint32_t>(pid) << 3) | 2U);
}

bool readProcessCpuNanos(int32_t pid, uint64_t* nanos)
{
    if (pid <= 0) {
        return false; // pid 0 would name the calling process
    }
    // The clock belongs to the live system: a fixture tree is read from its files.
    if (strcmp(procRoot, defaultProcRoot) == 0) {
        if (pid > PID_LIMIT) {
            return false; // no such process, and its clock id would be another's
        }
        if (readClock(clock_gettime, processCpuClock(pid), nanos) == 0) {
            return true;
        }
    }
    char path[PATH_SIZE];
    snprintf(path, sizeof(path), "%s/%d/stat", procRoot, pid);
    ProcStatRecord record{};
    record.pid = pid;
    readStatFile(path, &record, nullptr);
    if (record.pid == 0) {
        return false;
    }
    *nanos = record.ticks * NANOS_PER_TICK;
    return true;
}

double RTP_getProcLoad_Ticks(int32_t processId)
{
    PROCLOAD_DEBUG("%s %s %s\n", "RTP_getProcLoad_Ticks", "ENTER");
    // The whole process, all its threads and the ones that have ended; not
    // just the main thread's stat.
    uint64_t nanos = 0;
    double seconds = readProcessCpuNanos(processId, &nanos) ? static_cast<double>(nanos) / 1000000000.0 : 0.0;
    PROCLOAD_DEBUG("%s %s %s rc1=%d rc2=%d procLoadTicks=%f\n", "RTP_getProcLoad_Ticks", "EXIT", 0, 0, seconds);
    return seconds;
}

double getTOD()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000.0;
}

int32_t getNumProcessors()
{
    // Inside CPU limits (a quota, a narrower affinity mask or cpuset) the
    // processors are those the limits allow; the percentages are of the
    // fractional allowance, so a process that uses all of half a processor
    // reads 100.
    CgroupReader* reader = cgroupLiveReader();
    if (reader != nullptr) {
        CgroupFigures figures{};
        CpuAllowance allowance = liveCpuAllowance(reader, &figures);
        nProcessors = allowance.cpuLimited ? allowance.processors : allowance.online;
        processorAllowance = allowance.cpuLimited ? allowance.fraction : allowance.online;
        return nProcessors;
    }
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    nProcessors = n > 0 ? static_cast<int32_t>(n) : 1;
    processorAllowance = nProcessors;
    return nProcessors;
}

void refreshProcessorAllowance()
{
    // The limits belong to the live system: a fixture tree keeps the count its
    // test set. With the container view off the count is the machine's, read
    // where it always was (initStats, the library's own figures).
    if (strcmp(procRoot, defaultProcRoot) == 0 && cgroupLiveReader() != nullptr) {
        getNumProcessors();
    }
}

int32_t getProcessId()
{
    PROCLOAD_DEBUG("%s %s %s\n", "getProcessId", "ENTER");
    int32_t pid = getpid();
    PROCLOAD_DEBUG("%s %s %s %d\n", "getProcessId", "EXIT processId=", pid);
    return pid;
}

int64_t getThreadId()
{
    PROCLOAD_DEBUG("%s %s %s\n", "getThreadId", "ENTER");
    // The handle stays valid for RTP_getThreadCPU_Ticks while the thread lives.
    auto handle = static_cast<uint64_t>(registerCurrentThread());
    PROCLOAD_DEBUG("%s %s %s %lu\n", "getThreadId", "EXIT threadId=", static_cast<unsigned long>(handle));
    PROCLOAD_DEBUG("%s %s %s %lu\n", "getThreadId", "EXIT threadId=", static_cast<unsigned long>(handle & 0xFFFF));
    PROCLOAD_DEBUG("%s %s %s %lu\n", "getThreadId", "EXIT threadId=", static_cast<unsigned long>(handle >> 16));
    PROCLOAD_DEBUG("%s %s %s %ld\n", "getThreadId", "EXIT threadId=", static_cast<long>(handle));
    return static_cast<int64_t>(handle);
}
