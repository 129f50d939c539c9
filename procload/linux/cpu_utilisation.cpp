// CPU utilisation of a process from its running CPU total.
//
// With task directories (every current kernel) a process's total is the
// kernel's own process-wide figure: the process CPU clock, which includes
// every thread that ever ran in the process. Summing the threads listed at
// each sample instead would miss every thread that starts and ends between two
// samples (a process whose short-lived threads keep the machine busy reads
// 0%), and it costs one stat file per thread. Only kernels without task
// directories, where the threads are listed in /proc itself, are summed entry
// by entry, with a snapshot of the entries counted at the previous sample.
#include "procload/linux/cpu_utilisation.h"
#include "procload/procload_log.h"
#include "procload/slot_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>

StatFileHistoryEntry statFileHistoryInfo[STAT_FILE_HISTORY_SIZE];
int32_t statFileHistoryInfoIndex = 0;
int32_t enableStatFileHistoryInfo = 0;
int32_t excessThreadCounter = 0;

// Entries counted in the current batch (threads, where only their process is
// kept in the history), for the warning on excessive thread creation.
static int32_t statFileHistoryCounted = 0;

static const char* const getCPULabel = "getCPU(timeval)";
static constexpr int EXCESS_THREAD_THRESHOLD = 1000;
static constexpr int EXCESS_THREAD_BUDGET = 10;
static constexpr double MAX_PERCENT = 100.0;

namespace {

bool sameTime(const timeval& a, const timeval& b)
{
    return a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec;
}

timeval timeOfDay()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return now;
}

bool countedInBatch(int32_t id)
{
    for (int32_t i = 0; i < statFileHistoryInfoIndex; i++) {
        if (statFileHistoryInfo[i].id == id) {
            return true;
        }
    }
    return false;
}

void addToBatch(int32_t id, uint64_t ticks)
{
    if (statFileHistoryInfoIndex < STAT_FILE_HISTORY_SIZE) {
        statFileHistoryInfo[statFileHistoryInfoIndex] = {id, ticks};
        statFileHistoryInfoIndex++;
    }
}

void excessWarning(int which, int32_t pid)
{
    excessThreadCounter++;
    printf("WARNING: %s %s (%d) - Excessive thread creation. id=%d\n", thisModuleName, getCPULabel, which, pid);
}

// The warnings for one more counted entry: (1) when the process's snapshot
// holds more than the threshold, (2) when the batch does.
void countEntry(int32_t snapshotCount, int32_t pid)
{
    if (snapshotCount > EXCESS_THREAD_THRESHOLD && excessThreadCounter < EXCESS_THREAD_BUDGET) {
        excessWarning(1, pid);
    }
    if (enableStatFileHistoryInfo != 0) {
        if (statFileHistoryCounted < STAT_FILE_HISTORY_SIZE) {
            statFileHistoryCounted++;
        }
        if (statFileHistoryCounted > EXCESS_THREAD_THRESHOLD && excessThreadCounter < EXCESS_THREAD_BUDGET) {
            excessWarning(2, pid);
        }
    }
}

// The same for the threads of a process known only by their number: entry k
// warns for the process when k passes the threshold and for the batch when
// the entries counted before it and k do. Only the entries that can warn are
// visited, and only until the budget is spent.
void countThreads(int64_t threads, int32_t pid)
{
    const bool batch = enableStatFileHistoryInfo != 0;
    const int64_t before = statFileHistoryCounted;
    int64_t first = EXCESS_THREAD_THRESHOLD + 1;
    if (batch) {
        first = std::max<int64_t>(1, std::min<int64_t>(first, EXCESS_THREAD_THRESHOLD + 1 - before));
    }
    for (int64_t k = first; k <= threads && excessThreadCounter < EXCESS_THREAD_BUDGET; k++) {
        if (k > EXCESS_THREAD_THRESHOLD && excessThreadCounter < EXCESS_THREAD_BUDGET) {
            excessWarning(1, pid);
        }
        if (batch && before + k > EXCESS_THREAD_THRESHOLD && excessThreadCounter < EXCESS_THREAD_BUDGET) {
            excessWarning(2, pid);
        }
    }
    if (batch) {
        statFileHistoryCounted =
            static_cast<int32_t>(std::min<int64_t>(before + std::max<int64_t>(threads, 0), STAT_FILE_HISTORY_SIZE));
    }
}

