// The natives of com.qor.vt.mr.rlm.procload.ProcLoad on Linux, the load hook
// and the hardware-information arrays. No entry point throws: failures come
// back as 0.0, 0 descendants, -1 array entries or a null array.
#include "com_qor_vt_mr_rlm_procload_ProcLoad.h"
#include "procload/linux/cpu_utilisation.h"
#include "procload/linux/descendants.h"
#include "procload/linux/proc_stat.h"
#include "procload/procload_log.h"
#include "procload/slot_table.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/time.h>
#include <unistd.h>

constexpr jsize HARDWARE_INFO_STATIC_SIZE = 21;
constexpr jsize HARDWARE_INFO_DYNAMIC_SIZE = 80;
constexpr jsize IDLE_PERCENT_INDEX = 17;
constexpr jlong IDLE_PERCENT_REQUEST = 12416; // 0x3080
// Process ids handled per call; the rest of a longer array answers 0.0.
constexpr jsize PROCESS_IDS_MAX_SIZE = 1024;

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

static int32_t startUpProcessId = 0;
static int64_t startUpThreadId = 0;
static int32_t doGrabIdlePercent = 0;
static int64_t globalIdlePercent = 0;
static CpuStats cpuStatsInitial;
static CpuStats cpuStatsLast;
static CpuStats cpuStatsCurrent;

#define PROCLOAD_PREFIX "Java_com_qor_vt_mr_rlm_procload_ProcLoad_"

static void logEnterExit(const char* label, const char* text)
{
    PROCLOAD_DEBUG("%s %s %s\n", label, text);
}

// Prints an "out of memory" line whatever the debug level and drops the
// pending OutOfMemoryError: these entry points answer null instead.
static void outOfMemory(JNIEnv* env, const char* label, const char* text)
{
    printf("%s %s %s\n", thisModuleName, label, text);
    fflush(stdout);
    env->ExceptionClear();
}

static void refreshProcessors()
{
    getNumProcessors();
}

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* /*vm*/, void* /*reserved*/)
{
    printf("%s %s %s %s %s\n", thisModuleName, "JNI_OnLoad", "ENTER", __TIME__, __DATE__);
    startUpProcessId = getProcessId();
    startUpThreadId = getThreadId();
    readCpuStats(&cpuStatsInitial);
    readCpuStats(&cpuStatsLast);
    readCpuStats(&cpuStatsCurrent);
    printf("%s %s %s\n", thisModuleName, "JNI_OnLoad", "EXIT");
    fflush(stdout);
    return JNI_VERSION_1_4;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_initStats(JNIEnv* /*env*/, jclass /*cls*/,
                                                                          jint /*processId*/)
{
    static const char* const label = PROCLOAD_PREFIX "initStats";
    ProcloadStateGuard guard(procloadStateLock);
    logEnterExit(label, "ENTER");
    global_fullCreateTime = getTOD();
    global_fullLastTime = getTOD();
    gettimeofday(&global_createTime, nullptr);
    nProcessors = static_cast<int32_t>(sysconf(_SC_NPROCESSORS_ONLN));
    if (nProcessors <= 0) {
        nProcessors = 1;
    }
    if (procload_debugOn()) {
        printf(" number of processors online is %i \n ", nProcessors);
    }
    global_myProc.pid = getProcessId();
    if (procload_debugOn()) {
        printf(" global_myProc.pid = %d \n", global_myProc.pid);
    }
    logEnterExit(label, "EXIT");
    return 0;
}

JNIEXPORT void JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeEnableDebugMode(JNIEnv* /*env*/, jclass /*cls*/,
                                                                                      jboolean flag)
{
    static const char* const label = PROCLOAD_PREFIX "enableDebugMode";
    // Not while the sibling listing has the level at -1 for its duration.
    ProcloadStateGuard guard(procloadStateLock);
    printf("%s %s %s\n", thisModuleName, label, "ENTER");
    fflush(stdout);
    debugEnabled = flag == JNI_TRUE ? 1 : 0;
    printf("%s %s %s\n", thisModuleName, label, "EXIT");
    fflush(stdout);
}

JNIEXPORT jlong JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetThreadId(JNIEnv* /*env*/, jclass /*cls*/)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetThreadId";
    logEnterExit(label, "ENTER");
    int64_t thread = getThreadId();
    PROCLOAD_DEBUG("%s %s %s %ld\n", label, "EXIT - threadID=", static_cast<long>(thread));
    return thread;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcessId(JNIEnv* /*env*/, jclass /*cls*/)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetProcessId";
    logEnterExit(label, "ENTER");
    int32_t pid = getProcessId();
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "EXIT - processId=", pid);
    return pid;
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
static jlong toNanos(double seconds)
{
    double nanos = seconds * 1000000000.0;
    return std::isnan(nanos) ? 0 : static_cast<jlong>(nanos);
}

