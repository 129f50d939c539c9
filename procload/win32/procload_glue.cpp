// The natives of com.qor.vt.mr.rlm.procload.ProcLoad that work their own way
// on Windows, the library entry point, and what the shared natives
// (procload/procload_natives.cpp) ask of this platform: clocks in nanoseconds,
// labels and the hardware-information arrays. Every export logs under its own
// full name. No entry point throws: failures come back as 0.0.
#include "com_qor_vt_mr_rlm_procload_ProcLoad.h"
#include "common/win32.h"
#include "procload/procload_log.h"
#include "procload/procload_natives.h"
#include "procload/procload_platform.h"
#include "procload/slot_table.h"
#include "procload/win32/cpu_utilisation.h"
#include "procload/win32/process_times.h"

#include <cmath>
#include <cstdio>

// Entries 0 to 20 are the platform's answers; this build provides none of
// them (-1), and the static entry 20 is 0. Dynamic entries from 21 on keep the
// request's values, as on Linux.
constexpr jsize HARDWARE_INFO_PLATFORM_ENTRIES = 21;

const NativeLabels nativeLabels = {
    PROCLOAD_PREFIX "nativeEnableDebugMode",
    PROCLOAD_PREFIX "nativeGetProcLoad__JI",
    PROCLOAD_PREFIX "nativeGetProcLoadLast__JI",
    PROCLOAD_PREFIX "nativeGetProcLoadLast___3J_3I",
};

// Whole nanoseconds from a count of seconds that came from 100-ns units.
jlong cpuSecondsToNanos(double seconds)
{
    double units = std::round(seconds * static_cast<double>(FILETIME_UNITS_PER_SECOND));
    return std::isfinite(units) ? static_cast<jlong>(units) * 100 : 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/)
{
    static const char* const label = "DllMain";
    PROCLOAD_DEBUG("%s %s %s\n", label, "ENTER");
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        // No other thread runs in the library yet.
        for (LastProcessSlot& slot : lastProcessInfo) {
            clearSlot(&slot);
        }
        lastProcessInfoSize = 0;
        PROCLOAD_DEBUG("%s %s %s PID=%d\n", label, "PROCESS_ATTACH", static_cast<int>(GetCurrentProcessId()));
        break;
    case DLL_PROCESS_DETACH:
        PROCLOAD_DEBUG("%s %s %s\n", label, "PROCESS_DETACH");
        break;
    case DLL_THREAD_ATTACH:
        PROCLOAD_DEBUG("%s %s %s threadID=%ld\n", label, "THREAD_ATTACH", static_cast<long>(GetCurrentThreadId()));
        break;
    case DLL_THREAD_DETACH:
        PROCLOAD_DEBUG("%s %s %s\n", label, "THREAD_DETACH");
        break;
    default:
        PROCLOAD_DEBUG("%s %s %s\n", label, "UNKNOWN");
        break;
    }
    PROCLOAD_DEBUG("%s %s %s\n", label, "EXIT");
    return TRUE;
}

// Nothing to read at load time: each process's times are kept by the system.
void loadPlatform() {}

JNIEXPORT jint JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_initStats(JNIEnv* /*env*/, jclass /*cls*/,
                                                                          jint processId)
{
    static const char* const label = PROCLOAD_PREFIX "initStats";
    ProcloadStateGuard guard(procloadStateLock);
    logEnterExit(label, "ENTER");
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "pid=", processId);
    takeOwnProcessHandle();
    clearOwnSample();
    logEnterExit(label, "EXIT");
    return 0;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcessorCount(JNIEnv* /*env*/, jclass /*cls*/,
                                                                                        jint processId)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetProcessorCount";
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "ENTER - processId=", processId);
    int32_t count = getNumProcessors();
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "EXIT - processorCount=", count);
    return count;
}

JNIEXPORT jdouble JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_getCPUUtilization__(JNIEnv* /*env*/, jclass /*cls*/)
{
    static const char* const label = PROCLOAD_PREFIX "getCPUUtilization__";
    logEnterExit(label, "ENTER - cpu since creation");
    return ownLoadSinceCreation(label);
}

// The mode has no meaning on Windows: -1 lists no sibling processes.
JNIEXPORT jdouble JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_getCPUUtilization__I(JNIEnv* /*env*/, jclass /*cls*/,
                                                                                        jint /*mode*/)
{
    static const char* const label = PROCLOAD_PREFIX "getCPUUtilization__I";
    logEnterExit(label, "ENTER - cpu since last call");
    return ownLoadSinceLastCall(label);
}

void answerHardwareInfoStatic(jlong* answer)
{
    for (jsize i = 0; i < HARDWARE_INFO_STATIC_SIZE; i++) {
        answer[i] = -1;
    }
    answer[HARDWARE_INFO_STATIC_SIZE - 1] = 0;
}

void answerHardwareInfoDynamic(const jlong* asked, jlong* answer)
{
    for (jsize i = 0; i < HARDWARE_INFO_DYNAMIC_SIZE; i++) {
        // The machine's idle share (entry 17) included.
        answer[i] = i < HARDWARE_INFO_PLATFORM_ENTRIES ? -1 : asked[i];
    }
}

void answerContainerInfo(jlong* answer)
{
    // Job objects (the Windows counterpart of a container's limits) are not
    // read: every figure is -1 and the other natives report the machine.
    for (jsize i = 0; i < CONTAINER_INFO_SIZE; i++) {
        answer[i] = -1;
    }
}
