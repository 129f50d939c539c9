// The natives of com.qor.vt.mr.rlm.procload.ProcLoad that work their own way
// on Linux, and what the shared natives (procload/procload_natives.cpp) ask of
// this platform: the load hook's readings of the machine's counters, clocks in
// nanoseconds, labels and the hardware-information arrays. No entry point
// throws: failures come back as 0.0.
#include "com_qor_vt_mr_rlm_procload_ProcLoad.h"
#include "common/linux/cgroup.h"
#include "procload/linux/cpu_utilisation.h"
#include "procload/linux/descendants.h"
#include "procload/linux/proc_stat.h"
#include "procload/procload_log.h"
#include "procload/procload_natives.h"
#include "procload/procload_platform.h"
#include "procload/slot_table.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/time.h>
#include <unistd.h>

constexpr jsize IDLE_PERCENT_INDEX = 17;
constexpr jlong IDLE_PERCENT_REQUEST = 12416; // 0x3080

extern "C" {
// The answers of the last hardware-information requests; -1 marks what this
// platform does not provide.
JNIEXPORT jlong hardwareInfoStatic[HARDWARE_INFO_STATIC_SIZE];
JNIEXPORT jlong hardwareInfoDynamic[HARDWARE_INFO_DYNAMIC_SIZE];
// Kept for the callers that link against them; the library does not use them.
JNIEXPORT int64_t globalNodeIdleClock;
JNIEXPORT int64_t globalNodeUsageClock;
JNIEXPORT int64_t globalNodeSystemClock;
}

static int32_t doGrabIdlePercent = 0;
static int64_t globalIdlePercent = 0;
static CpuStats cpuStatsInitial;
static CpuStats cpuStatsLast;
static CpuStats cpuStatsCurrent;
// The container's CPU usage counter and the monotonic clock at the last idle
// request (-1: no counter), the baseline of the container's idle share.
static int64_t containerUsageLast = -1;
static int64_t containerTimeLast = 0;

const NativeLabels nativeLabels = {
    PROCLOAD_PREFIX "enableDebugMode",
    PROCLOAD_PREFIX "getProcLoad__JI",
    PROCLOAD_PREFIX "getProcLoadLast__JI",
    PROCLOAD_PREFIX "getProcLoadLast___3J_3I",
};

static void refreshProcessors()
{
    getNumProcessors();
}

void loadPlatform()
{
    readCpuStats(&cpuStatsInitial);
    readCpuStats(&cpuStatsLast);
    readCpuStats(&cpuStatsCurrent);
    containerUsageLast = cgroupCpuUsage(cgroupLiveReader());
    containerTimeLast = monotonicNanos();
}

JNIEXPORT jint JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_initStats(JNIEnv* /*env*/, jclass /*cls*/,
                                                                          jint /*processId*/)
{
    static const char* const label = PROCLOAD_PREFIX "initStats";
    ProcloadStateGuard guard(procloadStateLock);
    logEnterExit(label, "ENTER");
    ownProcessSlot.fullCreateTime = getTOD();
    ownProcessSlot.fullLastTime = getTOD();
    gettimeofday(ownProcessSlot.createTime, nullptr);
    getNumProcessors();
    if (procload_debugOn()) {
        printf(" number of processors online is %i \n ", nProcessors);
    }
    ownProcessSlot.id = getProcessId();
    ownProcessSlot.myProc->pid = ownProcessSlot.id;
    if (procload_debugOn()) {
        printf(" global_myProc.pid = %d \n", ownProcessSlot.myProc->pid);
    }
    logEnterExit(label, "EXIT");
    return 0;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcessorCount(JNIEnv* /*env*/, jclass /*cls*/,
                                                                                        jint processId)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetProcessorCount";
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "ENTER - processId=", processId);
    ProcloadStateGuard guard(procloadStateLock);
    int32_t count = getNumProcessors();
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "EXIT - processorCount=", count);
    return count;
}

// Seconds as whole nanoseconds; 0 for a value that is not a number.
jlong cpuSecondsToNanos(double seconds)
{
    double nanos = seconds * 1000000000.0;
    return std::isnan(nanos) ? 0 : static_cast<jlong>(nanos);
}

static double ownProcessCPU(bool sinceCreation)
{
    ProcloadStateGuard guard(procloadStateLock);
    refreshProcessors();
    return getCPU(&ownProcessSlot, sinceCreation ? *ownProcessSlot.createTime : *ownProcessSlot.lastTime);
}