// Flat layout: sums the growth of every entry that belongs to the process
// since the snapshot, into the running total (nanoseconds). Answers false when
// /proc cannot be listed.
bool sumFlatEntries(ProcStatRecord* lastProcesses, int32_t* lastProcessIndex, ProcStatRecord* myProc, int32_t processID,
                    bool keepSnapshot, uint64_t* total)
{
    DIR* dir = opendir(procRoot);
    if (dir == nullptr) {
        return false;
    }
    int32_t pgid = getProcessGroupId(processID, PROC_LAYOUT_FLAT);
    static ProcStatRecord snapshot[THREAD_SNAPSHOT_SIZE];
    int32_t count = 0;
    int32_t counted = 0;
    uint64_t sum = *total;
    while (const dirent* entry = readdir(dir)) {
        ProcStatRecord scratch{};
        if (!procEntryId(entry->d_name, &scratch.pid)) {
            continue;
        }
        readSingleProcFromStatFile(myProc, entry->d_name, &scratch, PROC_LAYOUT_FLAT);
        if (scratch.pid == 0 || scratch.ppid == 0) {
            continue;
        }
        if (scratch.ppid == myProc->pid) {
            myProc->childPid = scratch.pid;
        }
        // Each entry on its own merits: being listed after a member of the
        // group does not make an unrelated process a member.
        bool belongs = scratch.pid == myProc->pid || scratch.ppid == myProc->pid ||
                       (myProc->childPid != 0 && scratch.ppid == myProc->childPid) || scratch.pgrp == myProc->pid ||
                       scratch.pgrp == pgid;
        if (!belongs) {
            continue;
        }
        if (enableStatFileHistoryInfo != 0 && countedInBatch(scratch.pid)) {
            continue;
        }
        if (count < THREAD_SNAPSHOT_SIZE) {
            snapshot[count++] = scratch;
        }
        counted++;
        uint64_t growth = scratch.ticks;
        for (int32_t i = 0; i < *lastProcessIndex; i++) {
            if (lastProcesses[i].pid == scratch.pid) {
                // Fewer ticks than before means another thread behind the
                // same id: all of its ticks are new.
                if (scratch.ticks >= lastProcesses[i].ticks) {
                    growth = scratch.ticks - lastProcesses[i].ticks;
                }
                break;
            }
        }
        sum += growth * NANOS_PER_TICK;
        if (enableStatFileHistoryInfo != 0) {
            addToBatch(scratch.pid, scratch.ticks);
        }
        countEntry(counted < THREAD_SNAPSHOT_SIZE ? counted : THREAD_SNAPSHOT_SIZE, myProc->pid);
    }
    closedir(dir);
    if (keepSnapshot) {
        memcpy(lastProcesses, snapshot, sizeof(ProcStatRecord) * static_cast<size_t>(count));
        *lastProcessIndex = count;
    }
    *total = sum;
    return true;
}

} // namespace

