// The load hook and the natives of com.qor.vt.mr.rlm.procload.ProcLoad that
// marshal the same way on every platform: ids and clocks, descendants, the
// load samples and the hardware-information arrays. No entry point throws:
// failures come back as 0.0, 0 descendants, -1 array entries or a null array.
#include "procload/procload_natives.h"

#include "com_qor_vt_mr_rlm_procload_ProcLoad.h"
#include "procload/procload_log.h"
#include "procload/procload_platform.h"
#include "procload/slot_table.h"

#include <cstdint>
#include <cstdio>

// Process ids handled per call; the rest of a longer array answers 0.0.
constexpr jsize PROCESS_IDS_MAX_SIZE = 1024;

static int32_t startUpProcessId = 0;
static int64_t startUpThreadId = 0;

void logEnterExit(const char* label, const char* text)
{
    PROCLOAD_DEBUG("%s %s %s\n", label, text);
}

void outOfMemory(JNIEnv* env, const char* label, const char* text)
{
    printf("%s %s %s\n", thisModuleName, label, text);
    fflush(stdout);
    env->ExceptionClear();
}

JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* /*vm*/, void* /*reserved*/)
{
    printf("%s %s %s %s %s\n", thisModuleName, "JNI_OnLoad", "ENTER", __TIME__, __DATE__);
    startUpProcessId = getProcessId();
    startUpThreadId = getThreadId();
    loadPlatform();
    printf("%s %s %s\n", thisModuleName, "JNI_OnLoad", "EXIT");
    fflush(stdout);
    return JNI_VERSION_1_4;
}

JNIEXPORT void JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeEnableDebugMode(JNIEnv* /*env*/, jclass /*cls*/,
                                                                                      jboolean flag)
{
    const char* const label = nativeLabels.enableDebugMode;
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
    PROCLOAD_DEBUG("%s %s %s %lld\n", label, "EXIT - threadID=", static_cast<long long>(thread));
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

JNIEXPORT jlong JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetThreadCPUClock(JNIEnv* /*env*/,
                                                                                         jclass /*cls*/, jint processId,
                                                                                         jlong threadId)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetThreadCPUClock";
    PROCLOAD_DEBUG("%s %s %s %lld\n", label, "ENTER - threadID=", static_cast<long long>(threadId));
    jlong clock = cpuSecondsToNanos(RTP_getThreadCPU_Ticks(processId, threadId));
    PROCLOAD_DEBUG("%s %s %s %lld\n", label, "EXIT - (ns) threadCPUClock=", static_cast<long long>(clock));
    return clock;
}

JNIEXPORT jlong JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoadClock(JNIEnv* /*env*/, jclass /*cls*/,
                                                                                        jint processId)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetProcLoadClock";
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "ENTER - processID=", processId);
    jlong clock = cpuSecondsToNanos(RTP_getProcLoad_Ticks(processId));
    PROCLOAD_DEBUG("%s %s %s %lld\n", label, "EXIT - (ns) procLoadClock=", static_cast<long long>(clock));
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

// A long[] of the platform's answer, or null with the out-of-memory report.
template <jsize size>
static jlongArray answerLongs(JNIEnv* env, const char* label, const char* oomText, void (*answer)(jlong*))
{
    jlongArray result = env->NewLongArray(size);
    if (result == nullptr) {
        outOfMemory(env, label, oomText);
        logEnterExit(label, "EXIT");
        return nullptr;
    }
    jlong values[size];
    answer(values);
    env->SetLongArrayRegion(result, 0, size, values);
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
// has one entry per id, and those beyond the limit stay 0.0. A null array
// answers null.
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
    return sampleOne(nativeLabels.procLoad, getProcLoad, processId);
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
    return sampleOne(nativeLabels.procLoadLast, getProcLoadLast, processId);
}

JNIEXPORT jdoubleArray JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoadLast___3J_3I(
    JNIEnv* env, jclass /*cls*/, jlongArray /*unused*/, jintArray processIds)
{
    return sampleMany(env, nativeLabels.procLoadLastBatch, getProcLoadLast, processIds);
}

JNIEXPORT jlongArray JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetHardwareInfoStatic(JNIEnv* env,
                                                                                                  jclass /*cls*/)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetHardwareInfoStatic";
    PROCLOAD_DEBUG("%s %s %s \n", label, "ENTER - ");
    return answerLongs<HARDWARE_INFO_STATIC_SIZE>(env, label, "out of memory si_a", answerHardwareInfoStatic);
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
    answerHardwareInfoDynamic(asked, answer);
    env->SetLongArrayRegion(result, 0, HARDWARE_INFO_DYNAMIC_SIZE, answer);
    logEnterExit(label, "EXIT");
    return result;
}

JNIEXPORT jlongArray JNICALL Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetContainerInfo(JNIEnv* env,
                                                                                             jclass /*cls*/)
{
    static const char* const label = PROCLOAD_PREFIX "nativeGetContainerInfo";
    logEnterExit(label, "ENTER");
    return answerLongs<CONTAINER_INFO_SIZE>(env, label, "out of memory ci_a", answerContainerInfo);
}
