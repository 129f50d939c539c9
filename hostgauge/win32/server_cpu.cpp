// The server process's own CPU utilisation, from its process times against
// the system clock.  The state is library-wide: initProcLoadUtilization takes
// the process handle and clears the interval, and every interval sample
// moves the interval start to its own moment.
#include "com_qor_vt_rlm_server_system_HostGauge.h"
#include "common/win32.h"
#include "hostgauge/win32/hostgauge.h"

namespace {

HANDLE processHandle = nullptr;
// All zero: no sample since initialisation.
FILETIME lastTime;
FILETIME lastKernel;
FILETIME lastUser;
// Written by setDebug; nothing depends on it.
int debugSetting = 0;

int64_t ticks(const FILETIME& time)
{
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

uint32_t processorCount()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

// The process's times, or false (before initialisation, or when the system
// cannot tell) so that no figure is made from unset times.
// The process's creation, kernel and user times and the time of day now;
// false when the process times cannot be read.
bool processTimes(FILETIME* creation, FILETIME* kernel, FILETIME* user, FILETIME* now)
{
    FILETIME exit;
    if (processHandle == nullptr || !GetProcessTimes(processHandle, creation, &exit, kernel, user)) {
        return false;
    }
    GetSystemTimeAsFileTime(now);
    return true;
}

} // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_initProcLoadUtilization(JNIEnv* /*env*/,
                                                                                           jobject /*self*/)
{
    if (processHandle == nullptr) {
        processHandle = GetCurrentProcess();
    }
    lastTime = {};
    lastKernel = {};
    lastUser = {};
    return 0;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_getProcLoadUtilization(JNIEnv* /*env*/,
                                                                                          jobject /*self*/)
{
    uint32_t n = processorCount();
    FILETIME creation;
    FILETIME kernel;
    FILETIME user;
    FILETIME now;
    if (!processTimes(&creation, &kernel, &user, &now)) {
        return 0;
    }
    // The first sample after initialisation measures from the process's creation.
    bool first = ticks(lastTime) == 0;
    int64_t start = first ? ticks(creation) : ticks(lastTime);
    int64_t kernelDelta = first ? ticks(kernel) : ticks(kernel) - ticks(lastKernel);
    int64_t userDelta = first ? ticks(user) : ticks(user) - ticks(lastUser);
    lastTime = now;
    lastKernel = kernel;
    lastUser = user;
    return intervalPercent(kernelDelta, userDelta, ticks(now) - start, n);
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_getAverageProcLoadUtilization(JNIEnv* /*env*/,
                                                                                                 jobject /*self*/)
{
    uint32_t n = processorCount();
    FILETIME creation;
    FILETIME kernel;
    FILETIME user;
    FILETIME now;
    if (!processTimes(&creation, &kernel, &user, &now)) {
        return 0;
    }
    return intervalPercent(ticks(kernel), ticks(user), ticks(now) - ticks(creation), n);
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_finalizeProcLoadUtilization(JNIEnv* /*env*/,
                                                                                               jobject /*self*/)
{
    return 0;
}

JNIEXPORT void JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_setDebug(JNIEnv* /*env*/, jobject /*self*/,
                                                                            jint flag)
{
    debugSetting = flag;
}

JNIEXPORT void JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_setNumProcessors(JNIEnv* /*env*/, jobject /*self*/,
                                                                                    jint /*unused*/)
{
}

} // extern "C"