double getCPU(LastProcessSlot* slot, timeval refTime)
{
    ProcloadStateGuard guard(procloadStateLock);
    ProcStatRecord* myProc = slot->myProc;
    const int32_t processID = slot->id;
    // The debug lines show CPU time in ticks, whatever the running total counts.
    if (procload_debugOn()) {
        printf("%s %s %s %d %lu %lu %lu\n", thisModuleName, getCPULabel,
               "ENTER myProc->pid / oldClockTime.tv_sec / oldClockTime.tv_usec=", myProc->pid,
               static_cast<unsigned long>(refTime.tv_sec), static_cast<unsigned long>(refTime.tv_usec),
               static_cast<unsigned long>(*slot->oldTime / NANOS_PER_TICK));
        printf("%s %s %s %d %lu %lu %lu\n", thisModuleName, getCPULabel,
               "ENTER processID   /   createTime.tv_sec /   createTime.tv_usec=", processID,
               static_cast<unsigned long>(slot->createTime->tv_sec),
               static_cast<unsigned long>(slot->createTime->tv_usec),
               static_cast<unsigned long>(*slot->oldTime / NANOS_PER_TICK));
        printf("%s %s %s %d %lu %lu %lu\n", thisModuleName, getCPULabel,
               "ENTER myProc->pid /     lastTime.tv_sec /     lastTime.tv_usec=", myProc->pid,
               static_cast<unsigned long>(slot->lastTime->tv_sec), static_cast<unsigned long>(slot->lastTime->tv_usec),
               static_cast<unsigned long>(*slot->oldTime / NANOS_PER_TICK));
        fflush(stdout);
    }
    const bool sinceCreation = sameTime(refTime, *slot->createTime);
    if (enableStatFileHistoryInfo != 0 && countedInBatch(myProc->pid)) {
        // Counted already, for an earlier occurrence in this batch: nothing is
        // read, so the total, the time and the snapshot stay as that left them.
        PROCLOAD_DEBUG("%s %s %s CPU=%f%% for processID=%d\n", getCPULabel, "EXIT", 0.0, processID);
        return 0.0;
    }

    // The process's own stat: its start time and thread count, and which
    // layout this kernel has.
    ProcStatRecord self{};
    ProcStatExtras extras{};
    const int layout = readProcessStatFile(myProc->pid, &self, &extras);
    if (layout < 0) {
        PROCLOAD_DEBUG("%s %s %s\n", getCPULabel, "EXIT - dir is NULL");
        return 0.0;
    }

    // A pid handed to a new process: start afresh instead of measuring the new
    // process against the old one's total.
    if (slot->startTime != 0 && extras.startTime != slot->startTime) {
        *slot->oldTime = 0;
        *slot->lastTime = timeval{};
        slot->lastProcessIndex = 0;
        myProc->childPid = 0;
        if (!sinceCreation) {
            refTime = timeval{};
        }
    }
    slot->startTime = extras.startTime;

    // The interval ends here, next to the read of the total, so that it
    // matches the figure; it is known (and printed) before the scan.
    const timeval now = timeOfDay();
    double timediff = static_cast<double>(now.tv_sec - refTime.tv_sec) +
                      static_cast<double>(now.tv_usec - refTime.tv_usec) * 0.000001;
    double uptime = 0.0;
    if (sinceCreation && readUptime(&uptime)) {
        // Since creation, the total is all the CPU the process used since it
        // started. For a process older than the start of measurement that is
        // its whole life, so its lifetime is the interval: CPU from before the
        // start over the time since the start would read an idle process busy.
        double lifetime = uptime - static_cast<double>(extras.startTime * NANOS_PER_TICK) / 1e9;
        if (lifetime > timediff) {
            timediff = lifetime;
        }
    }
    if (procload_debugOn()) {
        printf(" timediff %f \n ", timediff);
        fflush(stdout);
    }

    const uint64_t base = sinceCreation ? 0 : *slot->oldTime;
    uint64_t total = *slot->oldTime;
    if (layout == PROC_LAYOUT_TASK) {
        if (!readProcessCpuNanos(myProc->pid, &total)) {
            PROCLOAD_DEBUG("%s %s %s\n", getCPULabel, "EXIT - dir is NULL");
            return 0.0;
        }
        countThreads(extras.numThreads, myProc->pid);
        if (enableStatFileHistoryInfo != 0) {
            addToBatch(myProc->pid, total);
        }
    } else {
        if (!sumFlatEntries(slot->lastProcesses, &slot->lastProcessIndex, myProc, processID, !sinceCreation, &total)) {
            PROCLOAD_DEBUG("%s %s %s\n", getCPULabel, "EXIT - dir is NULL");
            return 0.0;
        }
    }
    myProc->ticks = total;
    if (procload_debugOn()) {
        printf(" myProc time is %lu and old cpu is %lu \n", static_cast<unsigned long>(total / NANOS_PER_TICK),
               static_cast<unsigned long>(base / NANOS_PER_TICK));
        fflush(stdout);
    }
    // A total below the base (a counter that went back) is no CPU used.
    double delta = total > base ? static_cast<double>(total - base) / static_cast<double>(NANOS_PER_TICK) : 0.0;
    double cpu = 0.0;
    if (timediff > 0.0 && processorAllowance > 0.0) {
        cpu = delta / timediff / processorAllowance;
    }
    if (!sinceCreation) {
        *slot->oldTime = total;
        *slot->lastTime = now;
    }
    if (!(cpu <= MAX_PERCENT)) {
        cpu = cpu > MAX_PERCENT ? MAX_PERCENT : 0.0; // not a number answers 0
    }
    PROCLOAD_DEBUG("%s %s %s CPU=%f%% for processID=%d\n", getCPULabel, "EXIT", cpu, processID);
    return cpu;
}

// Growth of one counter; a counter that went back (I/O wait may) grew by nothing.
static uint64_t growth(uint64_t current, uint64_t last)
{
    return current > last ? current - last : 0;
}