JNIEXPORT jdouble JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_getCPUUtilization__(JNIEnv* /*env*/, jclass /*cls*/)
{
    static const char* const label = PROCLOAD_PREFIX "getCPUUtilization__";
    logEnterExit(label, "ENTER - cpu since creation");
    double cpu = ownProcessCPU(true);
    PROCLOAD_DEBUG("%s %s %s %f%%\n", label, "EXIT - retVal=", cpu);
    return cpu;
}

JNIEXPORT jdouble JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_getCPUUtilization__I(JNIEnv* /*env*/, jclass /*cls*/,
                                                                                        jint mode)
{
    static const char* const label = PROCLOAD_PREFIX "getCPUUtilization__I";
    ProcloadStateGuard guard(procloadStateLock);
    logEnterExit(label, "ENTER - cpu since last call");
    if (mode == -1) {
        int32_t saved = debugEnabled;
        debugEnabled = -1;
        int32_t scratch[DESCENDANTS_MAX_SIZE];
        getProcessId_Descendants(getProcessId(), DESCENDANTS_MAX_SIZE, scratch);
        debugEnabled = saved;
    }
    double cpu = ownProcessCPU(false);
    PROCLOAD_DEBUG("%s %s %s %f%%\n", label, "EXIT - retVal=", cpu);
    return cpu;
}

// Entries 0 to 19 are -1 and entry 20 is 1; the exported table keeps them.
void answerHardwareInfoStatic(jlong* answer)
{
    ProcloadStateGuard guard(procloadStateLock);
    for (jsize i = 0; i < HARDWARE_INFO_STATIC_SIZE; i++) {
        hardwareInfoStatic[i] = -1;
    }
    hardwareInfoStatic[HARDWARE_INFO_STATIC_SIZE - 1] = 1;
    memcpy(answer, hardwareInfoStatic, sizeof hardwareInfoStatic);
}

// Entries 0 to 20 are -1 but for the machine's idle share at entry 17 when
// the request asks for it; the rest keep the request's values. The exported
// table keeps the answer.
void answerHardwareInfoDynamic(const jlong* asked, jlong* answer)
{
    // Each idle request measures from the one before it, whichever thread made it.
    ProcloadStateGuard guard(procloadStateLock);
    readCpuStats(&cpuStatsCurrent);
    doGrabIdlePercent = 0;
    if (asked[IDLE_PERCENT_INDEX] == IDLE_PERCENT_REQUEST) {
        doGrabIdlePercent = 1;
        globalIdlePercent = idleShare(cpuStatsCurrent, cpuStatsLast);
        readCpuStats(&cpuStatsLast);
        // Inside CPU limits the idle share is the container's: what its
        // usage left of its allowance since the previous request.
        CgroupReader* reader = cgroupLiveReader();
        CgroupFigures figures{};
        CpuAllowance allowance = liveCpuAllowance(reader, &figures);
        int64_t usage = cgroupCpuUsage(reader);
        int64_t now = monotonicNanos();
        if (allowance.cpuLimited && usage >= 0 && containerUsageLast >= 0) {
            globalIdlePercent =
                containerIdleShare(usage - containerUsageLast, now - containerTimeLast, allowance.fraction);
        }
        containerUsageLast = usage;
        containerTimeLast = now;
    }
    for (jsize i = 0; i < HARDWARE_INFO_DYNAMIC_SIZE; i++) {
        hardwareInfoDynamic[i] = i <= 20 ? -1 : asked[i];
    }
    if (doGrabIdlePercent != 0) {
        hardwareInfoDynamic[IDLE_PERCENT_INDEX] = globalIdlePercent;
    }
    memcpy(answer, hardwareInfoDynamic, sizeof hardwareInfoDynamic);
}

void answerContainerInfo(jlong* answer)
{
    CgroupFigures figures{};
    cgroupRead(cgroupLiveReader(), &figures);
    answer[CONTAINER_CPU_QUOTA] = figures.cpuQuotaMicros;
    answer[CONTAINER_CPU_PERIOD] = figures.cpuPeriodMicros;
    answer[CONTAINER_CPU_USAGE] = figures.cpuUsageNanos;
    answer[CONTAINER_MEMORY_LIMIT] = figures.memoryLimit;
    answer[CONTAINER_MEMORY_USAGE] = figures.memoryUsage;
    answer[CONTAINER_MEMORY_WORKING_SET] = figures.memoryWorkingSet;
}