JNIEXPORT jlong JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetThreadCPUClock(JNIEnv* /*env*/,
                                                                                         jclass /*cls*/, jint processId,
                                                                                         jlong threadId)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetThreadCPUClock";
    PROCLOAD_DEBUG("%s %s %s %ld\n", label, "ENTER - threadID=", static_cast<long>(threadId));
    jlong clock = toNanos(RTP_getThreadCPU_Ticks(processId, threadId));
    PROCLOAD_DEBUG("%s %s %s %ld\n", label, "EXIT - (ns) threadCPUClock=", static_cast<long>(clock));
    return clock;
}

JNIEXPORT jlong JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoadClock(JNIEnv* /*env*/, jclass /*cls*/,
                                                                                        jint processId)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetProcLoadClock";
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "ENTER - processID=", processId);
    jlong clock = toNanos(RTP_getProcLoad_Ticks(processId));
    PROCLOAD_DEBUG("%s %s %s %ld\n", label, "EXIT - (ns) procLoadClock=", static_cast<long>(clock));
    return clock;
}

JNIEXPORT jintArray JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcessId_1Descendants(JNIEnv* env,
                                                                                                     jclass /*cls*/,
                                                                                                     jint processId)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetProcessId_1Descendants";
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "ENTER - processId=", processId);
    jint ids[DESCENDANTS_MAX_SIZE];
    int32_t n = getProcessId_Descendants(processId, DESCENDANTS_MAX_SIZE, ids);
    jintArray result = env->NewIntArray(n);
    if (result == nullptr) {
        outOfMemory(env, label, "out of memory j");
        return nullptr;
    }
    env->SetIntArrayRegion(result, 0, n, ids);
    logEnterExit(label, "EXIT");
    return result;
}

static jdouble sampleOne(const char* label, void (*sample)(int32_t, const int32_t*, double*), jint processId)
{
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "ENTER - processID=", processId);
    int32_t id = processId;
    double load = 0.0;
    sample(1, &id, &load);
    PROCLOAD_DEBUG("%s %s %s %f%%\n", label, "EXIT - procLoad=", load);
    return load;
}

// The ids of a batch: at most PROCESS_IDS_MAX_SIZE are sampled; the answer
// has one entry per id, and those beyond the limit stay 0.0.
static jdoubleArray sampleMany(JNIEnv* env, const char* label, void (*sample)(int32_t, const int32_t*, double*),
                               jintArray processIds)
{
    logEnterExit(label, "ENTER");
    if (processIds == nullptr) {
        logEnterExit(label, "EXIT");
        return nullptr;
    }
    jsize n = env->GetArrayLength(processIds);
    jsize handled = n < PROCESS_IDS_MAX_SIZE ? n : PROCESS_IDS_MAX_SIZE;
    jint ids[PROCESS_IDS_MAX_SIZE];
    double loads[PROCESS_IDS_MAX_SIZE];
    env->GetIntArrayRegion(processIds, 0, handled, ids);
    sample(handled, ids, loads);
    jdoubleArray result = env->NewDoubleArray(n);
    if (result == nullptr) {
        outOfMemory(env, label, "out of memory j");
        return nullptr;
    }
    env->SetDoubleArrayRegion(result, 0, handled, loads);
    logEnterExit(label, "EXIT");
    return result;
}

JNIEXPORT jdouble JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoad__JI(JNIEnv* /*env*/,
                                                                                         jclass /*cls*/,
                                                                                         jlong /*unused*/,
                                                                                         jint processId)
{
    return sampleOne(PROCLOAD_PREFIX "getProcLoad__JI", getProcLoad, processId);
}

JNIEXPORT jdoubleArray JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoad___3J_3I(JNIEnv* env,
                                                                                                  jclass /*cls*/,
                                                                                                  jlongArray /*unused*/,
                                                                                                  jintArray processIds)
{
    return sampleMany(env, PROCLOAD_PREFIX "nativeGetProcLoad___3J_3I", getProcLoad, processIds);
}