int64_t idleShare(const CpuStats& current, const CpuStats& last)
{
    // Counter by counter, so that one going back neither wraps nor takes
    // away from the others.
    uint64_t idle = growth(current.idle, last.idle) + growth(current.iowait, last.iowait);
    uint64_t all = growth(current.user, last.user) + growth(current.nice, last.nice) +
                   growth(current.system, last.system) + idle + growth(current.steal, last.steal) +
                   growth(current.irq, last.irq) + growth(current.softirq, last.softirq);
    double share = static_cast<double>(idle) / static_cast<double>(all) * 100.0 * 1000.0;
    // No figure (no tick passed, or nothing could be read) answers -1, as for
    // what the platform does not provide; so does one outside 0..100 %, and
    // nothing out of range is ever converted.
    return share >= 0.0 && share <= 100000.0 ? static_cast<int64_t>(share) : -1;
}

int64_t containerIdleShare(int64_t usageGrowthNanos, int64_t elapsedNanos, double allowance)
{
    if (usageGrowthNanos < 0 || elapsedNanos <= 0 || !(allowance > 0.0)) {
        return -1;
    }
    double busy = static_cast<double>(usageGrowthNanos) / (static_cast<double>(elapsedNanos) * allowance);
    // A group may run a little past its quota within one period: at most all of it busy.
    return busy >= 1.0 ? 0 : static_cast<int64_t>((1.0 - busy) * 100.0 * 1000.0);
}

// The slot of pid ready for a sample, or null when the sample is refused: the
// table named slot 0 of another process, or the slot's parts are missing.
static LastProcessSlot* slotFor(int32_t pid)
{
    LastProcessSlot* slot = &lastProcessInfo[lastProcessInfo_GetIndex(pid)];
    if (slot->id == pid && !slotPartsPresent(slot)) {
        initialiseSlot(slot, pid); // one more try for the parts
    }
    return slot->id == pid && slotPartsPresent(slot) ? slot : nullptr;
}

static void sampleBatch(const char* label, bool sinceLast, int32_t size, const int32_t* processIDs, double* procLoad)
{
    for (int32_t i = 0; i < size; i++) {
        // 0 and negative ids name no process (0 would match a free slot and
        // read its last owner); they take no slot and answer 0.0.
        LastProcessSlot* slot = processIDs[i] > 0 ? slotFor(processIDs[i]) : nullptr;
        PROCLOAD_DEBUG("%s %s %s %d\n", label, "processIDs[i]=", processIDs[i]);
        procLoad[i] = 0.0;
        if (slot != nullptr) {
            timeval refTime = sinceLast ? *slot->lastTime : *slot->createTime;
            procLoad[i] = getCPU(slot, refTime);
        }
        PROCLOAD_DEBUG("%s %s %s %u %f%%\n", label,
                       "processIDs[i] , procLoad[i] = ", static_cast<unsigned>(processIDs[i]), procLoad[i]);
    }
}

void getProcLoad(int32_t size, const int32_t* processIDs, double* procLoad)
{
    static const char* const label = "getProcLoad(int size, DWORD processIDs [], double procLoad[])";
    ProcloadStateGuard guard(procloadStateLock);
    PROCLOAD_DEBUG("%s %s %s\n", label, "ENTER");
    refreshProcessorAllowance(); // a container may have been resized
    sampleBatch(label, false, size, processIDs, procLoad);
    PROCLOAD_DEBUG("%s %s %s \n", label, "EXIT");
}

void getProcLoadLast(int32_t size, const int32_t* processIDs, double* procLoad)
{
    static const char* const label = "getProcLoadLast";
    // The whole batch under the lock: its history says which processes this
    // batch has counted, and another caller's batch must not reset or fill it.
    ProcloadStateGuard guard(procloadStateLock);
    PROCLOAD_DEBUG("%s %s %s\n", label, "ENTER");
    enableStatFileHistoryInfo = 1;
    statFileHistoryInfoIndex = 0;
    statFileHistoryCounted = 0;
    refreshProcessorAllowance(); // a container may have been resized
    // Each process's interval ends when its own figure is read, not at the
    // start of the batch.
    sampleBatch(label, true, size, processIDs, procLoad);
    enableStatFileHistoryInfo = 0;
    PROCLOAD_DEBUG("%s %s %s \n", label, "EXIT");
}