JNIEXPORT jdouble JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoadLast__JI(JNIEnv* /*env*/,
                                                                                             jclass /*cls*/,
                                                                                             jlong /*unused*/,
                                                                                             jint processId)
{
    return sampleOne(PROCLOAD_PREFIX "getProcLoadLast__JI", getProcLoadLast, processId);
}

JNIEXPORT jdoubleArray JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoadLast___3J_3I(
    JNIEnv* env, jclass /*cls*/, jlongArray /*unused*/, jintArray processIds)
{
    return sampleMany(env, PROCLOAD_PREFIX "getProcLoadLast___3J_3I", getProcLoadLast, processIds);
}

static double ownProcessCPU(bool sinceCreation)
{
    ProcloadStateGuard guard(procloadStateLock);
    refreshProcessors();
    timeval refTime = sinceCreation ? global_createTime : global_lastTime;
    return getCPU(global_lastProcesses, &global_lastProcessIndex, &global_myProc, global_myProc.pid, refTime,
                  &global_createTime, &global_lastTime, &global_oldTime, &global_startTime);
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

JNIEXPORT jlongArray JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetHardwareInfoStatic(JNIEnv* env,
                                                                                                  jclass /*cls*/)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetHardwareInfoStatic";
    PROCLOAD_DEBUG("%s %s %s \n", label, "ENTER - ");
    jlongArray result = env->NewLongArray(HARDWARE_INFO_STATIC_SIZE);
    if (result == nullptr) {
        outOfMemory(env, label, "out of memory si_a");
        logEnterExit(label, "EXIT");
        return nullptr;
    }
    jlong answer[HARDWARE_INFO_STATIC_SIZE];
    {
        ProcloadStateGuard guard(procloadStateLock);
        for (jsize i = 0; i < HARDWARE_INFO_STATIC_SIZE; i++) {
            hardwareInfoStatic[i] = -1;
        }
        hardwareInfoStatic[HARDWARE_INFO_STATIC_SIZE - 1] = 1;
        memcpy(answer, hardwareInfoStatic, sizeof answer);
    }
    env->SetLongArrayRegion(result, 0, HARDWARE_INFO_STATIC_SIZE, answer);
    logEnterExit(label, "EXIT");
    return result;
}

JNIEXPORT jlongArray JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetHardwareInfoDynamic(JNIEnv* env,
                                                                                                   jclass /*cls*/,
                                                                                                   jlongArray request)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetHardwareInfoDynamic";
    PROCLOAD_DEBUG("%s %s %s \n", label, "ENTER - ");
    // Entries the request does not have read as -1; entries beyond the
    // array's 80 are not looked at.
    jlong asked[HARDWARE_INFO_DYNAMIC_SIZE];
    for (jlong& entry : asked) {
        entry = -1;
    }
    if (request != nullptr) {
        jsize n = env->GetArrayLength(request);
        env->GetLongArrayRegion(request, 0, n < HARDWARE_INFO_DYNAMIC_SIZE ? n : HARDWARE_INFO_DYNAMIC_SIZE, asked);
    }
    jlongArray result = env->NewLongArray(HARDWARE_INFO_DYNAMIC_SIZE);
    if (result == nullptr) {
        outOfMemory(env, label, "out of memory hi_a");
        logEnterExit(label, "EXIT");
        return nullptr;
    }
    jlong answer[HARDWARE_INFO_DYNAMIC_SIZE];
    {
        // Each idle request measures from the one before it, whichever thread made it.
        ProcloadStateGuard guard(procloadStateLock);
        readCpuStats(&cpuStatsCurrent);
        doGrabIdlePercent = 0;
        if (asked[IDLE_PERCENT_INDEX] == IDLE_PERCENT_REQUEST) {
            doGrabIdlePercent = 1;
            globalIdlePercent = idleShare(cpuStatsCurrent, cpuStatsLast);
            readCpuStats(&cpuStatsLast);
        }
        for (jsize i = 0; i < HARDWARE_INFO_DYNAMIC_SIZE; i++) {
            hardwareInfoDynamic[i] = i <= 20 ? -1 : asked[i];
        }
        if (doGrabIdlePercent != 0) {
            hardwareInfoDynamic[IDLE_PERCENT_INDEX] = globalIdlePercent;
        }
        memcpy(answer, hardwareInfoDynamic, sizeof answer);
    }
    env->SetLongArrayRegion(result, 0, HARDWARE_INFO_DYNAMIC_SIZE, answer);
    logEnterExit(label, "EXIT");
    return result;
}
